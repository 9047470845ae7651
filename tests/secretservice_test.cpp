#include "settings/keychain.h"
#include "support/qtprinters.h"
#include "support/secretsession.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <gtest/gtest.h>

using SecretSession::inOwnSession;
using SecretSession::lookUp;
using SecretSession::storeForeign;

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

TEST(SecretService, SavingOverOtherProgramsItemsIsWhatEveryReadGivesBack)
{
    inOwnSession([] {
        // Items under the same account that QtKeychain would not replace:
        // one without its schema, one with an attribute of its own.
        ASSERT_TRUE(storeForeign("figma-token", "figd_foreign"));
        ASSERT_TRUE(storeForeign("figma-token", "figd_script", "script", {"origin", "script"}));
        for (const QString &value : {QStringLiteral("figd_mine"), QStringLiteral("figd_again")}) {
            ASSERT_TRUE(Keychain::set(Keychain::Item::figmaToken, value));
            EXPECT_EQ(Keychain::get(Keychain::Item::figmaToken), value);
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
