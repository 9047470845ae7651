#include "claude/clauderunner.h"
#include "settings/apppaths.h"
#include "settings/appsettings.h"
#include "support/executable.h"
#include "support/qtprinters.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

class AppSettingsTest : public testing::Test
{
protected:
    void SetUp() override
    {
        oldShell = qgetenv("SHELL");
        ASSERT_TRUE(writeExecutable(scratch.filePath("shell"), "#!/bin/sh\nexit 1\n"));
        qputenv("SHELL", scratch.filePath("shell").toUtf8());
        ASSERT_TRUE(writeExecutable(home.filePath(".local/bin/claude"), "#!/bin/sh\n"));
    }

    void TearDown() override
    {
        qputenv("SHELL", oldShell);
        QFile::remove(settingsFile());
        for (const char *name : {".local", "brenix_android_v2", "brenix_ios_v2", "Developer", "dev",
                                    "workspace", "Projects", "repo"})
            QDir(home.filePath(name)).removeRecursively();
    }

    static QString settingsFile() { return QDir(AppPaths::support()).filePath("settings.json"); }

    static void writeSettings(const QByteArray &json)
    {
        QFile file(settingsFile());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(json);
    }

    void makeRepo(const QString &path, bool gitFile = false)
    {
        QDir().mkpath(home.filePath(path));
        if (gitFile) {
            QFile git(home.filePath(path + "/.git"));
            ASSERT_TRUE(git.open(QIODevice::WriteOnly));
            git.write("gitdir: /elsewhere\n");
        } else {
            QDir().mkpath(home.filePath(path + "/.git"));
        }
    }

    // The name the user database gives, read with getent rather than the
    // code under test.
    static QString expectedUserName()
    {
        QProcess getent;
        getent.start("getent", {"passwd", QString::number(getuid())});
        getent.waitForFinished();
        const QStringList fields = QString::fromUtf8(getent.readAllStandardOutput()).trimmed().split(':');
        if (fields.size() < 5)
            return qEnvironmentVariable("USER");
        const QString full = fields[4].section(',', 0, 0);
        return full.isEmpty() ? fields[0] : full;
    }

    QByteArray oldShell;
    QTemporaryDir scratch;
    QDir home{QDir::homePath()};
};

AppSettings fullRecord()
{
    AppSettings s;
    s.androidRepo = "/src/android";
    s.iosRepo = "~/src/ios";
    s.outputDir = "/plans";
    s.userName = "김개발";
    s.figmaMode = AppSettings::FigmaMode::token;
    s.claudePath = "/usr/bin/claude";
    s.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    s.claudeModel = "opus";
    s.setupDone = true;
    s.extraDirs = {"/a/plan", "/b/plan"};
    return s;
}

} // namespace

