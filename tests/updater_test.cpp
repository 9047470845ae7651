#include "process/spawn.h"
#include "core/folderlock.h"
#include "core/privatetemp.h"
#include "settings/appswap.h"
#include "settings/updater.h"
#include "support/commandline.h"
#include "support/fakeclaude.h"
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
#include <QRandomGenerator>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
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

// The swap script as the application leaves it: outside any run of ours,
// so that what it starts (the relaunched application) outlives it, and
// the process numbers it waits for are this process's own.
std::optional<QString> outsideAnyRun(const QString &program, const QStringList &args)
{
    QProcess process;
    process.start(program, args);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return std::nullopt;
    return QString::fromUtf8(process.readAllStandardOutput());
}

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

// An application's program as a stand-in: it answers the updater's check
// with `selfCheck`, has the real executable finish a swap, and otherwise
// notes in `marks` that it was started.
// The built executable where an unprivileged user can run it: the build
// folder may lie in a folder only its owner can enter.
QByteArray reachableBinary()
{
    static const QString copy = [] {
        const QString path = QDir::tempPath() + "/quarrystone-under-test";
        QFile::remove(path);
        if (!QFile::copy(QUARRYSTONE_BINARY, path))
            return QStringLiteral(QUARRYSTONE_BINARY);
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                        | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                        | QFileDevice::ExeOther);
        return path;
    }();
    return QFile::encodeName(copy);
}

QByteArray standIn(const QByteArray &label, const QByteArray &marks, int selfCheck = 0)
{
    return "#!/bin/sh\ncase \"$1\" in\n--self-check) exit " + QByteArray::number(selfCheck)
        + ";;\n--finish-update) exec '" + reachableBinary() + "' \"$@\";;\nesac\necho " + label + " >> " + marks
        + "\n";
}

bool exists(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0;
}

