#include "export/exporter.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QThreadPool>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "core/jsoncoding.h"
#include "export/htmlpage.h"
#include "figma/figmasection.h"

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

ino_t inode(const QString &path)
{
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_ino : 0;
}

Screen screen(const QString &key, std::optional<QString> before, std::optional<QString> android = {})
{
    Screen s;
    s.key = key;
    s.name = key;
    s.title = key;
    s.figmaNodes = {QStringLiteral("1:") + key};
    s.image.before = std::move(before);
    s.image.android = std::move(android);
    return s;
}

StringKey string(const QString &node)
{
    StringKey s;
    s.key = QStringLiteral("ac_") + node;
    s.ko = QStringLiteral("문구");
    s.screen = QStringLiteral("home");
    s.node = node;
    s.frame = QStringLiteral("stale");
    s.box = StringKey::Box{0.5, 0.5, 0.5, 0.5};
    return s;
}

Plan samplePlan()
{
    Plan plan;
    plan.meta.feature = QStringLiteral("Notes");
    plan.screens = {screen(QStringLiteral("home"), QStringLiteral("img/home.png"))};
    plan.strings = {string(QStringLiteral("3:1"))};
    return plan;
}

FigmaSection section(std::optional<QList<TextBox>> boxes)
{
    FigmaFrame frame;
    frame.id = QStringLiteral("2:1");
    frame.name = QStringLiteral("Home");
    frame.w = 200;
    frame.h = 400;
    frame.textBoxes = std::move(boxes);
    FigmaSection s;
    s.fileKey = QStringLiteral("K");
    s.nodeId = QStringLiteral("1:1");
    s.name = QStringLiteral("S");
    s.frames = {frame};
    return s;
}

TextBox box()
{
    TextBox b;
    b.id = QStringLiteral("3:1");
    b.name = QStringLiteral("Title");
    b.x = 20;
    b.y = 100;
    b.w = 100;
    b.h = 40;
    return b;
}

const QByteArray metadata = R"(<section id="1:1" name="S"><frame id="2:1" name="Home" x="0" y="0" width="200" height="400">)"
                            R"(<text id="3:1" name="Title" x="20" y="100" width="100" height="40"/></frame></section>)";

QString dataUrlMime(const QByteArray &url)
{
    return QString::fromLatin1(url.mid(5, url.indexOf(';') - 5));
}

} // namespace

TEST(ExportWriter, CreatesANewFolderWithParentsAndWritesAllThreeFiles)
{
    QTemporaryDir root;
    const QString dir = root.filePath("a/b/Notes-plan");
    Plan plan = samplePlan();
    plan.naming.platformMap.insert(QStringLiteral("old"), PlatformFiles{});

    Exporter::writeAll(plan, dir, Conventions::builtIn());

    EXPECT_EQ(plan.naming.platformMap, Conventions::builtIn().platformMap(plan));
    EXPECT_FALSE(plan.naming.platformMap.contains("old"));
    // No design section: the strings keep what they came with.
    EXPECT_EQ(plan.strings[0].frame, "stale");
    EXPECT_EQ(readFile(dir + "/plan.json"), JSONCoding::pretty(plan));
    EXPECT_EQ(readFile(dir + "/plan.md"), Exporter::markdown(plan).toUtf8());
    EXPECT_EQ(readFile(dir + "/index.html"), HTMLPage::render(plan, Conventions::builtIn(), {}));
    EXPECT_EQ(QDir(dir).entryList(QDir::Files), (QStringList{"index.html", "plan.json", "plan.md"}));
}

TEST(ExportWriter, ReplacesFilesWholeByRenaming)
{
    QTemporaryDir dir;
    Plan plan = samplePlan();
    Exporter::writeAll(plan, dir.path(), Conventions::builtIn());
    // A second name for the old page keeps the old bytes only when the new
    // page arrived as a new file renamed over the old one.
    ASSERT_TRUE(::link(QFile::encodeName(dir.filePath("index.html")).constData(),
                       QFile::encodeName(dir.filePath("old-page.html")).constData()) == 0);
    const QByteArray before = readFile(dir.filePath("index.html"));
    const ino_t oldInode = inode(dir.filePath("index.html"));

    plan.meta.title = QStringLiteral("바뀐 제목");
    Exporter::writeAll(plan, dir.path(), Conventions::builtIn());

    EXPECT_NE(inode(dir.filePath("index.html")), oldInode);
    EXPECT_EQ(readFile(dir.filePath("old-page.html")), before);
    EXPECT_TRUE(readFile(dir.filePath("index.html")).contains("바뀐 제목"));
}

