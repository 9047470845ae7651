// Preloaded (LD_PRELOAD) into a process under test, it stands for a file
// system and a moment the test chooses: with QUARRYSTONE_NO_EXCHANGE set,
// two names cannot be exchanged (renameat2 with RENAME_EXCHANGE fails with
// EINVAL, as on file systems without it); with QUARRYSTONE_KILL_AT_RENAME=N
// the process is killed (SIGKILL) as it is about to make its N-th rename.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>

namespace {

std::atomic<long> renames{0};

void countAndMaybeDie()
{
    const char *at = std::getenv("QUARRYSTONE_KILL_AT_RENAME");
    if (at && ++renames == std::atol(at))
        ::raise(SIGKILL);
}

template<typename Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int rename(const char *from, const char *to) noexcept
{
    countAndMaybeDie();
    static const auto real = next<int (*)(const char *, const char *)>("rename");
    return real(from, to);
}

extern "C" int renameat(int fromDir, const char *from, int toDir, const char *to) noexcept
{
    countAndMaybeDie();
    static const auto real = next<int (*)(int, const char *, int, const char *)>("renameat");
    return real(fromDir, from, toDir, to);
}

extern "C" int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags) noexcept
{
    if ((flags & RENAME_EXCHANGE) && std::getenv("QUARRYSTONE_NO_EXCHANGE")) {
        errno = EINVAL;
        return -1;
    }
    countAndMaybeDie();
    static const auto real = next<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2");
    return real(fromDir, from, toDir, to, flags);
}
