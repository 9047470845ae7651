#include "settings/connections.h"
#include "settings/keychain.h"
#include "support/commandline.h"
#include "support/httpserver.h"
#include "support/qtprinters.h"
#include "support/secretsession.h"
#include "support/testfiles.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using SecretSession::inOwnSession;
using SecretSession::lookUp;
using SecretSession::storeForeign;

namespace {

// The secret a read hands out, when it finds one.
std::optional<QString> stored(Keychain::Item item)
{
    const Keychain::Reading reading = Keychain::read(item);
    if (reading.outcome != Keychain::Reading::Outcome::found)
        return std::nullopt;
    return reading.value;
}

// Whether a read finds anything at all, usable or not.
bool present(Keychain::Item item)
{
    return Keychain::read(item).outcome != Keychain::Reading::Outcome::absent;
}

} // namespace

TEST(SecretService, WritesReadsOverwritesAndDeletesBothItems)
{
    inOwnSession([] {
        for (Keychain::Item item : {Keychain::Item::figmaToken, Keychain::Item::anthropicKey}) {
            const QString account = Keychain::account(item);
            SCOPED_TRACE(account.toStdString());
            EXPECT_FALSE(present(item));
            EXPECT_EQ(stored(item), std::nullopt);

            ASSERT_TRUE(Keychain::set(item, "first-" + account));
            EXPECT_TRUE(present(item));
            EXPECT_EQ(stored(item), "first-" + account);
            EXPECT_EQ(lookUp(account), ("first-" + account).toUtf8());

            ASSERT_TRUE(Keychain::set(item, QString("  second value \n")));
            EXPECT_EQ(stored(item), QString("second value"));
            EXPECT_EQ(lookUp(account), QString("second value").toUtf8());
        }
        EXPECT_EQ(stored(Keychain::Item::figmaToken), QString("second value"));

        EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, " \n"));
        EXPECT_FALSE(present(Keychain::Item::figmaToken));
        EXPECT_EQ(lookUp("figma-token"), std::nullopt);
        EXPECT_TRUE(present(Keychain::Item::anthropicKey)) << "the other item stays";

        EXPECT_TRUE(Keychain::set(Keychain::Item::anthropicKey, ""));
        EXPECT_FALSE(present(Keychain::Item::anthropicKey));
        EXPECT_TRUE(Keychain::set(Keychain::Item::anthropicKey, "")) << "removing what is absent succeeds";
    });
}

