// The longest main-thread stall of each step a person takes in the window,
// on plans of 10, 300 and 3,000 screens with an image on every screen, run
// under a display (xvfb-run). A probe thread posts a call to the main thread
// over and over and times how long each waits before it runs; a step's
// figure is the longest wait seen from its start until it is over. Goal:
// 50 ms at most for every step.
#include "windowbench.h"

#include "../plangen.h"

#include "app/appstate.h"
#include "app/desktop.h"
#include "app/mainwindow.h"
#include "app/viewfactory.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/reviser.h"
#include "settings/appsettings.h"
#include "views/planeditorview.h"
#include "views/renamesheet.h"
#include "views/webzoom.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

QTemporaryDir *scratch;

// Posts one call at a time to the main thread and keeps the longest wait.
class StallProbe
{
public:
    StallProbe()
        : m_thread([this] { loop(); })
    {
    }
    ~StallProbe()
    {
        m_stop = true;
        m_thread.join();
        // A call still queued refers to the probe.
        QCoreApplication::processEvents();
    }

    // The longest wait since the last call, the one still waiting included;
    // in milliseconds.
    double takeLongest()
    {
        const double pending = m_pendingSince.load() ? elapsed(m_pendingSince.load()) : 0;
        return std::max(pending, m_longest.exchange(0));
    }

private:
    static double elapsed(long long since)
    {
        return double(Clock::now().time_since_epoch().count() - since) / 1e6;
    }