// What stands beside the installed folder, the folder itself included.
QStringList besideApp(const QString &app)
{
    return QDir(QFileInfo(app).path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
}

// Bytes that do not compress, so that a package takes its full room.
QByteArray noise(qsizetype size)
{
    QByteArray bytes(size, '\0');
    for (char &byte : bytes)
        byte = char(QRandomGenerator::global()->generate());
    return bytes;
}

QString workFolder43()
{
    return PrivateTemp::folder().value_or("(none)") + "/quarrystone-update-43";
}

// A small file system of `size` mounted on `path` for the life of the
// object; root only.
class SmallDisk
{
public:
    SmallDisk(const QString &path, const QByteArray &size)
        : m_path(QFile::encodeName(path))
    {
        QDir().mkpath(path);
        m_mounted = ::geteuid() == 0 && ::mount("tmpfs", m_path.constData(), "tmpfs", 0, "size=" + size) == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(m_path.constData(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    bool makeReadOnly() const
    {
        return ::mount(nullptr, m_path.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    QByteArray m_path;
    bool m_mounted = false;
};

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

    QString note() const { return marks() + "/update-failed.txt"; }
    QString work() const { return path("work"); }

    // An application folder whose program notes that it was started.
    void makeApp(const QString &app, const QByteArray &label) const
    {
        const QByteArray program = standIn(label, "'" + QFile::encodeName(marks()) + "/relaunched'");
        ASSERT_TRUE(writeFile(app + "/bin/quarrystone", program, 0755));
        ASSERT_TRUE(writeFile(app + "/bin/quarrystone-window.so", "module"));
        ASSERT_TRUE(writeFile(app + "/Info.json", "{\"version\": \"" + label + "\"}"));
    }

    // The application `label` staged beside `app` and the swap decided, as
    // the updater leaves them before it quits.
    void stageApp(const QString &app, const QByteArray &label) const
    {
        const QString unpacked = path("unpacked/" + QString::fromUtf8(label) + ".app");
        makeApp(unpacked, label);
        AppSwap::stage(unpacked, app);
        AppSwap::commit(app);
        QDir(path("unpacked")).removeRecursively();
        QDir().mkpath(work());
        ASSERT_TRUE(writeFile(work() + "/app.zip", "zip"));
    }

    QString script(const QString &app) const { return Updater::swapScript(app, work(), note(), endedProcess()); }

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
        ASSERT_TRUE(outsideAnyRun(program, args));
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

    static void addApp(ZipWriter &zip, const QString &top, const QByteArray &label, int selfCheck = 0,
                       const QByteArray &module = "module")
    {
        zip.addFolder(top + "/");
        zip.addFolder(top + "/bin/");
        zip.addFile(top + "/bin/quarrystone", standIn(label, "\"$(dirname \"$0\")/../../../marks/relaunched\"", selfCheck),
                    0755);
        zip.addFile(top + "/bin/quarrystone-window.so", module);
        zip.addFile(top + "/Info.json", "{\"version\": \"" + label + "\"}");
    }

    static QByteArray appZip(const QString &top, const QByteArray &label, int selfCheck = 0,
                             const QByteArray &module = "module")
    {
        ZipWriter zip;
        addApp(zip, top, label, selfCheck, module);
        return zip.bytes();
    }

    // Installs `zip`, which must fail with `message` while the application
    // keeps running, the installed one untouched and nothing left behind.
    void installFails(const QString &app, const HttpServer::Response &package, const QString &message)
    {
        std::unique_ptr<Updater> updater = foundBuild43(app);
        server.serve(packagePath, package);
        updater->install();
        ASSERT_TRUE(settled(*updater));
        EXPECT_EQ(updater->phase(), Phase::failed(message));
        EXPECT_EQ(terminated, 0);
        EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"old\"}");
        EXPECT_EQ(besideApp(app), QStringList{QFileInfo(app).fileName()});
        EXPECT_FALSE(exists(workFolder43()));
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

TEST(UpdaterBundle, SelfCheckStartsTheWindowUpToItsFirstFrame)
{
    QTemporaryDir dir;
    const QString bin = dir.filePath("Quarrystone.app/bin");
    QDir().mkpath(bin);
    const QString module = QStringLiteral(QUARRYSTONE_BUILD_DIR) + "/src/quarrystone-window.so";
    // Linked rather than copied where it can be: the files are large.
    const auto place = [](const QString &from, const QString &to) {
        QFile::remove(to);
        return ::link(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0
            || QFile::copy(from, to);
    };
    const auto check = [&bin] {
        QProcess run;
        run.setProcessEnvironment(QProcessEnvironment::systemEnvironment());
        run.start(bin + "/quarrystone", {"--self-check"});
        return run.waitForFinished(60000) && run.exitStatus() == QProcess::NormalExit ? run.exitCode() : -1;
    };
    ASSERT_TRUE(place(QUARRYSTONE_BINARY, bin + "/quarrystone"));
    ASSERT_TRUE(place(module, bin + "/quarrystone-window.so"));
    EXPECT_EQ(check(), 0);

    // Replaced, never written through: the links share the built files.
    const auto replace = [](const QString &path, const QByteArray &contents, int mode) {
        return QFile::remove(path) && writeFile(path, contents, mode);
    };
    QFile full(module);
    ASSERT_TRUE(full.open(QIODevice::ReadOnly));
    const QByteArray start = full.read(64 * 1024);
    ASSERT_TRUE(replace(bin + "/quarrystone-window.so", start, 0644));
    EXPECT_NE(check(), 0);
    ASSERT_TRUE(replace(bin + "/quarrystone-window.so", "not a module", 0644));
    EXPECT_NE(check(), 0);
    // Modules that load, entry and all, but never bring up a window.
    ASSERT_TRUE(place(BROKEN_WINDOW_CRASHES, bin + "/quarrystone-window.so"));
    EXPECT_NE(check(), 0);
    ASSERT_TRUE(place(BROKEN_WINDOW_FAILS, bin + "/quarrystone-window.so"));
    EXPECT_NE(check(), 0);
    ASSERT_TRUE(place(module, bin + "/quarrystone-window.so"));
    ASSERT_TRUE(replace(bin + "/quarrystone", start, 0755));
    EXPECT_NE(check(), 0);
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

TEST_F(UpdaterTest, PackagesThatWouldLeaveNoWorkingApplicationAreRefused)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    const auto package = [](const QByteArray &zip) { return HttpServer::Response{200, zip, {}, {}, false}; };

    // Damaged data in the window module: the archive's own check sum fails.
    QByteArray damaged = appZip("Quarrystone.app", "new", 0, "module of the window");
    damaged.replace("module of the window", "module of the wind0w");
    installFails(app, package(damaged), "업데이트하지 못했어요: 받은 zip 을 풀지 못했어요 (unzip 2)");

    ZipWriter empty;
    empty.addFolder("Quarrystone.app/");
    installFails(app, package(empty.bytes()), "업데이트하지 못했어요: 새 앱에 bin/quarrystone 이 없어요");

    ZipWriter noModule;
    noModule.addFolder("Quarrystone.app/");
    noModule.addFile("Quarrystone.app/bin/quarrystone", "#!/bin/sh\n", 0755);
    installFails(app, package(noModule.bytes()), "업데이트하지 못했어요: 새 앱에 bin/quarrystone-window.so 이 없어요");

    ZipWriter two;
    addApp(two, "A.app", "first");
    addApp(two, "Quarrystone.app", "second");
    installFails(app, package(two.bytes()), "업데이트하지 못했어요: zip 안에 앱이 여러 개 있어요");

    // An executable or module that does not load fails its start-up check.
    installFails(app, package(appZip("Quarrystone.app", "new", 1)),
                 "업데이트하지 못했어요: 새 버전이 시작되지 않아요 (검사 결과 1)");

    // A link would run the application from outside its folder.
    const QString outside = sandbox.path("elsewhere/bin");
    ZipWriter linked;
    linked.addFolder("Quarrystone.app/");
    linked.addLink("Quarrystone.app/bin", outside);
    ASSERT_TRUE(writeFile(outside + "/quarrystone", standIn("new", "/dev/null"), 0755));
    ASSERT_TRUE(writeFile(outside + "/quarrystone-window.so", "module"));
    installFails(app, package(linked.bytes()), "업데이트하지 못했어요: 새 앱에 링크가 있어요: bin");

    HttpServer::Response cut = package(appZip("Quarrystone.app", "new"));
    cut.announcedLength = cut.body.size() + 4096;
    installFails(app, cut, "업데이트하지 못했어요: 내려받는 중에 연결이 끊겼어요. 다시 해 주세요.");
}

TEST_F(UpdaterTest, AnswersWithoutEndAreCutOffAtTheirLimits)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");

    // A check trickled a byte at a time never stalls, yet ends at its limit.
    HttpServer::Response trickled = HttpServer::Response::json(latest("43"));
    trickled.trickle = std::chrono::milliseconds(200);
    server.serve(latestPath, trickled);
    Updater::Hooks h = hooks(app, "42");
    h.checkLimit = std::chrono::milliseconds(1500);
    h.downloadLimit = std::chrono::milliseconds(1500);
    auto checking = std::make_unique<Updater>(h);
    checking->check();
    ASSERT_TRUE(settled(*checking));
    // The server was reached: it was too slow.
    EXPECT_EQ(checking->phase(), Phase::failed("배포 서버가 시간 안에 답하지 않았어요 (" + server.base() + ")"));

    // A package without end stops at a few times the installed application
    // (for one this small, at the least any application could need); one
    // larger than the server said stops there. Neither is held in memory.
    HttpServer::Response endless{200, noise(1 << 20), {}, {}, false};
    endless.endless = true;
    installFails(app, endless, "업데이트하지 못했어요: 받는 파일이 64MB 보다 커서 멈췄어요");
    const QByteArray zip = appZip("Quarrystone.app", "new");
    std::unique_ptr<Updater> updater = foundBuild43(app, {{"size", zip.size() - 1}});
    server.serve(packagePath, HttpServer::Response{200, zip, {}, {}, false});
    updater->install();
    ASSERT_TRUE(settled(*updater));
    EXPECT_EQ(updater->phase(), Phase::failed("업데이트하지 못했어요: 받는 파일이 1MB 보다 커서 멈췄어요"));

    // A package trickled a byte at a time ends at the whole transfer's limit.
    server.serve(latestPath, HttpServer::Response::json(latest("43")));
    updater = std::make_unique<Updater>(h);
    updater->check();
    ASSERT_TRUE(settled(*updater));
    HttpServer::Response slow{200, zip, {}, {}, false};
    slow.trickle = std::chrono::milliseconds(200);
    server.serve(packagePath, slow);
    updater->install();
    ASSERT_TRUE(settled(*updater));
    EXPECT_EQ(updater->phase(), Phase::failed("업데이트하지 못했어요: 내려받기가 너무 오래 걸려서 멈췄어요. 다시 해 주세요."));
    EXPECT_FALSE(exists(workFolder43()));
    EXPECT_EQ(terminated, 0);
}

TEST_F(UpdaterTest, ASelfCheckThatHangsEndsWithEverythingItStarted)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    const QString started = sandbox.marks() + "/started";
    ZipWriter zip;
    zip.addFolder("Quarrystone.app/");
    zip.addFolder("Quarrystone.app/bin/");
    zip.addFile("Quarrystone.app/bin/quarrystone",
                // The sleeper's number with the check's PID namespace.
                "#!/bin/sh\nsleep 300 &\necho \"$! $(readlink /proc/self/ns/pid)\" > '" + QFile::encodeName(started)
                    + "'\nwait\n",
                0755);
    zip.addFile("Quarrystone.app/bin/quarrystone-window.so", "module");

    server.serve(latestPath, HttpServer::Response::json(latest("43")));
    Updater::Hooks h = hooks(app, "42");
    h.selfCheckLimit = std::chrono::milliseconds(1500);
    Updater updater(h);
    updater.check();
    ASSERT_TRUE(settled(updater));
    server.serve(packagePath, HttpServer::Response{200, zip.bytes(), {}, {}, false});
    updater.install();
    ASSERT_TRUE(settled(updater));
    EXPECT_EQ(updater.phase(), Phase::failed("업데이트하지 못했어요: 새 버전이 시작되지 않아요 (검사 결과 137)"));
    EXPECT_EQ(terminated, 0);

    // What the check started went with it (and its namespace with it).
    const QByteArray child = readFile(started);
    const auto running = [&child] { return FakeClaude::numbersHere(child) != QList<qint64>{0}; };
    EXPECT_TRUE(QTest::qWaitFor([&] { return !running(); }, 60000)) << child.toStdString();
    for (const qint64 pid : FakeClaude::numbersHere(child))
        if (pid > 0)
            ::kill(pid_t(pid), SIGKILL);
}

// The check of a new copy reaches no session bus of the person's: not the
// one at $XDG_RUNTIME_DIR/bus, nor one the bus library would start on the
// display; and nothing it starts is left once it has ended.
TEST_F(UpdaterTest, TheSelfCheckReachesNoSessionBusAndLeavesNothingRunning)
{
    QTemporaryDir runtime;
    QProcess bus;
    bus.start("/usr/bin/dbus-daemon", {"--session", "--nofork", "--address=unix:path=" + runtime.path() + "/bus"});
    ASSERT_TRUE(bus.waitForStarted());
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(runtime.path() + "/bus"); }, 60000));
    const QByteArray busAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    qputenv("XDG_RUNTIME_DIR", runtime.path().toUtf8());
    qputenv("DISPLAY", ":7");

    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    const QByteArray marks = QFile::encodeName(sandbox.marks());
    ZipWriter zip;
    zip.addFolder("Quarrystone.app/");
    zip.addFolder("Quarrystone.app/bin/");
    // As a start would: a session bus call, once to the bus the
    // environment names and once through the library's search, and a
    // daemon left behind.
    zip.addFile("Quarrystone.app/bin/quarrystone",
                "#!/bin/sh\nenv > '" + marks + "/env'\n"
                "/usr/bin/dbus-send --session --print-reply --dest=org.freedesktop.DBus / "
                "org.freedesktop.DBus.ListNames > /dev/null 2>&1; echo $? > '" + marks + "/bus'\n"
                "/usr/bin/setsid /bin/sleep 300 < /dev/null > /dev/null 2>&1 &\nexit 1\n",
                0755);
    zip.addFile("Quarrystone.app/bin/quarrystone-window.so", "module");
    server.serve(latestPath, HttpServer::Response::json(latest("43")));
    Updater updater(hooks(app, "42"));
    updater.check();
    ASSERT_TRUE(settled(updater));
    server.serve(packagePath, HttpServer::Response{200, zip.bytes(), {}, {}, false});
    updater.install();
    ASSERT_TRUE(settled(updater));
    qputenv("DBUS_SESSION_BUS_ADDRESS", busAddress);
    qputenv("XDG_RUNTIME_DIR", runtimeDir);
    qunsetenv("DISPLAY");
    EXPECT_EQ(updater.phase(), Phase::failed("업데이트하지 못했어요: 새 버전이 시작되지 않아요 (검사 결과 1)"));

    EXPECT_NE(readFile(sandbox.marks() + "/bus").trimmed(), "0") << "the check reached the bus";
    const QStringList env = QString::fromUtf8(readFile(sandbox.marks() + "/env")).split('\n');
    EXPECT_TRUE(env.contains("DBUS_SESSION_BUS_ADDRESS=disabled:"));
    EXPECT_FALSE(env.contains("XDG_RUNTIME_DIR=" + runtime.path()));
    EXPECT_TRUE(env.filter(QRegularExpression("^(DISPLAY|WAYLAND_DISPLAY)=")).isEmpty());
    // Whatever the check started, even in a session of its own, is gone.
    // Found by the check's home, inside this test's own temporary folder.
    const auto left = [] {
        QStringList found;
        for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QByteArray env = readFile("/proc/" + entry + "/environ");
            if (env.contains(QFile::encodeName(QDir::tempPath())) && env.contains("/check-home"))
                found.append(entry);
        }
        return found;
    };
    EXPECT_TRUE(QTest::qWaitFor([&] { return left().isEmpty(); }, 60000)) << left().join(' ').toStdString();
    bus.kill();
    bus.waitForFinished();
}

TEST_F(UpdaterTest, AbandonedWorkFoldersGoAtTheNextStartButNotOneInUse)
{
    const QString base = PrivateTemp::folder().value_or(QString());
    ASSERT_FALSE(base.isEmpty());
    const QString abandoned = base + "/quarrystone-update-41";
    const QString inUse = base + "/quarrystone-update-40";
    ASSERT_TRUE(writeFile(abandoned + "/unpacked/Quarrystone.app/bin/quarrystone", "program", 0755));
    ASSERT_TRUE(writeFile(inUse + "/app.zip", "zip"));
    const FolderLock held = FolderLock::take(inUse);

    const std::optional<QString> out =
        Spawn::output(QUARRYSTONE_BINARY, {"--render", base + "/no-such-plan"}, Spawn::processEnvironment(),
                      std::chrono::seconds(30));
    ASSERT_TRUE(out);
    EXPECT_FALSE(exists(abandoned));
    EXPECT_TRUE(exists(inUse + "/app.zip"));
    QDir(inUse).removeRecursively();
}

TEST_F(UpdaterTest, InstallLocationThatCannotTakeTheApplicationIsFoundBeforeQuitting)
{
    Sandbox sandbox;
    const SmallDisk disk(sandbox.path("Small"), "256k");
    if (!disk.mounted())
        GTEST_SKIP() << "no small file system can be mounted here";
    const QString app = sandbox.path("Small/Quarrystone.app");
    sandbox.makeApp(app, "old");

    QByteArray module = noise(400 * 1024);
    installFails(app, {200, appZip("Quarrystone.app", "new", 0, module), {}, {}, false},
                 "업데이트하지 못했어요: 디스크에 남은 공간이 없어요");

    ASSERT_TRUE(disk.makeReadOnly());
    installFails(app, {200, appZip("Quarrystone.app", "new"), {}, {}, false},
                 "업데이트하지 못했어요: 읽기 전용 파일 시스템이에요");
}

TEST_F(UpdaterTest, FullDiskWhileUnpackingKeepsTheApplicationRunning)
{
    Sandbox sandbox;
    const SmallDisk disk(sandbox.path("Temp"), "320k");
    if (!disk.mounted())
        GTEST_SKIP() << "no small file system can be mounted here";
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    const QByteArray tmp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(sandbox.path("Temp")));

    // The archive fits; it does not fit twice, once unpacked.
    QByteArray module = noise(200 * 1024);
    installFails(app, {200, appZip("Quarrystone.app", "new", 0, module), {}, {}, false},
                 "업데이트하지 못했어요: 디스크에 남은 공간이 없어요");
    // The archive itself does not fit.
    module.append(module);
    installFails(app, {200, appZip("Quarrystone.app", "new", 0, module), {}, {}, false},
                 "업데이트하지 못했어요: 디스크에 남은 공간이 없어요");
    qputenv("TMPDIR", tmp);
}