TEST(SecretService, ReadsItemsOtherProgramsWrote)
{
    inOwnSession([] {
        ASSERT_TRUE(storeForeign("anthropic-api-key", "sk-foreign"));
        EXPECT_EQ(stored(Keychain::Item::anthropicKey), "sk-foreign");

        ASSERT_TRUE(storeForeign("figma-token", ""));
        EXPECT_FALSE(present(Keychain::Item::figmaToken)) << "an empty secret is no secret";

        // Bytes another program stored that are not text are a token that
        // cannot be used, not a missing one.
        ASSERT_TRUE(storeForeign("figma-token", QByteArray("figd_\xff\xfe\x80" "bad")));
        const Keychain::Reading broken = Keychain::read(Keychain::Item::figmaToken);
        EXPECT_EQ(broken.outcome, Keychain::Reading::Outcome::unreadable);
        EXPECT_EQ(broken.problem, "키링에 저장된 Figma 토큰을 쓸 수 없어요: UTF-8 글자가 아니에요. 설정에서 다시 넣어 주세요.");

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
        EXPECT_EQ(stored(Keychain::Item::figmaToken), "token");
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

// The service's words reach the terminal without its control characters:
// a busy answer whose message sets the title, clears the screen and breaks
// the line is shown as plain text, with its HTTP-date wait in hours.
TEST(SecretService, CommandLineShowsTheServicesWordsWithoutControlCharacters)
{
    inOwnSession([] {
        HttpServer server;
        HttpServer::Response busy =
            HttpServer::Response::json(R"({"status":429,"err":"\u001b]0;pwned\u0007\u001b[2J\u001b[31mslow\ndown"})");
        busy.status = 429;
        busy.headers.append(qMakePair(QByteArray("Retry-After"), QByteArray("Wed, 21 Oct 2099 07:28:00 GMT")));
        server.serve("/v1/files/KEY/nodes", busy);
        const QString support = qEnvironmentVariable("QUARRYSTONE_SUPPORT");
        TestFiles::writeFile(support + "/settings.json",
                             R"({"figmaMode": "token", "claudePath": "/nonexistent/claude", "setupDone": true, "outputDir": ")"
                                 + support.toUtf8() + "/out\"}");
        ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "figd_token"));

        QProcess cli;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove("DISPLAY");
        env.insert("QUARRYSTONE_FIGMA_API", server.base());
        cli.setProcessEnvironment(env);
        cli.start(QStringLiteral(QUARRYSTONE_BINARY),
                  {"--generate", "https://www.figma.com/design/KEY/Harbor?node-id=1-1", "--feature", "Harbor"});
        // The server answers from this process's event loop.
        ASSERT_TRUE(QTest::qWaitFor([&] { return cli.state() == QProcess::NotRunning; }, 60000));
        const QByteArray output = cli.readAllStandardOutput() + cli.readAllStandardError();
        EXPECT_NE(cli.exitCode(), 0);
        EXPECT_TRUE(QString::fromUtf8(output).contains(
            "Figma 에 요청이 너무 많았어요(429: ]0;pwned[2J[31mslow down). 24시간 기다린 뒤 다시 해 주세요."))
            << output.toStdString();
        EXPECT_FALSE(output.contains('\x1b'));
        EXPECT_FALSE(output.contains('\x07'));
        EXPECT_EQ(server.requestsTo("/v1/files/KEY/nodes").value(0).headers.value("x-figma-token"), "figd_token");
        EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, ""));
    });
}

TEST(SecretService, SavingOverOtherProgramsItemsIsWhatEveryReadGivesBack)
{
    inOwnSession([] {
        // Items under the same account that QtKeychain would not replace:
        // one without its schema, one with an attribute of its own.
        ASSERT_TRUE(storeForeign("figma-token", "figd_foreign"));
        ASSERT_TRUE(storeForeign("figma-token", "figd_script", "script", {"origin", "script"}));
        for (const QString &value : {QStringLiteral("figd_mine"), QStringLiteral("figd_again")}) {
            ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, value));
            EXPECT_EQ(stored(Keychain::Item::figmaToken), value);
            EXPECT_EQ(lookUp("figma-token"), value.toUtf8());
        }
        const QStringList items = SecretSession::items("figma-token");
        ASSERT_EQ(items.size(), 3) << "nothing is deleted, nothing added twice";
        EXPECT_EQ(items.filter(": figd_again").size(), 3) << items.join(", ").toStdString();
        EXPECT_EQ(items.filter("foreign: ").size(), 1);
        EXPECT_EQ(items.filter("script: ").size(), 1);
        EXPECT_EQ(SecretSession::items("anthropic-api-key"), QStringList()) << "the other account is not touched";

        EXPECT_TRUE(Keychain::set(Keychain::Item::figmaToken, ""));
        EXPECT_EQ(lookUp("figma-token"), std::nullopt);
        EXPECT_EQ(SecretSession::items("figma-token"), QStringList());
    });
}

