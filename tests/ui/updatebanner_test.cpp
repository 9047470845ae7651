#include "app/appstate.h"
#include "model/generator.h"
#include "settings/updater.h"
#include "support/httpserver.h"
#include "support/qtprinters.h"
#include "support/zipwriter.h"
#include "views/elidedlabel.h"
#include "views/updatebanner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using Kind = Updater::Phase::Kind;

namespace {

const QByteArray latestPath = "/api/apps/com.tovanek.quarrystone.mac/latest";
const QByteArray packagePath = "/download/com.tovanek.quarrystone.mac/43.zip";

QByteArray latest(const QJsonObject &more = {})
{
    QJsonObject object{{"version", "1.4.0"}, {"build", "43"}, {"url", "https://example.com/43.zip"}};
    for (auto it = more.begin(); it != more.end(); ++it)
        object.insert(it.key(), it.value());
    return QJsonDocument(object).toJson();
}

qint64 endedProcess()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

class UpdateBannerTest : public testing::Test
{
protected:
    UpdateBannerTest()
    {
        qunsetenv("QUARRYSTONE_UPDATE_AUTOINSTALL");
        QDir().mkpath(bundle.filePath("Quarrystone.app/bin"));
        Updater::Hooks hooks;
        hooks.bundle = Updater::Bundle{bundle.filePath("Quarrystone.app"), QString(), "1.3.0", "42", server.base()};
        hooks.terminate = [] {};
        hooks.processId = endedProcess();
        updater = std::make_unique<Updater>(hooks);
        banner = new UpdateBanner(*updater, [this] { return busy; }, &window);
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(banner);
        layout->addStretch(1);
        window.resize(250, 300);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    bool settle()
    {
        return QTest::qWaitFor(
            [this] {
                const Kind kind = updater->phase().kind;
                return kind != Kind::checking && kind != Kind::downloading && kind != Kind::installing;
            },
            15000);
    }

    template<typename T>
    T *child(const char *name) const
    {
        return banner->findChild<T *>(name);
    }

    bool shown(const char *name) const { return child<QWidget>(name)->isVisibleTo(&window); }

    QTemporaryDir bundle;
    HttpServer server;
    std::unique_ptr<Updater> updater;
    bool busy = false;
    QWidget window;
    UpdateBanner *banner;
};

} // namespace

TEST_F(UpdateBannerTest, StatusRowFollowsTheCheckUntilDismissed)
{
    // Idle without a build: the banner takes no room.
    EXPECT_FALSE(banner->isVisibleTo(&window));

    HttpServer::Response slow = HttpServer::Response::json(latest({{"build", "42"}}));
    slow.delay = std::chrono::milliseconds(300);
    server.serve(latestPath, slow);
    updater->check();
    EXPECT_TRUE(banner->isVisibleTo(&window));
    EXPECT_TRUE(shown("statusRow"));
    EXPECT_FALSE(shown("offerPanel"));
    EXPECT_EQ(child<ElidedLabel>("statusText")->text(), "업데이트 확인 중…");
    EXPECT_FALSE(shown("dismissButton"));
    EXPECT_FALSE(shown("statusSymbol"));

    ASSERT_TRUE(settle());
    EXPECT_EQ(child<ElidedLabel>("statusText")->text(), "최신 버전이에요");
    EXPECT_EQ(child<QLabel>("statusSymbol")->property("symbol"), "checkmark.circle.fill");
    EXPECT_EQ(child<QLabel>("statusSymbol")->property("tone"), "green");
    ASSERT_TRUE(shown("dismissButton"));
    EXPECT_EQ(child<QToolButton>("dismissButton")->property("symbol"), "xmark");
    QTest::mouseClick(child<QToolButton>("dismissButton"), Qt::LeftButton);
    EXPECT_EQ(updater->phase().kind, Kind::idle);
    EXPECT_FALSE(banner->isVisibleTo(&window));

    server.serve(latestPath, HttpServer::Response::text(500, "down"));
    updater->check();
    ASSERT_TRUE(settle());
    EXPECT_EQ(child<ElidedLabel>("statusText")->text(), "배포 서버에 닿지 못했어요 (" + server.base() + ")");
    EXPECT_EQ(child<QLabel>("statusSymbol")->property("symbol"), "exclamationmark.triangle.fill");
    EXPECT_EQ(child<QLabel>("statusSymbol")->property("tone"), "orange");
    EXPECT_EQ(child<ElidedLabel>("statusText")->maxLines(), 2);
    QTest::mouseClick(child<QToolButton>("dismissButton"), Qt::LeftButton);
    EXPECT_FALSE(banner->isVisibleTo(&window));
}

TEST_F(UpdateBannerTest, OfferPanelHoldsTheInstallBackWhileBusyAndShowsItsProgress)
{
    const QString notes = "<b>굵게</b> 아님 — 첫 줄이 길어서 여러 줄로 넘어가요. 둘째 문장도 길게 이어져서 "
                          "사이드바 폭으로는 세 줄을 넘겨요. 셋째 문장, 넷째 문장, 다섯째 문장까지 계속돼요.";
    server.serve(latestPath, HttpServer::Response::json(latest({{"notes", notes}})));
    updater->check();
    ASSERT_TRUE(settle());
    ASSERT_TRUE(updater->available());
    EXPECT_TRUE(shown("offerPanel"));
    EXPECT_FALSE(shown("statusRow"));
    EXPECT_EQ(child<QLabel>("offerVersion")->text(), "새 버전 1.4.0");
    EXPECT_EQ(child<QLabel>("offerVersion")->textFormat(), Qt::PlainText);
    // Server text is shown as it stands, cut to three lines.
    EXPECT_EQ(child<ElidedLabel>("offerNotes")->text(), notes);
    EXPECT_EQ(child<ElidedLabel>("offerNotes")->maxLines(), 3);
    EXPECT_TRUE(child<ElidedLabel>("offerNotes")->isElided());
    EXPECT_FALSE(shown("offerFailure"));
    auto *install = child<QPushButton>("installButton");
    EXPECT_EQ(install->text(), "1.4.0 버전으로 업데이트하기");
    EXPECT_TRUE(install->isEnabled());
    ASSERT_TRUE(QTest::qWaitFor([&] { return install->isVisible(); }));
    EXPECT_GE(install->width() - install->fontMetrics().horizontalAdvance(install->text()), 4 * install->fontMetrics().averageCharWidth());

    busy = true;
    banner->redraw();
    EXPECT_EQ(install->text(), "작업이 끝나면 업데이트할 수 있어요");
    EXPECT_FALSE(install->isEnabled());
    busy = false;
    banner->redraw();
    EXPECT_TRUE(install->isEnabled());

    // The application's busy rule under the running demonstration, redrawn
    // as the generator's phase changes.
    auto *shared = new UpdateBanner(*updater, &AppState::busy, &window);
    QObject::connect(&Generator::shared(), &Generator::phaseChanged, shared, &UpdateBanner::redraw);
    auto *sharedInstall = shared->findChild<QPushButton *>("installButton");
    qputenv("QUARRYSTONE_DEMO_PROGRESS", "running");
    Generator::shared().demoIfRequested();
    qunsetenv("QUARRYSTONE_DEMO_PROGRESS");
    EXPECT_EQ(sharedInstall->text(), "작업이 끝나면 업데이트할 수 있어요");
    EXPECT_FALSE(sharedInstall->isEnabled());
    Generator::shared().setPhase(Generator::Phase::idle());
    EXPECT_EQ(sharedInstall->text(), "1.4.0 버전으로 업데이트하기");
    EXPECT_TRUE(sharedInstall->isEnabled());

    // An available build hides the status row whatever the phase; a failed
    // check shows its message in the panel.
    server.serve(latestPath, HttpServer::Response::text(500, "down"));
    updater->check();
    ASSERT_TRUE(settle());
    EXPECT_TRUE(shown("offerPanel"));
    EXPECT_FALSE(shown("statusRow"));
    EXPECT_TRUE(shown("offerFailure"));
    EXPECT_EQ(child<QLabel>("offerFailure")->property("tone"), "orange");

    // Made before its place in the sidebar, as the view factory does: no
    // window of its own, and shown once it has its place.
    auto *early = new UpdateBanner(*updater, [] { return false; }, nullptr);
    EXPECT_FALSE(early->isVisible());
    early->setParent(&window);
    window.layout()->addWidget(early);
    EXPECT_TRUE(QTest::qWaitFor([&] { return early->isVisibleTo(&window); }));
    EXPECT_TRUE(early->findChild<QWidget *>("offerPanel")->isVisibleTo(&window));

    // Notes absent: no empty line. A version with "&" shows it, with no
    // mnemonic made of it.
    server.serve(latestPath, HttpServer::Response::json(latest({{"version", "1.5 R&D"}})));
    updater->check();
    ASSERT_TRUE(settle());
    EXPECT_FALSE(shown("offerNotes"));
    EXPECT_FALSE(shown("offerFailure"));
    EXPECT_EQ(child<QLabel>("offerVersion")->text(), "새 버전 1.5 R&D");
    EXPECT_EQ(install->text(), "1.5 R&&D 버전으로 업데이트하기");
    EXPECT_TRUE(QKeySequence::mnemonic(install->text()).isEmpty());

    // Installing: what the panel says at each phase, read as the phase changes.
    QStringList seen;
    QObject::connect(updater.get(), &Updater::phaseChanged, banner, [&] {
        seen.append(QString("%1|%2|%3")
                        .arg(shown("offerProgress") ? child<QLabel>("offerProgress")->text() : "-")
                        .arg(child<QPushButton>("installButton")->isEnabled())
                        .arg(shown("offerFailure") ? child<QLabel>("offerFailure")->text() : "-"));
    });
    ZipWriter zip;
    zip.addFolder("Payload/");
    zip.addFile("Payload/readme.txt", "no app here");
    server.serve(packagePath, {200, zip.bytes(), {}, std::chrono::milliseconds(200), false});
    QTest::mouseClick(install, Qt::LeftButton);
    ASSERT_TRUE(settle());
    EXPECT_EQ(seen, QStringList({"받는 중…|0|-", "바꾸고 다시 여는 중…|0|-", "-|1|zip 안에 앱이 없어요"}));
}

TEST_F(UpdateBannerTest, StartAfterAFailedSwapShowsWhy)
{
    // Left by the swap script that put the old application back.
    const QString note = qEnvironmentVariable("QUARRYSTONE_SUPPORT") + "/update-failed.txt";
    QDir().mkpath(QFileInfo(note).path());
    QFile file(note);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("디스크에 남은 공간이 없어요");
    file.close();
    Updater::Hooks hooks;
    hooks.bundle = Updater::Bundle{bundle.filePath("Quarrystone.app"), QString(), "1.3.0", "42", server.base()};
    hooks.terminate = [] {};
    hooks.processId = endedProcess();
    Updater restarted(hooks);
    auto *restartedBanner = new UpdateBanner(restarted, [] { return false; }, &window);
    window.layout()->addWidget(restartedBanner);

    EXPECT_TRUE(QTest::qWaitFor([&] { return restartedBanner->isVisibleTo(&window); }));
    EXPECT_EQ(restartedBanner->findChild<ElidedLabel *>("statusText")->text(),
              "업데이트하지 못했어요: 디스크에 남은 공간이 없어요");
    QTest::mouseClick(restartedBanner->findChild<QToolButton *>("dismissButton"), Qt::LeftButton);
    EXPECT_FALSE(restartedBanner->isVisibleTo(&window));
    delete restartedBanner;
}