TEST_F(UpdaterTest, StartAfterAFailedSwapTellsWhyAndDoesNotInstallByItself)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    // Left by the swap script for the start that follows it.
    const QString note = qEnvironmentVariable("QUARRYSTONE_SUPPORT") + "/update-failed.txt";
    ASSERT_TRUE(writeFile(note, "권한이 없어요"));
    qputenv("QUARRYSTONE_UPDATE_AUTOINSTALL", "1");
    server.serve(latestPath, HttpServer::Response::json(latest("43")));
    server.serve(packagePath, {200, appZip("Quarrystone.app", "new"), {}, {}, false});

    Updater restarted(hooks(app, "42"));
    const Phase why = Phase::failed("업데이트하지 못했어요: 권한이 없어요");
    EXPECT_EQ(restarted.phase(), why);
    restarted.check();
    ASSERT_TRUE(settled(restarted));
    EXPECT_TRUE(restarted.available());
    EXPECT_EQ(restarted.phase(), why);
    EXPECT_TRUE(server.requestsTo(packagePath).isEmpty());
    EXPECT_FALSE(exists(note));
    // Once seen, the next check offers the build as usual.
    restarted.dismiss();
    qunsetenv("QUARRYSTONE_UPDATE_AUTOINSTALL");
    restarted.check();
    ASSERT_TRUE(settled(restarted));
    EXPECT_EQ(restarted.phase(), Phase::idle());

    // Told once: the start after that installs by itself again.
    Updater later(hooks(app, "42"));
    EXPECT_EQ(later.phase(), Phase::idle());
}

