#include "process/pty.h"

#include <cerrno>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// Wide enough that a tool never wraps a long login address across lines.
constexpr unsigned short terminalColumns = 400;
constexpr unsigned short terminalRows = 50;

class Descriptor
{
public:
    explicit Descriptor(int fd)
        : m_fd(fd)
    {
    }
    ~Descriptor()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return m_fd; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};

// Our side of a new terminal pair, and the name the child opens.
Descriptor openTerminal(QByteArray &name)
{
    Descriptor master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.get() < 0)
        throw Spawn::startFailure(errno);
    char buffer[256];
    if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0)
        throw Spawn::startFailure(errno);
    if (const int error = ::ptsname_r(master.get(), buffer, sizeof buffer))
        throw Spawn::startFailure(error);
    name = QByteArray(buffer);
    const winsize size{terminalRows, terminalColumns, 0, 0};
    const int flags = ::fcntl(master.get(), F_GETFL);
    if (::ioctl(master.get(), TIOCSWINSZ, &size) != 0 || flags < 0
        || ::fcntl(master.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        throw Spawn::startFailure(errno);
    return Descriptor(master.release());
}

} // namespace

namespace Pty {

Child start(const QString &path, const QStringList &args, const Spawn::Environment &env, const QString &cwd)
{
    QByteArray terminalName;
    Descriptor master = openTerminal(terminalName);

    const pid_t pid = Spawn::run(path, args, env, cwd, -1, -1, -1, {.terminal = terminalName, .likeTheirTerminal = true});
    return Child{pid, master.release()};
}

} // namespace Pty
