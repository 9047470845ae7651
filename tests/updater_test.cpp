#include "claude/spawn.h"
#include "core/privatetemp.h"
#include "settings/updater.h"
#include "support/httpserver.h"
#include "support/qtprinters.h"
#include "support/zipwriter.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using Phase = Updater::Phase;

void PrintTo(const Updater::Phase &phase, std::ostream *out)
{
    static const char *const kinds[] = {"idle", "checking", "upToDate", "downloading", "installing", "failed"};
    *out << kinds[static_cast<int>(phase.kind)] << "(\"" << phase.message.toStdString() << "\")";
}

namespace {

const QByteArray latestPath = "/api/apps/com.tovanek.quarrystone.mac/latest";
const QByteArray packagePath = "/download/com.tovanek.quarrystone.mac/43.zip";
const QString checksumMessage = QStringLiteral("받은 파일이 깨졌어요(체크섬 다름). 다시 해 주세요.");

QByteArray latest(const QJsonValue &build, const QJsonObject &more = {})
{
    QJsonObject object{{"version", "1.4.0"}, {"build", build}, {"url", "https://example.com/43.zip"}};
    for (auto it = more.begin(); it != more.end(); ++it)
        object.insert(it.key(), it.value());
    return QJsonDocument(object).toJson();
}

bool writeFile(const QString &path, const QByteArray &contents, int mode = 0644)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(contents) != contents.size())
        return false;
    file.close();
    return ::chmod(QFile::encodeName(path).constData(), static_cast<mode_t>(mode)) == 0;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void chmodTree(const QString &path, mode_t folders, mode_t files)
{
    ::chmod(QFile::encodeName(path).constData(), folders);
    for (const QFileInfo &entry : QDir(path).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden)) {
        if (entry.isDir())
            chmodTree(entry.filePath(), folders, files);
        else
            ::chmod(QFile::encodeName(entry.filePath()).constData(), files);
    }
}

// A process id that no process has any more.
qint64 endedProcess()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    ::waitpid(pid, nullptr, 0);
    return pid;
}

// Folders the swap script works on, open to an unprivileged user too.
class Sandbox
{
public:
    Sandbox()
    {
        ::chmod(QFile::encodeName(m_dir.path()).constData(), 0755);
        QDir().mkpath(marks());
        ::chmod(QFile::encodeName(marks()).constData(), 0777);
    }

    QString path(const QString &relative) const { return m_dir.filePath(relative); }
    QString marks() const { return path("marks"); }
    QString relaunched() const { return QString::fromUtf8(readFile(marks() + "/relaunched")).trimmed(); }

    // An application folder whose program notes that it was started.
    void makeApp(const QString &app, const QByteArray &label) const
    {
        const QByteArray program = "#!/bin/sh\necho " + label + " >> '" + QFile::encodeName(marks()) + "/relaunched'\n";
        ASSERT_TRUE(writeFile(app + "/bin/quarrystone", program, 0755));
        ASSERT_TRUE(writeFile(app + "/Info.json", "{\"version\": \"" + label + "\"}"));
    }

    // Runs the script to its end; as an unprivileged user when the tests run
    // as root, whom no file permission stops.
    void run(const QString &script, bool unprivileged = false) const
    {
        const QString file = path("swap.sh");
        ASSERT_TRUE(writeFile(file, script.toUtf8()));
        QStringList args{"/bin/bash", file};
        QString program = "/bin/bash";
        if (unprivileged && ::geteuid() == 0) {
            program = "/usr/bin/setpriv";
            args.prepend("--clear-groups");
            args.prepend("--regid=65534");
            args.prepend("--reuid=65534");
        } else {
            args.removeFirst();
        }
        ASSERT_TRUE(Spawn::output(program, args, Spawn::processEnvironment(), std::chrono::seconds(30)));
    }

    bool waitForRelaunch() const
    {
        return QTest::qWaitFor([this] { return !relaunched().isEmpty() && relaunched() != "(missing)"; }, 10000);
    }

private:
    QTemporaryDir m_dir;
};

class UpdaterTest : public testing::Test
{
protected:
    UpdaterTest() { qunsetenv("QUARRYSTONE_UPDATE_AUTOINSTALL"); }
    ~UpdaterTest() override { qunsetenv("QUARRYSTONE_UPDATE_AUTOINSTALL"); }