    void loop()
    {
        while (!m_stop) {
            const long long posted = Clock::now().time_since_epoch().count();
            auto ran = std::make_shared<std::atomic<bool>>(false);
            m_pendingSince = posted;
            QMetaObject::invokeMethod(
                qApp,
                [this, posted, ran] {
                    const double waited = elapsed(posted);
                    double longest = m_longest.load();
                    while (waited > longest && !m_longest.compare_exchange_weak(longest, waited)) {
                    }
                    m_pendingSince = 0;
                    *ran = true;
                },
                Qt::QueuedConnection);
            while (!*ran && !m_stop)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    std::atomic<bool> m_stop = false;
    std::atomic<double> m_longest = 0;
    std::atomic<long long> m_pendingSince = 0;
    std::thread m_thread;
};

// Save panels that answer at once with a file in the scratch folder.
class AnsweringDesktop : public Desktop
{
public:
    void chooseSaveTarget(QWidget *, const QString &, const QString &, const QString &, Chosen chosen) override
    {
        chosen(scratch->path() + QStringLiteral("/exported.html"));
    }
    void reveal(const QString &, Opened opened) override { opened(Opening::opened); }
};

QByteArray smallPng()
{
    QImage image(48, 96, QImage::Format_RGB32);
    image.fill(QColor(30, 120, 200));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(bytes);
}

// A whole plan folder of `screens` screens, an image on every screen.
void makePlanFolder(const QString &dir, int screens)
{
    PlanGen::Shape shape;
    shape.screens = screens;
    Plan plan = PlanGen::make(shape);
    const QByteArray png = smallPng();
    for (const Screen &screen : std::as_const(plan.screens))
        writeFile(dir + u'/' + screen.image.before.value_or(QString()), png);
    Exporter::writeAll(plan, dir, Conventions());
}

// The library: 499 small plans beside the measured one.
QString makeLibrary(int screens)
{
    const QString output = scratch->path() + QStringLiteral("/plans-%1").arg(screens);
    PlanGen::Shape small;
    small.screens = 10;
    const QByteArray smallJson = PlanGen::json(small);
    for (int i = 0; i < 499; ++i)
        writeFile(output + QStringLiteral("/library-%1/plan.json").arg(i), smallJson);
    makePlanFolder(output + QStringLiteral("/measured"), screens);
    makePlanFolder(output + QStringLiteral("/interrupted"), screens);
    AppSettings settings = AppSettings::load(false);
    settings.outputDir = output;
    settings.setupDone = true;
    settings.extraDirs.clear();
    // A tool that fails at once: a revision claims its folder, backs it up,
    // fails to start Claude and puts everything back.
    settings.claudePath = QStringLiteral("/bin/false");
    settings.save();
    return output;
}

// Runs the step, waits until `over` holds and a little beyond (what the step
// set off, such as the page's load, counts too), and gives the longest stall.
template<typename Step, typename Over>
double stall(StallProbe &probe, Step step, Over over)
{
    QTest::qWait(100);
    probe.takeLongest();
    step();
    if (!QTest::qWaitFor(over, 600000))
        return -1;
    QTest::qWait(300);
    return probe.takeLongest();
}

bool messageStarts(const AppState &state, const QString &start)
{
    return state.message() && state.message()->startsWith(start);
}

void BM_LongestStall(benchmark::State &run)
{
    const int screens = int(run.range(0));
    const QString output = makeLibrary(screens);
    const QString measured = AppState::standardFolder(output + QStringLiteral("/measured"));
    const QString interrupted = AppState::standardFolder(output + QStringLiteral("/interrupted"));
    for (auto _ : run) {
        StallProbe probe;
        std::unique_ptr<AppState> state;
        std::unique_ptr<MainWindow> window;
        run.counters["start_ms"] = stall(
            probe,
            [&] {
                state = std::make_unique<AppState>();
                state->setDesktop(std::make_shared<AnsweringDesktop>());
                window = std::make_unique<MainWindow>(state.get());
                window->show();
            },
            [&] { return state->plans().size() == 501; });

        run.counters["select_ms"] = stall(
            probe, [&] { state->setSelection(Selection::plan(measured)); },
            [&] { return state->planDir() == measured && state->plan().screens.size() == screens; });

        int changes = 0;
        QObject::connect(state.get(), &AppState::planChanged, [&] { ++changes; });
        run.counters["revision_ms"] = stall(
            probe,
            [&] {
                changes = 0;
                window->findChild<PlanEditorView *>()->reload();
            },
            [&] { return changes > 0; });

        Reviser::backup(measured);
        run.counters["undo_ms"] = stall(
            probe, [&] { Reviser::shared().undo(measured, state->settings()); },
            [&] { return Reviser::shared().phase().kind == Reviser::Phase::Kind::done ||
                         Reviser::shared().phase().kind == Reviser::Phase::Kind::failed; });

        const QString backup = Reviser::backup(interrupted);
        writeFile(interrupted + QStringLiteral("history/revision-under-way"), QFileInfo(backup).fileName().toUtf8());
        state->setMessage(std::nullopt);
        run.counters["interrupted_ms"] = stall(
            probe, [&] { state->setSelection(Selection::plan(interrupted)); },
            [&] { return messageStarts(*state, QStringLiteral("중단된")); });

        state->setSelection(Selection::plan(measured));
        if (!QTest::qWaitFor([&] { return state->planDir() == measured; }, 600000)) {
            run.SkipWithError("the plan never showed again");
            return;
        }
        state->setMessage(std::nullopt);
        run.counters["rename_ms"] = stall(
            probe,
            [&] {
                PlanRef ref;
                ref.url = measured;
                ref.title = QStringLiteral("벤치마크 계획");
                auto *sheet = new RenameSheet(state.get(), ref, window.get());
                sheet->open();
                QLineEdit *title = sheet->findChild<QLineEdit *>(QStringLiteral("title"));
                // The sheet may read the plan's title before it takes one.
                if (!QTest::qWaitFor([&] { return title->isEnabled(); }, 600000))
                    return;
                title->setText(QStringLiteral("새 이름"));
                const QList<QPushButton *> buttons = sheet->findChildren<QPushButton *>();
                for (QPushButton *button : buttons)
                    if (button->text() == QStringLiteral("바꾸기"))
                        button->click();
            },
            [&] { return messageStarts(*state, QStringLiteral("이름을 바꿨어요")) && state->planDir() == measured; });

        state->setMessage(std::nullopt);
        run.counters["export_ms"] = stall(
            probe, [&] { state->exportHTML(); }, [&] { return messageStarts(*state, QStringLiteral("내보냈어요")); });

        bool revised = false;
        const QMetaObject::Connection ended = QObject::connect(&Reviser::shared(), &Reviser::phaseChanged, [&] {
            revised = revised || Reviser::shared().phase().kind == Reviser::Phase::Kind::failed;
        });
        run.counters["revise_click_ms"] = stall(
            probe,
            [&] {
                auto *request = window->findChild<QPlainTextEdit *>(QStringLiteral("request"));
                auto *revise = window->findChild<QPushButton *>(QStringLiteral("revise"));
                if (!request || !revise)
                    return;
                request->setPlainText(QStringLiteral("첫 화면 제목을 바꿔 줘"));
                QTest::mouseClick(revise, Qt::LeftButton);
            },
            [&] { return revised; });
        QObject::disconnect(ended);

        std::unique_ptr<QWidget> settingsWindow;
        run.counters["settings_ms"] = stall(
            probe,
            [&] {
                settingsWindow = std::make_unique<QWidget>(nullptr, Qt::Window);
                settingsWindow->setFixedSize(640, 720);
                auto *layout = new QVBoxLayout(settingsWindow.get());
                layout->addWidget(ViewFactory::settingsView(state.get(), settingsWindow.get()));
                settingsWindow->show();
            },
            [&] { return settingsWindow->isVisible(); });
        settingsWindow.reset();

        state->setMessage(std::nullopt);
        run.counters["import_ms"] = stall(
            probe, [&] { state->importHTML(scratch->path() + QStringLiteral("/exported.html")); },
            [&] { return messageStarts(*state, QStringLiteral("새 계획서로 가져왔어요")); });

        run.counters["zoom_ms"] = stall(
            probe, [&] { WebZoom::shared()->zoomIn(); }, [] { return true; });
        WebZoom::shared()->actualSize();
        window.reset();
        state.reset();
    }
}
BENCHMARK(BM_LongestStall)->Arg(10)->Arg(300)->Arg(3000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char **argv)
{
    return WindowBench::main(argc, argv, scratch);
}