// The application side of the next test: installs a package of many files
// into the folder named by the environment and waits to be killed.
TEST_F(UpdaterTest, InstallingChildForTheUnpackTest)
{
    const QString app = qEnvironmentVariable("QUARRYSTONE_TEST_INSTALL_INTO");
    if (app.isEmpty())
        GTEST_SKIP() << "run by UnpackEndsWithTheApplication";
    ZipWriter zip;
    addApp(zip, "Quarrystone.app", "new");
    for (int i = 0; i < 4000; ++i)
        zip.addFile(QString("Quarrystone.app/data/%1").arg(i), QByteArray(1024, 'd'));
    std::unique_ptr<Updater> updater = foundBuild43(app);
    server.serve(packagePath, {200, zip.bytes(), {}, {}, false});
    updater->install();
    QTest::qWait(60000);
}

TEST(UpdaterUnpack, UnpackEndsWithTheApplication)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUARRYSTONE_TEST_INSTALL_INTO", app);
    child.setProcessEnvironment(env);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=UpdaterTest.InstallingChildForTheUnpackTest"});
    ASSERT_TRUE(child.waitForStarted());

    // The unzip the application started (through the run's bwrap), held
    // still once found.
    const QByteArray parent = QByteArray::number(child.processId());
    const auto startedBy = [](QString pid, const QByteArray &ancestor) {
        for (int depth = 0; depth < 4; ++depth) {
            pid = QString::fromLatin1(readFile("/proc/" + pid + "/stat").split(' ').value(3));
            if (pid.toLatin1() == ancestor)
                return true;
        }
        return false;
    };
    pid_t unzip = 0;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            for (const QString &entry : QDir("/proc").entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                const QList<QByteArray> fields = readFile("/proc/" + entry + "/stat").split(' ');
                if (fields.size() > 3 && fields[1] == "(unzip)" && startedBy(entry, parent)) {
                    unzip = entry.toInt();
                    ::kill(unzip, SIGSTOP);
                    return true;
                }
            }
            return false;
        },
        30000));
    CommandLine::signal(child, SIGKILL);
    ASSERT_TRUE(child.waitForFinished());

    const QString stat = "/proc/" + QString::number(unzip) + "/stat";
    const bool ended = QTest::qWaitFor([&] { return !exists(stat) || readFile(stat).split(' ').value(2) == "Z"; }, 10000);
    if (!ended)
        ::kill(unzip, SIGKILL);
    EXPECT_TRUE(ended);
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
    ASSERT_TRUE(QTest::qWaitFor([this] { return terminated == 1; }, 60000)) << updater->phase().message.toStdString();
    EXPECT_EQ(updater->phase(), Phase::installing());

    // The new application started from its place in the old one's folder.
    ASSERT_TRUE(QTest::qWaitFor([&app] { return readFile(app + "/Info.json") == "{\"version\": \"new\"}"; }, 60000));
    ASSERT_TRUE(sandbox.waitForRelaunch());
    EXPECT_EQ(sandbox.relaunched(), "new");
    EXPECT_EQ(besideApp(app), QStringList{"Quarrystone.app"});
    EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone-window.so").isFile());

    // The zip, the unpacked copy and the script go once the swap is done.
    const std::optional<QString> privateFolder = PrivateTemp::folder();
    ASSERT_TRUE(privateFolder);
    EXPECT_TRUE(QTest::qWaitFor([] { return !exists(workFolder43()); }, 60000));
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(*privateFolder).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(UpdaterScript, GoldenText)
{
    EXPECT_EQ(Updater::swapScript("/opt/Quarry's apps/Quarrystone.app", "/tmp/q/quarrystone-update-43",
                                  "/home/u/.local/share/quarrystone/update-failed.txt", 4242),
              "#!/bin/bash\n"
              "while kill -0 4242 2>/dev/null; do sleep 0.3; done\n"
              "APP='/opt/Quarry'\\''s apps/Quarrystone.app'; WORK='/tmp/q/quarrystone-update-43'; "
              "NOTE='/home/u/.local/share/quarrystone/update-failed.txt'\n"
              "for COPY in \"$APP\" \"$APP.new\" \"$APP.old\"; do if [ -x \"$COPY/bin/quarrystone\" ]; then "
              "\"$COPY/bin/quarrystone\" --finish-update \"$APP\" \"$NOTE\"; break; fi; done\n"
              "rm -rf \"$WORK\"\n"
              "/usr/bin/setsid -f \"$APP/bin/quarrystone\" </dev/null >/dev/null 2>&1");
}