    Updater::Hooks hooks(const QString &bundlePath, const QString &build)
    {
        Updater::Hooks h;
        h.bundle = Updater::Bundle{bundlePath, QString(), "1.3.0", build, server.base()};
        h.terminate = [this] { ++terminated; };
        h.processId = endedProcess();
        return h;
    }

    static bool settled(const Updater &updater)
    {
        return QTest::qWaitFor(
            [&updater] {
                const Phase::Kind kind = updater.phase().kind;
                return kind != Phase::Kind::checking && kind != Phase::Kind::downloading
                    && kind != Phase::Kind::installing;
            },
            15000);
    }

    // An updater that has found build 43 and may install it into `bundle`.
    std::unique_ptr<Updater> foundBuild43(const QString &bundle, const QJsonObject &more = {})
    {
        server.serve(latestPath, HttpServer::Response::json(latest("43", more)));
        auto updater = std::make_unique<Updater>(hooks(bundle, "42"));
        updater->check();
        EXPECT_TRUE(settled(*updater));
        EXPECT_TRUE(updater->available());
        return updater;
    }

    static QByteArray appZip(const QString &top, const QByteArray &label)
    {
        ZipWriter zip;
        zip.addFolder(top + "/");
        zip.addFolder(top + "/bin/");
        zip.addFile(top + "/bin/quarrystone", "#!/bin/sh\necho " + label + " >> \"$(dirname \"$0\")/../../../marks/relaunched\"\n",
                    0755);
        zip.addFile(top + "/Info.json", "{\"version\": \"" + label + "\"}");
        return zip.bytes();
    }

    HttpServer server;
    int terminated = 0;
};

} // namespace

TEST(UpdaterBuild, OnlyPlainDecimalTextIsANumber)
{
    const QList<QPair<QString, qint64>> cases{
        {"42", 42},
        {"+7", 7},
        {"-3", -3},
        {"007", 7},
        {"9223372036854775807", 9223372036854775807},
        {"-9223372036854775808", std::numeric_limits<qint64>::min()},
        {"9223372036854775808", 0},
        {"-9223372036854775809", 0},
        {"", 0},
        {" 42", 0},
        {"42 ", 0},
        {"4 2", 0},
        {"+", 0},
        {"-", 0},
        {"+-1", 0},
        {"abc", 0},
        {"0x10", 0},
        {"1e3", 0},
        {"4.2", 0},
        {"٤٢", 0},
        {"４２", 0},
    };
    for (const auto &[text, number] : cases)
        EXPECT_EQ(Updater::buildNumber(text), number) << text.toStdString();
}

TEST(UpdaterBundle, InstalledFolderAndDevelopmentBuild)
{
    QTemporaryDir dir;
    const Updater::Bundle development = Updater::Bundle::of(dir.filePath("build/src"));
    EXPECT_EQ(development.path, "");
    EXPECT_EQ(development.version, QUARRYSTONE_VERSION);
    EXPECT_EQ(development.build, "");
    EXPECT_EQ(development.updateURL, "");

    const QString app = dir.filePath("Applications/Quarrystone.app");
    ASSERT_TRUE(writeFile(app + "/Info.json", R"({"identifier": "com.example.quarry", "version": "1.4.0",
                                                  "build": "43", "updateURL": "https://updates.example"})"));
    QDir().mkpath(app + "/bin");
    ASSERT_TRUE(QFile::link(app, dir.filePath("Linked.app")));
    const Updater::Bundle installed = Updater::Bundle::of(dir.filePath("Linked.app/bin"));
    EXPECT_EQ(installed.path, QFileInfo(app).canonicalFilePath());
    EXPECT_EQ(installed.identifier, "com.example.quarry");
    EXPECT_EQ(installed.version, "1.4.0");
    EXPECT_EQ(installed.build, "43");
    EXPECT_EQ(installed.updateURL, "https://updates.example");

    // A build written as a number is not a build text.
    ASSERT_TRUE(writeFile(app + "/Info.json", R"({"build": 43})"));
    const Updater::Bundle numeric = Updater::Bundle::of(app + "/bin");
    EXPECT_EQ(numeric.build, "");
    EXPECT_EQ(numeric.version, QUARRYSTONE_VERSION);
    Updater::Hooks h;
    h.bundle = numeric;
    EXPECT_EQ(Updater(h).currentBuild(), 0);
    EXPECT_EQ(Updater(h).feed(), "https://apps.tovanek.com");
}