TEST_F(AppSettingsTest, NoFileGivesDefaultsAndFillsEmptyFields)
{
    makeRepo("Developer/brenix_android_v2");
    makeRepo("Projects/brenix_ios_v2", true);
    const QStringList before = QDir(AppPaths::support()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);

    const AppSettings s = AppSettings::load();
    EXPECT_EQ(s.figmaMode, AppSettings::FigmaMode::mcp);
    EXPECT_EQ(s.claudeAuth, AppSettings::ClaudeAuth::login);
    EXPECT_FALSE(s.setupDone);
    EXPECT_TRUE(s.extraDirs.isEmpty());
    EXPECT_EQ(s.claudeModel, "");
    EXPECT_EQ(s.outputDir, QDir::homePath() + "/quarrystone");
    EXPECT_EQ(s.userName, expectedUserName());
    EXPECT_FALSE(s.userName.isEmpty());
    EXPECT_EQ(s.androidRepo, QDir::homePath() + "/Developer/brenix_android_v2");
    EXPECT_EQ(s.iosRepo, QDir::homePath() + "/Projects/brenix_ios_v2") << "a worktree's .git file counts";
    EXPECT_EQ(s.claudePath, QDir::homePath() + "/.local/bin/claude");

    // Without the tool search everything else is filled just the same.
    AppSettings withoutTool = AppSettings::load(false);
    EXPECT_EQ(withoutTool.claudePath, "");
    withoutTool.claudePath = s.claudePath;
    EXPECT_EQ(withoutTool, s);

    EXPECT_EQ(QDir(AppPaths::support()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before)
        << "loading never writes";
}

// A settings.json that is there but cannot be read is no first start: the
// load refuses it with the reason, leaves it as it is, and it can be moved
// aside whole under a name of its own, after which the defaults load.
TEST_F(AppSettingsTest, AnUnreadableFileIsRefusedAndKeptAsideWhole)
{
    QFile::remove(home.filePath(".local/bin/claude"));
    const AppSettings none = AppSettings::load();
    EXPECT_EQ(none.claudePath, "") << "nothing found anywhere leaves the path empty";
    const QDir support(AppPaths::support());
    const QByteArray file = QFile::encodeName(settingsFile());
    const QList<std::pair<QByteArray, QString>> kinds{
        {"[1, 2]", "잘렸거나 망가져 있어요"},
        {"{\"userName\": ", "잘렸거나 망가져 있어요"},
        {"null", "잘렸거나 망가져 있어요"},
        {"\"text\"", "잘렸거나 망가져 있어요"},
        {"", "잘렸거나 망가져 있어요"},
        {"pipe", "보통 파일이 아니에요"},
        {"huge", "64GB"},
        {"large", "많아야 1MB"},
    };
    for (const auto &[kind, cause] : kinds) {
        if (kind == "pipe") {
            ASSERT_EQ(::mkfifo(file.constData(), 0600), 0);
        } else if (kind == "huge" || kind == "large") {
            writeSettings("{");
            ASSERT_EQ(::truncate(file.constData(), kind == "huge" ? qint64(64) << 30 : (qint64(1) << 20) + 1), 0);
        } else {
            writeSettings(kind);
        }
        const qint64 size = QFileInfo(settingsFile()).size();
        try {
            AppSettings::load();
            ADD_FAILURE() << "loaded " << kind.constData();
        } catch (const AppSettings::Failure &failure) {
            EXPECT_EQ(failure.message.section(": ", 0, 0), "설정 파일(settings.json)을 읽지 못했어요") << kind.constData();
            EXPECT_TRUE(failure.message.contains(cause)) << qPrintable(failure.message);
        }
        EXPECT_EQ(QFileInfo(settingsFile()).size(), size) << kind.constData();

        const QStringList before = support.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        const QString kept = AppSettings::keepUnread();
        EXPECT_TRUE(kept.startsWith("settings-unread-") && kept.endsWith(".json")) << qPrintable(kept);
        EXPECT_FALSE(before.contains(kept)) << "an earlier kept file is never replaced: " << qPrintable(kept);
        EXPECT_EQ(QFileInfo(support.filePath(kept)).size(), size) << kind.constData();
        if (kind != "pipe" && kind != "huge" && kind != "large") {
            QFile back(support.filePath(kept));
            ASSERT_TRUE(back.open(QIODevice::ReadOnly));
            EXPECT_EQ(back.readAll(), kind);
        }
        EXPECT_EQ(AppSettings::load(), none) << kind.constData();
    }
    for (const QString &name : support.entryList({"settings-unread-*"}, QDir::AllEntries | QDir::System))
        EXPECT_TRUE(QFile::remove(support.filePath(name)));
}

// A save that cannot write says so, and leaves what was there.
TEST_F(AppSettingsTest, AFailedSaveSaysSo)
{
    ASSERT_TRUE(QDir().mkpath(settingsFile() + "/inside"));
    try {
        fullRecord().save();
        ADD_FAILURE() << "saved over a folder";
    } catch (const AppSettings::Failure &failure) {
        EXPECT_TRUE(failure.message.startsWith("설정을 저장하지 못했어요: ")) << qPrintable(failure.message);
    }
    EXPECT_TRUE(QFileInfo(settingsFile() + "/inside").isDir());
    EXPECT_TRUE(QDir(settingsFile()).removeRecursively());
}

TEST_F(AppSettingsTest, EachBadKeyFallsBackAlone)
{
    writeSettings(R"({
        "androidRepo": 5,
        "iosRepo": null,
        "outputDir": "/plans",
        "userName": "김개발",
        "figmaMode": "figma",
        "claudePath": "/opt/claude",
        "claudeAuth": "apiKey",
        "claudeModel": 3,
        "setupDone": "true",
        "extraDirs": ["/a", 1],
        "unknown": {"x": 1}
    })");
    const AppSettings s = AppSettings::load();
    EXPECT_EQ(s.androidRepo, "");
    EXPECT_EQ(s.iosRepo, "");
    EXPECT_EQ(s.outputDir, "/plans");
    EXPECT_EQ(s.userName, "김개발");
    EXPECT_EQ(s.figmaMode, AppSettings::FigmaMode::mcp);
    EXPECT_EQ(s.claudePath, "/opt/claude");
    EXPECT_EQ(s.claudeAuth, AppSettings::ClaudeAuth::apiKey);
    EXPECT_EQ(s.claudeModel, "");
    EXPECT_FALSE(s.setupDone);
    EXPECT_TRUE(s.extraDirs.isEmpty());

    writeSettings(R"({"figmaMode": "token", "claudeAuth": "APIKEY", "setupDone": true, "extraDirs": null})");
    const AppSettings t = AppSettings::load();
    EXPECT_EQ(t.figmaMode, AppSettings::FigmaMode::token);
    EXPECT_EQ(t.claudeAuth, AppSettings::ClaudeAuth::login);
    EXPECT_TRUE(t.setupDone);
    EXPECT_TRUE(t.extraDirs.isEmpty());
}

