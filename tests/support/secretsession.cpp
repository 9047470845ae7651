#include "support/secretsession.h"

#include "settings/keychain.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>

namespace SecretSession {

struct Environment::Keyring {
    QTemporaryDir runtime;
    QProcess daemon;
};

namespace {

bool waitForService()
{
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        QProcess ask;
        ask.start("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus.NameHasOwner", "string:org.freedesktop.secrets"});
        ask.waitForFinished();
        if (ask.readAllStandardOutput().contains("boolean true"))
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

bool inside()
{
    return qEnvironmentVariable("QUARRYSTONE_TEST_PRIVATE_BUS") == QLatin1String("1");
}

Environment::Environment()
    : m_keyring(new Keyring)
{
}

Environment::~Environment()
{
    delete m_keyring;
}

void Environment::SetUp()
{
    if (!inside())
        return;
    ASSERT_TRUE(m_keyring->runtime.isValid());
    for (const char *name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION",
                             "KDE_SESSION_VERSION"})
        qunsetenv(name);
    qputenv("XDG_RUNTIME_DIR", m_keyring->runtime.path().toUtf8());
    QProcess &daemon = m_keyring->daemon;
    daemon.start("gnome-keyring-daemon", {"--unlock", "--components=secrets", "--foreground"});
    ASSERT_TRUE(daemon.waitForStarted()) << "gnome-keyring-daemon: " << daemon.errorString().toStdString();
    daemon.write("test-password");
    daemon.waitForBytesWritten();
    daemon.closeWriteChannel();
    ASSERT_TRUE(waitForService()) << "the keyring never joined the bus";
}

void Environment::TearDown()
{
    QProcess &daemon = m_keyring->daemon;
    if (daemon.state() == QProcess::NotRunning)
        return;
    daemon.terminate();
    if (!daemon.waitForFinished(5000))
        daemon.kill();
    daemon.waitForFinished();
}

void inOwnSession(const std::function<void()> &cases)
{
    if (inside()) {
        cases();
        return;
    }
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QUARRYSTONE_TEST_PRIVATE_BUS", "1");
    // The bus starts the keyring's password prompt with its own environment:
    // with a display there, the prompt would wait for an answer nobody
    // gives; without one the keyring refuses at once. The case itself keeps
    // the display its widgets need.
    QStringList command{QStringLiteral("--"), QStringLiteral("env")};
    for (const QString &name : {QStringLiteral("DISPLAY"), QStringLiteral("WAYLAND_DISPLAY")}) {
        if (environment.contains(name))
            command.append(name + u'=' + environment.value(name));
        environment.remove(name);
    }
    command << QCoreApplication::applicationFilePath()
            << QStringLiteral("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name());
    child.setProcessEnvironment(environment);
    child.start("dbus-run-session", command);
    ASSERT_TRUE(child.waitForStarted()) << "dbus-run-session: " << child.errorString().toStdString();
    child.waitForFinished(-1);
    ASSERT_EQ(child.exitStatus(), QProcess::NormalExit) << "the case crashed under its own bus";
    EXPECT_EQ(child.exitCode(), 0) << "the case failed under its own bus";
}

std::optional<QByteArray> lookUp(const QString &account)
{
    QProcess tool;
    tool.start("secret-tool", {"lookup", "user", account, "server", Keychain::service(), "type", "plaintext"});
    tool.waitForFinished();
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return std::nullopt;
    return tool.readAllStandardOutput();
}

bool storeForeign(const QString &account, const QByteArray &secret, const QString &label,
                  const QStringList &attributes)
{
    QProcess tool;
    tool.start("secret-tool", QStringList{"store", "--label=" + label, "user", account, "server", Keychain::service(),
                                          "type", "plaintext"}
                                  + attributes);
    tool.write(secret);
    tool.closeWriteChannel();
    return tool.waitForFinished() && tool.exitCode() == 0;
}

QStringList items(const QString &account)
{
    QProcess tool;
    tool.start("secret-tool", {"search", "--all", "user", account, "server", Keychain::service()});
    tool.waitForFinished();
    QStringList found;
    QString label;
    for (const QString &line : QString::fromUtf8(tool.readAllStandardOutput()).split('\n')) {
        if (line.startsWith("label = "))
            label = line.mid(8);
        else if (line.startsWith("secret = "))
            found.append(label + ": " + line.mid(9));
    }
    found.sort();
    return found;
}

} // namespace SecretSession
