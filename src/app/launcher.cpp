#include "app/launcher.h"

#include "app/headless.h"
#include "claude/spawn.h"
#include "core/filedescriptor.h"

#include <QCoreApplication>
#include <dlfcn.h>
#include <malloc.h>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace Launcher {

namespace {

// The window, its views and the browser engine they hold live in a module
// beside the executable, loaded only when a window is wanted: loading and
// relocating those libraries is most of a command-line run's start-up.
int runWindow(int argc, char **argv)
{
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    const std::string module = (self.parent_path() / "quarrystone-window.so").string();
    void *handle = error ? nullptr : ::dlopen(module.c_str(), RTLD_NOW | RTLD_GLOBAL);
    using Entry = int (*)(int, char **);
    const auto entry = handle ? reinterpret_cast<Entry>(::dlsym(handle, "quarrystoneWindowMain")) : nullptr;
    if (!entry) {
        const char *reason = ::dlerror();
        FileDescriptor::writeAll(STDERR_FILENO, QByteArray("창을 열지 못했어요: ") + QByteArray(module.c_str()) + ": "
                                                    + QByteArray(reason ? reason : error.message().c_str()) + '\n');
        return 1;
    }
    return entry(argc, argv);
}

} // namespace

int main(int argc, char **argv)
{
    // A child that stops reading its input must be reported, not kill us.
    Spawn::ignoreSigpipe();

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    if (Headless::wantsCommandLine(arguments)) {
        // A command renders or reads files of many megabytes a piece at a
        // time: freed buffers are kept for the next piece instead of being
        // handed back and faulted in afresh, page by page.
        ::mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
        ::mallopt(M_TRIM_THRESHOLD, 128 * 1024 * 1024);
        // The command line must run without a display.
        QCoreApplication app(argc, argv);
        return Headless::run(arguments);
    }
    return runWindow(argc, argv);
}

} // namespace Launcher
