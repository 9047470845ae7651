#include "process/watcher.h"

#include "core/filedescriptor.h"

#include <QString>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr int capacity = 4096;
constexpr int tokenSize = 32;

struct Note {
    pid_t group;
    char token[tokenSize];
};

pid_t numberIn(const char *name, char end = '\0')
{
    pid_t pid = 0;
    for (; *name != end; ++name) {
        if (*name < '0' || *name > '9')
            return 0;
        pid = pid * 10 + (*name - '0');
    }
    return pid;
}

ssize_t readFile(int proc, const char *name, const char *file, char *buffer, std::size_t size)
{
    char path[64] = {};
    std::size_t length = 0;
    for (; name[length] && length < 40; ++length)
        path[length] = name[length];
    std::memcpy(path + length, file, ::strnlen(file, 16) + 1);
    const int fd = ::openat(proc, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    std::size_t total = 0;
    for (ssize_t n; total < size && (n = ::read(fd, buffer + total, size - total)) > 0;)
        total += static_cast<std::size_t>(n);
    ::close(fd);
    return static_cast<ssize_t>(total);
}

// The process group in /proc/<name>/stat: the third field after the
// name in parentheses; 0 when unknown.
pid_t groupOf(int proc, const char *name)
{
    static char stat[1024];
    const ssize_t size = readFile(proc, name, "/stat", stat, sizeof stat - 1);
    ssize_t at = size;
    while (at > 0 && stat[at - 1] != ')')
        --at;
    for (int field = 0; field < 3 && at < size; ++at)
        if (stat[at] == ' ')
            ++field;
    stat[size] = '\0';
    return at < size ? numberIn(stat + at, ' ') : 0;
}

bool carries(const char *environment, ssize_t size, const char (&token)[tokenSize])
{
    static constexpr char variable[] = "QUARRYSTONE_RUN=";
    constexpr std::size_t prefix = sizeof variable - 1;
    for (ssize_t at = 0; at < size;) {
        const char *entry = environment + at;
        const std::size_t length = ::strnlen(entry, static_cast<std::size_t>(size - at));
        if (length == prefix + tokenSize && std::memcmp(entry, variable, prefix) == 0
            && std::memcmp(entry + prefix, token, tokenSize) == 0)
            return true;
        at += static_cast<ssize_t>(length) + 1;
    }
    return false;
}

// SIGKILL to every process whose environment holds one of the runs'
// tokens or that is in one of their groups but leads none; whether any
// was found.
bool killRuns(const Note (&runs)[capacity])
{
    static char entries[32768];
    static char environment[1 << 20];
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return false;
    bool found = false;
    for (;;) {
        const long n = ::syscall(SYS_getdents64, proc, entries, sizeof entries);
        if (n <= 0)
            break;
        for (long at = 0; at < n;) {
            const auto *entry = reinterpret_cast<const dirent64 *>(entries + at);
            at += entry->d_reclen;
            const pid_t pid = numberIn(entry->d_name);
            if (pid <= 0 || pid == ::getpid())
                continue;
            const ssize_t size = readFile(proc, entry->d_name, "/environ", environment, sizeof environment);
            const pid_t group = groupOf(proc, entry->d_name);
            for (const Note &run : runs)
                if (run.group > 0 && (carries(environment, size, run.token) || (group == run.group && pid != group))) {
                    ::kill(pid, SIGKILL);
                    found = true;
                    break;
                }
        }
    }
    ::close(proc);
    return found;
}

// The child of a fork from a process with threads: system calls and
// plain memory work only.
[[noreturn]] void watch(int readEnd, int writeEnd)
{
    ::close(writeEnd);
    ::setsid();
    ::prctl(PR_SET_NAME, "qs-run-watcher");
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
        ::signal(number, SIG_IGN);
    if (readEnd != 3) {
        ::dup2(readEnd, 3);
        ::close(readEnd);
    }
    ::syscall(SYS_close_range, 0U, 2U, 0);
    ::syscall(SYS_close_range, 4U, ~0U, 0);
    static Note runs[capacity];
    Note note{};
    for (;;) {
        const ssize_t n = ::read(3, &note, sizeof note);
        if (n < 0 && errno == EINTR)
            continue;
        if (n != sizeof note)
            break;
        for (Note &run : runs) {
            if (note.group > 0 && run.group == 0) {
                run = note;
                break;
            }
            if (note.group < 0 && run.group == -note.group) {
                run.group = 0;
                break;
            }
        }
    }
    // What left its group may start more while it is being ended. The
    // groups' leaders, the runs' holders, are left alone: tied to us,
    // they end the rest of their runs themselves, orphans included.
    for (int round = 0; round < 100 && killRuns(runs); ++round) {
        const timespec pause{0, 10 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    ::_exit(0);
}

} // namespace

Watcher &Watcher::shared()
{
    // Never destroyed: its end of the pipe must stay open until this
    // process ends.
    static Watcher *const watcher = new Watcher();
    return *watcher;
}

void Watcher::forget(pid_t group)
{
    if (started)
        shared().remove(group);
}

void Watcher::add(pid_t group, const QByteArray &token)
{
    const std::lock_guard lock(m_mutex);
    m_runs[group] = token;
    if (!tell(group, token))
        restart();
}

void Watcher::remove(pid_t group)
{
    const std::lock_guard lock(m_mutex);
    if (!m_runs.contains(group))
        return;
    const QByteArray token = m_runs.take(group);
    if (!tell(-group, token))
        restart();
}

Watcher::Watcher()
{
    started = true;
    start();
}

void Watcher::start()
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        return;
    const pid_t pid = ::fork();
    if (pid == 0)
        watch(ends[0], ends[1]);
    ::close(ends[0]);
    if (pid < 0) {
        ::close(ends[1]);
        return;
    }
    m_pid = pid;
    m_pipe = ends[1];
}

void Watcher::restart()
{
    if (m_pipe >= 0)
        ::close(m_pipe);
    m_pipe = -1;
    if (m_pid > 0)
        ::waitpid(m_pid, nullptr, 0);
    m_pid = -1;
    FileDescriptor::writeAll(STDERR_FILENO,
                             QStringLiteral("실행을 지켜보던 감시 프로세스가 끝나서 새로 띄웠어요.\n").toUtf8());
    start();
    for (auto it = m_runs.cbegin(); it != m_runs.cend(); ++it)
        tell(it.key(), it.value());
}

bool Watcher::tell(pid_t group, const QByteArray &token)
{
    if (m_pipe < 0)
        return false;
    Note note{group, {}};
    std::memcpy(note.token, token.constData(), std::min<qsizetype>(token.size(), tokenSize));
    return ::write(m_pipe, &note, sizeof note) == sizeof note;
}
