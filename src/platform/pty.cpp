#include "platform/pty.h"

#include <QFile>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

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

// NUL-terminated copies that outlive the spawn call, and the pointer vector
// that execve wants.
class CStrings
{
public:
    void add(QByteArray bytes) { m_store.push_back(std::move(bytes)); }
    char **vector()
    {
        m_pointers.clear();
        for (QByteArray &bytes : m_store)
            m_pointers.push_back(bytes.data());
        m_pointers.push_back(nullptr);
        return m_pointers.data();
    }

private:
    std::vector<QByteArray> m_store;
    std::vector<char *> m_pointers;
};

struct SpawnSetup {
    SpawnSetup()
    {
        posix_spawn_file_actions_init(&actions);
        posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup &) = delete;
    SpawnSetup &operator=(const SpawnSetup &) = delete;

    // The new session is made before the file actions run, so opening the
    // terminal (without O_NOCTTY) makes it the child's controlling terminal.
    int configure(const char *terminalName, const QByteArray &cwd)
    {
        int error = posix_spawn_file_actions_addopen(&actions, 0, terminalName, O_RDWR, 0);
        if (!error)
            error = posix_spawn_file_actions_adddup2(&actions, 0, 1);
        if (!error)
            error = posix_spawn_file_actions_adddup2(&actions, 0, 2);
        if (!error && !cwd.isEmpty())
            error = posix_spawn_file_actions_addchdir_np(&actions, cwd.constData());
        if (!error)
            error = posix_spawn_file_actions_addclosefrom_np(&actions, 3);
        sigset_t none;
        sigset_t all;
        sigemptyset(&none);
        sigfillset(&all);
        if (!error)
            error = posix_spawnattr_setsigmask(&attributes, &none);
        if (!error)
            error = posix_spawnattr_setsigdefault(&attributes, &all);
        if (!error)
            error = posix_spawnattr_setflags(&attributes,
                                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        return error;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
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
    if (!path.startsWith(QLatin1Char('/')))
        throw Spawn::startFailure(ENOENT);

    QByteArray terminalName;
    Descriptor master = openTerminal(terminalName);

    const QByteArray program = QFile::encodeName(path);
    CStrings argv;
    argv.add(program);
    for (const QString &arg : args)
        argv.add(arg.toUtf8());
    CStrings envp;
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        envp.add(it.key().toUtf8() + '=' + it.value().toUtf8());

    SpawnSetup setup;
    int error = setup.configure(terminalName.constData(), QFile::encodeName(cwd));
    pid_t pid = -1;
    if (!error)
        error = ::posix_spawn(&pid, program.constData(), &setup.actions, &setup.attributes, argv.vector(),
                              envp.vector());
    if (error)
        throw Spawn::startFailure(error);
    return Child{pid, master.release()};
}

} // namespace Pty
