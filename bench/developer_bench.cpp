#include "benchsupport.h"
#include "claude/clauderunner.h"
#include "process/spawn.h"
#include "model/buildplaces.h"
#include "model/developer.h"
#include "process/ownnetwork.h"
#include "process/runmarks.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <vector>

// A development run on a repository of 200 files with a Claude stand-in
// that answers at once, against the git commands it is made of run
// directly on the same repository: the branch name's check, the branch's
// look-up, `git worktree add` of the new branch, the worktree's git
// folders and `git status` in it after the run. The run's own time less the
// stand-in's (run alone through the runner) is its git work and what goes
// with it; "x_git" is that against the direct commands. While the run goes
// on, a 10 ms timer on the main thread records its longest gap between two
// ticks. Wall time swings with the machine's load, so the same three are
// also taken as CPU time of this process and every child it has waited for
// (user and system, the children's counted as each is reaped): "x_git_cpu"
// is the run's CPU time less the stand-in's against the direct commands'.
// A confined command's namespace outlives bwrap, its starter, for a moment
// and is no child of ours then: this benchmark is made the subreaper of its
// descendants, so that such a namespace comes back to us and, once reaped,
// is counted; each figure is taken once no child is left unreaped.
// QUARRYSTONE_BENCH_FILES changes the repository's size. Everything lives
// under TMPDIR, and what git costs there follows its file system: on ext4
// that has seen many files made and deleted, a new inode costs far more
// than on a tmpfs (`git worktree add` 130-290 ms against 30 ms here), and
// the run's fixed cost weighs the more, the faster git is.
namespace {

const int fileCount = qEnvironmentVariableIsSet("QUARRYSTONE_BENCH_FILES")
    ? qEnvironmentVariableIntValue("QUARRYSTONE_BENCH_FILES")
    : 200;
constexpr int filesPerFolder = 20;

QTemporaryDir &scratch()
{
    static QTemporaryDir dir;
    return dir;
}

double seconds(const timeval &time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

// CPU milliseconds spent so far by this process's reaped children, and by
// the process itself as well.
struct Cpu {
    double children = 0;
    double all = 0;

    Cpu operator-(const Cpu &start) const { return {children - start.children, all - start.all}; }
};

Cpu cpuSoFar()
{
    // Orphans handed to us are reaped by the program's own reaper, every
    // fifth of a second: what ends now is counted once that has come by.
    QElapsedTimer settling;
    settling.start();
    do
        QThread::msleep(250);
    while (!RunMarks::zombieChildren().isEmpty() && settling.elapsed() < 5000);
    rusage self{};
    rusage children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    const double theirs = (seconds(children.ru_utime) + seconds(children.ru_stime)) * 1e3;
    return {theirs, theirs + (seconds(self.ru_utime) + seconds(self.ru_stime)) * 1e3};
}

double git(const QString &dir, const QStringList &args)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    QElapsedTimer timer;
    timer.start();
    process.start(QStringLiteral("/usr/bin/git"),
                  QStringList{QStringLiteral("-c"), QStringLiteral("user.name=Bench"), QStringLiteral("-c"),
                              QStringLiteral("user.email=bench@example.com")}
                      + args);
    process.waitForFinished(-1);
    return timer.nsecsElapsed() / 1e6;
}

// The repository, its plan folder and the stand-in, made once.
struct Fixture {
    QString repo;
    QString planDir;
    QString claude;
};

const Fixture &fixture()
{
    static const Fixture made = [] {
        Fixture f;
        const QString root = QDir(scratch().path()).canonicalPath();
        // The worktrees' build homes go there too, not to the person's.
        qputenv("QUARRYSTONE_SUPPORT", (root + QStringLiteral("/support")).toUtf8());
        f.repo = root + QStringLiteral("/app");
        for (int folder = 0; folder < fileCount / filesPerFolder; ++folder) {
            const QString dir = f.repo + QStringLiteral("/module%1/src/main/kotlin").arg(folder);
            QDir().mkpath(dir);
            for (int i = 0; i < filesPerFolder; ++i) {
                QFile file(dir + QStringLiteral("/Screen%1.kt").arg(i));
                if (file.open(QIODevice::WriteOnly))
                    file.write(QStringLiteral("package module%1\n\nclass Screen%2\n").arg(folder).arg(i).toUtf8());
            }
        }
        git(f.repo, {QStringLiteral("init"), QStringLiteral("-q"), QStringLiteral("-b"), QStringLiteral("main")});
        git(f.repo, {QStringLiteral("add"), QStringLiteral("-A")});
        git(f.repo, {QStringLiteral("commit"), QStringLiteral("-q"), QStringLiteral("-m"), QStringLiteral("init")});

        f.planDir = root + QStringLiteral("/plan");
        QDir().mkpath(f.planDir + QStringLiteral("/history"));
        f.claude = root + QStringLiteral("/claude");
        QFile script(f.claude);
        if (script.open(QIODevice::WriteOnly))
            script.write("#!/bin/sh\ncat >/dev/null\n"
                         "printf '%s\\n' '{\"type\":\"result\",\"subtype\":\"success\",\"is_error\":false,"
                         "\"result\":\"done\",\"duration_ms\":1,\"total_cost_usd\":0.01}'\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return f;
    }();
    return made;
}

void removeWorktree(const QString &repo, const QString &worktree, const QString &branch)
{
    git(repo, {QStringLiteral("worktree"), QStringLiteral("remove"), QStringLiteral("--force"), worktree});
    git(repo, {QStringLiteral("branch"), QStringLiteral("-D"), branch});
}

QCoro::Task<> runClaude(ClaudeRunner runner, QString cwd, QStringList dirs, bool &done)
{
    // Built before the await: GCC 12 cannot keep literals of an awaited
    // expression in the coroutine frame.
    const QString prompt = QStringLiteral("prompt");
    co_await runner.run(prompt, Developer::allowedTools(Developer::PlatformKind::android), dirs, cwd, false,
                        ClaudeRunner::Progress([](const QString &) {}));
    done = true;
}

// The stand-in alone, through the runner, in the worktree and confined as
// the run confines it (where runs can be). So the run's own time less this
// is its work before and after Claude, and Claude's start in its
// namespace, which grows with the places bound into it, is not counted as
// git work.
struct Spent {
    double wall = 0;
    Cpu cpu;
};

Spent claudeAlone(const Fixture &f, const QString &worktree)
{
    ClaudeRunner runner;
    runner.path = f.claude;
    if (Spawn::confinementWorks()) {
        static QTemporaryDir temporary;
        static QTemporaryDir homes;
        runner.confinement = BuildPlaces::confinement(worktree, temporary.path(), homes.path(), f.planDir,
                                                      f.repo + QStringLiteral("/.git"));
    }
    bool done = false;
    const Cpu cpu = cpuSoFar();
    QElapsedTimer timer;
    timer.start();
    runClaude(runner, worktree, {worktree, f.planDir}, done);
    while (!done)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    const double wall = timer.nsecsElapsed() / 1e6;
    return {wall, cpuSoFar() - cpu};
}

using BenchSupport::median;

void BM_DevelopRun(benchmark::State &state)
{
    const Fixture &f = fixture();
    AppSettings settings;
    settings.androidRepo = f.repo;
    settings.claudePath = f.claude;
    Developer developer;
    std::vector<double> directs, runs, claudes, gaps;
    std::vector<Cpu> directCpus, runCpus, claudeCpus;
    const auto direct = [&](int round) {
        const QString branch = QStringLiteral("direct-%1").arg(round);
        const QString worktree = Developer::worktreePath(f.repo, branch);
        const Cpu cpu = cpuSoFar();
        double took = git(QStringLiteral("/"), {QStringLiteral("check-ref-format"), QStringLiteral("--branch"), branch});
        took += git(f.repo, {QStringLiteral("rev-parse"), QStringLiteral("--verify"), QStringLiteral("--quiet"),
                             QStringLiteral("refs/heads/") + branch});
        took += git(f.repo, {QStringLiteral("worktree"), QStringLiteral("add"), QStringLiteral("-b"), branch, worktree,
                             QStringLiteral("main")});
        took += git(worktree, {QStringLiteral("rev-parse"), QStringLiteral("--path-format=absolute"),
                               QStringLiteral("--git-dir"), QStringLiteral("--git-common-dir")});
        took += git(worktree, {QStringLiteral("status"), QStringLiteral("--porcelain"), QStringLiteral("-z"),
                               QStringLiteral("--untracked-files=all")});
        directCpus.push_back(cpuSoFar() - cpu);
        directs.push_back(took);
        const Spent claude = claudeAlone(f, worktree);
        removeWorktree(f.repo, worktree, branch);
        claudes.push_back(claude.wall);
        claudeCpus.push_back(claude.cpu);
    };
    const auto develop = [&](int round) {
        const QString branch = QStringLiteral("feat/bench-%1").arg(round);
        QElapsedTimer sinceTick;
        qint64 longest = 0;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [&] { longest = std::max(longest, sinceTick.restart()); });
        const Cpu cpu = cpuSoFar();
        QElapsedTimer timer;
        timer.start();
        sinceTick.start();
        ticker.start(10);
        developer.start({Developer::PlatformKind::android},
                        {{Developer::PlatformKind::android, QStringLiteral("main")}}, branch, f.planDir, settings);
        while (developer.isRunning())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        runs.push_back(timer.nsecsElapsed() / 1e6);
        ticker.stop();
        gaps.push_back(static_cast<double>(longest));
        runCpus.push_back(cpuSoFar() - cpu);
        const Developer::Run run = developer.runs().value(Developer::PlatformKind::android);
        if (run.phase != Developer::Run::Phase::done)
            state.SkipWithError(run.detail.toStdString().c_str());
        removeWorktree(f.repo, Developer::worktreePath(f.repo, branch), branch);
    };
    int round = 0;
    for (auto _ : state) {
        // Alternately first, so that a warmer disk cache favours neither.
        if (round % 2 == 0) {
            direct(round);
            develop(round);
        } else {
            develop(round);
            direct(round);
        }
        ++round;
        state.SetIterationTime(runs.back() / 1e3);
    }
    const double plain = median(directs), run = median(runs), claude = median(claudes);
    const double gap = median(gaps);
    state.counters["git_ms"] = plain;
    state.counters["run_ms"] = run;
    state.counters["claude_ms"] = claude;
    state.counters["gap_ms"] = gap;
    // Goals: the gap at most 1/20 of the git commands, and the run without
    // the stand-in's own time at most 1.2 times them.
    state.counters["gap_per_git"] = plain > 0 ? gap / plain : 0;
    state.counters["x_git"] = (run - claude) / plain;
    // With this process's own CPU time (starting and reaping the children,
    // the run's own work) and without it (the children alone).
    for (const bool all : {true, false}) {
        const auto medianOf = [all](const std::vector<Cpu> &spent) {
            std::vector<double> ms;
            for (const Cpu &cpu : spent)
                ms.push_back(all ? cpu.all : cpu.children);
            return median(ms);
        };
        const double plainCpu = medianOf(directCpus), runCpu = medianOf(runCpus), claudeCpu = medianOf(claudeCpus);
        const std::string suffix = all ? "_cpu_ms" : "_children_cpu_ms";
        state.counters["git" + suffix] = plainCpu;
        state.counters["run" + suffix] = runCpu;
        state.counters["claude" + suffix] = claudeCpu;
        state.counters[all ? "x_git_cpu" : "x_git_children_cpu"] = plainCpu > 0 ? (runCpu - claudeCpu) / plainCpu : 0;
    }
}

// The start of a confined run, which every development run makes for
// Claude, of /bin/true to its end, against an open run in a namespace
// (argument 0): its mounts, its system-call filter and its network of its
// own, whose stack (slirp4netns, started beside the run, attached before the
// program starts) is the dearest part.
void BM_ConfinedStart(benchmark::State &state)
{
    const bool confined = state.range(0) != 0;
    if (confined && (!Spawn::confinementWorks() || !OwnNetwork::unavailable().isEmpty())) {
        state.SkipWithError("no confinement with a network of its own here");
        return;
    }
    const QString place = QDir(scratch().path()).canonicalPath();
    Spawn::Options options;
    if (confined)
        options.confinement = Spawn::Confinement{{place}, {}, QString(), {}};
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    for (auto _ : state) {
        QElapsedTimer timer;
        timer.start();
        const pid_t pid = Spawn::run(QStringLiteral("/bin/true"), {}, {}, place, null, null, null, options);
        const int status = QCoro::waitFor(Spawn::wait(pid));
        state.SetIterationTime(static_cast<double>(timer.nsecsElapsed()) / 1e9);
        if (status != 0)
            state.SkipWithError("the run failed");
    }
    ::close(null);
}

} // namespace

BENCHMARK(BM_ConfinedStart)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(30);
BENCHMARK(BM_DevelopRun)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(20);

int main(int argc, char **argv)
{
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    return BenchSupport::run(argc, argv);
}