TEST(UpdaterBundle, CmakeInstallLaysOutTheBundleTheUpdaterReads)
{
    QTemporaryDir prefix;
    QProcess install;
    install.start(QStringLiteral("cmake"), {"--install", QStringLiteral(QUARRYSTONE_BUILD_DIR), "--prefix", prefix.path()});
    ASSERT_TRUE(install.waitForFinished(120000));
    ASSERT_EQ(install.exitCode(), 0) << install.readAllStandardError().toStdString();

    const Updater::Bundle bundle = Updater::Bundle::of(prefix.filePath("Quarrystone.app/bin"));
    EXPECT_EQ(bundle.path, QFileInfo(prefix.filePath("Quarrystone.app")).canonicalFilePath());
    EXPECT_EQ(bundle.identifier, QStringLiteral("com.tovanek.quarrystone.mac"));
    EXPECT_EQ(bundle.version, QStringLiteral(QUARRYSTONE_VERSION));
    EXPECT_FALSE(bundle.build.isEmpty());
    EXPECT_TRUE(QFileInfo(prefix.filePath("Quarrystone.app/bin/quarrystone")).isExecutable());
}

TEST_F(UpdaterTest, SameBuildIsUpToDateAndANewerOneIsAvailable)
{
    server.serve(latestPath, HttpServer::Response::json(latest("42")));
    Updater updater(hooks(QString(), "42"));
    updater.check();
    EXPECT_EQ(updater.phase(), Phase::checking());
    // Ignored while the first check runs.
    updater.check();
    ASSERT_TRUE(settled(updater));
    EXPECT_EQ(updater.phase(), Phase::upToDate());
    EXPECT_EQ(updater.available(), std::nullopt);
    ASSERT_TRUE(updater.lastChecked());
    EXPECT_EQ(server.requestsTo(latestPath).size(), 1);
    EXPECT_EQ(server.requestsTo(latestPath).first().method, "GET");

    server.serve(latestPath, HttpServer::Response::json(latest("43", {{"notes", "Faster"}, {"sha256", QJsonValue()},
                                                                      {"channel", "beta"}})));
    updater.check();
    ASSERT_TRUE(settled(updater));
    EXPECT_EQ(updater.phase(), Phase::idle());
    EXPECT_EQ(updater.available(),
              (Updater::Latest{"1.4.0", "43", QString("Faster"), "https://example.com/43.zip", std::nullopt}));

    // Not a plain number: counts as 0, so nothing is newer.
    server.serve(latestPath, HttpServer::Response::json(latest("abc")));
    updater.check();
    ASSERT_TRUE(settled(updater));
    EXPECT_EQ(updater.phase(), Phase::upToDate());
    EXPECT_EQ(updater.available(), std::nullopt);
}

TEST_F(UpdaterTest, BadAnswersFailTheCheckAndKeepWhatWasFound)
{
    server.serve(latestPath, HttpServer::Response::json(latest("43")));
    Updater updater(hooks(QString(), "1"));
    updater.check();
    ASSERT_TRUE(settled(updater));
    ASSERT_TRUE(updater.available());
    const QString message = "배포 서버에 닿지 못했어요 (" + server.base() + ")";

    const QList<HttpServer::Response> answers{
        HttpServer::Response::json(latest(43)),
        HttpServer::Response::json(QJsonDocument(QJsonObject{{"version", "1.4.0"}, {"build", "44"}}).toJson()),
        HttpServer::Response::json(latest("44", {{"notes", 3}})),
        HttpServer::Response::json("[]"),
        HttpServer::Response::text(404, "Not found"),
        HttpServer::Response::text(500, latest("44")),
        HttpServer::Response::dropped(),
    };
    for (const HttpServer::Response &answer : answers) {
        server.serve(latestPath, answer);
        updater.check();
        ASSERT_TRUE(settled(updater));
        EXPECT_EQ(updater.phase(), Phase::failed(message)) << answer.body.toStdString();
        EXPECT_EQ(updater.available()->build, "43");
    }
    // A check nobody asked for fails quietly.
    updater.check(false);
    ASSERT_TRUE(settled(updater));
    EXPECT_EQ(updater.phase(), Phase::idle());
}

