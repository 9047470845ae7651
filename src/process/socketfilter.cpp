#include "process/socketfilter.h"

#include "core/filedescriptor.h"

#include <cerrno>
#include <cstddef>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

#if defined(__x86_64__)
constexpr unsigned nativeArchitecture = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr unsigned nativeArchitecture = AUDIT_ARCH_AARCH64;
#else
#error "No system-call filter for this architecture"
#endif

// x32's calls come as x86-64's with this bit set.
constexpr unsigned x32Bit = 0x40000000;

constexpr sock_filter statement(unsigned short code, unsigned value)
{
    return sock_filter{code, 0, 0, value};
}

constexpr sock_filter jump(unsigned short code, unsigned value, unsigned char ifTrue, unsigned char ifFalse)
{
    return sock_filter{code, ifTrue, ifFalse, value};
}

constexpr unsigned refused(int error)
{
    return SECCOMP_RET_ERRNO | (static_cast<unsigned>(error) & SECCOMP_RET_DATA);
}

// The domain is an int: only the low half of the argument counts.
constexpr unsigned firstArgument = offsetof(seccomp_data, args) + (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? 0 : 4);

const sock_filter program[] = {
    statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
    jump(BPF_JMP | BPF_JEQ | BPF_K, nativeArchitecture, 1, 0),
    statement(BPF_RET | BPF_K, refused(ENOSYS)),
    statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    jump(BPF_JMP | BPF_JGE | BPF_K, x32Bit, 0, 1),
    statement(BPF_RET | BPF_K, refused(ENOSYS)),
    jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_io_uring_setup, 0, 1),
    statement(BPF_RET | BPF_K, refused(ENOSYS)),
    jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
    statement(BPF_LD | BPF_W | BPF_ABS, firstArgument),
    jump(BPF_JMP | BPF_JEQ | BPF_K, AF_UNIX, 0, 1),
    statement(BPF_RET | BPF_K, refused(EACCES)),
    statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
};

} // namespace

namespace SocketFilter {

int open()
{
    const int fd = ::memfd_create("socket-filter", MFD_CLOEXEC);
    if (fd < 0)
        return -1;
    if (!FileDescriptor::writeAll(fd, QByteArrayView(reinterpret_cast<const char *>(program), sizeof program))
        || ::lseek(fd, 0, SEEK_SET) != 0) {
        const int error = errno != 0 ? errno : EIO;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace SocketFilter
