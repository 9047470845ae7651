#include "core/filesizes.h"
#include "support/commandline.h"
#include "support/testfiles.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Runs the built executable (or `program`) with no display and a private
// home, the way a script on a build machine would.
CommandLine::Outcome runQuarrystone(const QStringList &arguments, const QString &cwd = QString(),
                                    const QString &support = QString(), const QString &program = QString())
{
    static QTemporaryDir home;
    return CommandLine::run(arguments, home.path(), cwd, support, program);
}

} // namespace

TEST(Headless, FlagWithoutValueNamesWhatIsMissing)
{
    auto r = runQuarrystone({"--render"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, QStringLiteral("--render 뒤에 계획서 폴더를 주세요\n"));
    EXPECT_TRUE(r.out.isEmpty());

    r = runQuarrystone({"--redraft"});
    EXPECT_EQ(r.err, QStringLiteral("--redraft 뒤에 계획서 폴더를 주세요\n"));

    // The missing value wins over a mode that would otherwise run.
    r = runQuarrystone({"--check-connections", "--generate"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, QStringLiteral("--generate 뒤에 피그마 URL 을 주세요\n"));

    // Only the first failing flag, in the fixed order, is reported.
    r = runQuarrystone({"--generate", "--render"});
    EXPECT_EQ(r.err, QStringLiteral("--render 뒤에 계획서 폴더를 주세요\n"));
}

TEST(Headless, ReviseOrImportWithoutValueFallsThrough)
{
    for (const char *flag : {"--revise", "--import"}) {
        const auto r = runQuarrystone({QString::fromLatin1(flag)});
        EXPECT_EQ(r.code, 1) << flag;
        EXPECT_EQ(r.err, QStringLiteral("피그마 URL 을 읽지 못했어요\n")) << flag;
    }
}

TEST(Headless, ValueIsTheElementAfterTheFirstOccurrence)
{
    // "--out" after --render is the folder itself, not an option.
    const auto r = runQuarrystone({"--render", "--out"});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, QStringLiteral("계획서 폴더가 없어요: --out\n"));
}

TEST(Headless, NoModeFlagMeansTheWindow)
{
    // Flags that select no mode open the window; on Qt's off-screen display
    // the screenshot mode proves it and ends the process.
    QTemporaryDir shots;
    const QString shot = shots.filePath(QStringLiteral("window.png"));
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QUARRYSTONE_SNAPSHOT", shot.toUtf8());
    const auto r = runQuarrystone({"--out", "/tmp", "--undo"});
    qunsetenv("QT_QPA_PLATFORM");
    qunsetenv("QUARRYSTONE_SNAPSHOT");
    EXPECT_EQ(r.code, 0) << r.err.toStdString();
    QFile picture(shot);
    ASSERT_TRUE(picture.open(QIODevice::ReadOnly));
    const QByteArray head = picture.read(24);
    EXPECT_TRUE(head.startsWith("\x89PNG"));
    // The header's width and height: the main window's first size.
    EXPECT_EQ(head.mid(16, 8), QByteArray::fromHex("0000050000000334"));
}

// Without a display that answers nor a platform that needs none, the window
// says why in Korean, naming the display, and lists the modes, as --help and
// -h do, instead of Qt's abort: a stale DISPLAY (a re-attached terminal
// multiplexer, a lost ssh forwarding) and a Wayland name without Qt's
// Wayland platform among them.
TEST(Headless, AWindowWithoutADesktopSaysSoAndListsTheModes)
{
    qunsetenv("QT_QPA_PLATFORM");
    const QString modes = runQuarrystone({"--help"}).out;
    EXPECT_TRUE(modes.startsWith("창으로 쓰기:\n    quarrystone  ") && modes.contains("\n명령줄로 쓰기:\n")
                && modes.contains("quarrystone --check-connections "))
        << modes.toStdString();
    EXPECT_EQ(runQuarrystone({"-h"}).out, modes);
    QTemporaryDir runtime;
    const QString noServer = QStringLiteral(":65000");
    ASSERT_FALSE(QFileInfo::exists("/tmp/.X11-unix/X65000"));
    const struct {
        QStringList environment;
        QString cause;
    } rows[] = {
        {{}, "DISPLAY 나 WAYLAND_DISPLAY 가 없어요"},
        {{"DISPLAY=" + noServer}, "디스플레이 :65000 에 연결하지 못했어요"},
        {{"WAYLAND_DISPLAY=wayland-0", "XDG_RUNTIME_DIR=" + runtime.path()},
         "Qt 의 Wayland 플러그인이 없어서 Wayland 디스플레이 wayland-0 을 쓸 수 없어요; DISPLAY 가 없어요"},
        {{"WAYLAND_DISPLAY=wayland-0", "DISPLAY=" + noServer},
         "Qt 의 Wayland 플러그인이 없어서 Wayland 디스플레이 wayland-0 을 쓸 수 없어요; 디스플레이 :65000 에 연결하지 못했어요"},
    };
    for (const auto &row : rows) {
        const auto r = runQuarrystone(row.environment + QStringList{QStringLiteral(QUARRYSTONE_BINARY), "--out", "/tmp"},
                                      QString(), QString(), QStringLiteral("/usr/bin/env"));
        EXPECT_EQ(r.code, 1) << r.err.toStdString();
        EXPECT_EQ(r.err, "창은 데스크톱 세션에서만 열 수 있어요 (" + row.cause + ").\n\n" + modes);
    }
    // A platform that needs no display server but cannot come up (not
    // installed, no frame buffer) ends the start with its cause in Korean,
    // not with Qt's abort.
    const struct {
        QString platform;
        QString cause;
    } platforms[] = {
        {"bogus", "This application failed to start because no Qt platform plugin could be initialized"},
        {"linuxfb:fb=/nonexistent", "Cannot create window: no screens available"},
    };
    for (const auto &row : platforms) {
        const auto r = runQuarrystone({"QT_QPA_PLATFORM=" + row.platform, QStringLiteral(QUARRYSTONE_BINARY)}, QString(),
                                      QString(), QStringLiteral("/usr/bin/env"));
        EXPECT_EQ(r.code, 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.endsWith("창을 열지 못했어요: 화면 플랫폼(" + row.platform + ")을 시작하지 못했어요 (" + row.cause + ").\n"))
            << r.err.toStdString();
    }
}

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;

const QByteArray threeProblems = R"({
  "meta": {"feature": "Chat"},
  "screens": [{"id": "list", "name": "ChatListScreen", "title": "목록",
               "args": [{"name": "room", "model": "ChatRoom"}]}],
  "transitions": [{"from": "list", "to": "detail"}, {"from": "@home", "to": "list", "popUpTo": "gone"}]
})";

} // namespace