TEST_F(UpdaterTest, DismissClearsAShownResultButNotACheckUnderWay)
{
    HttpServer::Response slow = HttpServer::Response::json(latest("42"));
    slow.delay = std::chrono::milliseconds(300);
    server.serve(latestPath, slow);
    Updater updater(hooks(QString(), "42"));
    updater.check();
    updater.dismiss();
    EXPECT_EQ(updater.phase(), Phase::checking());
    ASSERT_TRUE(settled(updater));
    EXPECT_EQ(updater.phase(), Phase::upToDate());
    updater.dismiss();
    EXPECT_EQ(updater.phase(), Phase::idle());

    server.serve(latestPath, HttpServer::Response::text(500, "down"));
    updater.check();
    ASSERT_TRUE(settled(updater));
    EXPECT_EQ(updater.phase().kind, Phase::Kind::failed);
    updater.dismiss();
    EXPECT_EQ(updater.phase(), Phase::idle());
    updater.dismiss();
    EXPECT_EQ(updater.phase(), Phase::idle());
}

TEST_F(UpdaterTest, FeedIsUsedAsItStands)
{
    Updater::Hooks h = hooks(QString(), "1");
    h.bundle.updateURL = server.base() + "/";
    Updater updater(h);
    EXPECT_EQ(updater.feed(), server.base() + "/");
    updater.check();
    ASSERT_TRUE(settled(updater));
    // Qt's HTTP layer sends the doubled slash as one.
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests().first().target, latestPath);
    EXPECT_EQ(updater.phase(), Phase::failed("배포 서버에 닿지 못했어요 (" + server.base() + "/)"));

    // An address that is no web address is not fetched at all.
    h.bundle.updateURL = "file:///etc";
    Updater local(h);
    local.check();
    ASSERT_TRUE(settled(local));
    EXPECT_EQ(local.phase(), Phase::failed("배포 서버에 닿지 못했어요 (file:///etc)"));
    EXPECT_EQ(server.requests().size(), 1);
}

TEST_F(UpdaterTest, InstallFailures)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    const QByteArray zip = appZip("Quarrystone.app", "new");
    const QString digest = QString::fromLatin1(QCryptographicHash::hash(zip, QCryptographicHash::Sha256).toHex());

    // Upper-case hexadecimal is not the digest.
    std::unique_ptr<Updater> updater = foundBuild43(app, {{"sha256", digest.toUpper()}});
    server.serve(packagePath, {200, zip, {}, std::chrono::milliseconds(300), false});
    updater->install();
    EXPECT_EQ(updater->phase(), Phase::downloading());
    // A second install or a check while downloading changes nothing.
    updater->install();
    updater->check();
    EXPECT_EQ(updater->phase(), Phase::downloading());
    ASSERT_TRUE(settled(*updater));
    EXPECT_EQ(updater->phase(), Phase::failed(checksumMessage));
    EXPECT_EQ(server.requestsTo(packagePath).size(), 1);
    EXPECT_EQ(server.requestsTo(latestPath).size(), 1);
    EXPECT_TRUE(updater->available());

    updater = foundBuild43(app);
    server.serve(packagePath, HttpServer::Response::text(404, "Not found"));
    updater->install();
    ASSERT_TRUE(settled(*updater));
    EXPECT_EQ(updater->phase(), Phase::failed("업데이트하지 못했어요: 서버가 올바르지 않은 응답을 보냈어요 (HTTP 404)"));

    // The application inside a folder is no application at the top.
    updater = foundBuild43(app);
    server.serve(packagePath, HttpServer::Response{200, appZip("Payload/Quarrystone.app", "new"), {}, {}, false});
    updater->install();
    ASSERT_TRUE(settled(*updater));
    EXPECT_EQ(updater->phase(), Phase::failed("zip 안에 앱이 없어요"));

    // Work that started during the download stops the swap.
    updater = foundBuild43(app);
    updater->setBusyCheck([] { return true; });
    server.serve(packagePath, HttpServer::Response{200, zip, {}, {}, false});
    updater->install();
    ASSERT_TRUE(settled(*updater));
    EXPECT_EQ(updater->phase(),
              Phase::failed("업데이트하지 못했어요: 진행 중인 작업이 있어요. 작업이 끝나면 다시 해 주세요."));

    EXPECT_EQ(terminated, 0);
    EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"old\"}");
}

