#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>
#include <gtest/gtest.h>
#include <optional>

// A real Secret Service for tests: the cases run in a child process under a
// session bus of its own (dbus-run-session), with an unlocked gnome-keyring
// in the child's home folder. No real keyring is touched, parallel test
// processes never meet, and the bus outlives every connection to it.
namespace SecretSession {

// Whether this process is the child under the private bus.
bool inside();

// Runs the cases here when inside the private bus; otherwise runs the
// current test again in a child process under a bus of its own and checks
// its outcome.
void inOwnSession(const std::function<void()> &cases);

// What another program sees under the application's service and `account`.
std::optional<QByteArray> lookUp(const QString &account);

// Stores a secret as another program would, labelled `label`, with
// `attributes` (name, value, ...) beside the application's own.
bool storeForeign(const QString &account, const QByteArray &secret, const QString &label = QStringLiteral("foreign"),
                  const QStringList &attributes = {});

// Every item under the application's service and `account`, whoever
// stored it, as "label: secret", sorted.
QStringList items(const QString &account);

// Starts the keyring in the child; stops it at the end.
class Environment : public testing::Environment
{
public:
    Environment();
    ~Environment() override;
    void SetUp() override;
    void TearDown() override;

private:
    struct Keyring;
    Keyring *m_keyring;
};

} // namespace SecretSession

// Every test file that includes this header gets the keyring in its child.
inline const testing::Environment *const secretSessionEnvironment =
    testing::AddGlobalTestEnvironment(new SecretSession::Environment);
