#include "process/spawn.h"

#include "process/childprocess.h"
#include "process/pipepump.h"
#include "core/filedescriptor.h"
#include "core/ownthread.h"
#include "process/runmarks.h"
#include "process/runlist.h"
#include "core/text.h"
#include "process/posixspawn.h"
#include "process/ownnetwork.h"
#include "process/socketfilter.h"
#include "process/bwrapcommand.h"
#include "process/runtable.h"
#include "process/watcher.h"

#include <QCoroFuture>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <future>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <sys/prctl.h>
#include <utility>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <thread>

extern char **environ;

namespace {

int exitStatus(int status)
{
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
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

// What is waited for by a thread of ours, by number: the children of
// Spawn::run and of the namespace probe. Held while such a child starts and
// until it is reaped, so that the reaper of orphans never takes one.
std::mutex childrenMutex;
std::set<pid_t> &waitedFor()
{
    // Never destroyed: waiters on detached threads may still leave it while
    // the process ends.
    static auto *const children = new std::set<pid_t>();
    return *children;
}

void reaped(pid_t pid)
{
    const std::lock_guard lock(childrenMutex);
    waitedFor().erase(pid);
}

// As the first process of a PID namespace (a container's), or as a
// subreaper, this process is handed every orphan of its runs: a command
// that outlived its parent ends as a zombie of ours. Those that no thread
// of ours waits for are reaped here, now and then.
void reapOrphans()
{
    const bool adoptive = [] {
        int subreaper = 0;
        return ::getpid() == 1 || (::prctl(PR_GET_CHILD_SUBREAPER, &subreaper) == 0 && subreaper != 0);
    }();
    if (!adoptive)
        return;
    std::thread([] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const std::lock_guard lock(childrenMutex);
            for (const pid_t orphan : RunMarks::zombieChildren())
                if (!waitedFor().contains(orphan))
                    ::waitpid(orphan, nullptr, WNOHANG);
        }
    }).detach();
}

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

// Whether bwrap runs /bin/true with these mounts in a namespace of its own.
bool bwrapRuns(const QStringList &mounts)
{
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return false;
    pid_t pid = -1;
    int error = 0;
    {
        const std::lock_guard lock(childrenMutex);
        error = PosixSpawn::start(
            pid, BwrapCommand::program(),
            mounts + BwrapCommand::namespaceOptions() + QStringList{QStringLiteral("--"), QStringLiteral("/bin/true")},
            {}, QStringLiteral("/"), [null] {
                for (int fd = 0; fd <= 2; ++fd)
                    if (::dup2(null, fd) < 0)
                        return errno;
                return 0;
            });
        if (!error)
            waitedFor().insert(pid);
    }
    ::close(null);
    int status = 0;
    const bool waited = !error && ::waitpid(pid, &status, 0) == pid;
    if (!error)
        reaped(pid);
    return waited && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// An open run sees the whole tree as it is, and a /proc of its own, so that
// `$$`, /proc/self and a walk of its process tree name its own processes;
// where no /proc can be mounted (parts of the system's masked, as in some
// containers), the system's, rather than no namespace at all, which is
// said once. Nothing where bwrap makes no namespace. Each is asked of
// bwrap once.
const std::optional<QStringList> &workingOpenMounts()
{
    static const auto *const mounts = [] {
        const QStringList whole{QStringLiteral("--dev-bind"), QStringLiteral("/"), QStringLiteral("/")};
        const QStringList ownProc = whole + QStringList{QStringLiteral("--proc"), QStringLiteral("/proc")};
        if (bwrapRuns(ownProc))
            return new std::optional<QStringList>(ownProc);
        const bool made = bwrapRuns(whole);
        FileDescriptor::writeAll(
            STDERR_FILENO,
            (made ? QStringLiteral("이 시스템에서는 실행마다 /proc 을 따로 올릴 수 없어서, 실행이 시스템의 /proc 을 그대로 "
                                   "봐요. 그 안에서 ps 같은 도구는 제대로 동작하지 않을 수 있어요.\n")
                  : QStringLiteral("이 시스템에서는 bwrap 으로 실행마다 프로세스 이름공간을 만들 수 없어요. 감시 프로세스가 "
                                   "대신 앱이 끝날 때 실행을 끝내요.\n"))
                .toUtf8());
        return new std::optional<QStringList>(made ? std::optional<QStringList>(whole) : std::nullopt);
    }();
    return *mounts;
}

const QStringList &openMounts()
{
    return *workingOpenMounts();
}

bool namespacesWork()
{
    return workingOpenMounts().has_value();
}

// What bwrap writes on the info descriptor once the namespace exists:
// {"child-pid": <first process, as we number it>, "pid-namespace": <inode>}.
// End of file with nothing before it: bwrap ended first.
ChildProcess::Run readRunInfo(int fd)
{
    const QByteArray text = FileDescriptor::readAll(fd);
    ::close(fd);
    const QJsonObject info = QJsonDocument::fromJson(text).object();
    ChildProcess::Run run;
    run.init = static_cast<pid_t>(info.value(QLatin1String("child-pid")).toInteger());
    run.ns = static_cast<quint64>(info.value(QLatin1String("pid-namespace")).toInteger());
    if (run.init <= 0 || run.ns == 0)
        return {};
    return run;
}

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
    reaped(pid);
    // What is left of the run is killed: in the fallback that includes what
    // left the group, found by its token.
    if (!child.runIsGone()) {
        child.kill();
        while (!child.waitUntilRunIsGone(std::chrono::milliseconds(200)))
            child.kill();
    }
    Watcher::forget(pid);
    RunList::remove(child.token());
    ChildProcess::forgetRun(pid);
    RunTable::shared().gone(pid);
    return exitStatus(status);
}

