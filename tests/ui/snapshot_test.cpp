#include "library.h"
#include "support/commandline.h"
#include "support/fakeclaude.h"
#include "support/qtprinters.h"

#include "app/snapshot.h"

#include <QDialog>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSet>
#include <QTest>
#include <QWindow>
#include <cmath>
#include <csignal>

TEST(SnapshotNames, OnlyTheFileNameChangesAndTheIntervalIsFinite)
{
    struct Case {
        QString path;
        QString sheet;
        QString cycle1;
        QString cycle123;
    };
    const Case cases[] = {
        {"/s/main.png", "/s/main-sheet.png", "/s/main-01.png", "/s/main-123.png"},
        {"/s/a.png.d/shot.png", "/s/a.png.d/shot-sheet.png", "/s/a.png.d/shot-01.png", "/s/a.png.d/shot-123.png"},
        {"/s/x.png.png", "/s/x-sheet.png-sheet.png", "/s/x-01.png-01.png", "/s/x-123.png-123.png"},
        {"/s/a.png.d/shot", "/s/a.png.d/shot-sheet", "/s/a.png.d/shot-01", "/s/a.png.d/shot-123"},
        {"shot.png", "shot-sheet.png", "shot-01.png", "shot-123.png"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(Snapshot::sheetPath(c.path), c.sheet);
        EXPECT_EQ(Snapshot::cyclePath(c.path, 1), c.cycle1);
        EXPECT_EQ(Snapshot::cyclePath(c.path, 123), c.cycle123);
    }
    EXPECT_EQ(Snapshot::cyclePath("/s/m.png", 12), "/s/m-12.png");

    // The interval is a finite number above zero.
    EXPECT_EQ(Snapshot::interval("0.5"), 0.5);
    EXPECT_EQ(Snapshot::interval("2"), 2.0);
    for (const char *text : {"", "0", "-1", "abc", "inf", "nan", "1e999", "0.5s"})
        EXPECT_FALSE(Snapshot::interval(text)) << text;
}

TEST(SnapshotWindows, PicturesTheWindowAndItsSheet)
{
    QTemporaryDir folder;
    // A small window listed first does not qualify.
    QWidget small;
    small.resize(400, 200);
    small.show();
    QWidget main;
    main.resize(900, 600);
    main.setStyleSheet("background: #3070c0;");
    main.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&main));
    EXPECT_EQ(Snapshot::qualifyingWindow(), main.windowHandle());
    EXPECT_EQ(Snapshot::attachedSheet(main.windowHandle()), nullptr);

    QDialog sheet(&main);
    sheet.setWindowModality(Qt::WindowModal);
    sheet.resize(500, 400);
    sheet.open();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&sheet));
    // The sheet is not a candidate even though it is tall enough.
    EXPECT_EQ(Snapshot::qualifyingWindow(), main.windowHandle());
    ASSERT_EQ(Snapshot::attachedSheet(main.windowHandle()), sheet.windowHandle());

    const QString path = folder.filePath("a.png.d/shot");
    QDir().mkpath(folder.filePath("a.png.d"));
    ASSERT_TRUE(Snapshot::shot(main.windowHandle(), path));
    ASSERT_TRUE(Snapshot::shot(sheet.windowHandle(), Snapshot::sheetPath(path)));
    const QImage window(path, "PNG");
    const QImage picture(folder.filePath("a.png.d/shot-sheet"), "PNG");
    EXPECT_EQ(window.size(), QSize(900, 600));
    EXPECT_EQ(picture.size(), QSize(500, 400));
    EXPECT_EQ(window.pixelColor(450, 300), QColor("#3070c0"));
    // A folder that does not exist: no picture.
    EXPECT_FALSE(Snapshot::shot(main.windowHandle(), folder.filePath("missing/x.png")));
}

