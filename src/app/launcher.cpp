#include "app/launcher.h"

#include "app/headless.h"
#include "process/spawn.h"
#include "core/atomicfile.h"
#include "core/filedescriptor.h"
#include "core/privatetemp.h"
#include "process/runlist.h"
#include "settings/appswap.h"
#include "settings/updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QProcessEnvironment>
#include <algorithm>
#include <cstring>
#include <dlfcn.h>
#include <malloc.h>
#include <filesystem>
#include <sys/socket.h>
#include <sys/un.h>
#include <system_error>
#include <unistd.h>

namespace Launcher {

namespace {

using Entry = int (*)(int, char **);

// The window, its views and the browser engine they hold live in a module
// beside the executable, loaded only when a window is wanted: loading and
// relocating those libraries is most of a command-line run's start-up.
Entry windowEntry()
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::string module = (self.parent_path() / "quarrystone-window.so").string();
    void *handle = error ? nullptr : ::dlopen(module.c_str(), RTLD_NOW | RTLD_GLOBAL);
    const auto entry = handle ? reinterpret_cast<Entry>(::dlsym(handle, "quarrystoneWindowMain")) : nullptr;
    if (!entry) {
        const char *reason = ::dlerror();
        FileDescriptor::writeAll(STDERR_FILENO, QByteArray("창을 열지 못했어요: ") + QByteArray(module.c_str()) + ": "
                                                    + QByteArray(reason ? reason : error.message().c_str()) + '\n');
    }
    return entry;
}

int runWindow(int argc, char **argv)
{
    const Entry entry = windowEntry();
    return entry ? entry(argc, argv) : 1;
}

// The updater's proof that a new copy can start: the window starts as a
// real start starts it, up to its first frame, on the off-screen platform
// so that no window shows. A module that loads but crashes or fails on
// its way to that frame ends otherwise than with 0.
int selfCheck(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    return runWindow(argc, argv);
}

// Completes the swap of the installed folder `app`; a failure is left in
// `note` for the application's next start to show.
int finishUpdate(const QString &app, const QString &note)
{
    const std::optional<QString> failure = AppSwap::finish(app);
    if (failure)
        AtomicFile::write(note, failure->toUtf8());
    return failure ? 1 : 0;
}

// A swap cut short (a kill, a crash, a power cut) is completed by the next
// start of either copy, which then hands over to the installed one: the
// folder this process started from may have just been swapped out.
void repairSwap(char **argv)
{
    std::error_code error;
    const std::filesystem::path bin = std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
    if (error || bin.filename() != "bin")
        return;
    const QString bundle = QString::fromStdString(bin.parent_path().string());
    const QString app = AppSwap::installedFor(bundle);
    if (app.isEmpty() || !std::filesystem::exists(AppSwap::marker(app).toStdString(), error))
        return;
    finishUpdate(app, Updater::failureNote());
    // A marker that could not be removed is tried again at the next start,
    // not by this one in a loop.
    if (!std::filesystem::exists(AppSwap::marker(app).toStdString(), error))
        ::execv(QFile::encodeName(app + QStringLiteral("/bin/quarrystone")).constData(), argv);
}

// The command-line modes, as the README lists them.
const QByteArray usage = QByteArrayLiteral(
    "창으로 쓰기:\n"
    "    quarrystone                             계획서 창을 열어요 (데스크톱 세션에서)\n"
    "\n"
    "명령줄로 쓰기:\n"
    "    quarrystone --generate <design link> --feature <name> [options]   새 계획서 폴더를 만들어요\n"
    "    quarrystone --redraft <plan folder> [--spec-doc …] [--api-doc …]   계획서 폴더의 계획서를 다시 만들어요\n"
    "    quarrystone --render <plan folder>      plan.json 으로 plan.md 와 index.html 을 다시 써요\n"
    "    quarrystone --check-connections         Claude · 디자인 서비스 · 위키 연결을 알려 줘요\n"
    "    quarrystone --revise <plan folder> --request <text> [--image a.png,b.png]\n"
    "                                            Claude 가 요청대로 plan.json 을 고쳐요 (백업은 history/ 에)\n"
    "    quarrystone --revise <plan folder> --undo\n"
    "                                            직전 고치기나 가져오기 전의 계획서로 돌아가요\n"
    "    quarrystone --import <page.html> [--into <plan folder>]\n"
    "                                            공유한 계획서 페이지를 계획서 폴더로 가져와요\n");

bool asksForHelp(const QStringList &arguments)
{
    return arguments.contains(QLatin1String("--help")) || arguments.contains(QLatin1String("-h"));
}

// The platforms Qt tries, in its order: the one asked for, else Wayland
// where a Wayland session is named, then X.
QStringList platformsTried(const QStringList &arguments, const QProcessEnvironment &environment)
{
    QString asked = environment.value(QStringLiteral("QT_QPA_PLATFORM"));
    const qsizetype flag = arguments.indexOf(QLatin1String("-platform"));
    if (flag > 0 && flag + 1 < arguments.size())
        asked = arguments.at(flag + 1);
    QStringList tried;
    for (const QString &platform : asked.split(QLatin1Char(';'), Qt::SkipEmptyParts))
        tried.append(platform.section(QLatin1Char(':'), 0, 0));
    if (!tried.isEmpty())
        return tried;
    if (!environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty()
        || environment.value(QStringLiteral("XDG_SESSION_TYPE")) == QLatin1String("wayland"))
        tried.append(QStringLiteral("wayland"));
    tried.append(QStringLiteral("xcb"));
    return tried;
}

// The X server's own handshake, authorisation included, through the
// library Qt's X platform uses; loaded only for a window start.
bool xServerAnswers(const QString &display)
{
    void *xcb = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    if (!xcb)
        return false;
    const auto connect = reinterpret_cast<void *(*)(const char *, int *)>(::dlsym(xcb, "xcb_connect"));
    const auto failed = reinterpret_cast<int (*)(void *)>(::dlsym(xcb, "xcb_connection_has_error"));
    const auto disconnect = reinterpret_cast<void (*)(void *)>(::dlsym(xcb, "xcb_disconnect"));
    bool answers = false;
    if (connect && failed && disconnect) {
        void *connection = connect(display.toLocal8Bit().constData(), nullptr);
        answers = connection && failed(connection) == 0;
        if (connection)
            disconnect(connection);
    }
    ::dlclose(xcb);
    return answers;
}

bool waylandPluginInstalled(const QProcessEnvironment &environment)
{
    QStringList folders = environment.value(QStringLiteral("QT_PLUGIN_PATH")).split(QLatin1Char(':'), Qt::SkipEmptyParts);
    folders.append(QLibraryInfo::path(QLibraryInfo::PluginsPath));
    return std::any_of(folders.begin(), folders.end(), [](const QString &folder) {
        return !QDir(folder + QStringLiteral("/platforms")).entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty();
    });
}

bool waylandServerAnswers(const QString &display, const QProcessEnvironment &environment)
{
    const QString path = display.startsWith(QLatin1Char('/'))
        ? display
        : environment.value(QStringLiteral("XDG_RUNTIME_DIR")) + QLatin1Char('/') + display;
    const QByteArray encoded = QFile::encodeName(path);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (encoded.size() >= qsizetype(sizeof(address.sun_path)))
        return false;
    std::memcpy(address.sun_path, encoded.constData(), encoded.size());
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const bool answers = socket >= 0 && ::connect(socket, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0;
    if (socket >= 0)
        ::close(socket);
    return answers;
}

// Why `platform` cannot show a window; empty when it can, or when it is a
// platform that needs no display server (off-screen, a frame buffer, VNC),
// which is left to Qt.
QString unreachable(const QString &platform, const QProcessEnvironment &environment)
{
    if (platform.startsWith(QLatin1String("xcb"))) {
        const QString display = environment.value(QStringLiteral("DISPLAY"));
        if (display.isEmpty())
            return QStringLiteral("DISPLAY 가 없어요");
        return xServerAnswers(display) ? QString() : QStringLiteral("디스플레이 %1 에 연결하지 못했어요").arg(display);
    }
    if (platform.startsWith(QLatin1String("wayland"))) {
        const QString display = environment.value(QStringLiteral("WAYLAND_DISPLAY"), QStringLiteral("wayland-0"));
        if (!waylandPluginInstalled(environment))
            return QStringLiteral("Qt 의 Wayland 플러그인이 없어서 Wayland 디스플레이 %1 을 쓸 수 없어요").arg(display);
        return waylandServerAnswers(display, environment)
            ? QString()
            : QStringLiteral("Wayland 디스플레이 %1 에 연결하지 못했어요").arg(display);
    }
    return {};
}

// Qt ends a window start whose display cannot be reached by aborting, with
// an English word on reinstalling that is not the cause. Returns why no
// platform Qt would try can show a window; empty when one can.
QString noDesktop(const QStringList &arguments)
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (environment.value(QStringLiteral("DISPLAY")).isEmpty()
        && environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty()
        && platformsTried(arguments, environment) == QStringList{QStringLiteral("xcb")})
        return QStringLiteral("DISPLAY 나 WAYLAND_DISPLAY 가 없어요");
    QStringList causes;
    for (const QString &platform : platformsTried(arguments, environment)) {
        const QString cause = unreachable(platform, environment);
        if (cause.isEmpty())
            return {};
        causes.append(cause);
    }
    return causes.join(QStringLiteral("; "));
}

} // namespace