TEST(HeadlessRender, WritesTheFolderAndListsProblems)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("plan.json"), threeProblems);
    const auto r = runQuarrystone({"--render", dir.path()});
    EXPECT_EQ(r.code, 2) << qPrintable(r.err);
    EXPECT_EQ(r.out, QStringLiteral("다시 썼어요: %1 (문제 3건)\n"
                                    "  · transitions 에 없는 화면 id: detail (list → detail)\n"
                                    "  · popUpTo 에 없는 화면 id: gone\n"
                                    "  · list.args 의 모델 ChatRoom 이 models 에 없음\n")
                         .arg(dir.path()));
    EXPECT_TRUE(r.err.isEmpty()) << qPrintable(r.err);
    for (const char *name : {"plan.json", "plan.md", "index.html"})
        EXPECT_FALSE(readFile(dir.filePath(name)).isEmpty()) << name;
    // The rewrite drops nothing of this file, so no backup is taken.
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("history")));

    // A screen picture the page cannot carry is a problem too: one that is
    // not there, a folder, or a link out of the plan folder; a link that
    // stays inside it is carried. A path that holds a terminal's orders is
    // printed as text, on one line.
    writeFile(dir.filePath("plan.json"), R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA",
        "title": "A", "image": {"before": "img/a.png", "android": "img/gone\u001b[2J\n완료: x.png", "ios": "https://x/ios.png"}},
        {"id": "b", "name": "ChatB", "title": "B", "image": {"before": "img/in.png", "android": "img/out.png",
        "ios": "img/dir.png"}}, {"id": "c", "name": "ChatC", "title": "C", "image": {"before": "img/big.png"}}]})");
    writeFile(dir.filePath("img/a.png"), "picture");
    // Sparse: a picture there, too large for the page, is named so, not missing.
    QFile big(dir.filePath("img/big.png"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly) && big.resize(FileSizes::picture + 1));
    big.close();
    QTemporaryDir elsewhere;
    writeFile(elsewhere.filePath("b.png"), "picture");
    ASSERT_TRUE(QFile::link("a.png", dir.filePath("img/in.png")));
    ASSERT_TRUE(QFile::link(elsewhere.filePath("b.png"), dir.filePath("img/out.png")));
    ASSERT_TRUE(QDir(dir.path()).mkpath("img/dir.png"));
    const auto pictures = runQuarrystone({"--render", dir.path()});
    EXPECT_EQ(pictures.code, 2) << qPrintable(pictures.err);
    EXPECT_EQ(pictures.out, QStringLiteral("다시 썼어요: %1 (문제 4건)\n  · ").arg(dir.path())
                                + FileSizes::tooLarge("img/big.png", FileSizes::picture + 1, FileSizes::picture)
                                + "\n  · 그림 파일이 없어요: img/dir.png\n"
                                  "  · 그림 파일이 없어요: img/gone\\x1B[2J\\x0A완료: x.png\n  · 그림 파일이 없어요: img/out.png\n");
}

