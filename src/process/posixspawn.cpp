#include "process/posixspawn.h"

#include <QByteArray>
#include <QFile>
#include <cerrno>
#include <algorithm>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace PosixSpawn {

namespace {

// NUL-terminated copies that outlive the start, plus the pointer vector
// that execve wants: the child may not allocate.
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

// Everything the child needs, made before it starts; `error` is how it
// tells us why it could not run the program.
struct Setup {
    const char *program = nullptr;
    char **argv = nullptr;
    char **envp = nullptr;
    const char *cwd = nullptr;
    const Descriptors *descriptors = nullptr;
    Options options;
    pid_t parent = 0;
    volatile int error = 0;
};

// Room for the child's few calls while it runs on a stack of its own.
constexpr std::size_t childStackBytes = 256 * 1024;

void closeFrom(int first)
{
    if (::syscall(SYS_close_range, static_cast<unsigned>(first), ~0U, 0) == 0)
        return;
    rlimit limit{};
    const rlim_t last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY ? limit.rlim_cur : 65536;
    for (rlim_t fd = static_cast<rlim_t>(first); fd < last; ++fd)
        ::close(static_cast<int>(fd));
}

void defaultSignals()
{
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    // Some numbers cannot be changed (SIGKILL, SIGSTOP, the C library's
    // own): they are left as they are.
    for (int number = 1; number < NSIG; ++number)
        ::sigaction(number, &action, nullptr);
}

// Ties the child to the thread that started it: `number` comes when that
// thread ends.
int tie(pid_t parent, int number)
{
    if (::prctl(PR_SET_PDEATHSIG, number) != 0)
        return errno;
    // The starter ended before the signal was set: none would come.
    return ::getppid() == parent ? 0 : ESRCH;
}

int lead(const Options &options)
{
    if (options.newSession && ::setsid() < 0)
        return errno;
    if (options.ownGroup && !options.newSession && ::setpgid(0, 0) != 0)
        return errno;
    return 0;
}

void unblockAll()
{
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

int prepare(const Setup &setup)
{
    if (setup.options.tied)
        if (const int error = tie(setup.parent, SIGKILL))
            return error;
    if (const int error = lead(setup.options))
        return error;
    defaultSignals();
    if (const int error = (*setup.descriptors)())
        return error;
    if (setup.cwd && ::chdir(setup.cwd) != 0)
        return errno;
    closeFrom(setup.options.kept);
    unblockAll();
    return 0;
}

int childMain(void *argument)
{
    auto *setup = static_cast<Setup *>(argument);
    int error = prepare(*setup);
    if (!error) {
        ::execve(setup->program, setup->argv, setup->envp);
        error = errno;
    }
    setup->error = error;
    ::_exit(127);
}

// Runs the child until it has run the program or failed; we stay stopped
// meanwhile, with every signal held back so that none of our handlers runs
// in the child, which shares our memory.
int cloneChild(pid_t &pid, Setup &setup)
{
    std::vector<char> stack(childStackBytes);
    const auto top = reinterpret_cast<std::uintptr_t>(stack.data() + stack.size()) & ~std::uintptr_t(15);
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    const pid_t child = ::clone(childMain, reinterpret_cast<void *>(top), CLONE_VM | CLONE_VFORK | SIGCHLD, &setup);
    const int cloneError = child < 0 ? errno : 0;
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (child < 0)
        return cloneError;
    if (setup.error) {
        while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        return setup.error;
    }
    pid = child;
    return 0;
}

// The holder's status for the program's, as a waiter reads it.
int statusCode(int status)
{
    return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
}

// Calls `each` with every number in `text`.
template <typename Each>
void numbersIn(const char *text, ssize_t size, Each each)
{
    pid_t number = 0;
    for (ssize_t at = 0; at <= size; ++at) {
        if (at < size && text[at] >= '0' && text[at] <= '9') {
            number = number * 10 + (text[at] - '0');
            continue;
        }
        if (number > 0)
            each(number);
        number = 0;
    }
}

// Reads up to `size` bytes of `fd` and closes it; gives how many it read.
ssize_t readInto(int fd, char *buffer, std::size_t size)
{
    ssize_t total = 0;
    for (ssize_t n; total < ssize_t(size) && (n = ::read(fd, buffer + total, size - total)) > 0;)
        total += n;
    ::close(fd);
    return total;
}

// The parent in /proc/<pid>/stat: the second field after the name.
pid_t parentIn(const char *stat, ssize_t size)
{
    ssize_t at = size;
    while (at > 0 && stat[at - 1] != ')')
        --at;
    pid_t parent = 0;
    bool seen = false;
    for (at += 3; at < size && stat[at] >= '0' && stat[at] <= '9'; ++at, seen = true)
        parent = parent * 10 + (stat[at] - '0');
    return seen ? parent : 0;
}

// SIGKILL to every process the holder (one thread) may reap: its program
// and the orphans it adopted. Their numbers stay theirs until we reap them.
void killChildren()
{
    static char list[1 << 16];
    const auto kill = [](pid_t pid) { ::kill(pid, SIGKILL); };
    if (const int fd = ::open("/proc/thread-self/children", O_RDONLY | O_CLOEXEC); fd >= 0) {
        numbersIn(list, readInto(fd, list, sizeof list), kill);
        return;
    }
    // A kernel without that list: every process's parent is asked.
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return;
    static char entries[32768];
    static char stat[1024];
    const pid_t self = ::getpid();
    for (long n; (n = ::syscall(SYS_getdents64, proc, entries, sizeof entries)) > 0;)
        for (long at = 0; at < n;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(entries + at);
            at += entry->d_reclen;
            char path[300] = {};
            std::size_t length = 0;
            for (; entry->d_name[length] && length < sizeof path - 6; ++length)
                path[length] = entry->d_name[length];
            std::memcpy(path + length, "/stat", 6);
            numbersIn(entry->d_name, ssize_t(length), [&](pid_t pid) {
                const int fd = ::openat(proc, path, O_RDONLY | O_CLOEXEC);
                if (fd >= 0 && parentIn(stat, readInto(fd, stat, sizeof stat)) == self)
                    kill(pid);
            });
        }
    ::close(proc);
}

// Closes every descriptor from `first` on but `kept`: the holder and its
// program hold on to none of ours (a plan folder's lock among them).
void closeAllBut(int first, int kept)
{
    if (kept > first
        && ::syscall(SYS_close_range, static_cast<unsigned>(first), static_cast<unsigned>(kept - 1), 0) != 0)
        for (int fd = first; fd < kept; ++fd)
            ::close(fd);
    closeFrom(std::max(first, kept + 1));
}

// The holder: a fork of a process with threads, so system calls and plain
// memory only. Every signal stays blocked; they only wake it to look.
[[noreturn]] void hold(Setup &setup, int report)
{
    const auto fail = [&report](int error) {
        [[maybe_unused]] const ssize_t told = ::write(report, &error, sizeof error);
        ::_exit(127);
    };
    if (setup.options.tied)
        if (const int error = tie(setup.parent, SIGHUP))
            fail(error);
    // Out of the way of the descriptors laid out below.
    if (report < setup.options.kept) {
        const int moved = ::fcntl(report, F_DUPFD_CLOEXEC, setup.options.kept);
        if (moved < 0)
            fail(errno);
        report = moved;
    }
    if (const int error = lead(setup.options))
        fail(error);
    // Here, so that a terminal opened becomes the session's; then at once
    // every other descriptor the fork copied goes (a plan folder's lock
    // among them), before anything slower: should the application die
    // meanwhile, nothing of its stays held.
    if (const int error = (*setup.descriptors)())
        fail(error);
    closeAllBut(setup.options.kept, report);
    // Not the application's name: `pkill quarrystone` ends the application,
    // and its holders then end its runs.
    ::prctl(PR_SET_NAME, "qs-run-holder");
    if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0)
        fail(errno);
    const pid_t self = ::getpid();
    const pid_t program = ::_Fork();
    if (program < 0)
        fail(errno);
    if (program == 0) {
        int error = tie(self, SIGKILL);
        if (!error) {
            defaultSignals();
            if (setup.cwd && ::chdir(setup.cwd) != 0)
                error = errno;
        }
        if (!error) {
            unblockAll();
            ::execve(setup.program, setup.argv, setup.envp);
            error = errno;
        }
        fail(error);
    }
    // It holds none of the run's descriptors: their ends show the run's.
    closeAllBut(0, -1);

    sigset_t all;
    sigfillset(&all);
    int status = 0;
    bool ended = false;
    for (;;) {
        int childStatus = 0;
        pid_t done;
        while ((done = ::waitpid(-1, &childStatus, WNOHANG)) > 0)
            if (done == program) {
                status = childStatus;
                ended = true;
            }
        if (done < 0 && errno == ECHILD)
            ::_exit(ended ? statusCode(status) : 128 + SIGKILL);
        if (ended || ::getppid() != setup.parent) {
            // Each round hands us the children of what the last one ended.
            killChildren();
            if (::waitpid(-1, &childStatus, 0) == program) {
                status = childStatus;
                ended = true;
            }
            continue;
        }
        siginfo_t info;
        ::sigwaitinfo(&all, &info);
    }
}

// Starts the holder (see Options::holdsOrphans) and returns once it has
// started the program or failed; a failure is told on a pipe that closes
// when the program runs.
int forkHolder(pid_t &pid, Setup &setup)
{
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0)
        return errno;
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &before);
    const pid_t holder = ::_Fork();
    if (holder == 0) {
        ::close(report[0]);
        hold(setup, report[1]);
    }
    const int forkError = holder < 0 ? errno : 0;
    ::pthread_sigmask(SIG_SETMASK, &before, nullptr);
    ::close(report[1]);
    if (holder < 0) {
        ::close(report[0]);
        return forkError;
    }
    int error = 0;
    ssize_t n;
    while ((n = ::read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    ::close(report[0]);
    if (n == sizeof error) {
        while (::waitpid(holder, nullptr, 0) < 0 && errno == EINTR) {
        }
        return error;
    }
    pid = holder;
    return 0;
}

} // namespace

int start(pid_t &pid, const QString &path, const QStringList &args, const QMap<QString, QString> &env,
          const QString &cwd, const Descriptors &descriptors, const Options &options)
{
    const QByteArray program = QFile::encodeName(path);
    CStrings argv;
    argv.add(program);
    for (const QString &arg : args)
        argv.add(arg.toUtf8());
    CStrings envp;
    for (auto it = env.cbegin(); it != env.cend(); ++it)
        envp.add(it.key().toUtf8() + '=' + it.value().toUtf8());
    const QByteArray folder = QFile::encodeName(cwd);

    Setup setup;
    setup.program = program.constData();
    setup.argv = argv.vector();
    setup.envp = envp.vector();
    setup.cwd = folder.isEmpty() ? nullptr : folder.constData();
    setup.descriptors = &descriptors;
    setup.options = options;
    setup.parent = ::getpid();
    return setup.options.holdsOrphans ? forkHolder(pid, setup) : cloneChild(pid, setup);
}

} // namespace PosixSpawn
