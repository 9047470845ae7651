// Preloaded (LD_PRELOAD) into a process under test, it stands for a file
// system and a moment the test chooses: with QUARRYSTONE_NO_EXCHANGE set,
// two names cannot be exchanged (renameat2 with RENAME_EXCHANGE fails with
// EINVAL, as on file systems without it); with QUARRYSTONE_KILL_AT_RENAME=N
// the process is killed (SIGKILL) as it is about to make its N-th rename;
// with QUARRYSTONE_KILL_AT_CHANGE=N, as it is about to make its N-th rename
// or removal; with QUARRYSTONE_FAIL_AT_RENAME=N its N-th rename fails (EIO).

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>

namespace {

std::atomic<long> renames{0};
std::atomic<long> changes{0};
std::atomic<long> failures{0};

bool reached(const char *variable, std::atomic<long> &count)
{
    const char *at = std::getenv(variable);
    return at && ++count == std::atol(at);
}

void countChange()
{
    if (reached("QUARRYSTONE_KILL_AT_CHANGE", changes))
        ::raise(SIGKILL);
}

// True when this rename is to fail.
bool countAndMaybeDie()
{
    countChange();
    if (reached("QUARRYSTONE_KILL_AT_RENAME", renames))
        ::raise(SIGKILL);
    if (!reached("QUARRYSTONE_FAIL_AT_RENAME", failures))
        return false;
    errno = EIO;
    return true;
}

template<typename Function>
Function next(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int rename(const char *from, const char *to) noexcept
{
    if (countAndMaybeDie())
        return -1;
    static const auto real = next<int (*)(const char *, const char *)>("rename");
    return real(from, to);
}

extern "C" int renameat(int fromDir, const char *from, int toDir, const char *to) noexcept
{
    if (countAndMaybeDie())
        return -1;
    static const auto real = next<int (*)(int, const char *, int, const char *)>("renameat");
    return real(fromDir, from, toDir, to);
}

extern "C" int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags) noexcept
{
    if ((flags & RENAME_EXCHANGE) && std::getenv("QUARRYSTONE_NO_EXCHANGE")) {
        errno = EINVAL;
        return -1;
    }
    if (countAndMaybeDie())
        return -1;
    static const auto real = next<int (*)(int, const char *, int, const char *, unsigned int)>("renameat2");
    return real(fromDir, from, toDir, to, flags);
}

extern "C" int unlink(const char *path) noexcept
{
    countChange();
    static const auto real = next<int (*)(const char *)>("unlink");
    return real(path);
}

extern "C" int unlinkat(int dir, const char *path, int flags) noexcept
{
    countChange();
    static const auto real = next<int (*)(int, const char *, int)>("unlinkat");
    return real(dir, path, flags);
}

extern "C" int rmdir(const char *path) noexcept
{
    countChange();
    static const auto real = next<int (*)(const char *)>("rmdir");
    return real(path);
}

extern "C" int remove(const char *path) noexcept
{
    countChange();
    static const auto real = next<int (*)(const char *)>("remove");
    return real(path);
}
