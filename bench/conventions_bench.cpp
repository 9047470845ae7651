#include "model/conventions.h"

#include <benchmark/benchmark.h>

namespace {

// A plan of `count` screens (every tenth a sheet, every twentieth a dialog)
// with three moves from each screen: a push forward, a push further on and a
// pop back.
Plan makePlan(int count)
{
    Plan plan;
    plan.meta.feature = QStringLiteral("Chat");
    plan.meta.module = Module{QStringLiteral("bazaar"), QString(), QStringLiteral("Bazaar"), QStringLiteral("Feed")};
    plan.screens.reserve(count);
    for (int i = 0; i < count; ++i) {
        Screen screen;
        screen.key = QStringLiteral("screen-%1").arg(i);
        screen.name = QStringLiteral("ChatScreen%1").arg(i);
        screen.kind = i % 20 == 0 ? QStringLiteral("dialog") : i % 10 == 0 ? QStringLiteral("sheet") : QStringLiteral("screen");
        plan.screens.append(screen);
    }
    plan.transitions.reserve(count * 3);
    auto add = [&plan](int from, int to, const char *kind) {
        Transition t;
        t.from = QStringLiteral("screen-%1").arg(from);
        t.to = QStringLiteral("screen-%1").arg(to);
        t.kind = QString::fromLatin1(kind);
        plan.transitions.append(t);
    };
    for (int i = 0; i < count; ++i) {
        add(i, (i + 1) % count, "push");
        add(i, (i + 7) % count, "push");
        add(i, (i + count - 1) % count, "pop");
    }
    return plan;
}

void platformMap(benchmark::State &state)
{
    const Plan plan = makePlan(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        QMap<QString, PlatformFiles> map = Conventions::builtIn().platformMap(plan);
        benchmark::DoNotOptimize(map);
        // Freeing the result is the caller's business, not the call's.
        state.PauseTiming();
        map = {};
        state.ResumeTiming();
    }
    state.SetComplexityN(state.range(0));
}

// One move near the end of the plan: finding its two ends walks nearly every
// screen once.
void navigation(benchmark::State &state)
{
    const Plan plan = makePlan(static_cast<int>(state.range(0)));
    const Transition &move = plan.transitions[plan.transitions.size() - 3];
    for (auto _ : state)
        benchmark::DoNotOptimize(Conventions::builtIn().navigation(move, plan, &Conventions::ios));
    state.SetComplexityN(state.range(0));
}

} // namespace

BENCHMARK(platformMap)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(navigation)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond)->Complexity();

BENCHMARK_MAIN();
