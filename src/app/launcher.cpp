#include "app/launcher.h"

#include "app/headless.h"
#include "process/spawn.h"
#include "core/atomicfile.h"
#include "core/filedescriptor.h"
#include "core/privatetemp.h"
#include "settings/appswap.h"
#include "settings/updater.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcessEnvironment>
#include <dlfcn.h>
#include <malloc.h>
#include <filesystem>
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

// Qt ends a window start without a display by aborting, with an English
// word on plugins that are not the cause. The platforms that need no
// display server (offscreen, a frame buffer, VNC) are left to Qt.
bool noDesktop(const QStringList &arguments)
{
    const QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    if (!environment.value(QStringLiteral("DISPLAY")).isEmpty()
        || !environment.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())
        return false;
    QString platform = environment.value(QStringLiteral("QT_QPA_PLATFORM"));
    const qsizetype flag = arguments.indexOf(QLatin1String("-platform"));
    if (flag > 0 && flag + 1 < arguments.size())
        platform = arguments.at(flag + 1);
    const QString first = platform.section(QLatin1Char(';'), 0, 0).section(QLatin1Char(':'), 0, 0);
    return first.isEmpty() || first.startsWith(QLatin1String("xcb")) || first.startsWith(QLatin1String("wayland"));
}

} // namespace

int main(int argc, char **argv)
{
    // A child that stops reading its input must be reported, not kill us.
    Spawn::ignoreSigpipe();
    // Killed runs cannot remove their temporary files; the next one does.
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
        // The command line must run without a display.
        QCoreApplication app(argc, argv);
        Headless::run(arguments);
    }
    if (asksForHelp(arguments)) {
        FileDescriptor::writeAll(STDOUT_FILENO, usage);
        return 0;
    }
    if (noDesktop(arguments)) {
        FileDescriptor::writeAll(STDERR_FILENO, QByteArray("창은 데스크톱 세션에서만 열 수 있어요 (DISPLAY 나 WAYLAND_DISPLAY 가 없어요).\n\n")
                                                    + usage);
        return 1;
    }
    return runWindow(argc, argv);
}

} // namespace Launcher