namespace {

// The built application on the test's display.
class App
{
public:
    App(const QString &home, const QString &snapshot, const QString &every)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", home);
        env.insert("XDG_DATA_HOME", home + "/.local/share");
        env.insert("QUARRYSTONE_SUPPORT", home + "/support");
        env.insert("QUARRYSTONE_SNAPSHOT", snapshot);
        env.remove("QUARRYSTONE_SNAPSHOT_EVERY");
        if (!every.isNull())
            env.insert("QUARRYSTONE_SNAPSHOT_EVERY", every);
        process.setProcessEnvironment(env);
        process.start(QUARRYSTONE_BINARY, QStringList());
    }

    ~App()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }

    QProcess process;
};

int colours(const QImage &image)
{
    QSet<QRgb> seen;
    for (int y = 0; y < image.height(); y += 2)
        for (int x = 0; x < image.width(); x += 2)
            seen.insert(image.pixel(x, y));
    return int(seen.size());
}

} // namespace

class SnapshotApp : public Library
{
protected:
    void SetUp() override
    {
        Library::SetUp();
        home = root.path() + "/home";
        QDir().mkpath(home + "/support");
        AppSettings settings = stored();
        settings.outputDir = output;
        write(home + "/support/settings.json", QJsonDocument(settings.toJson()).toJson());
        for (int n = 1; n <= 3; ++n)
            makePlan(output + QString("/plan%1").arg(n), QString("계획서 %1").arg(n), "Feature", n);
        shots = root.path() + "/shots";
        QDir().mkpath(shots);
    }

    QString home;
    QString shots;
};

TEST_F(SnapshotApp, OneShotPeriodicFailedAndOff)
{
    App once(home, shots + "/once.png", QString());
    App periodic(home, shots + "/every.png", "0.5");
    App missing(home, shots + "/missing/x.png", "inf");
    App off(home, "", "0.5");

    for (App *app : {&once, &periodic, &missing})
        ASSERT_TRUE(app->process.waitForFinished(30000));
    EXPECT_EQ(once.process.exitCode(), 0);
    EXPECT_EQ(periodic.process.exitCode(), 0);
    EXPECT_EQ(missing.process.exitCode(), 3);

    const QImage picture(shots + "/once.png", "PNG");
    EXPECT_EQ(picture.size(), QSize(1280, 820));
    EXPECT_GT(colours(picture), 8);
    EXPECT_TRUE(QImage(shots + "/every-01.png", "PNG").size() == QSize(1280, 820));
    EXPECT_TRUE(QFileInfo::exists(shots + "/every-02.png"));
    EXPECT_FALSE(QFileInfo::exists(shots + "/every-03.png"));
    EXPECT_FALSE(QFileInfo::exists(shots + "/once-sheet.png"));

    // An empty variable turns the mode off: the application keeps running.
    EXPECT_FALSE(off.process.waitForFinished(1000));
    EXPECT_EQ(off.process.state(), QProcess::Running);
    CommandLine::signal(off.process, SIGTERM);
    ASSERT_TRUE(off.process.waitForFinished(10000));
}

// The screenshot mode ends the application the way its quit does: a check
// still waiting on a `claude --version` that never answers (and outlives
// SIGTERM) does not outlive the window.
TEST_F(SnapshotApp, NoCheckOutlivesTheWindow)
{
    FakeClaude fake;
    fake.setScenario({{"responses", QJsonArray{QJsonObject{
                          {"args", QJsonArray{"--version"}},
                          {"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject{{"ignore", true}}}}}}}}}});
    AppSettings settings = stored();
    settings.outputDir = output;
    settings.claudePath = FakeClaude::path();
    write(home + "/support/settings.json", QJsonDocument(settings.toJson()).toJson());

    App once(home, shots + "/hung.png", QString());
    ASSERT_TRUE(once.process.waitForFinished(30000));
    EXPECT_EQ(once.process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(once.process.exitCode(), 0);
    EXPECT_FALSE(fake.starts("").isEmpty());
    EXPECT_TRUE(fake.noneRunning());
    for (const qint64 left : fake.running())
        ::kill(static_cast<pid_t>(left), SIGKILL);
}
