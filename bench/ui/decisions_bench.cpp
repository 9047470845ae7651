// Decisions a plan page posts in a burst, run under a display (xvfb-run):
//  - Bridge: 3,000 decision bodies received in one turn, as the web view
//    hands them over, until the revise panel shows all 3,000 lines; the
//    main thread's CPU time. Goal: at most 100 ms.
//  - Page: a plan page whose script posts 3,000 decisions as it loads, in
//    the real web view beside the panel; the main thread's CPU time from
//    the load to the last line shown, less that of the same page posting
//    nothing. Goal: at most 100 ms.
#include "windowbench.h"

#include "app/appstate.h"
#include "views/decisionbridge.h"
#include "views/planwebview.h"
#include "views/revisedrafts.h"
#include "views/revisepanel.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <benchmark/benchmark.h>
#include <time.h>

namespace {

constexpr int decisions = 3000;

QTemporaryDir *scratch;

double threadCpuMs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) * 1e3 + double(now.tv_nsec) / 1e6;
}

QString planFolder(const QString &name, bool posting)
{
    const QString dir = scratch->filePath(name);
    QDir().mkpath(dir);
    QFile page(dir + QStringLiteral("/index.html"));
    page.open(QIODevice::WriteOnly | QIODevice::Truncate);
    page.write(QByteArray("<!doctype html><meta charset=utf-8><body><p>plan</p><script>\n"
                          "var handler = window.webkit.messageHandlers.quarryDecide;\n"
                          "for (var i = 0; i < ")
               + QByteArray::number(decisions)
               + "; i++) { var body = {id: 'D' + i, choice: '\xec\x84\xa0\xed\x83\x9d ' + i}; "
               + (posting ? "handler.postMessage(body);" : "JSON.stringify(body);") + " }\n</script>");
    return dir;
}

qsizetype lines(const RevisePanel &panel)
{
    const QString request = panel.request();
    return request.isEmpty() ? 0 : request.count(QLatin1Char('\n')) + 1;
}

// The web view and the revise panel of one plan folder, side by side.
struct Editor {
    explicit Editor(AppState *state, const QString &dir)
    {
        auto *row = new QHBoxLayout(&window);
        view = new PlanWebView(&window);
        panel = new RevisePanel(state, dir, {}, &window);
        row->addWidget(view, 1);
        row->addWidget(panel);
        window.resize(1200, 800);
        window.show();
        exposed = QTest::qWaitForWindowExposed(&window);
    }

    // Main-thread CPU time from the load until `done`, or -1.
    double load(const QString &dir, const std::function<bool()> &done)
    {
        bool finished = false;
        QObject::connect(view->page(), &QWebEnginePage::loadFinished, &window, [&](bool) { finished = true; });
        const double start = threadCpuMs();
        view->bringUpToDate(dir + QStringLiteral("/index.html"), dir, 0);
        if (!QTest::qWaitFor([&] { return finished && done(); }, 60000))
            return -1;
        return threadCpuMs() - start;
    }

    QWidget window;
    PlanWebView *view = nullptr;
    RevisePanel *panel = nullptr;
    bool exposed = false;
};

void BridgeBurstOfDecisions(benchmark::State &state)
{
    AppState app;
    const QString dir = scratch->filePath(QStringLiteral("bridge"));
    QDir().mkpath(dir);
    for (auto _ : state) {
        ReviseDrafts::clear(dir);
        QWidget window;
        auto *panel = new RevisePanel(&app, dir, {}, &window);
        window.show();
        if (!QTest::qWaitForWindowExposed(&window)) {
            state.SkipWithError("the window never showed");
            break;
        }
        const double start = threadCpuMs();
        for (int i = 0; i < decisions; ++i)
            DecisionBridge::shared()->receive(dir, QJsonObject{{QStringLiteral("id"), QStringLiteral("D%1").arg(i)},
                                                               {QStringLiteral("choice"), QStringLiteral("선택 %1").arg(i)}});
        if (!QTest::qWaitFor([&] { return lines(*panel) == decisions; }, 60000)) {
            state.SkipWithError("not every decision reached the panel");
            break;
        }
        state.counters["main_thread_ms"] = threadCpuMs() - start;
        state.counters["lines"] = double(lines(*panel));
    }
}

void PageBurstOfDecisions(benchmark::State &state)
{
    AppState app;
    const QString quiet = planFolder(QStringLiteral("quiet"), false);
    const QString posting = planFolder(QStringLiteral("posting"), true);
    for (auto _ : state) {
        ReviseDrafts::clear(quiet);
        ReviseDrafts::clear(posting);
        double baseline = 0;
        {
            Editor editor(&app, quiet);
            if (!editor.exposed) {
                state.SkipWithError("the window never showed");
                break;
            }
            baseline = editor.load(quiet, [] { return true; });
        }
        Editor editor(&app, posting);
        if (!editor.exposed) {
            state.SkipWithError("the window never showed");
            break;
        }
        const double loaded = editor.load(posting, [&] { return lines(*editor.panel) == decisions; });
        state.counters["baseline_ms"] = baseline;
        state.counters["with_decisions_ms"] = loaded;
        state.counters["decisions_ms"] = loaded - baseline;
        state.counters["lines"] = double(lines(*editor.panel));
    }
}

} // namespace

BENCHMARK(BridgeBurstOfDecisions)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(PageBurstOfDecisions)->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    return WindowBench::main(argc, argv, scratch);
}