TEST(HeadlessRender, CleanPlanExitsZeroAndRelativeFolderWorks)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("p");
    writeFile(dir.filePath("p/plan.json"),
              R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}]})");
    const auto r = runQuarrystone({"--render", "p"}, dir.path());
    EXPECT_EQ(r.code, 0) << qPrintable(r.err);
    EXPECT_EQ(r.out, QStringLiteral("다시 썼어요: %1 (문제 0건)\n").arg(QFileInfo(dir.filePath("p")).absoluteFilePath()));
}

// What killed runs left goes at the next start: temporary files in the
// plan folder (a leftover beside plan.json, one in history/) and MCP
// configurations of ended runs in the private temporary folder.
TEST(HeadlessRender, RemovesWhatKilledRunsLeft)
{
    QTemporaryDir dir;
    QTemporaryDir tmp;
    writeFile(dir.filePath("plan.json"),
              R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}]})");
    writeFile(dir.filePath(".quarrystone-tmp-k1ll3d00"), "cut");
    writeFile(dir.filePath("history/.quarrystone-tmp-k1ll3d01"), "cut");
    const QString privateFolder = tmp.filePath("quarrystone-" + QString::number(::geteuid()));
    ASSERT_TRUE(QDir().mkpath(privateFolder));
    QFile::setPermissions(privateFolder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const pid_t ended = ::fork();
    if (ended == 0)
        ::_exit(0);
    ::waitpid(ended, nullptr, 0);
    const QString stale = privateFolder + "/mcp-" + QString::number(ended) + "-Ab12Cd.json";
    writeFile(stale, "{}");
    // A file made a moment ago may not be held yet: only an older one goes.
    QFile file(stale);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTime().addSecs(-120), QFileDevice::FileModificationTime));
    file.close();

    qputenv("TMPDIR", tmp.path().toUtf8());
    const auto r = runQuarrystone({"--render", dir.path()});
    qunsetenv("TMPDIR");
    EXPECT_EQ(r.code, 0) << qPrintable(r.err);
    EXPECT_FALSE(QFileInfo::exists(stale));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
              (QStringList{".quarrystone-made-from", "index.html", "plan.json", "plan.md"}));
    EXPECT_TRUE(QDir(dir.filePath("history")).isEmpty(QDir::Files | QDir::Hidden));
}

TEST(HeadlessRender, UnreadablePlanNamesTheArgumentUnchanged)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("plan.json"), "[1, 2]");
    const auto r = runQuarrystone({"--render", "."}, dir.path());
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.err, QStringLiteral("plan.json 을 읽지 못했어요: .\n"));
    EXPECT_EQ(readFile(dir.filePath("plan.json")), QByteArray("[1, 2]"));
}

