#include "plangen.h"

#include <benchmark/benchmark.h>
#include <map>

namespace {

// Generated once per size: the benchmark times reading, not generating.
const QByteArray &planJson(int screens)
{
    static std::map<int, QByteArray> cache;
    auto it = cache.find(screens);
    if (it == cache.end())
        it = cache.emplace(screens, PlanGen::json(PlanGen::Shape{.screens = screens})).first;
    return it->second;
}

void setCounters(benchmark::State &state, const QByteArray &json)
{
    state.SetBytesProcessed(state.iterations() * json.size());
    state.counters["screens"] = static_cast<double>(state.range(0));
}

void BM_DecodeAndCheck(benchmark::State &state)
{
    const QByteArray &json = planJson(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        const Plan plan = Plan::decode(json);
        benchmark::DoNotOptimize(plan.problems());
    }
    setCounters(state, json);
}

void BM_Decode(benchmark::State &state)
{
    const QByteArray &json = planJson(static_cast<int>(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(Plan::decode(json));
    setCounters(state, json);
}

void BM_Problems(benchmark::State &state)
{
    const QByteArray &json = planJson(static_cast<int>(state.range(0)));
    const Plan plan = Plan::decode(json);
    for (auto _ : state)
        benchmark::DoNotOptimize(plan.problems());
    setCounters(state, json);
}

} // namespace

BENCHMARK(BM_DecodeAndCheck)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Problems)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