// The pipes between us and a run in a namespace: bwrap's description of
// it, and the gate's word that it is tied and ours that we are alive. Our
// ends are closed with the object unless taken.
struct Pipes {
    // The child's descriptors: 0 to 2, then these three.
    static constexpr int kept = 6;

    int info[2] = {-1, -1};
    int ready[2] = {-1, -1};
    int go[2] = {-1, -1};

    Pipes() = default;
    Pipes(const Pipes &) = delete;
    Pipes &operator=(const Pipes &) = delete;
    ~Pipes()
    {
        for (const int fd : {info[0], info[1], ready[0], ready[1], go[0], go[1]})
            if (fd >= 0)
                ::close(fd);
    }

    bool open() { return ::pipe2(info, O_CLOEXEC) == 0 && ::pipe2(ready, O_CLOEXEC) == 0 && ::pipe2(go, O_CLOEXEC) == 0; }

    // In the child: bwrap's info on 3, our word on 4, the gate's on 5. Each
    // is first moved above them all, so that no move overwrites another.
    int childEnds() const
    {
        if (info[1] < 0)
            return 0;
        const int from[] = {info[1], go[0], ready[1]};
        int moved[3];
        for (int n = 0; n < 3; ++n)
            if ((moved[n] = ::fcntl(from[n], F_DUPFD_CLOEXEC, 10)) < 0)
                return errno;
        for (int n = 0; n < 3; ++n)
            if (::dup2(moved[n], 3 + n) < 0)
                return errno;
        return 0;
    }

    void closeChildEnds()
    {
        for (int *fd : {&info[1], &go[0], &ready[1]})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
    }

    int takeInfo() { return std::exchange(info[0], -1); }
    int takeReady() { return std::exchange(ready[0], -1); }
    int takeGo() { return std::exchange(go[1], -1); }
};

// What a confined run's starter gets beside the pipes: its end of the
// socket pair that keeps its network's stack (see OwnNetwork), the
// system-call filter bwrap loads (see SocketFilter) and, where ours would
// not serve it, the run's /etc/resolv.conf. Ours are closed with the object
// unless taken.
struct ConfinedEnds {
    // The child's descriptors: the pipes', then these three.
    static constexpr int network = OwnNetwork::runDescriptor;
    static constexpr int filter = network + 1;
    static constexpr int resolver = filter + 1;
    static constexpr int kept = resolver + 1;
    static_assert(network == Pipes::kept);