TEST_F(UpdaterTest, DevelopmentBuildChecksButDoesNotInstall)
{
    std::unique_ptr<Updater> updater = foundBuild43(QString());
    updater->install();
    EXPECT_EQ(updater->phase(),
              Phase::failed("업데이트하지 못했어요: 설치된 Quarrystone.app 에서 실행한 앱만 업데이트할 수 있어요"));
    EXPECT_TRUE(server.requestsTo(packagePath).isEmpty());
}

TEST_F(UpdaterTest, NewerBuildInstallsItselfWhenAskedTo)
{
    qputenv("QUARRYSTONE_UPDATE_AUTOINSTALL", "1");
    server.serve(latestPath, HttpServer::Response::json(latest("43")));
    server.serve(packagePath, HttpServer::Response::text(404, "Not found"));
    Updater updater(hooks(QString("/nonexistent/Quarrystone.app"), "42"));
    updater.check();
    ASSERT_TRUE(settled(updater));
    EXPECT_EQ(server.requestsTo(packagePath).size(), 1);
    EXPECT_EQ(updater.phase().kind, Phase::Kind::failed);

    qputenv("QUARRYSTONE_UPDATE_AUTOINSTALL", "true");
    Updater manual(hooks(QString("/nonexistent/Quarrystone.app"), "42"));
    manual.check();
    ASSERT_TRUE(settled(manual));
    EXPECT_EQ(manual.phase(), Phase::idle());
    EXPECT_EQ(server.requestsTo(packagePath).size(), 1);
}

TEST_F(UpdaterTest, InstallSwapsTheApplicationAndStartsItAgain)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    const QByteArray zip = appZip("Quarrystone.app", "new");
    const QString digest = QString::fromLatin1(QCryptographicHash::hash(zip, QCryptographicHash::Sha256).toHex());
    std::unique_ptr<Updater> updater = foundBuild43(app, {{"sha256", digest}});
    server.serve(packagePath, HttpServer::Response{200, zip, {}, {}, false});

    updater->install();
    ASSERT_TRUE(QTest::qWaitFor([this] { return terminated == 1; }, 15000)) << updater->phase().message.toStdString();
    EXPECT_EQ(updater->phase(), Phase::installing());

    // The new application started from its place in the old one's folder.
    ASSERT_TRUE(QTest::qWaitFor([&app] { return readFile(app + "/Info.json") == "{\"version\": \"new\"}"; }, 10000));
    ASSERT_TRUE(sandbox.waitForRelaunch());
    EXPECT_EQ(sandbox.relaunched(), "new");
    EXPECT_FALSE(QFileInfo::exists(app + ".old"));

    const std::optional<QString> privateFolder = PrivateTemp::folder();
    ASSERT_TRUE(privateFolder);
    const QString work = *privateFolder + "/quarrystone-update-43";
    EXPECT_TRUE(QFileInfo(work + "/app.zip").isFile());
    const QString script = QString::fromUtf8(readFile(work + "/swap.sh"));
    EXPECT_TRUE(script.startsWith("#!/bin/bash\nwhile kill -0 "));
    EXPECT_TRUE(script.contains("APP='" + app + "'; NEW='" + work + "/Quarrystone.app'"));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(*privateFolder).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(UpdaterScript, GoldenText)
{
    EXPECT_EQ(Updater::swapScript("/opt/Quarry's apps/Quarrystone.app", "/tmp/q/quarrystone-update-43/Quarrystone.app",
                                  4242),
              "#!/bin/bash\n"
              "while kill -0 4242 2>/dev/null; do sleep 0.3; done\n"
              "APP='/opt/Quarry'\\''s apps/Quarrystone.app'; NEW='/tmp/q/quarrystone-update-43/Quarrystone.app'\n"
              "rm -rf \"$APP.old\"\n"
              "if mv \"$APP\" \"$APP.old\"; then if cp -a \"$NEW\" \"$APP\"; then rm -rf \"$APP.old\"; "
              "else rm -rf \"$APP\"; mv \"$APP.old\" \"$APP\"; fi; fi\n"
              "/usr/bin/setsid -f \"$APP/bin/quarrystone\" </dev/null >/dev/null 2>&1");
}