TEST(ExportWriter, StopsAtTheFirstFileThatCannotBeWritten)
{
    QTemporaryDir dir;
    Plan plan = samplePlan();
    Exporter::writeAll(plan, dir.path(), Conventions::builtIn());
    const QByteArray oldPage = readFile(dir.filePath("index.html"));
    ASSERT_TRUE(QFile::remove(dir.filePath("plan.md")));
    ASSERT_TRUE(QDir(dir.path()).mkdir("plan.md"));

    plan.meta.title = QStringLiteral("새 제목");
    plan.naming.platformMap.clear();
    try {
        Exporter::writeAll(plan, dir.path(), Conventions::builtIn());
        FAIL() << "the write went through a folder named plan.md";
    } catch (const ExportFailure &failure) {
        EXPECT_TRUE(failure.message.contains(dir.filePath("plan.md"))) << failure.message.toStdString();
        EXPECT_TRUE(failure.message.contains("쓰지 못했어요"));
    }
    EXPECT_EQ(readFile(dir.filePath("plan.json")), JSONCoding::pretty(plan));
    EXPECT_EQ(readFile(dir.filePath("index.html")), oldPage);
    EXPECT_FALSE(plan.naming.platformMap.isEmpty());
    EXPECT_TRUE(QFileInfo(dir.filePath("plan.md")).isDir());

    ASSERT_TRUE(QDir(dir.filePath("plan.md")).removeRecursively());
    ASSERT_TRUE(QFile::remove(dir.filePath("index.html")));
    ASSERT_TRUE(QDir(dir.path()).mkdir("index.html"));
    EXPECT_THROW(Exporter::writeAll(plan, dir.path(), Conventions::builtIn()), ExportFailure);
    EXPECT_EQ(readFile(dir.filePath("plan.md")), Exporter::markdown(plan).toUtf8());

    // plan.md and the page are written beside their files while plan.json
    // is: when plan.json and plan.md both cannot be written, plan.json's
    // failure is the one reported, and nothing of the other two changes or
    // stays behind.
    ASSERT_TRUE(QDir(dir.filePath("index.html")).removeRecursively());
    Exporter::writeAll(plan, dir.path(), Conventions::builtIn());
    const QByteArray oldMarkdown = readFile(dir.filePath("plan.md"));
    const QByteArray newestPage = readFile(dir.filePath("index.html"));
    ASSERT_TRUE(QFile::remove(dir.filePath("plan.json")));
    ASSERT_TRUE(QDir(dir.path()).mkdir("plan.json"));
    const QStringList names = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    plan.meta.title = QStringLiteral("더 새 제목");
    for (const bool markdownBlocked : {false, true}) {
        if (markdownBlocked) {
            ASSERT_TRUE(QFile::remove(dir.filePath("plan.md")));
            ASSERT_TRUE(QDir(dir.path()).mkdir("plan.md"));
        }
        try {
            Exporter::writeAll(plan, dir.path(), Conventions::builtIn());
            FAIL() << "the write went through a folder named plan.json";
        } catch (const ExportFailure &failure) {
            EXPECT_TRUE(failure.message.contains(dir.filePath("plan.json"))) << failure.message.toStdString();
        }
        if (!markdownBlocked) {
            EXPECT_EQ(readFile(dir.filePath("plan.md")), oldMarkdown);
        }
        EXPECT_EQ(readFile(dir.filePath("index.html")), newestPage);
        EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), names);
    }
}

TEST(ExportWriter, UnwritableFolderFailsBeforeAnyFile)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("blocker"), "a file, not a folder");
    Plan plan = samplePlan();
    EXPECT_THROW(Exporter::writeAll(plan, dir.filePath("blocker/plan"), Conventions::builtIn()), ExportFailure);
}