    int pair[2] = {-1, -1};
    int program = -1;
    int names = -1;

    ConfinedEnds() = default;
    ConfinedEnds(const ConfinedEnds &) = delete;
    ConfinedEnds &operator=(const ConfinedEnds &) = delete;
    ~ConfinedEnds()
    {
        for (const int fd : {pair[0], pair[1], program, names})
            if (fd >= 0)
                ::close(fd);
    }

    // Throws SpawnFailure, in Korean where the machine cannot give runs a
    // network of their own or a run with `env` could not leave it.
    void open(const Spawn::Environment &env)
    {
        if (const QString why = OwnNetwork::unavailable(); !why.isEmpty())
            throw SpawnFailure{why};
        if (const QString why = OwnNetwork::unreachableProxy(env); !why.isEmpty())
            throw SpawnFailure{why};
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 || (program = SocketFilter::open()) < 0)
            throw Spawn::startFailure(errno);
        if (const std::optional<QByteArray> settings = OwnNetwork::resolverSettings()) {
            names = ::memfd_create("resolv.conf", MFD_CLOEXEC);
            if (names < 0 || !FileDescriptor::writeAll(names, *settings) || ::lseek(names, 0, SEEK_SET) != 0)
                throw Spawn::startFailure(errno != 0 ? errno : EIO);
        }
    }

    // In the child, after the pipes' ends: as childEnds there.
    int childEnds() const
    {
        if (pair[1] < 0)
            return 0;
        const int from[] = {pair[1], program, names};
        int moved[3] = {-1, -1, -1};
        for (int n = 0; n < 3; ++n)
            if (from[n] >= 0 && (moved[n] = ::fcntl(from[n], F_DUPFD_CLOEXEC, 10)) < 0)
                return errno;
        for (int n = 0; n < 3; ++n)
            if (moved[n] >= 0 && ::dup2(moved[n], network + n) < 0)
                return errno;
        return 0;
    }

    // bwrap's options for them: the filter, the stack's end held as long as
    // the run, the resolver's settings.
    QStringList options() const
    {
        QStringList options = OwnNetwork::bwrapOptions()
            + QStringList{QStringLiteral("--seccomp"), QString::number(filter), QStringLiteral("--sync-fd"),
                          QString::number(network)};
        if (names >= 0)
            options << QStringLiteral("--ro-bind-data") << QString::number(resolver) << QStringLiteral("/etc/resolv.conf");
        return options;
    }

    // Once the child has its copies: ours of the run's end and the rest
    // go, and the other end is the stack's to attach.
    void started(pid_t pid)
    {
        for (int *fd : {&pair[1], &program, &names})
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        if (pair[0] >= 0)
            OwnNetwork::attach(pid, std::exchange(pair[0], -1));
    }
};

// The child's standard descriptors from the caller's three.
int standardDescriptors(int stdinFd, int stdoutFd, int stderrFd)
{
    for (const auto &[from, to] : {std::pair{stdinFd, 0}, std::pair{stdoutFd, 1}, std::pair{stderrFd, 2}}) {
        // dup2 onto itself would keep the close-on-exec flag.
        const int done = from == to ? ::fcntl(from, F_SETFD, 0) : ::dup2(from, to);
        if (done < 0)
            return errno;
    }
    return 0;
}

// The terminal as the child's three and, in its new session, opened
// without O_NOCTTY, as its controlling terminal.
int terminalDescriptors(const char *terminal)
{
    const int fd = ::open(terminal, O_RDWR);
    if (fd < 0)
        return errno;
    if (fd != 0 && (::dup2(fd, 0) < 0 || ::close(fd) != 0))
        return errno;
    if (::dup2(0, 1) < 0 || ::dup2(0, 2) < 0)
        return errno;
    return 0;
}