TEST(UpdaterScript, SwapsFoldersWhosePathsHoldQuotes)
{
    Sandbox sandbox;
    const QString app = sandbox.path("it's \"here\" $HOME/Quarry's.app");
    sandbox.makeApp(app, "old");
    ASSERT_TRUE(writeFile(app + ".old/stale", "left over"));
    sandbox.stageApp(app, "new");

    sandbox.run(sandbox.script(app));
    EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"new\"}");
    EXPECT_EQ(besideApp(app), QStringList{QFileInfo(app).fileName()});
    EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone").isExecutable());
    EXPECT_FALSE(exists(sandbox.work()));
    EXPECT_FALSE(exists(sandbox.note()));
    ASSERT_TRUE(sandbox.waitForRelaunch());
    EXPECT_EQ(sandbox.relaunched(), "new");
}

TEST(UpdaterScript, WaitsForTheApplicationToEnd)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    sandbox.stageApp(app, "new");
    const pid_t running = ::fork();
    if (running == 0) {
        ::usleep(600'000);
        ::_exit(0);
    }
    // Reaped as soon as it ends: until then it would still count as running.
    std::thread reaper([running] { ::waitpid(running, nullptr, 0); });
    // The script starts while the application still runs.
    QByteArray script = Updater::swapScript(app, sandbox.work(), sandbox.note(), running).toUtf8();
    QFile file(sandbox.path("swap.sh"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(script);
    file.close();
    const std::optional<QString> out =
        outsideAnyRun("/bin/bash", {"-c", "bash \"$0\" & sleep 0.2; cat \"$1\"; wait", file.fileName(), app + "/Info.json"});
    reaper.join();
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "{\"version\": \"old\"}");
    ASSERT_TRUE(QTest::qWaitFor([&app] { return readFile(app + "/Info.json") == "{\"version\": \"new\"}"; }, 60000));
}

TEST(UpdaterScript, SwapCutShortAnywhereIsCompletedByTheScriptRunAgain)
{
    // What a kill leaves at each point of the swap.
    const QList<QPair<QString, std::function<void(const QString &)>>> points{
        {"before the swap", [](const QString &) {}},
        {"between the two renames",
         [](const QString &app) { ASSERT_EQ(::rename(QFile::encodeName(app), QFile::encodeName(app + ".old")), 0); }},
        {"after the exchange",
         [](const QString &app) {
             ASSERT_EQ(::renameat2(AT_FDCWD, QFile::encodeName(app + ".new").constData(), AT_FDCWD,
                                   QFile::encodeName(app).constData(), RENAME_EXCHANGE),
                       0);
         }},
        {"while removing the old copy",
         [](const QString &app) {
             ASSERT_EQ(::rename(QFile::encodeName(app).constData(), QFile::encodeName(app + ".old").constData()), 0);
             ASSERT_EQ(::rename(QFile::encodeName(app + ".new").constData(), QFile::encodeName(app).constData()), 0);
             ASSERT_TRUE(QFile::remove(app + ".old/bin/quarrystone"));
         }},
    };
    for (const auto &[point, cut] : points) {
        Sandbox sandbox;
        const QString app = sandbox.path("Apps/Quarrystone.app");
        sandbox.makeApp(app, "old");
        sandbox.stageApp(app, "new");
        cut(app);
        sandbox.run(sandbox.script(app));
        EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"new\"}") << point.toStdString();
        EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone-window.so").isFile()) << point.toStdString();
        EXPECT_EQ(besideApp(app), QStringList{"Quarrystone.app"}) << point.toStdString();
        ASSERT_TRUE(sandbox.waitForRelaunch());
        EXPECT_EQ(sandbox.relaunched(), "new") << point.toStdString();
    }
}