TEST(ExportWriter, SectionWithBoxesEverywhereIsReadButNotRewritten)
{
    QTemporaryDir dir;
    const QByteArray sectionBytes = JSONCoding::pretty(section(QList<TextBox>{box()}));
    writeFile(dir.filePath("figma-section.json"), sectionBytes);
    writeFile(dir.filePath("figma-metadata.xml"), "<section/>");
    const QDateTime modified = QFileInfo(dir.filePath("figma-section.json")).lastModified();
    const ino_t oldInode = inode(dir.filePath("figma-section.json"));

    Plan plan = samplePlan();
    Exporter::writeAll(plan, dir.path(), Conventions::builtIn());

    EXPECT_EQ(plan.strings[0].frame, "2:1");
    EXPECT_EQ(plan.strings[0].box, (StringKey::Box{0.1, 0.25, 0.5, 0.1}));
    EXPECT_EQ(readFile(dir.filePath("figma-section.json")), sectionBytes);
    EXPECT_EQ(QFileInfo(dir.filePath("figma-section.json")).lastModified(), modified);
    EXPECT_EQ(inode(dir.filePath("figma-section.json")), oldInode);
}

TEST(ExportWriter, SectionIsResavedWhenBoxesWereAttached)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("figma-section.json"), JSONCoding::pretty(section(std::nullopt)));
    writeFile(dir.filePath("figma-metadata.xml"), metadata);
    const ino_t oldInode = inode(dir.filePath("figma-section.json"));

    Plan plan = samplePlan();
    Exporter::writeAll(plan, dir.path(), Conventions::builtIn());

    TextBox expected = box();
    EXPECT_EQ(readFile(dir.filePath("figma-section.json")), JSONCoding::pretty(section(QList<TextBox>{expected})));
    EXPECT_NE(inode(dir.filePath("figma-section.json")), oldInode);
    EXPECT_EQ(plan.strings[0].frame, "2:1");
    EXPECT_TRUE(readFile(dir.filePath("plan.json")).contains("\"frame\" : \"2:1\""));
}

TEST(ExportWriter, UnreadableSectionLeavesStringsAsTheyCame)
{
    QTemporaryDir dir;
    QJsonObject missingKey = section(std::nullopt).toJson();
    missingKey.remove("notes");
    for (const QByteArray &bytes : {QByteArray("{not json"), JSONCoding::pretty(missingKey)}) {
        writeFile(dir.filePath("figma-section.json"), bytes);
        writeFile(dir.filePath("figma-metadata.xml"), metadata);
        Plan plan = samplePlan();
        Exporter::writeAll(plan, dir.path(), Conventions::builtIn());
        EXPECT_EQ(plan.strings[0].frame, "stale");
        EXPECT_EQ(plan.strings[0].box, (StringKey::Box{0.5, 0.5, 0.5, 0.5}));
        EXPECT_EQ(readFile(dir.filePath("figma-section.json")), bytes);
    }
}

TEST(ExportWriterAssets, MimeTypesFromTheExtension)
{
    QTemporaryDir dir;
    const QStringList paths{"img/a.png", "img/b.JPG", "img/c.jpeg", "img/d.WebP", "img/e.gif", "img/f", "img.v2/g"};
    Plan plan;
    for (const QString &path : paths) {
        writeFile(dir.filePath(path), "bytes of " + path.toUtf8());
        plan.screens.append(screen(path, path));
    }
    const HTMLPage::Assets images = Exporter::assets(plan, dir.path());
    ASSERT_EQ(images.size(), paths.size());
    EXPECT_EQ(dataUrlMime(images["img/a.png"]), "image/png");
    EXPECT_EQ(dataUrlMime(images["img/b.JPG"]), "image/jpeg");
    EXPECT_EQ(dataUrlMime(images["img/c.jpeg"]), "image/jpeg");
    EXPECT_EQ(dataUrlMime(images["img/d.WebP"]), "image/webp");
    EXPECT_EQ(dataUrlMime(images["img/e.gif"]), "image/png");
    EXPECT_EQ(dataUrlMime(images["img/f"]), "image/png");
    EXPECT_EQ(dataUrlMime(images["img.v2/g"]), "image/png");
    EXPECT_EQ(images["img/b.JPG"], "data:image/jpeg;base64," + QByteArray("bytes of img/b.JPG").toBase64());
}

