#include "core/filedescriptor.h"

#include <cerrno>
#include <unistd.h>

namespace FileDescriptor {

bool writeAll(int fd, QByteArrayView bytes)
{
    qsizetype written = 0;
    while (written < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + written, static_cast<size_t>(bytes.size() - written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        written += n;
    }
    return true;
}

QByteArray readAll(int fd, QByteArrayView until)
{
    QByteArray bytes;
    char buffer[4096];
    while (until.isEmpty() || !bytes.endsWith(until)) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, n);
    }
    return bytes;
}

} // namespace FileDescriptor