namespace {

mode_t modeOf(const QString &path)
{
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? info.st_mode & 07777 : 0;
}

} // namespace

TEST(UpdaterScript, WithoutFolderExchangeAKillAtAnyRenameLeavesAnApplicationInPlace)
{
    // A kill at each rename, and at each change of a name at all, of a swap
    // on a file system that cannot exchange two folders, until a swap runs
    // through without meeting one. The next start may find that it can
    // exchange folders (another sandbox, another kernel): it goes on with
    // the move one by one that was cut short.
    const QList<QPair<const char *, bool>> rounds{{"QUARRYSTONE_KILL_AT_RENAME", false},
                                                  {"QUARRYSTONE_KILL_AT_CHANGE", false},
                                                  {"QUARRYSTONE_KILL_AT_RENAME", true}};
    for (const auto &[kill, nextExchanges] : rounds) {
        bool ranThrough = false;
        for (int at = 1; !ranThrough && at < 400; ++at) {
            const std::string point =
                std::string(kill) + " " + std::to_string(at) + (nextExchanges ? " then exchanging" : "");
            Sandbox sandbox;
            const QString app = sandbox.path("Apps/Quarrystone.app");
            sandbox.makeApp(app, "old");
            ASSERT_TRUE(writeFile(app + "/bin/only-in-old", "old"));
            const mode_t folderMode = modeOf(app + "/bin");
            sandbox.stageApp(app, "new");
            Spawn::Environment env = Spawn::processEnvironment();
            env.insert("LD_PRELOAD", RENAME_SHIM);
            env.insert("QUARRYSTONE_NO_EXCHANGE", "1");
            env.insert(kill, QString::number(at));
            const QStringList finish{"--finish-update", app, sandbox.note()};
            ASSERT_TRUE(Spawn::output(QUARRYSTONE_BINARY, finish, env, std::chrono::seconds(30)));
            ranThrough = !exists(app + ".swap");

            // Whatever the moment, a start at the installed path finds a program.
            EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone").isExecutable()) << point;
            const QByteArray info = readFile(app + "/Info.json");
            EXPECT_TRUE(info == "{\"version\": \"old\"}" || info == "{\"version\": \"new\"}") << info.toStdString();

            // The next start completes the swap, and has no failure to tell.
            env.remove(kill);
            if (nextExchanges)
                env.remove("QUARRYSTONE_NO_EXCHANGE");
            ASSERT_TRUE(Spawn::output(QUARRYSTONE_BINARY, finish, env, std::chrono::seconds(30)));
            EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"new\"}") << point;
            EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone-window.so").isFile());
            EXPECT_FALSE(exists(app + "/bin/only-in-old")) << point;
            EXPECT_EQ(besideApp(app), QStringList{"Quarrystone.app"}) << point;
            EXPECT_FALSE(exists(sandbox.note())) << point << ": " << readFile(sandbox.note()).toStdString();
            EXPECT_EQ(modeOf(app + "/bin"), folderMode) << point;
        }
        EXPECT_TRUE(ranThrough) << kill;
    }
}

