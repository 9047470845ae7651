#include "claude/spawn.h"

#include "claude/childprocess.h"
#include "claude/pipepump.h"
#include "core/filedescriptor.h"
#include "core/processgroup.h"
#include "core/text.h"
#include "platform/posixspawn.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPromise>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>
#include <type_traits>

extern char **environ;

namespace {

int exitStatus(int status)
{
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

// Runs `work` on a thread of its own, like wait(): a command such as a large
// `git worktree add` must neither block the event loop nor hold a pool
// thread.
template<typename Work>
QFuture<std::invoke_result_t<Work &>> onOwnThread(Work work)
{
    using Result = std::invoke_result_t<Work &>;
    QPromise<Result> promise;
    QFuture<Result> future = promise.future();
    promise.start();
    std::thread([work = std::move(work), promise = std::move(promise)]() mutable {
        promise.addResult(work());
        promise.finish();
    }).detach();
    return future;
}

// The thread that starts every child leading a group of its own. Such a
// child gets its death signal when the thread that started it ends, so
// that thread must be one that lives as long as the application: not the
// caller's, which may be a task's or a pool's.
class Spawner
{
public:
    static Spawner &shared()
    {
        // Never destroyed: the thread runs until the process ends.
        static Spawner *const spawner = new Spawner();
        return *spawner;
    }

    // Runs `work` on the spawner thread and returns once it has run.
    void call(const std::function<void()> &work)
    {
        std::packaged_task<void()> task(work);
        std::future<void> done = task.get_future();
        {
            const std::lock_guard lock(m_mutex);
            m_tasks.push_back(std::move(task));
        }
        m_added.notify_one();
        done.get();
    }

private:
    Spawner()
    {
        std::thread([this] { serve(); }).detach();
    }

    void serve()
    {
        // Signals for the process are handled by the other threads.
        sigset_t all;
        sigfillset(&all);
        ::pthread_sigmask(SIG_BLOCK, &all, nullptr);
        for (;;) {
            std::unique_lock lock(m_mutex);
            m_added.wait(lock, [this] { return !m_tasks.empty(); });
            std::packaged_task<void()> task = std::move(m_tasks.front());
            m_tasks.pop_front();
            lock.unlock();
            task();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_added;
    std::deque<std::packaged_task<void()>> m_tasks;
};

// The fallback where no PID namespace can be made: a process forked once,
// before any run starts, that holds the reading end of a pipe whose
// writing end only this process has. It learns each run's process group
// as the run starts and forgets it once the run is gone; when this process
// ends, however it ends, the pipe closes and the watcher kills every group
// it still knows.
class Watcher
{
public:
    static Watcher &shared()
    {
        // Never destroyed: its end of the pipe must stay open until this
        // process ends.
        static Watcher *const watcher = new Watcher();
        return *watcher;
    }

    void add(pid_t group) { tell(group); }
    void remove(pid_t group) { tell(-group); }

private:
    static constexpr int capacity = 4096;

    Watcher()
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
        m_pipe = ends[1];
    }

    void tell(pid_t value)
    {
        if (m_pipe >= 0)
            [[maybe_unused]] const ssize_t n = ::write(m_pipe, &value, sizeof value);
    }

    // The child of a fork from a process with threads: system calls only.
    [[noreturn]] static void watch(int readEnd, int writeEnd)
    {
        ::close(writeEnd);
        ::setsid();
        for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            ::signal(number, SIG_IGN);
        if (readEnd != 3) {
            ::dup2(readEnd, 3);
            ::close(readEnd);
        }
        ::syscall(SYS_close_range, 0U, 2U, 0);
        ::syscall(SYS_close_range, 4U, ~0U, 0);
        static pid_t groups[capacity];
        pid_t value = 0;
        for (;;) {
            const ssize_t n = ::read(3, &value, sizeof value);
            if (n < 0 && errno == EINTR)
                continue;
            if (n != sizeof value)
                break;
            for (pid_t &group : groups) {
                if (value > 0 && group == 0) {
                    group = value;
                    break;
                }
                if (value < 0 && group == -value) {
                    group = 0;
                    break;
                }
            }
        }
        for (const pid_t group : groups)
            if (group > 0)
                ::kill(-group, SIGKILL);
        ::_exit(0);
    }

    int m_pipe = -1;
};

QString bwrapPath()
{
    const QString chosen = qEnvironmentVariable("QUARRYSTONE_BWRAP");
    return chosen.isEmpty() ? QStringLiteral("/usr/bin/bwrap") : chosen;
}

// A PID namespace whose first process dies with the starter (bwrap itself).
const QStringList namespaceOptions{QStringLiteral("--unshare-pid"), QStringLiteral("--die-with-parent")};

// What every run gets: that namespace, and its number and first process
// told on descriptor 3.
const QStringList runOptions = namespaceOptions + QStringList{QStringLiteral("--info-fd"), QStringLiteral("3")};

// Runtime folders of the person's session: a confined run gets an empty
// one of its own in their place.
QStringList runtimeFolders()
{
    QStringList folders{QStringLiteral("/run/user/") + QString::number(::geteuid())};
    const QString named = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!named.isEmpty())
        folders.append(QDir::cleanPath(named));
    folders.removeDuplicates();
    folders.removeIf([](const QString &folder) { return !QFileInfo(folder).isDir(); });
    return folders;
}

// Sockets of system services through which a run would act outside: the
// system bus (for root, systemd's whole interface), systemd's own socket,
// and the container services' (root, or a member of their group, can
// start anything there). Folders become empty, sockets /dev/null.
const QStringList serviceSockets{QStringLiteral("/run/dbus"), QStringLiteral("/run/systemd/private"),
                                 QStringLiteral("/run/docker.sock"), QStringLiteral("/run/containerd"),
                                 QStringLiteral("/run/podman")};

// A confined run sees the whole tree read-only, a /dev and a /proc of its
// own, its private /tmp and runtime folder, and then what it may write and
// what it reads where those cover it; a later mount hides whatever an
// earlier one put at or below its place, so a folder comes before anything
// inside it. A session of its own keeps it
// from typing into a terminal of ours.
QStringList confinedMounts(const Spawn::Confinement &confinement)
{
    enum class Kind { shown, writable, empty, nulled };
    QList<std::pair<QString, Kind>> places;
    for (const QString &folder : runtimeFolders())
        places.append({folder, Kind::empty});
    for (const QString &socket : serviceSockets)
        if (const QFileInfo found(socket); found.exists())
            places.append({socket, found.isDir() ? Kind::empty : Kind::nulled});
    for (const QString &place : confinement.writable)
        places.append({place, Kind::writable});
    for (const QString &place : confinement.readOnly)
        places.append({place, Kind::shown});
    std::stable_sort(places.begin(), places.end(),
                     [](const auto &a, const auto &b) { return a.first.size() < b.first.size(); });
    QStringList mounts{QStringLiteral("--ro-bind"), QStringLiteral("/"), QStringLiteral("/"),
                       QStringLiteral("--dev"),     QStringLiteral("/dev"), QStringLiteral("--proc"),
                       QStringLiteral("/proc")};
    if (!confinement.temporary.isEmpty())
        mounts << QStringLiteral("--bind") << confinement.temporary << QStringLiteral("/tmp");
    for (const auto &[place, kind] : places) {
        if (kind == Kind::empty)
            // No "--perms": bwrap takes it before "--tmpfs" only from 0.8.
            mounts << QStringLiteral("--tmpfs") << place;
        else if (kind == Kind::nulled)
            mounts << QStringLiteral("--ro-bind") << QStringLiteral("/dev/null") << place;
        else if (kind == Kind::writable)
            mounts << QStringLiteral("--bind") << place << place;
        else
            mounts << QStringLiteral("--ro-bind") << place << place;
    }
    if (!confinement.temporary.isEmpty())
        mounts << QStringLiteral("--setenv") << QStringLiteral("TMPDIR") << QStringLiteral("/tmp");
    for (const char *desktop : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XAUTHORITY"})
        mounts << QStringLiteral("--unsetenv") << QString::fromLatin1(desktop);
    for (auto it = confinement.environment.begin(); it != confinement.environment.end(); ++it)
        mounts << QStringLiteral("--setenv") << it.key() << it.value();
    return mounts << QStringLiteral("--cap-drop") << QStringLiteral("ALL") << QStringLiteral("--new-session");
}

const QStringList openMounts{QStringLiteral("--dev-bind"), QStringLiteral("/"), QStringLiteral("/")};

// Why execve would refuse the program at `path`, 0 when it would not: a
// file we may not run, or one that is neither a native program nor a
// script naming its interpreter.
int notStartable(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    if (::access(name.constData(), X_OK) != 0)
        return errno;
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    char head[4] = {};
    const ssize_t n = ::read(fd, head, sizeof head);
    const int error = n < 0 ? errno : 0;
    ::close(fd);
    if (error)
        return error;
    const QByteArray start(head, std::max<ssize_t>(n, 0));
    return start == "\x7f" "ELF" || start.startsWith("#!") ? 0 : ENOEXEC;
}

// bwrap sets PWD to the working folder; env (coreutils) puts it back as
// the caller gave it, then runs the program by its path, searching nothing.
// A path with "=" in it would read to env as a variable: such a program
// keeps bwrap's PWD.
QStringList pwdAsGiven(const Spawn::Environment &env, const QString &path)
{
    if (path.contains(QLatin1Char('=')))
        return {};
    if (env.contains(QStringLiteral("PWD")))
        return {QStringLiteral("/usr/bin/env"), QStringLiteral("--"), QStringLiteral("PWD=") + env.value(QStringLiteral("PWD"))};
    return {QStringLiteral("/usr/bin/env"), QStringLiteral("-u"), QStringLiteral("PWD"), QStringLiteral("--")};
}

// Whether bwrap runs /bin/true with these mounts in a namespace of its own.
bool bwrapRuns(const QStringList &mounts)
{
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return false;
    pid_t pid = -1;
    const int error = PosixSpawn::start(
        pid, bwrapPath(),
        mounts + namespaceOptions + QStringList{QStringLiteral("--"), QStringLiteral("/bin/true")},
        {}, QStringLiteral("/"), [null] {
            for (int fd = 0; fd <= 2; ++fd)
                if (::dup2(null, fd) < 0)
                    return errno;
            return 0;
        });
    ::close(null);
    int status = 0;
    if (error || ::waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool namespacesWork()
{
    static const bool work = [] {
        const bool made = bwrapRuns(openMounts);
        if (!made)
            FileDescriptor::writeAll(
                STDERR_FILENO,
                QStringLiteral("이 시스템에서는 bwrap 으로 실행마다 프로세스 이름공간을 만들 수 없어요. 감시 프로세스가 대신 "
                               "앱이 끝날 때 실행을 끝내요.\n")
                    .toUtf8());
        return made;
    }();
    return work;
}

// What bwrap writes on the info descriptor once the namespace exists:
// {"child-pid": <first process, as we number it>, "pid-namespace": <inode>}.
// End of file with nothing before it: bwrap ended first.
ChildProcess::Run readRunInfo(int fd)
{
    QByteArray text;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        text.append(buffer, n);
    }
    ::close(fd);
    const QJsonObject info = QJsonDocument::fromJson(text).object();
    ChildProcess::Run run;
    run.init = static_cast<pid_t>(info.value(QLatin1String("child-pid")).toInteger());
    run.ns = static_cast<quint64>(info.value(QLatin1String("pid-namespace")).toInteger());
    if (run.init <= 0 || run.ns == 0)
        return {};
    return run;
}

// Every run from its start until it has been reaped and nothing of it is
// left, so that the application's end can end them all.
class Runs
{
public:
    static Runs &shared()
    {
        // Never destroyed: waiters on detached threads may still leave it
        // while the process ends.
        static Runs *const runs = new Runs();
        return *runs;
    }

    bool closed()
    {
        const std::lock_guard lock(m_mutex);
        return m_closed;
    }

    void add(const ChildProcess &child)
    {
        const std::lock_guard lock(m_mutex);
        // One that started while the application ends is ended at once.
        if (m_closed)
            child.terminate(m_grace);
        m_runs.emplace(child.pid(), Entry{child, m_closed});
    }

    void gone(pid_t pid)
    {
        const std::lock_guard lock(m_mutex);
        if (m_runs.erase(pid) > 0)
            m_changed.notify_all();
    }

    // Whether the application's end has ended this run.
    bool wasEnded(pid_t pid)
    {
        const std::lock_guard lock(m_mutex);
        const auto found = m_runs.find(pid);
        return found != m_runs.end() && found->second.ended;
    }

    void endAll(std::chrono::milliseconds grace)
    {
        std::unique_lock lock(m_mutex);
        m_closed = true;
        m_grace = grace;
        for (auto &[pid, entry] : m_runs) {
            entry.ended = true;
            entry.child.terminate(grace);
        }
        // A waiter lets go of its run once the run is gone, which the
        // SIGKILL after the grace brings about at the latest.
        const auto until = std::chrono::steady_clock::now() + grace + PipePump::drainAfterEnd + std::chrono::seconds(1);
        while (!m_runs.empty() && std::chrono::steady_clock::now() < until)
            m_changed.wait_for(lock, std::chrono::milliseconds(20));
    }

private:
    struct Entry {
        ChildProcess child;
        bool ended;
    };

    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::map<pid_t, Entry> m_runs;
    bool m_closed = false;
    std::chrono::milliseconds m_grace{0};
};

// Waits for the child and, when it started a run, for the rest of the run:
// whatever is left once the program has ended is killed (a namespace goes
// by itself once bwrap, its starter, has ended).
int reap(pid_t pid)
{
    // Opened before the reap, after which the number may be someone else's.
    const ChildProcess child(pid);
    int status = 0;
    pid_t done;
    do {
        done = ::waitpid(pid, &status, 0);
    } while (done == -1 && errno == EINTR);
    if (done != pid)
        // A child we cannot wait for must never read as a success.
        return -1;
    if (!child.isGone()) {
        child.kill();
        child.waitUntilGone(std::chrono::hours(24));
    }
    if (!namespacesWork())
        Watcher::shared().remove(pid);
    ChildProcess::forgetRun(pid);
    Runs::shared().gone(pid);
    return exitStatus(status);
}

} // namespace

namespace Spawn {

void ignoreSigpipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}

Environment processEnvironment()
{
    Environment env;
    for (char **entry = environ; entry && *entry; ++entry) {
        const QByteArray pair(*entry);
        const qsizetype equals = pair.indexOf('=');
        if (equals > 0)
            env.insert(QString::fromUtf8(pair.left(equals)), QString::fromUtf8(pair.mid(equals + 1)));
    }
    return env;
}

SpawnFailure startFailure(int error)
{
    char buffer[256];
    const char *text = strerror_r(error, buffer, sizeof buffer);
    return SpawnFailure{QStringLiteral("claude 를 띄우지 못했어요: ") + QString::fromLocal8Bit(text)};
}

bool confinementWorks()
{
    static const bool works = namespacesWork() && bwrapRuns(confinedMounts({}));
    return works;
}

pid_t run(const QString &path, const QStringList &args, const Environment &env, const QString &cwd, int stdinFd,
          int stdoutFd, int stderrFd, const Options &options)
{
    // A relative name would be found in the child's new working folder: a
    // file called "git" in a plan folder must never run.
    if (!path.startsWith(QLatin1Char('/')))
        throw startFailure(ENOENT);

    const bool inNamespace = !options.outlivesApplication && namespacesWork();
    // bwrap would only say on standard error that it could not run the
    // program, as the program's own exit status, and its execvp would hand
    // a file that is no program to /bin/sh: asked first.
    if (inNamespace)
        if (const int error = notStartable(path))
            throw startFailure(error);
    int info[2] = {-1, -1};
    if (inNamespace && ::pipe2(info, O_CLOEXEC) != 0)
        throw startFailure(errno);
    const QByteArray terminal = options.terminal;
    const int infoFd = info[1];
    const PosixSpawn::Descriptors descriptors = [stdinFd, stdoutFd, stderrFd, &terminal, infoFd] {
        if (!terminal.isEmpty()) {
            // In the new session, opening the terminal (without O_NOCTTY)
            // makes it the controlling terminal.
            const int fd = ::open(terminal.constData(), O_RDWR);
            if (fd < 0)
                return errno;
            if (fd != 0 && (::dup2(fd, 0) < 0 || ::close(fd) != 0))
                return errno;
            if (::dup2(0, 1) < 0 || ::dup2(0, 2) < 0)
                return errno;
        } else {
            for (const auto &[from, to] : {std::pair{stdinFd, 0}, std::pair{stdoutFd, 1}, std::pair{stderrFd, 2}}) {
                // dup2 onto itself would keep the close-on-exec flag.
                const int done = from == to ? ::fcntl(from, F_SETFD, 0) : ::dup2(from, to);
                if (done < 0)
                    return errno;
            }
        }
        if (infoFd >= 0 && (infoFd == 3 ? ::fcntl(infoFd, F_SETFD, 0) : ::dup2(infoFd, 3)) < 0)
            return errno;
        return 0;
    };
    PosixSpawn::Options how{.ownGroup = terminal.isEmpty(), .newSession = !terminal.isEmpty(), .tied = true};
    if (options.outlivesApplication) {
        pid_t pid = -1;
        if (const int error = PosixSpawn::start(pid, path, args, env, cwd, descriptors, {}))
            throw startFailure(error);
        return pid;
    }

    Environment runEnv = env;
    runEnv.insert(ProcessGroup::tokenVariable(), QString::fromLatin1(ProcessGroup::newToken()));
    QString program = path;
    QStringList arguments = args;
    if (inNamespace) {
        how.kept = 4;
        program = bwrapPath();
        arguments = (options.confinement && confinementWorks() ? confinedMounts(*options.confinement) : openMounts)
            + runOptions;
        if (!cwd.isEmpty())
            arguments << QStringLiteral("--chdir") << cwd;
        arguments << QStringLiteral("--") << pwdAsGiven(env, path) << path;
        arguments += args;
    }
    // Known, with a descriptor of its own, before anyone can reap it. Its
    // death signal comes when the thread that started it ends: the spawner
    // thread, which lives as long as the application.
    pid_t pid = -1;
    int error = 0;
    const int infoRead = info[0];
    Spawner::shared().call([&] {
        error = PosixSpawn::start(pid, program, arguments, runEnv, cwd, descriptors, how);
        // Only bwrap's copy left, so that its end shows as the end of file.
        if (infoFd >= 0)
            ::close(infoFd);
        if (error)
            return;
        if (inNamespace)
            ChildProcess::startsRun(pid, [infoRead] { return readRunInfo(infoRead); });
        else
            ChildProcess::startsRun(pid, [] { return ChildProcess::Run(); });
        if (!inNamespace)
            Watcher::shared().add(pid);
        Runs::shared().add(ChildProcess(pid));
    });
    if (error) {
        if (infoRead >= 0)
            ::close(infoRead);
        throw startFailure(error);
    }
    return pid;
}

QCoro::Task<int> wait(pid_t pid)
{
    QPromise<int> promise;
    QFuture<int> future = promise.future();
    promise.start();
    // One thread per child: a shared pool would run dry while long runs wait.
    std::thread([pid, promise = std::move(promise)]() mutable {
        promise.addResult(reap(pid));
        promise.finish();
    }).detach();
    co_return co_await future;
}

std::optional<QByteArray> outputBytes(const QString &path, const QStringList &args, const Environment &env,
                                      std::optional<std::chrono::milliseconds> timeout, const CancelToken &stop)
{
    if (stop.isCancelled() || Runs::shared().closed())
        return std::nullopt;
    std::optional<PipePump> pipes;
    pid_t pid = -1;
    try {
        pipes.emplace();
        pid = run(path, args, env, QDir::tempPath(), pipes->childInput(), pipes->childOutput(), pipes->childError());
    } catch (const SpawnFailure &) {
        return std::nullopt;
    }
    const ChildProcess child(pid);
    pipes->closeChildEnds();
    const CancelToken::Registration stopping = stop.onCancel([child] { child.terminate(stopGrace); });

    std::optional<PipePump::Clock::time_point> deadline;
    if (timeout)
        deadline = PipePump::Clock::now() + *timeout;
    QByteArray out;
    bool finished = pipes->pump(
        child, QByteArray(), [&out](const QByteArray &bytes) { out += bytes; }, [](const QByteArray &) {}, deadline);
    if (finished && deadline)
        finished = child.waitForEnd(std::chrono::ceil<std::chrono::milliseconds>(*deadline - PipePump::Clock::now()));
    if (!finished)
        child.kill();
    // Asked before the reap, which forgets a run that has gone.
    const bool endedWithUs = Runs::shared().wasEnded(pid);
    reap(pid);
    if (!finished || stop.isCancelled() || endedWithUs)
        return std::nullopt;
    return out;
}

std::optional<QString> output(const QString &path, const QStringList &args, const Environment &env,
                              std::optional<std::chrono::milliseconds> timeout, const CancelToken &stop)
{
    const std::optional<QByteArray> bytes = outputBytes(path, args, env, timeout, stop);
    if (!bytes)
        return std::nullopt;
    return Text::decodeUtf8Strict(*bytes);
}

void endChildren(std::chrono::milliseconds grace)
{
    Runs::shared().endAll(grace);
}

QCoro::Task<std::optional<QString>> outputAsync(QString path, QStringList args, Environment env)
{
    // Named first: GCC 12 destroys the captures of a lambda made within a
    // co_await expression twice.
    QFuture<std::optional<QString>> done =
        onOwnThread([path = std::move(path), args = std::move(args), env = std::move(env)] {
            return output(path, args, env);
        });
    co_return co_await done;
}

QCoro::Task<std::optional<QByteArray>> outputBytesAsync(QString path, QStringList args, Environment env)
{
    // Named first: GCC 12 destroys the captures of a lambda made within a
    // co_await expression twice.
    QFuture<std::optional<QByteArray>> done =
        onOwnThread([path = std::move(path), args = std::move(args), env = std::move(env)] {
            return outputBytes(path, args, env);
        });
    co_return co_await done;
}

} // namespace Spawn