// Whichever mode is given a folder that is not there, or one without its
// plan, says so alike, naming the folder as given; nothing is made in it.
TEST(Headless, AMissingFolderOrPlanIsNamedAlikeInEveryMode)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("empty");
    for (const QStringList &mode : {QStringList{"--render"}, {"--revise", "--undo"}, {"--revise", "--request", "x"}, {"--redraft"}}) {
        for (const QString folder : {"no/such/folder", "empty"}) {
            const auto r = runQuarrystone(QStringList{mode.first(), folder} + mode.mid(1), dir.path());
            const QString missing = folder != "empty" ? "계획서 폴더가" : mode.first() == "--redraft" ? "request.json 이" : "plan.json 이";
            EXPECT_EQ(r.err, missing + " 없어요: " + folder + "\n") << qPrintable(mode.join(' '));
        }
    }
    EXPECT_TRUE(QDir(dir.filePath("empty")).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

// A settings.json that cannot be read stops every mode with its reason and
// where it is, before anything is done: defaults in its place would send
// the work elsewhere. A pipe there is not waited on, a huge file not read,
// and the file is left as it was.
TEST(Headless, AnUnreadableSettingsFileIsRefusedInEveryMode)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("p");
    writeFile(dir.filePath("p/plan.json"), R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA"}]})");
    const QString settings = dir.filePath("support/settings.json");
    const auto make = [&](const QString &kind) {
        QDir(dir.filePath("support")).removeRecursively();
        QDir(dir.path()).mkdir("support");
        if (kind == "pipe")
            ASSERT_EQ(::mkfifo(QFile::encodeName(settings).constData(), 0600), 0);
        else if (kind == "huge") {
            writeFile(settings, "{");
            ASSERT_EQ(::truncate(QFile::encodeName(settings).constData(), qint64(64) << 30), 0);
        } else if (kind == "folder")
            QDir(dir.path()).mkpath("support/settings.json/x");
        else
            writeFile(settings, kind.toUtf8());
    };
    const QList<std::pair<QString, QString>> kinds{
        {R"({"outputDir": "/pl)", "잘렸거나 망가져 있어요"},
        {"[1, 2]", "잘렸거나 망가져 있어요"},
        {"", "잘렸거나 망가져 있어요"},
        {"pipe", "보통 파일이 아니에요"},
        {"huge", "64GB"},
        {"folder", "폴더"},
    };
    for (const QStringList &mode : {QStringList{"--render", dir.filePath("p")}, {"--check-connections"},
                                    {"--revise", dir.filePath("p"), "--request", "x"}}) {
        for (const auto &[kind, cause] : kinds) {
            make(kind);
            const QFileInfo before(settings);
            const auto r = runQuarrystone(mode, QString(), dir.filePath("support"));
            EXPECT_EQ(r.code, 1) << qPrintable(kind + " " + mode.first());
            EXPECT_TRUE(r.err.startsWith("설정 파일(settings.json)을 읽지 못했어요: ")) << qPrintable(r.err);
            EXPECT_TRUE(r.err.contains(cause)) << qPrintable(r.err);
            EXPECT_TRUE(r.err.endsWith(settings + " 을 고치거나 치운 뒤 다시 해 주세요\n")) << qPrintable(r.err);
            EXPECT_TRUE(r.out.isEmpty()) << qPrintable(r.out);
            EXPECT_EQ(QFileInfo(settings).size(), before.size()) << qPrintable(kind);
            EXPECT_EQ(QDir(dir.filePath("support")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System),
                      QStringList{"settings.json"});
            if (kind.startsWith('{') || kind.startsWith('[')) {
                EXPECT_EQ(readFile(settings), kind.toUtf8());
            }
        }
    }
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("p/index.html"))) << "nothing was rendered";
}