TEST_F(AppSettingsTest, OldDefaultOutputFolderMovesToTheNewOne)
{
    const QString old = QDir::homePath() + "/Documents/quarrystone";
    writeSettings(QJsonDocument(QJsonObject{{"outputDir", old}}).toJson());
    EXPECT_EQ(AppSettings::load().outputDir, QDir::homePath() + "/quarrystone");

    writeSettings(QJsonDocument(QJsonObject{{"outputDir", old + "/"}}).toJson());
    EXPECT_EQ(AppSettings::load().outputDir, old + "/");

    writeSettings(QJsonDocument(QJsonObject{{"outputDir", old + "/sub"}}).toJson());
    EXPECT_EQ(AppSettings::load().outputDir, old + "/sub");
}

TEST_F(AppSettingsTest, RepositoryGuessPrefersTheHomeFolder)
{
    makeRepo("Developer/brenix_android_v2");
    makeRepo("brenix_android_v2");
    QDir().mkpath(home.filePath("brenix_ios_v2"));
    makeRepo("workspace/brenix_ios_v2");
    makeRepo("dev/brenix_ios_v2");
    const AppSettings s = AppSettings::load();
    EXPECT_EQ(s.androidRepo, QDir::homePath() + "/brenix_android_v2");
    EXPECT_EQ(s.iosRepo, QDir::homePath() + "/dev/brenix_ios_v2") << "a folder without .git is passed over";

    QDir(home.filePath("brenix_android_v2")).removeRecursively();
    QDir(home.filePath("Developer")).removeRecursively();
    QDir(home.filePath("dev")).removeRecursively();
    QDir(home.filePath("workspace")).removeRecursively();
    const AppSettings none = AppSettings::load();
    EXPECT_EQ(none.androidRepo, "");
    EXPECT_EQ(none.iosRepo, "");
}

TEST_F(AppSettingsTest, SaveWritesAllTenKeysSorted)
{
    AppSettings s;
    s.outputDir = "/plans/a/b";
    s.extraDirs = {"/x"};
    s.save();
    QFile file(settingsFile());
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "{\n"
                              "  \"androidRepo\" : \"\",\n"
                              "  \"claudeAuth\" : \"login\",\n"
                              "  \"claudeModel\" : \"\",\n"
                              "  \"claudePath\" : \"\",\n"
                              "  \"extraDirs\" : [\n"
                              "    \"/x\"\n"
                              "  ],\n"
                              "  \"figmaMode\" : \"mcp\",\n"
                              "  \"iosRepo\" : \"\",\n"
                              "  \"outputDir\" : \"/plans/a/b\",\n"
                              "  \"setupDone\" : false,\n"
                              "  \"userName\" : \"\"\n"
                              "}");
}

TEST_F(AppSettingsTest, SavedRecordLoadsBackEqual)
{
    const AppSettings s = fullRecord();
    s.save();
    EXPECT_EQ(AppSettings::load(), s);

    AppSettings changed = s;
    changed.extraDirs.clear();
    changed.figmaMode = AppSettings::FigmaMode::mcp;
    EXPECT_NE(changed, s);
    changed.save();
    EXPECT_EQ(AppSettings::load(), changed) << "a second save replaces the whole file";
}

