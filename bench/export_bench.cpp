#include <benchmark/benchmark.h>

#include "export/exporter.h"

namespace {

// A plan of `count` screens in a chain, each with three moves: forward to
// the next screen, a back move that returns (left out of the graph) and a
// move to a shared detail screen guarded by a condition.
Plan chainPlan(int count)
{
    Plan plan;
    plan.meta.feature = "Bench";
    plan.meta.title = "벤치 계획";
    for (int i = 0; i < count; ++i) {
        const QString key = QStringLiteral("screen-%1").arg(i);
        Screen screen;
        screen.key = key;
        screen.name = QStringLiteral("BenchScreen%1").arg(i);
        screen.title = QStringLiteral("화면 %1").arg(i);
        screen.figmaNodes = {QStringLiteral("1:%1").arg(i)};
        screen.image.before = QStringLiteral("img/node-1-%1.png").arg(i);
        for (const char *actionKey : {"openNext", "onBack", "openDetail"}) {
            UserAction action;
            action.key = QString::fromLatin1(actionKey);
            action.label = QStringLiteral("행동 %1").arg(action.key);
            screen.actions.append(action);
        }
        Arg arg;
        arg.name = "item";
        arg.model = QStringLiteral("Model%1?").arg(i % 50);
        screen.args = {arg};
        plan.screens.append(screen);

        const QString next = QStringLiteral("screen-%1").arg((i + 1) % count);
        Transition forward;
        forward.from = key;
        forward.to = next;
        forward.trigger = "openNext";
        Transition back;
        back.from = next;
        back.to = key;
        back.trigger = "onBack";
        back.kind = "pop";
        Transition detail;
        detail.from = key;
        detail.to = "screen-0";
        detail.trigger = "openDetail";
        detail.condition = QStringLiteral("조건 %1").arg(i);
        plan.transitions << forward << back << detail;

        StringKey string;
        string.key = QStringLiteral("bench_%1").arg(i);
        string.ko = QStringLiteral("문구 %1").arg(i);
        string.screen = key;
        plan.strings.append(string);
    }
    for (int m = 0; m < 50; ++m) {
        DataModel model;
        model.name = QStringLiteral("Model%1").arg(m);
        Field field;
        field.name = "next";
        field.type = QStringLiteral("[Model%1]?").arg((m + 1) % 50);
        field.filledAt = QStringLiteral("screen-%1").arg(m);
        model.fields = {field};
        model.sharedIn = {QStringLiteral("screen-%1").arg(m)};
        plan.models.append(model);
    }
    Api api;
    api.key = "list";
    api.responseModel = "Model25";
    plan.apis = {api};
    return plan;
}

void BM_Markdown(benchmark::State &state)
{
    const Plan plan = chainPlan(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(Exporter::markdown(plan));
    state.SetComplexityN(state.range(0));
}

void BM_FlowGraph(benchmark::State &state)
{
    const Plan plan = chainPlan(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(Exporter::mermaid(plan, true));
    state.SetComplexityN(state.range(0));
}

} // namespace

BENCHMARK(BM_Markdown)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Complexity();
BENCHMARK(BM_FlowGraph)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->Complexity();

BENCHMARK_MAIN();