TEST(HeadlessRender, KeepsAFileWhoseContentTheRewriteWouldDrop)
{
    QTemporaryDir dir;
    const QByteArray handEdited = R"({"meta": {"feature": "Chat", "titel": "오타 난 키"},
        "screens": [{"id": "a", "name": "ChatA", "title": "A"}]})";
    // Earlier copies of this very second (and the next few, should the clock
    // turn meanwhile) already stand, as after a script's quick edit-render loop.
    QDir(dir.path()).mkdir("history");
    const QDateTime now = QDateTime::currentDateTime();
    QStringList earlier;
    for (int s = 0; s < 5; ++s)
        for (const char *prefix : {"plan-", "kept-"}) {
            const QString name = prefix + now.addSecs(s).toString("yyMMdd-HHmmss") + ".json";
            writeFile(dir.filePath("history/" + name), "earlier");
            earlier.append(name);
        }

    for (int run = 0; run < 2; ++run) {
        writeFile(dir.filePath("plan.json"), handEdited);
        const auto r = runQuarrystone({"--render", dir.path()});
        EXPECT_EQ(r.code, 0) << qPrintable(r.err);
        EXPECT_TRUE(r.err.startsWith("plan.json 에 다시 쓰면 빠지는 내용이 있어 원래 파일을 남겼어요: "))
            << qPrintable(r.err);
        EXPECT_FALSE(readFile(dir.filePath("plan.json")).contains("titel"));
    }
    QStringList kept = QDir(dir.filePath("history")).entryList(QDir::Files);
    for (const QString &name : earlier) {
        EXPECT_EQ(readFile(dir.filePath("history/" + name)), "earlier") << qPrintable(name);
        kept.removeOne(name);
    }
    ASSERT_EQ(kept.size(), 2) << qPrintable(kept.join(' '));
    for (const QString &name : kept) {
        EXPECT_TRUE(QRegularExpression(R"(^kept-\d{6}-\d{6}-\d+\.json$)").match(name).hasMatch()) << qPrintable(name);
        EXPECT_EQ(readFile(dir.filePath("history/" + name)), handEdited);
    }
}

// The copy is made only when the rewrite would drop something, and always
// before any file of the folder changes: a file that is already the plan's
// own text, or the same plan spelt differently, leaves history/ alone; a
// copy that cannot be made stops the render with every file as it was.
TEST(HeadlessRender, KeepsACopyOnlyWhenTheRewriteDropsAndBeforeAnythingIsReplaced)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("plan.json"), threeProblems);
    ASSERT_EQ(runQuarrystone({"--render", dir.path()}).code, 2);
    const QByteArray written = readFile(dir.filePath("plan.json"));

    auto r = runQuarrystone({"--render", dir.path()});
    EXPECT_EQ(r.code, 2) << qPrintable(r.err);
    EXPECT_TRUE(r.err.isEmpty()) << qPrintable(r.err);
    EXPECT_EQ(readFile(dir.filePath("plan.json")), written);

    QByteArray oneLine = written;
    oneLine.replace("\n", "");
    writeFile(dir.filePath("plan.json"), oneLine);
    r = runQuarrystone({"--render", dir.path()});
    EXPECT_EQ(r.code, 2) << qPrintable(r.err);
    EXPECT_TRUE(r.err.isEmpty()) << qPrintable(r.err);
    EXPECT_EQ(readFile(dir.filePath("plan.json")), written);
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("history")));

    // history/ cannot be made: a file stands in its place.
    writeFile(dir.filePath("history"), "not a folder");
    const QByteArray handEdited = R"({"meta": {"feature": "Chat", "titel": "오타 난 키"},
        "screens": [{"id": "a", "name": "ChatA", "title": "A"}]})";
    writeFile(dir.filePath("plan.json"), handEdited);
    QMap<QString, QByteArray> before;
    for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
        before.insert(name, readFile(dir.filePath(name)));
    r = runQuarrystone({"--render", dir.path()});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.err.startsWith("plan.json 을 백업하지 못해 다시 쓰지 않았어요: ")) << qPrintable(r.err);
    QMap<QString, QByteArray> after;
    for (const QString &name : QDir(dir.path()).entryList(QDir::Files | QDir::Hidden))
        after.insert(name, readFile(dir.filePath(name)));
    EXPECT_EQ(after, before);
}

// A command-line run loads neither the widgets nor the browser engine: their
// loading alone took longer than rendering a plan of a hundred screens.
TEST(HeadlessRender, LoadsNoWindowLibraries)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("plan.json"), R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}]})");
    const auto r = runQuarrystone({"LD_DEBUG=files", QUARRYSTONE_BINARY, "--render", dir.path()}, QString(), QString(),
                                  "/usr/bin/env");
    EXPECT_EQ(r.code, 0) << qPrintable(r.err);
    EXPECT_TRUE(r.err.contains("libQt6Core.so")) << "no loader trace";
    for (const char *library : {"libQt6Widgets.so", "libQt6Gui.so", "libQt6WebEngineCore.so", "quarrystone-window.so"})
        EXPECT_FALSE(r.err.contains(library)) << library;
}