TEST(UpdaterScript, WithoutFolderExchangeAFailedSwapPutsTheOldApplicationBackAsItWas)
{
    // Each rename of the swap fails in turn, until one swap runs through.
    for (int at = 1; at < 40; ++at) {
        Sandbox sandbox;
        const QString app = sandbox.path("Apps/Quarrystone.app");
        sandbox.makeApp(app, "old");
        const mode_t folderMode = modeOf(app + "/bin");
        sandbox.stageApp(app, "new");
        Spawn::Environment env = Spawn::processEnvironment();
        env.insert("LD_PRELOAD", RENAME_SHIM);
        env.insert("QUARRYSTONE_NO_EXCHANGE", "1");
        env.insert("QUARRYSTONE_FAIL_AT_RENAME", QString::number(at));
        ASSERT_TRUE(Spawn::output(QUARRYSTONE_BINARY, {"--finish-update", app, sandbox.note()}, env, std::chrono::seconds(30)));
        EXPECT_EQ(modeOf(app + "/bin"), folderMode) << "failed at rename " << at;
        if (readFile(app + "/Info.json") == "{\"version\": \"new\"}")
            return;
        EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"old\"}") << "failed at rename " << at;
        EXPECT_FALSE(readFile(sandbox.note()).isEmpty()) << "failed at rename " << at;
    }
    ADD_FAILURE() << "no swap ran through";
}

TEST(UpdaterScript, KilledAtAnyMomentTheScriptLeavesAWorkingApplication)
{
    for (int round = 0; round < 12; ++round) {
        Sandbox sandbox;
        const QString app = sandbox.path("Apps/Quarrystone.app");
        sandbox.makeApp(app, "old");
        sandbox.stageApp(app, "new");
        const QString file = sandbox.path("swap.sh");
        ASSERT_TRUE(writeFile(file, sandbox.script(app).toUtf8()));
        const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        const pid_t pid = Spawn::run("/bin/bash", {file}, Spawn::processEnvironment(), QString(), devNull, devNull,
                                     devNull);
        ::close(devNull);
        ::usleep(QRandomGenerator::global()->bounded(2'000, 40'000));
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        // Whichever application is in place is whole.
        const QByteArray info = readFile(app + "/Info.json");
        EXPECT_TRUE(info == "{\"version\": \"old\"}" || info == "{\"version\": \"new\"}") << info.toStdString();
        EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone").isExecutable() || exists(app + ".swap"));

        sandbox.run(sandbox.script(app));
        EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"new\"}");
        EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone-window.so").isFile());
        EXPECT_EQ(besideApp(app), QStringList{"Quarrystone.app"});
        ASSERT_TRUE(sandbox.waitForRelaunch());
    }
}

