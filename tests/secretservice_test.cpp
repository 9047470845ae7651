#include "settings/keychain.h"
#include "support/qtprinters.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>
#include <functional>

namespace {

// The cases run in a child process under a session bus of its own
// (dbus-run-session), with an unlocked gnome-keyring in the child's home
// folder: no real keyring is touched, parallel test processes never meet,
// and the bus outlives every connection to it.
bool insidePrivateBus()
{
    return qEnvironmentVariable("QUARRYSTONE_TEST_PRIVATE_BUS") == QLatin1String("1");
}

class SecretServiceSession : public testing::Environment
{
public:
    void SetUp() override
    {
        if (insidePrivateBus())
            startKeyring();
    }

    void TearDown() override
    {
        if (keyring.state() == QProcess::NotRunning)
            return;
        keyring.terminate();
        if (!keyring.waitForFinished(5000))
            keyring.kill();
        keyring.waitForFinished();
    }

private:
    void startKeyring()
    {
        ASSERT_TRUE(runtime.isValid());
        for (const char *name : {"XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID",
                                 "KDE_FULL_SESSION", "KDE_SESSION_VERSION"})
            qunsetenv(name);
        qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
        keyring.start("gnome-keyring-daemon", {"--unlock", "--components=secrets", "--foreground"});
        ASSERT_TRUE(keyring.waitForStarted()) << "gnome-keyring-daemon: " << keyring.errorString().toStdString();
        keyring.write("test-password");
        keyring.waitForBytesWritten();
        keyring.closeWriteChannel();
        ASSERT_TRUE(waitForService()) << "the keyring never joined the bus";
    }

    static bool waitForService()
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

    QTemporaryDir runtime;
    QProcess keyring;
};

const testing::Environment *const session = testing::AddGlobalTestEnvironment(new SecretServiceSession);

// What another program sees under the service and account.
std::optional<QByteArray> lookUp(const QString &account)
{
    QProcess tool;
    tool.start("secret-tool", {"lookup", "user", account, "server", Keychain::service(), "type", "plaintext"});
    tool.waitForFinished();
    if (tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0)
        return std::nullopt;
    return tool.readAllStandardOutput();
}

bool storeForeign(const QString &account, const QByteArray &secret)
{
    QProcess tool;
    tool.start("secret-tool", {"store", "--label=foreign", "user", account, "server", Keychain::service(), "type", "plaintext"});
    tool.write(secret);
    tool.closeWriteChannel();
    return tool.waitForFinished() && tool.exitCode() == 0;
}

// Runs the cases here when inside the private bus; otherwise runs this test
// again in a child process under a bus of its own and checks its outcome.
void inOwnSession(const std::function<void()> &cases)
{
    if (insidePrivateBus()) {
        cases();
        return;
    }
    const testing::TestInfo *test = testing::UnitTest::GetInstance()->current_test_info();
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("QUARRYSTONE_TEST_PRIVATE_BUS", "1");
    child.setProcessEnvironment(environment);
    child.start("dbus-run-session", {"--", QCoreApplication::applicationFilePath(),
                                     QStringLiteral("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())});
    ASSERT_TRUE(child.waitForStarted()) << "dbus-run-session: " << child.errorString().toStdString();
    child.waitForFinished(-1);
    ASSERT_EQ(child.exitStatus(), QProcess::NormalExit) << "the case crashed under its own bus";
    EXPECT_EQ(child.exitCode(), 0) << "the case failed under its own bus";
}

} // namespace

TEST(SecretService, WritesReadsOverwritesAndDeletesBothItems)
{
    inOwnSession([] {
        for (Keychain::Item item : {Keychain::Item::figmaToken, Keychain::Item::anthropicKey}) {
            const QString account = Keychain::account(item);
            SCOPED_TRACE(account.toStdString());
            EXPECT_FALSE(Keychain::has(item));
            EXPECT_EQ(Keychain::get(item), std::nullopt);

            ASSERT_TRUE(Keychain::set(item, "first-" + account));
            EXPECT_TRUE(Keychain::has(item));
            EXPECT_EQ(Keychain::get(item), "first-" + account);
            EXPECT_EQ(lookUp(account), ("first-" + account).toUtf8());

            ASSERT_TRUE(Keychain::set(item, QString::fromUtf8("  두 번째 \n")));
            EXPECT_EQ(Keychain::get(item), QString::fromUtf8("두 번째"));
            EXPECT_EQ(lookUp(account), QString::fromUtf8("두 번째").toUtf8());
        }
        EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), QString::fromUtf8("두 번째"));

        EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, " \n"));
        EXPECT_FALSE(Keychain::has(Keychain::Item::figmaToken));
        EXPECT_EQ(lookUp("figma-token"), std::nullopt);
        EXPECT_TRUE(Keychain::has(Keychain::Item::anthropicKey)) << "the other item stays";

        EXPECT_TRUE(Keychain::set(Keychain::Item::anthropicKey, ""));
        EXPECT_FALSE(Keychain::has(Keychain::Item::anthropicKey));
        EXPECT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "")) << "removing what is absent succeeds";
    });
}

TEST(SecretService, ReadsItemsOtherProgramsWrote)
{
    inOwnSession([] {
        ASSERT_TRUE(storeForeign("anthropic-api-key", "sk-foreign"));
        EXPECT_EQ(Keychain::get(Keychain::Item::anthropicKey), "sk-foreign");

        ASSERT_TRUE(storeForeign("figma-token", ""));
        EXPECT_TRUE(Keychain::has(Keychain::Item::figmaToken));
        EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), std::nullopt) << "an empty secret is no secret";

        EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, ""));
        EXPECT_TRUE(Keychain::set(Keychain::Item::anthropicKey, ""));
    });
}

TEST(SecretService, CallsDoNotRunTheCallersEventLoop)
{
    inOwnSession([] {
        bool ran = false;
        QMetaObject::invokeMethod(QCoreApplication::instance(), [&ran] { ran = true; }, Qt::QueuedConnection);
        ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "token"));
        EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), "token");
        EXPECT_FALSE(ran);
        QCoreApplication::processEvents();
        EXPECT_TRUE(ran);
        EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, ""));
    });
}

TEST(SecretService, CommandLineTokenModeSeesTheStoredToken)
{
    inOwnSession([] {
        const QString support = qEnvironmentVariable("QUARRYSTONE_SUPPORT");
        ASSERT_TRUE(QDir().mkpath(support));
        QFile settings(support + "/settings.json");
        ASSERT_TRUE(settings.open(QIODevice::WriteOnly));
        settings.write(R"({"figmaMode": "token", "claudePath": "/nonexistent/claude"})");
        settings.close();

        auto figmaLine = [] {
            QProcess cli;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove("DISPLAY");
            cli.setProcessEnvironment(env);
            cli.start(QStringLiteral(QUARRYSTONE_BINARY), {"--check-connections"});
            cli.waitForFinished(120000);
            for (const QString &line : QString::fromUtf8(cli.readAllStandardOutput()).split('\n'))
                if (line.contains("Figma"))
                    return line;
            return QString();
        };
        EXPECT_EQ(figmaLine(), QStringLiteral("✗ Figma: 연결 안 됨"));
        ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "figd_token"));
        EXPECT_EQ(figmaLine(), QStringLiteral("✓ Figma: 개인 토큰"));
        EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, ""));
    });
}
