#pragma once

#include "export/exporter.h"
#include "model/conventions.h"
#include "rendergen.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// What the benchmarks share: their figures, the folder most of them work
// on, and a main that gives them an application.
namespace BenchSupport {

inline double seconds(const QElapsedTimer &timer)
{
    return static_cast<double>(timer.nsecsElapsed()) / 1e9;
}

inline double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The executable the command benchmarks run: the one built with them, or
// QUARRYSTONE_BENCH_BINARY, so that another build (the one before a change)
// is timed by the same benchmark.
inline QString binary()
{
    const QString other = qEnvironmentVariable("QUARRYSTONE_BENCH_BINARY");
    return other.isEmpty() ? QStringLiteral(QUARRYSTONE_BINARY) : other;
}

// One run of a program: its wall time, its peak resident memory as the
// system counted it for that process alone, and whether it ended with
// status 0 (or one of `alsoFine`).
struct Measured {
    double seconds = 0;
    // User and system time together.
    double cpuSeconds = 0;
    double peakBytes = 0;
    bool ok = false;
};

// Runs `program` (looked up on PATH) with standard input and output from
// and to the files given ("" for /dev/null), after flushing what earlier
// steps wrote so that no run pays for another's write-back.
inline Measured measure(const QString &program, const QStringList &arguments, const QString &in = {},
                        const QString &out = {}, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                        std::vector<int> alsoFine = {})
{
    ::sync();
    std::vector<std::string> words{program.toStdString()};
    for (const QString &argument : arguments)
        words.push_back(argument.toStdString());
    std::vector<std::string> settings;
    for (const QString &entry : env.toStringList())
        settings.push_back(entry.toStdString());
    std::vector<char *> argv;
    for (std::string &word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    std::vector<char *> envp;
    for (std::string &entry : settings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    const std::string input = in.isEmpty() ? "/dev/null" : in.toStdString();
    const std::string output = out.isEmpty() ? "/dev/null" : out.toStdString();

    QElapsedTimer timer;
    timer.start();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int from = ::open(input.c_str(), O_RDONLY);
        const int to = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int null = ::open("/dev/null", O_WRONLY);
        if (from < 0 || to < 0 || null < 0)
            ::_exit(127);
        ::dup2(from, 0);
        ::dup2(to, 1);
        ::dup2(null, 2);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    int status = 0;
    struct rusage usage {};
    if (pid < 0 || ::wait4(pid, &status, 0, &usage) != pid)
        return {};
    Measured measured;
    measured.seconds = seconds(timer);
    measured.cpuSeconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    measured.peakBytes = static_cast<double>(usage.ru_maxrss) * 1024;
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    measured.ok = code == 0 || std::find(alsoFine.begin(), alsoFine.end(), code) != alsoFine.end();
    return measured;
}

// The render benchmark's folder of `screens` screens with its pages written,
// and the plan as the writer left it.
inline Plan renderedFolder(const QString &dir, int screens, RenderGen::Images images = RenderGen::largeImages)
{
    RenderGen::make(dir, screens, images);
    QFile stored(dir + QStringLiteral("/plan.json"));
    if (!stored.open(QIODevice::ReadOnly))
        qFatal("cannot read the generated plan");
    Plan plan = Plan::decode(stored.readAll());
    Exporter::writeAll(plan, dir, Conventions::builtIn());
    return plan;
}

// Runs the benchmarks the command line names, with an application for
// their event loops.
inline int run(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

} // namespace BenchSupport
