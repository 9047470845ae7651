#pragma once

#include "export/exporter.h"
#include "model/conventions.h"
#include "rendergen.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <algorithm>
#include <benchmark/benchmark.h>
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

// The render benchmark's folder of `screens` screens with its pages written,
// and the plan as the writer left it.
inline Plan renderedFolder(const QString &dir, int screens)
{
    RenderGen::make(dir, screens);
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
