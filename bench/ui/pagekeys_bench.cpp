// The page's keys in the main window on plans of 300, 1,000 and 3,000
// screens, run under a display (xvfb-run): how long the page takes to answer
// the first Tab into it (its first control), the first Shift+Tab into it from
// the request (its last control), the first F7 (the first link) and a later
// Tab, each on a freshly loaded page whose cards off screen have not been
// laid out. A figure is the time from the call the window makes for the key
// until its answer is back. Goal: 100 ms at most for each at 1,000 and 3,000
// screens. `nothing_ms` is the time of a call that does nothing, for
// comparison; each `…_script_ms` the part of its figure spent in the page's
// script itself.
#include "windowbench.h"

#include "../plangen.h"

#include "app/appstate.h"
#include "app/mainwindow.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "settings/appsettings.h"
#include "views/planwebview.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <benchmark/benchmark.h>

namespace {

QTemporaryDir *scratch;

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

// A plan folder of `screens` screens with a small image on each, alone in
// the library.
QString makePlanFolder(int screens)
{
    const QString output = scratch->path() + QStringLiteral("/plans-%1").arg(screens);
    const QString dir = output + QStringLiteral("/measured");
    PlanGen::Shape shape;
    shape.screens = screens;
    Plan plan = PlanGen::make(shape);
    QImage image(48, 96, QImage::Format_RGB32);
    image.fill(QColor(30, 120, 200));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    for (const Screen &screen : std::as_const(plan.screens))
        writeFile(dir + u'/' + screen.image.before.value_or(QString()), png);
    Exporter::writeAll(plan, dir, Conventions());
    AppSettings settings = AppSettings::load(false);
    settings.outputDir = output;
    settings.setupDone = true;
    settings.extraDirs.clear();
    settings.save();
    return dir;
}

// Runs `script` in the world the window's key script lives in and waits for
// its answer; the milliseconds it took, or -1 when no answer came.
double timed(QWebEnginePage *page, const QString &script, QVariant *answer = nullptr)
{
    bool answered = false;
    QElapsedTimer clock;
    clock.start();
    page->runJavaScript(script, QWebEngineScript::ApplicationWorld, [&](const QVariant &value) {
        if (answer)
            *answer = value;
        answered = true;
    });
    if (!QTest::qWaitFor([&] { return answered; }, 600000))
        return -1;
    return double(clock.nsecsElapsed()) / 1e6;
}

// Loads the page again and waits until it is complete and has painted what
// is on screen, so that the next key meets cards not yet laid out.
bool reload(QWebEnginePage *page)
{
    QVariant ready;
    timed(page, QStringLiteral("window.quarryBenchOld = true; location.reload(); true"));
    const bool loaded = QTest::qWaitFor(
        [&] {
            timed(page,
                  QStringLiteral("!window.quarryBenchOld && document.readyState === 'complete' && !!window.quarryKeys"),
                  &ready);
            return ready.toBool();
        },
        600000);
    QTest::qWait(1500);
    return loaded;
}

void BM_FirstPageKeys(benchmark::State &run)
{
    const int screens = int(run.range(0));
    const QString dir = AppState::standardFolder(makePlanFolder(screens));
    for (auto _ : run) {
        AppState state;
        MainWindow window(&state);
        window.resize(1280, 900);
        window.show();
        state.setSelection(Selection::plan(dir));
        PlanWebView *view = nullptr;
        if (!QTest::qWaitFor(
                [&] {
                    view = window.findChild<PlanWebView *>();
                    return view && AppState::standardFolder(view->dir()) == dir;
                },
                600000)) {
            run.SkipWithError("the page never showed");
            return;
        }
        QWebEnginePage *page = view->page();
        const std::pair<const char *, QString> keys[] = {
            {"first_tab_ms", QStringLiteral("quarryKeys.enter(true)")},
            {"first_backtab_ms", QStringLiteral("quarryKeys.enter(false)")},
            {"first_f7_ms", QStringLiteral("quarryKeys.step(true, true)")},
        };
        for (const auto &[name, call] : keys) {
            if (!reload(page)) {
                run.SkipWithError("the page never loaded");
                return;
            }
            QVariant answer;
            run.counters[name] = timed(page,
                                       QStringLiteral("(function () { var t = performance.now(); var moved = %1;"
                                                      " return [moved, performance.now() - t]; })()")
                                           .arg(call),
                                       &answer);
            const QVariantList parts = answer.toList();
            run.counters[QByteArray(name).replace("_ms", "_script_ms").constData()] = parts.value(1).toDouble();
            if (!parts.value(0).toBool()) {
                run.SkipWithError(QStringLiteral("%1 found no stop").arg(QLatin1String(name)).toUtf8().constData());
                return;
            }
        }
        run.counters["later_tab_ms"] = timed(page, QStringLiteral("quarryKeys.step(true, false)"));
        // What any call to the page costs, for comparison.
        run.counters["nothing_ms"] = timed(page, QStringLiteral("true"));
        run.counters["later_f7_ms"] = timed(page, QStringLiteral("quarryKeys.step(true, true)"));
    }
}
BENCHMARK(BM_FirstPageKeys)->Arg(300)->Arg(1000)->Arg(3000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    return WindowBench::main(argc, argv, scratch);
}