TEST_F(AppSettingsTest, RepositoryCheck)
{
    using Kind = AppSettings::RepoCheck::Kind;
    EXPECT_EQ(AppSettings::check("", false).kind, Kind::missing);
    EXPECT_EQ(AppSettings::check("", true).kind, Kind::missing);
    EXPECT_EQ(AppSettings::check(home.filePath("repo"), false).kind, Kind::missing);

    QDir().mkpath(home.filePath("repo"));
    EXPECT_EQ(AppSettings::check(home.filePath("repo"), false),
              (AppSettings::RepoCheck{Kind::warning, "presentation 폴더가 없어요"}));
    EXPECT_EQ(AppSettings::check(home.filePath("repo"), true),
              (AppSettings::RepoCheck{Kind::warning, "Modules/Feature 폴더가 없어요"}));

    QDir().mkpath(home.filePath("repo/presentation"));
    QDir().mkpath(home.filePath("repo/Modules/Feature"));
    EXPECT_EQ(AppSettings::check(home.filePath("repo"), false).kind, Kind::ok);
    EXPECT_EQ(AppSettings::check(home.filePath("repo"), true).kind, Kind::ok);
    EXPECT_EQ(AppSettings::check("~/repo", true).kind, Kind::ok) << "~ means the home folder";
    EXPECT_EQ(AppSettings::check("~", false).kind, Kind::warning);
    EXPECT_EQ(AppSettings::check("~nobody/repo", false).kind, Kind::missing);
}

TEST_F(AppSettingsTest, TypedHomePathsAreKeptAsTyped)
{
    writeSettings(R"({"androidRepo": "~/repo", "iosRepo": "~"})");
    const AppSettings s = AppSettings::load();
    EXPECT_EQ(s.androidRepo, "~/repo");
    EXPECT_EQ(s.iosRepo, "~");
    EXPECT_EQ(AppPaths::expandHome("~/repo"), QDir::homePath() + "/repo");
    EXPECT_EQ(AppPaths::expandHome("~"), QDir::homePath());
    EXPECT_EQ(AppPaths::expandHome("/a/~/b"), "/a/~/b");
    EXPECT_EQ(AppPaths::expandHome("~other"), "~other");
}

// The folder plans go into: a cleared field is the folder loading fills in,
// never "" (the working folder) or a path under "/".
TEST_F(AppSettingsTest, OutputFolderOfAClearedFieldIsTheDefault)
{
    const struct { const char *typed; QString folder; } cases[] = {
        {"", QDir::homePath() + "/quarrystone"},
        {"   ", QDir::homePath() + "/quarrystone"},
        {"~/plans", QDir::homePath() + "/plans"},
        {"/srv/plans", "/srv/plans"},
    };
    for (const auto &c : cases) {
        AppSettings s;
        s.outputDir = c.typed;
        EXPECT_EQ(s.outputFolder(), c.folder) << c.typed;
    }
    EXPECT_EQ(AppSettings::defaultOutputDir(), AppSettings::load().outputDir);
}

TEST(AppPaths, SupportFolderFromTheEnvironment)
{
    EXPECT_EQ(AppPaths::support(), qEnvironmentVariable("QUARRYSTONE_SUPPORT"));
    EXPECT_TRUE(QFileInfo(AppPaths::support()).isDir()) << "made on first use";

    const QByteArray support = qgetenv("QUARRYSTONE_SUPPORT");
    const QByteArray data = qgetenv("XDG_DATA_HOME");
    qputenv("QUARRYSTONE_SUPPORT", "");
    qputenv("XDG_DATA_HOME", "/data/home");
    EXPECT_EQ(AppPaths::locateSupport(), "/data/home/quarrystone");
    qunsetenv("XDG_DATA_HOME");
    EXPECT_EQ(AppPaths::locateSupport(), QDir::homePath() + "/.local/share/quarrystone");
    qputenv("QUARRYSTONE_SUPPORT", "~/raw");
    EXPECT_EQ(AppPaths::locateSupport(), "~/raw") << "taken as written";
    qputenv("QUARRYSTONE_SUPPORT", support);
    qputenv("XDG_DATA_HOME", data);
    EXPECT_EQ(AppPaths::support(), QString::fromUtf8(support)) << "fixed for the life of the process";
}