TEST(ExportWriterAssets, OnlyReadableFilesInsideTheFolder)
{
    QTemporaryDir root;
    const QString dir = root.filePath("plan");
    writeFile(dir + "/img/shared.png", "shared");
    writeFile(root.filePath(".ssh/id_rsa"), "secret key");
    writeFile(root.filePath("outside.png"), "outside");
    ASSERT_TRUE(QFile::link(root.filePath("outside.png"), dir + "/img/link.png"));
    ASSERT_TRUE(QDir(dir).mkpath("img/folder.png"));
    // Links that stay inside, one by an absolute path: pictures too.
    ASSERT_TRUE(QFile::link("shared.png", dir + "/img/relative.png"));
    ASSERT_TRUE(QFile::link(dir + "/img/shared.png", dir + "/img/absolute.png"));

    Plan plan;
    plan.screens = {screen("a", QStringLiteral("img/shared.png"), QStringLiteral("http://example.com/a.png")),
                    screen("b", QStringLiteral("img/shared.png"), QStringLiteral("https://example.com/b.png")),
                    screen("c", QStringLiteral("../.ssh/id_rsa"), QStringLiteral("img/../../.ssh/id_rsa")),
                    screen("d", root.filePath(".ssh/id_rsa"), QStringLiteral("img/link.png")),
                    screen("e", QStringLiteral("img/missing.png"), QStringLiteral("img/folder.png")),
                    screen("f", QString(), QStringLiteral("img/../img/shared.png")),
                    screen("g", QStringLiteral("img/relative.png"), QStringLiteral("img/absolute.png"))};

    const HTMLPage::Assets images = Exporter::assets(plan, dir);
    EXPECT_EQ(images.keys(), QStringList({"img/absolute.png", "img/relative.png", "img/shared.png"}));
    EXPECT_EQ(images.value("img/shared.png"), "data:image/png;base64," + QByteArray("shared").toBase64());

    Exporter::writeAll(plan, dir, Conventions::builtIn());
    const QByteArray page = readFile(dir + "/index.html");
    EXPECT_FALSE(page.contains(QByteArray("secret key").toBase64()));
    EXPECT_FALSE(page.contains(QByteArray("outside").toBase64()));
    EXPECT_TRUE(page.contains("\"android\":\"http:\\/\\/example.com\\/a.png\""));
}

// The folder writer streams the image block into index.html batch by batch;
// the file must be exactly the page rendered from the image map, whatever
// the images' number, order, names and readability.
TEST(ExportWriterAssets, StreamedPageEqualsTheRenderedOne)
{
    QTemporaryDir dir;
    Plan plan;
    plan.meta.feature = "Chat";
    for (int i = 0; i < 41; ++i) {
        // Names out of code-point order, one with "<" and non-ASCII text;
        // two pictures large enough to be written a piece at a time, of
        // sizes that leave one and two bytes over.
        const QString path = QStringLiteral("img/%1-%2.png").arg(i % 7).arg(40 - i);
        QByteArray bytes(i == 3 ? (9 << 20) + 1 : i == 20 ? (4 << 20) + 2 : 1000 + 97 * i, Qt::Uninitialized);
        for (qsizetype b = 0; b < bytes.size(); ++b)
            bytes[b] = char((b * 31 + i * 7) % 256);
        writeFile(dir.filePath(path), bytes);
        plan.screens.append(screen(QStringLiteral("s%1").arg(i), path, i % 5 == 0 ? std::optional<QString>("img/<화면>.jpg") : std::nullopt));
    }
    writeFile(dir.filePath("img/<화면>.jpg"), "jpeg</script>bytes");
    plan.screens.append(screen("missing", "img/missing.png"));
    plan.screens.append(screen("outside", "../outside.png"));
    plan.screens.append(screen("web", "https://x.test/a.png"));

    Exporter::writeAll(plan, dir.path(), Conventions::builtIn());
    const QByteArray page = readFile(dir.filePath("index.html"));
    const HTMLPage::Assets images = Exporter::assets(plan, dir.path());
    ASSERT_EQ(images.size(), 42);
    EXPECT_TRUE(page == HTMLPage::render(plan, Conventions::builtIn(), images));
    EXPECT_TRUE(page.contains("\"img\\/\\u003c화면>.jpg\":\"data:image\\/jpeg;base64,"));

    // No readable image: no image block at all.
    Plan bare = plan;
    for (Screen &s : bare.screens) {
        s.image.before = "img/missing.png";
        s.image.android.reset();
    }
    Exporter::writeAll(bare, dir.path(), Conventions::builtIn());
    EXPECT_TRUE(readFile(dir.filePath("index.html")) == HTMLPage::render(bare, Conventions::builtIn(), {}));
    EXPECT_FALSE(readFile(dir.filePath("index.html")).contains(HTMLPage::imageBlockOpening()));
}