// The gate's word comes once the namespace's first process is tied to
// bwrap; bwrap still running then means the tie holds all the way to us.
// Otherwise, or when bwrap ends first, the gate gets nothing.
void openGate(const ChildProcess &bwrap, int readyRead, int goWrite)
{
    std::thread([bwrap, readyRead, goWrite] {
        pollfd waits[2] = {{readyRead, POLLIN, 0}, {bwrap.endDescriptor(), POLLIN, 0}};
        while (::poll(waits, bwrap.endDescriptor() >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
        }
        char word = 0;
        if (::read(readyRead, &word, 1) == 1 && !bwrap.childHasEnded()) {
            // Here, not as the run starts: the starter need not wait for
            // the namespace to be made.
            bwrap.describe();
            FileDescriptor::writeAll(goWrite, "\n");
        }
        ::close(readyRead);
        ::close(goWrite);
    }).detach();
}

// Whether bwrap needs a user namespace for a PID namespace: as anyone but
// root.
bool needsUserNamespace()
{
    return ::geteuid() != 0;
}

void reapOrphansOnce()
{
    static std::once_flag started;
    std::call_once(started, reapOrphans);
}

// A child that is no run: started as it is, reaped by its caller.
pid_t startOutliving(const QString &path, const QStringList &args, const Spawn::Environment &env, const QString &cwd,
                     int stdinFd, int stdoutFd, int stderrFd)
{
    pid_t pid = -1;
    const std::lock_guard lock(childrenMutex);
    if (const int error = PosixSpawn::start(pid, path, args, env, cwd,
                                            [stdinFd, stdoutFd, stderrFd] {
                                                return standardDescriptors(stdinFd, stdoutFd, stderrFd);
                                            }))
        throw Spawn::startFailure(error);
    waitedFor().insert(pid);
    return pid;
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

Environment allowedEnvironment(const QStringList &names, const QStringList &prefixes)
{
    const Environment ours = processEnvironment();
    Environment env;
    for (auto it = ours.begin(); it != ours.end(); ++it)
        if (names.contains(it.key())
            || std::any_of(prefixes.begin(), prefixes.end(),
                           [&](const QString &prefix) { return it.key().startsWith(prefix); }))
            env.insert(it.key(), it.value());
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
    static const bool works = namespacesWork() && bwrapRuns(BwrapCommand::confinedMounts({}));
    return works;
}

pid_t run(const QString &path, const QStringList &args, const Environment &env, const QString &cwd, int stdinFd,
          int stdoutFd, int stderrFd, const Options &options)
{
    // A relative name would be found in the child's new working folder: a
    // file called "git" in a plan folder must never run.
    if (!path.startsWith(QLatin1Char('/')))
        throw startFailure(ENOENT);
    if (options.outlivesApplication)
        return startOutliving(path, args, env, cwd, stdinFd, stdoutFd, stderrFd);

    const bool inNamespace = namespacesWork() && (!options.likeTheirTerminal || !needsUserNamespace());
    // bwrap would only say on standard error that it could not run the
    // program, as the program's own exit status, and its execvp would hand
    // a file that is no program to /bin/sh: asked first, in the fallback
    // too, before a run that cannot start is listed or held.
    if (const int error = notStartable(path))
        throw startFailure(error);
    Pipes pipes;
    if (inNamespace && !pipes.open())
        throw startFailure(errno);
    const bool confined = inNamespace && options.confinement && confinementWorks();
    ConfinedEnds ends;
    if (confined)
        ends.open(env);
    const QByteArray terminal = options.terminal;
    const PosixSpawn::Descriptors descriptors = [stdinFd, stdoutFd, stderrFd, &terminal, &pipes, &ends] {
        if (const int error = terminal.isEmpty() ? standardDescriptors(stdinFd, stdoutFd, stderrFd)
                                                 : terminalDescriptors(terminal.constData()))
            return error;
        if (const int error = pipes.childEnds())
            return error;
        return ends.childEnds();
    };
    PosixSpawn::Options how{.ownGroup = terminal.isEmpty(), .newSession = !terminal.isEmpty(), .tied = true};

    const QByteArray token = options.token.isEmpty() ? RunMarks::newToken() : options.token;
    Environment runEnv = env;
    runEnv.insert(RunMarks::tokenVariable(), QString::fromLatin1(token));
    QString program = path;
    QStringList arguments = args;
    // Without a namespace, a holder of the run's own adopts its orphans.
    how.holdsOrphans = !inNamespace;
    if (inNamespace) {
        how.kept = confined ? ConfinedEnds::kept : Pipes::kept;
        program = BwrapCommand::program();
        arguments = (confined ? BwrapCommand::confinedMounts(*options.confinement) + ends.options() : openMounts())
            + BwrapCommand::runOptions();
        if (!cwd.isEmpty())
            arguments << QStringLiteral("--chdir") << cwd;
        arguments << QStringLiteral("--") << BwrapCommand::gated(env, path);
        arguments += args;
    }
    if (confined) {
        arguments = OwnNetwork::command(program, arguments);
        program = arguments.takeFirst();
    }
    reapOrphansOnce();
    RunList::add(token);
    // Known, with a descriptor of its own, before anyone can reap it. Its
    // death signal comes when the thread that started it ends: the spawner
    // thread, which lives as long as the application.
    pid_t pid = -1;
    int error = 0;
    Spawner::shared().call([&] {
        {
            const std::lock_guard lock(childrenMutex);
            error = PosixSpawn::start(pid, program, arguments, runEnv, cwd, descriptors, how);
            if (!error)
                waitedFor().insert(pid);
        }
        // Only bwrap's copies left, so that its end shows as the end of file.
        pipes.closeChildEnds();
        if (error)
            return;
        if (confined)
            ends.started(pid);
        // Read and closed by the description, asked for below.
        const int infoRead = pipes.takeInfo();
        ChildProcess::startsRun(pid, [infoRead, inNamespace, token] {
            ChildProcess::Run run = inNamespace ? readRunInfo(infoRead) : ChildProcess::Run();
            run.token = token;
            return run;
        });
        if (!inNamespace)
            Watcher::shared().add(pid, token);
        const ChildProcess child(pid);
        RunTable::shared().add(child);
        if (inNamespace)
            openGate(child, pipes.takeReady(), pipes.takeGo());
    });
    if (error) {
        RunList::remove(token);
        throw startFailure(error);
    }
    return pid;
}

QCoro::Task<int> wait(pid_t pid)
{
    // One thread per child: a shared pool would run dry while long runs wait.
    QFuture<int> reaping = OwnThread::future([pid] { return reap(pid); });
    co_return co_await reaping;
}

std::optional<QByteArray> outputBytes(const QString &path, const QStringList &args, const Environment &env,
                                      std::optional<std::chrono::milliseconds> timeout, const CancelToken &stop)
{
    if (stop.isCancelled() || RunTable::shared().closed())
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
        finished = child.waitForChildEnd(std::chrono::ceil<std::chrono::milliseconds>(*deadline - PipePump::Clock::now()));
    if (!finished)
        child.kill();
    // Asked before the reap, which forgets a run that has gone.
    const bool endedWithUs = RunTable::shared().wasEnded(pid);
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
    RunTable::shared().endAll(grace);
}

QCoro::Task<std::optional<QString>> outputAsync(QString path, QStringList args, Environment env)
{
    // Named first: GCC 12 destroys the captures of a lambda made within a
    // co_await expression twice.
    QFuture<std::optional<QString>> done =
        OwnThread::future([path = std::move(path), args = std::move(args), env = std::move(env)] {
            return output(path, args, env);
        });
    co_return co_await done;
}

QCoro::Task<std::optional<QByteArray>> outputBytesAsync(QString path, QStringList args, Environment env)
{
    // Named first: GCC 12 destroys the captures of a lambda made within a
    // co_await expression twice.
    QFuture<std::optional<QByteArray>> done =
        OwnThread::future([path = std::move(path), args = std::move(args), env = std::move(env)] {
            return outputBytes(path, args, env);
        });
    co_return co_await done;
}

} // namespace Spawn