int main(int argc, char **argv)
{
    // A child that stops reading its input must be reported, not kill us.
    Spawn::ignoreSigpipe();
    // What outlived a killed application's runs is ended, and the files its
    // runs could not remove are removed, by the next start.
    RunList::endLeftovers();
    PrivateTemp::removeStale();
    Updater::removeAbandonedWork();

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    if (arguments.value(1) == QLatin1String("--self-check"))
        return selfCheck(argc, argv);
    if (arguments.value(1) == QLatin1String("--finish-update") && argc == 4)
        return finishUpdate(arguments.at(2), arguments.at(3));
    repairSwap(argv);

    if (Headless::wantsCommandLine(arguments)) {
        // A command renders or reads files of many megabytes a piece at a
        // time: freed buffers are kept for the next piece instead of being
        // handed back and faulted in afresh, page by page.
        ::mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
        ::mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
        // A revision or undo holds a large plan's trees and its render one
        // after another on several threads; with a heap per thread each
        // keeps its own high-water mark and the peak nears twice the page.
        // One heap lets each step reuse what the last freed, for a little
        // more of the render's time, which beside Claude's run is nothing.
        if (arguments.contains(QLatin1String("--revise")))
            ::mallopt(M_ARENA_MAX, 1);
        // The command line must run without a display.
        QCoreApplication app(argc, argv);
        Headless::run(arguments);
    }
    if (asksForHelp(arguments)) {
        FileDescriptor::writeAll(STDOUT_FILENO, usage);
        return 0;
    }
    if (const QString cause = noDesktop(arguments); !cause.isEmpty()) {
        FileDescriptor::writeAll(STDERR_FILENO, "창은 데스크톱 세션에서만 열 수 있어요 (" + cause.toUtf8() + ").\n\n" + usage);
        return 1;
    }
    return runWindow(argc, argv);
}

} // namespace Launcher