// A plan whose screens, strings, moves and decisions each have `entries`
// records: below, or at and above, the length at which a list is turned
// into JSON on several threads.
Plan poolPlan(const QString &imagesDir, int entries)
{
    Plan plan = samplePlan();
    for (int i = 0; i < entries; ++i) {
        const QString path = QStringLiteral("img/%1.png").arg(i % 9);
        writeFile(imagesDir + "/" + path, QByteArray(500 + i % 9, char('a' + i % 9)));
        if (i > 0) {
            plan.screens.append(screen(QStringLiteral("s%1").arg(i), path));
            plan.strings.append(string(QStringLiteral("4:%1").arg(i)));
        }
        Transition move;
        move.from = QStringLiteral("s%1").arg(i);
        move.to = QStringLiteral("home");
        move.trigger = QStringLiteral("onBack");
        plan.transitions.append(move);
        Decision decision;
        decision.key = QStringLiteral("D%1").arg(i);
        decision.question = QStringLiteral("질문 %1").arg(i);
        plan.decisions.append(decision);
    }
    return plan;
}

// The generator and the reviser save on the shared pool. A save there must
// never wait for work queued behind itself: with the pool down to one
// thread, and with as many saves at once as the pool has threads, every
// save ends and writes the same page as ever, whether the plan's lists are
// short or long enough to be spread over the pool.
TEST(ExportWriterAssets, SavesOnAFullSharedPoolEnd)
{
    QThreadPool *pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    const auto restore = qScopeGuard([&] { pool->setMaxThreadCount(threads); });
    QTemporaryDir root;
    for (const int entries : {9, 63, 64, 300}) {
        Plan plan = poolPlan(root.filePath("images"), entries);
        for (const int saves : {1, 2, 4}) {
            pool->setMaxThreadCount(saves);
            std::atomic<int> ended{0};
            QStringList dirs;
            for (int i = 0; i < saves; ++i) {
                const QString dir = root.filePath(QStringLiteral("%1-%2-%3").arg(entries).arg(saves).arg(i));
                QDir().mkpath(dir);
                QFile::link(root.filePath("images/img"), dir + "/img");
                dirs.append(dir);
                pool->start([&ended, plan, dir]() mutable {
                    Exporter::writeAll(plan, dir, Conventions::builtIn());
                    ++ended;
                });
            }
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (ended < saves && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (ended < saves) {
                // A save stuck on the pool can never be joined, and the pool
                // would wait for it at exit.
                std::fprintf(stderr, "%d of %d saves of a plan of %d entries on a pool of %d threads never ended\n",
                             saves - ended.load(), saves, entries, saves);
                std::_Exit(EXIT_FAILURE);
            }
            for (const QString &dir : dirs) {
                Plan written = plan;
                written.naming.platformMap = Conventions::builtIn().platformMap(written);
                EXPECT_EQ(readFile(dir + "/index.html"),
                          HTMLPage::render(written, Conventions::builtIn(), Exporter::assets(written, dir)));
                EXPECT_EQ(readFile(dir + "/plan.json"), JSONCoding::pretty(written));
            }
        }
    }
}