TEST(HeadlessRender, SummaryKeepsPercentSignsOfTheFolder)
{
    QTemporaryDir dir;
    for (const char *name : {"p%2x", "q%1%2"}) {
        QDir(dir.path()).mkdir(name);
        writeFile(dir.filePath(QString(name) + "/plan.json"),
                  R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}]})");
        const auto r = runQuarrystone({"--render", dir.filePath(name)});
        EXPECT_EQ(r.code, 0) << qPrintable(r.err);
        EXPECT_EQ(r.out, "다시 썼어요: " + dir.filePath(name) + " (문제 0건)\n");
    }
}

// Outside JSON that would take far more memory than its size: a file the
// parser runs out of memory on, and one too large to read at all, fail like
// any unreadable plan instead of ending the process with an abort.
TEST(HeadlessRender, HostilePlanFailsAsUnreadable)
{
    QTemporaryDir dir;
    const QString limited = "ulimit -v 716800; exec \"$0\" \"$@\"";
    const auto render = [&](const QString &folder) {
        return runQuarrystone({"-c", limited, QUARRYSTONE_BINARY, "--render", folder}, QString(), QString(), "/bin/sh");
    };
    // The limit leaves room for an ordinary render.
    QDir(dir.path()).mkdir("fine");
    writeFile(dir.filePath("fine/plan.json"), R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}]})");
    EXPECT_EQ(render(dir.filePath("fine")).code, 0);

    QDir(dir.path()).mkdir("nested");
    {
        QFile file(dir.filePath("nested/plan.json"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        const QByteArray deep = QByteArray(1000, '[') + QByteArray(1000, ']');
        QByteArray chunk;
        for (int i = 0; i < 1000; ++i)
            chunk += deep + ',';
        file.write("{\"screens\": [");
        for (int i = 0; i < 20; ++i)
            file.write(chunk);
        file.write("[]]}");
    }
    auto r = render(dir.filePath("nested"));
    EXPECT_EQ(r.code, 1) << qPrintable(r.err);
    EXPECT_EQ(r.err, "plan.json 을 읽지 못했어요: " + dir.filePath("nested") + "\n");

    QDir(dir.path()).mkdir("huge");
    {
        QFile file(dir.filePath("huge/plan.json"));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(qint64(513) * 1024 * 1024));
    }
    r = render(dir.filePath("huge"));
    EXPECT_EQ(r.code, 1) << qPrintable(r.err);
    EXPECT_EQ(r.err, "plan.json 을 읽지 못했어요: " + dir.filePath("huge") + " (파일이 너무 커요: plan.json (513MB, 많아야 512MB))\n");
    EXPECT_EQ(QFileInfo(dir.filePath("huge/plan.json")).size(), qint64(513) * 1024 * 1024);

    // A socket answers a non-blocking open as a missing device would: it is
    // named for what it is.
    QDir(dir.path()).mkdir("socket");
    QLocalServer server;
    ASSERT_TRUE(server.listen(dir.filePath("socket/plan.json")));
    r = render(dir.filePath("socket"));
    EXPECT_EQ(r.code, 1) << qPrintable(r.err);
    EXPECT_EQ(r.err, "plan.json 을 읽지 못했어요: " + dir.filePath("socket") + " (보통 파일이 아니에요)\n");
}

TEST(HeadlessRender, BrokenConventionsAreNamedButDoNotStopTheRender)
{
    QTemporaryDir dir;
    QDir(dir.path()).mkpath("repo/.cairn");
    writeFile(dir.filePath("repo/.cairn/conventions.json"), "{ not json");
    QDir(dir.path()).mkdir("p");
    writeFile(dir.filePath("p/plan.json"), R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA"}]})");
    // Point the settings' Android repository at the broken file.
    QTemporaryDir support;
    writeFile(support.filePath("settings.json"),
              QStringLiteral(R"({"androidRepo": "%1"})").arg(dir.filePath("repo")).toUtf8());
    const auto r = runQuarrystone({"--render", dir.filePath("p")}, QString(), support.path());
    const QString &out = r.out;
    EXPECT_EQ(r.code, 0);
    EXPECT_TRUE(out.startsWith(QStringLiteral("이름 규칙: "))) << qPrintable(out);
    EXPECT_TRUE(out.contains(QStringLiteral("JSON 을 읽지 못함"))) << qPrintable(out);
    EXPECT_TRUE(out.contains(QStringLiteral("다시 썼어요: "))) << qPrintable(out);
}