TEST(UpdaterScript, SwapsFoldersWhosePathsHoldQuotes)
{
    Sandbox sandbox;
    const QString app = sandbox.path("it's \"here\" $HOME/Quarry's.app");
    const QString fresh = sandbox.path("work/Quarrystone.app");
    sandbox.makeApp(app, "old");
    sandbox.makeApp(fresh, "new");
    ASSERT_TRUE(writeFile(app + ".old/stale", "left over"));

    sandbox.run(Updater::swapScript(app, fresh, endedProcess()));
    EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"new\"}");
    EXPECT_FALSE(QFileInfo::exists(app + ".old"));
    EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone").isExecutable());
    ASSERT_TRUE(sandbox.waitForRelaunch());
    EXPECT_EQ(sandbox.relaunched(), "new");
}

TEST(UpdaterScript, WaitsForTheApplicationToEnd)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    const QString fresh = sandbox.path("work/Quarrystone.app");
    sandbox.makeApp(app, "old");
    sandbox.makeApp(fresh, "new");
    const pid_t running = ::fork();
    if (running == 0) {
        ::usleep(600'000);
        ::_exit(0);
    }
    // Reaped as soon as it ends: until then it would still count as running.
    std::thread reaper([running] { ::waitpid(running, nullptr, 0); });
    // The script starts while the application still runs.
    QByteArray script = Updater::swapScript(app, fresh, running).toUtf8();
    QFile file(sandbox.path("swap.sh"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(script);
    file.close();
    const std::optional<QString> out = Spawn::output(
        "/bin/bash", {"-c", "bash \"$0\" & sleep 0.2; cat \"$1\"; wait", file.fileName(), app + "/Info.json"},
        Spawn::processEnvironment(), std::chrono::seconds(30));
    reaper.join();
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "{\"version\": \"old\"}");
    ASSERT_TRUE(QTest::qWaitFor([&app] { return readFile(app + "/Info.json") == "{\"version\": \"new\"}"; }, 10000));
}

TEST(UpdaterScript, FailedCopyPutsTheOldApplicationBack)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    const QString fresh = sandbox.path("work/Quarrystone.app");
    sandbox.makeApp(app, "old");
    sandbox.makeApp(fresh, "new");
    // The copy fails part of the way, on a file it cannot read.
    ASSERT_TRUE(writeFile(fresh + "/zz-locked", "secret", 0000));
    chmodTree(sandbox.path("Apps"), 0777, 0666);
    ::chmod(QFile::encodeName(app + "/bin/quarrystone").constData(), 0755);

    sandbox.run(Updater::swapScript(app, fresh, endedProcess()), true);
    EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"old\"}");
    EXPECT_FALSE(QFileInfo::exists(app + "/zz-locked"));
    EXPECT_FALSE(QFileInfo::exists(app + ".old"));
    ASSERT_TRUE(sandbox.waitForRelaunch());
    EXPECT_EQ(sandbox.relaunched(), "old");
}

TEST(UpdaterScript, ApplicationThatCannotBeMovedStaysWhole)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    const QString fresh = sandbox.path("work/Quarrystone.app");
    sandbox.makeApp(app, "old");
    sandbox.makeApp(fresh, "new");
    // The application's own files could be deleted, but its folder cannot be
    // renamed in the folder that holds it.
    chmodTree(app, 0777, 0666);
    ::chmod(QFile::encodeName(app + "/bin/quarrystone").constData(), 0755);
    ::chmod(QFile::encodeName(sandbox.path("Apps")).constData(), 0555);

    sandbox.run(Updater::swapScript(app, fresh, endedProcess()), true);
    ::chmod(QFile::encodeName(sandbox.path("Apps")).constData(), 0755);
    EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"old\"}");
    EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone").isExecutable());
    EXPECT_FALSE(QFileInfo::exists(app + ".old"));
    ASSERT_TRUE(sandbox.waitForRelaunch());
    EXPECT_EQ(sandbox.relaunched(), "old");
}
