// Preloaded (LD_PRELOAD) into a process under test, it makes one folder act
// as a nearly full file system without mounting one: QUARRYSTONE_FULL_DIR
// names the folder, QUARRYSTONE_FULL_ROOM how many bytes its files may grow
// by in all from the moment the process starts. A write that would cross
// that line writes what fits and the next one fails with ENOSPC, as on a
// full disk; removing or replacing a file gives its room back, since the
// room is measured against what the folder's files hold at each write.
// Children do not inherit it: a real disk would fail them too, but then a
// test could no longer tell which process failed.

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <ftw.h>
#include <mutex>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {

// Plain data, set in start(): the constructors of C++ objects here may run
// after it.
char folder[PATH_MAX];
size_t folderLength = 0;
long long limit = -1;
std::mutex mutex;
long long walked = 0;

int addFile(const char *, const struct stat *status, int kind, struct FTW *)
{
    if (kind == FTW_F && S_ISREG(status->st_mode))
        walked += status->st_size;
    return 0;
}

// What the folder's files hold now (the mutex is held).
long long usage()
{
    walked = 0;
    ::nftw(folder, addFile, 16, FTW_PHYS);
    return walked;
}

__attribute__((constructor)) void start()
{
    const char *dir = std::getenv("QUARRYSTONE_FULL_DIR");
    const char *room = std::getenv("QUARRYSTONE_FULL_ROOM");
    if (dir && room) {
        if (::realpath(dir, folder)) {
            folderLength = std::strlen(folder);
            limit = usage() + std::atoll(room);
        }
    }
    ::unsetenv("LD_PRELOAD");
    ::unsetenv("QUARRYSTONE_FULL_DIR");
    ::unsetenv("QUARRYSTONE_FULL_ROOM");
}

bool inFolder(int fd)
{
    if (limit < 0)
        return false;
    char link[64];
    char target[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0)
        return false;
    target[n] = '\0';
    return std::strncmp(target, folder, folderLength) == 0 && target[folderLength] == '/';
}

// How many of `size` bytes at `offset` (-1: the file's current position)
// fit; -1 with errno ENOSPC when none do.
ssize_t fitting(int fd, off_t offset, size_t size)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode))
        return ssize_t(size);
    if (offset < 0)
        offset = (::fcntl(fd, F_GETFL) & O_APPEND) ? status.st_size : ::lseek(fd, 0, SEEK_CUR);
    const long long end = offset + (long long)size;
    const long long growth = std::max(0LL, end - (long long)status.st_size);
    // A file with no name yet (O_TMPFILE) is not found by the walk.
    const long long unnamed = status.st_nlink == 0 ? status.st_size : 0;
    const long long left = std::max(0LL, limit - usage() - unnamed);
    if (growth <= left)
        return ssize_t(size);
    const long long fits = std::max(0LL, (long long)status.st_size - offset) + left;
    if (fits <= 0) {
        errno = ENOSPC;
        return -1;
    }
    return ssize_t(fits);
}

template<typename F>
F next(const char *name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

ssize_t write(int fd, const void *data, size_t size)
{
    static const auto real = next<ssize_t (*)(int, const void *, size_t)>("write");
    if (size == 0 || !inFolder(fd))
        return real(fd, data, size);
    const std::lock_guard lock(mutex);
    const ssize_t fits = fitting(fd, -1, size);
    return fits < 0 ? -1 : real(fd, data, size_t(fits));
}

ssize_t pwrite64(int fd, const void *data, size_t size, off_t offset)
{
    static const auto real = next<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite64");
    if (size == 0 || !inFolder(fd))
        return real(fd, data, size, offset);
    const std::lock_guard lock(mutex);
    const ssize_t fits = fitting(fd, offset, size);
    return fits < 0 ? -1 : real(fd, data, size_t(fits), offset);
}

ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    return pwrite64(fd, data, size, offset);
}

// Gathered writes go through whole or not at all: enough for the callers
// here, which write small pieces this way.
ssize_t writev(int fd, const struct iovec *pieces, int count)
{
    static const auto real = next<ssize_t (*)(int, const struct iovec *, int)>("writev");
    size_t size = 0;
    for (int i = 0; i < count; ++i)
        size += pieces[i].iov_len;
    if (size == 0 || !inFolder(fd))
        return real(fd, pieces, count);
    const std::lock_guard lock(mutex);
    const ssize_t fits = fitting(fd, -1, size);
    if (fits >= 0 && size_t(fits) < size)
        errno = ENOSPC;
    return fits >= 0 && size_t(fits) == size ? real(fd, pieces, count) : -1;
}

} // extern "C"
