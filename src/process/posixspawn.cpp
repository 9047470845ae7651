#include "process/posixspawn.h"

#include <QByteArray>
#include <QFile>
#include <cerrno>
#include <csignal>
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

int prepare(const Setup &setup)
{
    if (setup.options.tied) {
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
            return errno;
        // The starter ended before the signal was set: none would come.
        if (::getppid() != setup.parent)
            return ESRCH;
    }
    if (setup.options.newSession && ::setsid() < 0)
        return errno;
    if (setup.options.ownGroup && !setup.options.newSession && ::setpgid(0, 0) != 0)
        return errno;
    defaultSignals();
    if (const int error = (*setup.descriptors)())
        return error;
    if (setup.cwd && ::chdir(setup.cwd) != 0)
        return errno;
    closeFrom(setup.options.kept);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
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
    return cloneChild(pid, setup);
}

} // namespace PosixSpawn