namespace {

// Locks the keyring's default collection, as the screen lock or a timeout
// would.
bool lockDefaultCollection()
{
    const QString service = "org.freedesktop.secrets";
    QDBusMessage alias = QDBusMessage::createMethodCall(service, "/org/freedesktop/secrets",
                                                        "org.freedesktop.Secret.Service", "ReadAlias");
    alias.setArguments({QString("default")});
    const QDBusMessage found = QDBusConnection::sessionBus().call(alias);
    if (found.type() != QDBusMessage::ReplyMessage)
        return false;
    const QDBusObjectPath collection = qvariant_cast<QDBusObjectPath>(found.arguments().value(0));
    QDBusMessage lock = QDBusMessage::createMethodCall(service, "/org/freedesktop/secrets",
                                                       "org.freedesktop.Secret.Service", "Lock");
    lock.setArguments({QVariant::fromValue(QList<QDBusObjectPath>{collection})});
    return QDBusConnection::sessionBus().call(lock).type() == QDBusMessage::ReplyMessage;
}

// A session bus of its own with nothing that could start a Secret Service.
class BareBus
{
public:
    BareBus()
    {
        TestFiles::writeFile(m_dir.filePath("bus.conf"),
                             "<busconfig><type>session</type><listen>unix:dir=" + m_dir.path().toUtf8()
                                 + "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
                                   "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                   "<allow own=\"*\"/></policy></busconfig>");
        m_daemon.start("dbus-daemon", {"--config-file=" + m_dir.filePath("bus.conf"), "--nofork", "--print-address"});
        if (m_daemon.waitForStarted() && m_daemon.waitForReadyRead(10000))
            m_address = m_daemon.readLine().trimmed();
    }
    ~BareBus()
    {
        m_daemon.terminate();
        if (!m_daemon.waitForFinished(5000))
            m_daemon.kill();
        m_daemon.waitForFinished();
    }
    QByteArray address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    QProcess m_daemon;
    QByteArray m_address;
};

} // namespace

TEST(SecretService, ALockedKeyringIsNoMissingToken)
{
    inOwnSession([] {
        EXPECT_EQ(Keychain::read(Keychain::Item::anthropicKey).outcome, Keychain::Reading::Outcome::absent);
        ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, "figd_locked"));
        const Keychain::Reading open = Keychain::read(Keychain::Item::figmaToken);
        EXPECT_EQ(open.outcome, Keychain::Reading::Outcome::found);
        EXPECT_EQ(open.value, "figd_locked");

        ASSERT_TRUE(lockDefaultCollection());
        const Keychain::Reading locked = Keychain::read(Keychain::Item::figmaToken);
        EXPECT_EQ(locked.outcome, Keychain::Reading::Outcome::unreadable);
        EXPECT_EQ(locked.problem, "키링이 잠겨 있어서 Figma 토큰을 읽지 못했어요.");
        // The connection check tells it apart too.
        EXPECT_EQ(Connections::tokenStatus("개인 토큰"),
                  Connections::Status::notChecked("키링이 잠겨 있어서 Figma 토큰을 읽지 못했어요."));
    });
}

// The generation by the token route, run as a script would, on a session
// bus without a Secret Service and with no session bus at all.
TEST(SecretService, CommandLineSaysWhyTheTokenCouldNotBeRead)
{
    if (SecretSession::inside())
        return;
    QTemporaryDir home;
    CommandLine::writeSettings(home.path(), R"({"figmaMode": "token", "claudePath": "/nonexistent/claude",)"
                                            R"( "setupDone": true, "outputDir": ")" + home.filePath("out").toUtf8() + "\"}");
    const BareBus bus;
    ASSERT_FALSE(bus.address().isEmpty());
    const QByteArray saved = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const auto generate = [&](const QByteArray &address) {
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        const CommandLine::Outcome outcome = CommandLine::run(
            {"--generate", "https://www.figma.com/design/KEY/Harbor?node-id=1-1", "--feature", "Harbor"}, home.path());
        qputenv("DBUS_SESSION_BUS_ADDRESS", saved);
        EXPECT_NE(outcome.code, 0);
        EXPECT_FALSE((outcome.out + outcome.err).contains("Figma 토큰이 없어요"));
        return outcome.out + outcome.err;
    };
    const QString noService = generate(bus.address());
    EXPECT_TRUE(noService.contains("키링 서비스(Secret Service)가 실행 중이 아니어서 Figma 토큰을 읽지 못했어요."))
        << noService.toStdString();
    const QString noBus = generate("unix:path=" + home.filePath("no-bus").toUtf8());
    EXPECT_TRUE(noBus.contains("세션 D-Bus 에 연결할 수 없어서 Figma 토큰을 읽지 못했어요.")) << noBus.toStdString();
    EXPECT_TRUE(noBus.contains("키링에서 Figma 토큰 읽는 중")) << noBus.toStdString();
}