TEST(UpdaterScript, NextStartOfTheOldCopyCompletesASwapCutShort)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    // The old copy is the real executable; it needs no window module for a
    // command-line start.
    QDir().mkpath(app + "/bin");
    if (::link(QUARRYSTONE_BINARY, QFile::encodeName(app + "/bin/quarrystone").constData()) != 0) {
        ASSERT_TRUE(QFile::copy(QUARRYSTONE_BINARY, app + "/bin/quarrystone"));
    }
    sandbox.stageApp(app, "new");
    ASSERT_EQ(::rename(QFile::encodeName(app).constData(), QFile::encodeName(app + ".old").constData()), 0);

    const std::optional<QString> out = Spawn::output(app + ".old/bin/quarrystone", {"--render", sandbox.path("none")},
                                                     Spawn::processEnvironment(), std::chrono::seconds(30));
    ASSERT_TRUE(out);
    EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"new\"}");
    EXPECT_EQ(besideApp(app), QStringList{"Quarrystone.app"});
    // The start went on in the installed copy.
    EXPECT_EQ(sandbox.relaunched(), "new");
}

TEST(UpdaterScript, SwapThatCannotBeDoneKeepsTheOldApplicationAndSaysWhy)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    sandbox.stageApp(app, "new");
    chmodTree(sandbox.path("Apps"), 0777, 0666);
    ::chmod(QFile::encodeName(app + "/bin/quarrystone").constData(), 0755);
    ::chmod(QFile::encodeName(app + ".new/bin/quarrystone").constData(), 0755);
    ::chmod(QFile::encodeName(sandbox.work()).constData(), 0777);
    // The folders could be emptied, but not renamed in the folder that holds them.
    ::chmod(QFile::encodeName(sandbox.path("Apps")).constData(), 0555);

    sandbox.run(sandbox.script(app), true);
    ::chmod(QFile::encodeName(sandbox.path("Apps")).constData(), 0755);
    EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"old\"}");
    EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone").isExecutable());
    EXPECT_EQ(readFile(sandbox.note()), "권한이 없어요");
    ASSERT_TRUE(sandbox.waitForRelaunch());
    EXPECT_EQ(sandbox.relaunched(), "old");
}

TEST(UpdaterScript, LeftoverCopiesThatCannotBeRemovedNeverBlockALaterUpdate)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    sandbox.makeApp(app, "old");
    // An earlier update's old copy holds what this user cannot delete.
    ASSERT_TRUE(writeFile(app + ".old/locked/file", "kept"));
    ::chmod(QFile::encodeName(sandbox.path("Apps")).constData(), 0777);
    for (const QByteArray label : {"first", "second"}) {
        sandbox.stageApp(app, label);
        ::chmod(QFile::encodeName(sandbox.work()).constData(), 0777);
        sandbox.run(sandbox.script(app), true);
        EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"" + label + "\"}");
        EXPECT_FALSE(exists(app + ".old"));
        EXPECT_FALSE(exists(app + ".new"));
        EXPECT_FALSE(exists(app + ".swap"));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return sandbox.relaunched() == "first\nsecond"; }, 60000))
        << sandbox.relaunched().toStdString();

    // Once it can go (here: run by its owner), a copy moved aside goes at
    // the next swap instead of staying for good.
    EXPECT_EQ(besideApp(app).size(), 2);
    sandbox.stageApp(app, "third");
    sandbox.run(sandbox.script(app));
    EXPECT_EQ(readFile(app + "/Info.json"), "{\"version\": \"third\"}");
    EXPECT_EQ(besideApp(app), QStringList{"Quarrystone.app"});
}

TEST(UpdaterScript, AMarkerThatIsNoFileNeverHoldsAStart)
{
    Sandbox sandbox;
    const QString app = sandbox.path("Apps/Quarrystone.app");
    QDir().mkpath(app + "/bin");
    if (::link(QUARRYSTONE_BINARY, QFile::encodeName(app + "/bin/quarrystone").constData()) != 0) {
        ASSERT_TRUE(QFile::copy(QUARRYSTONE_BINARY, app + "/bin/quarrystone"));
    }
    ASSERT_EQ(::mkfifo(QFile::encodeName(AppSwap::marker(app)).constData(), 0600), 0);

    const std::optional<QString> out = Spawn::output(app + "/bin/quarrystone", {"--render", sandbox.path("none")},
                                                     Spawn::processEnvironment(), std::chrono::seconds(10));
    EXPECT_TRUE(out);
    EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone").isExecutable());

    // Garbage, or a sparse file, at the marker's name with no update under
    // way: no update failed, and none is reported at the next start.
    ASSERT_TRUE(QFile::remove(AppSwap::marker(app)));
    const auto sparse = [](const QString &path) {
        return writeFile(path, "") && ::truncate(QFile::encodeName(path).constData(), qint64(1) << 36) == 0;
    };
    const QList<std::function<bool(const QString &)>> markers{
        [](const QString &path) { return writeFile(path, "not a folder number"); },
        [](const QString &path) { return writeFile(path, QByteArray("1234") + QByteArray(100, ' ')); },
        sparse,
    };
    for (const auto &make : markers) {
        ASSERT_TRUE(make(AppSwap::marker(app)));
        ASSERT_TRUE(Spawn::output(app + "/bin/quarrystone", {"--finish-update", app, sandbox.note()},
                                  Spawn::processEnvironment(), std::chrono::seconds(10)));
        EXPECT_FALSE(exists(sandbox.note())) << readFile(sandbox.note()).toStdString();
        EXPECT_FALSE(exists(AppSwap::marker(app)));
        EXPECT_TRUE(QFileInfo(app + "/bin/quarrystone").isExecutable());
    }
}
