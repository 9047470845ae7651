#include "app/appstate.h"
#include "model/generator.h"
#include "settings/appsettings.h"
#include "settings/keychain.h"
#include "platform/secretstore.h"
#include "views/newplanview.h"
#include "views/runlog.h"
#include "views/sidebar.h"
#include "views/sidebarmodel.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QKeyEvent>
#include <QTimer>
#include <QToolButton>
#include <benchmark/benchmark.h>
#include <thread>

namespace {

constexpr int plans = 1000;
constexpr int lines = 10000;

// Turns the event loop until `done` holds or `ms` have passed.
template<typename Done>
bool waitFor(Done done, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

void typeInto(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, QString(c));
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, QString(c));
        QCoreApplication::sendEvent(widget, &press);
        QCoreApplication::sendEvent(widget, &release);
        QCoreApplication::processEvents();
    }
}

// An output folder of 1,000 small plans, titled apart or all alike.
struct Library {
    explicit Library(bool sameTitles)
    {
        const QString output = dir.filePath("plans");
        for (int n = 0; n < plans; ++n) {
            const QString folder = output + QStringLiteral("/Plan%1-plan").arg(n);
            QDir().mkpath(folder);
            QFile file(folder + QStringLiteral("/plan.json"));
            const QString title = sameTitles ? QStringLiteral("같은 제목") : QStringLiteral("계획 %1").arg(n);
            const QJsonObject plan{{"schemaVersion", 1},
                                   {"meta", QJsonObject{{"title", title}, {"feature", QStringLiteral("Plan%1").arg(n)}}}};
            if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(plan).toJson()) <= 0)
                qFatal("cannot write the library");
        }
        settings.outputDir = output;
        settings.userName = QStringLiteral("bench");
        settings.claudePath = QStringLiteral("/bin/true");
        settings.setupDone = true;
    }

    // The state over this library, with its sidebar.
    void open()
    {
        settings.save();
        state = std::make_unique<AppState>();
        if (state->plans().size() != plans)
            qFatal("the scan missed plans");
        sidebar = std::make_unique<Sidebar>(state.get(), Generator::shared(), nullptr);
        sidebar->resize(250, 800);
        sidebar->show();
    }

    QTemporaryDir dir;
    AppSettings settings;
    std::unique_ptr<AppState> state;
    std::unique_ptr<Sidebar> sidebar;
};

// Made on first use; released by main while the application still exists,
// since widgets must not outlive it.
std::unique_ptr<Library> libraries[2];

Library &library(bool sameTitles)
{
    std::unique_ptr<Library> &chosen = libraries[sameTitles ? 1 : 0];
    if (!chosen) {
        chosen = std::make_unique<Library>(sameTitles);
        chosen->open();
    }
    return *chosen;
}

void BM_Refresh(benchmark::State &state)
{
    Library &lib = library(false);
    for (auto _ : state)
        lib.state->refresh();
}

// The list built from the state and laid out, as after a refresh that
// changed it: a sidebar made afresh each time (an upper bound of a rebuild,
// which skips the reset when no row changed).
void rebuild(benchmark::State &state, bool sameTitles)
{
    Library &lib = library(sameTitles);
    for (auto _ : state) {
        Sidebar sidebar(lib.state.get(), Generator::shared(), nullptr);
        sidebar.resize(250, 800);
        sidebar.show();
        QCoreApplication::processEvents();
        benchmark::DoNotOptimize(sidebar.model()->rowCount());
    }
}

void BM_SidebarRebuildDistinctTitles(benchmark::State &state)
{
    rebuild(state, false);
}

void BM_SidebarRebuildSameTitles(benchmark::State &state)
{
    rebuild(state, true);
}

// 10,000 progress lines from a reader thread through the generator's sink,
// while a 5 ms heartbeat measures the longest stall of the event loop;
// with and without the run log (its detailed log open).
void progress(benchmark::State &state, bool withView)
{
    Generator &generator = Generator::shared();
    std::unique_ptr<RunLog> log;
    if (withView) {
        log = std::make_unique<RunLog>(library(false).state.get(), generator);
        log->findChild<QToolButton *>(QStringLiteral("logToggle"))->setChecked(true);
        log->resize(700, 900);
        log->show();
    }
    generator.begin(Generator::Stage::draft, QStringLiteral("bench"));
    double stall = 0;
    for (auto _ : state) {
        int seen = 0;
        const QMetaObject::Connection counter =
            QObject::connect(&generator, &Generator::lineAdded, [&seen] { ++seen; });
        QElapsedTimer beat;
        beat.start();
        QTimer heartbeat;
        heartbeat.setInterval(5);
        QObject::connect(&heartbeat, &QTimer::timeout, [&] { stall = std::max<double>(stall, beat.restart()); });
        heartbeat.start();
        const ClaudeRunner::Progress sink = generator.progressSink(Generator::Stage::draft);
        std::thread reader([sink] {
            for (int i = 0; i < lines; ++i)
                sink(QStringLiteral("도구: Read plan.json 줄 %1").arg(i));
        });
        while (seen < lines)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        reader.join();
        heartbeat.stop();
        QObject::disconnect(counter);
    }
    generator.setPhase(Generator::Phase::idle());
    state.counters["longestStallMs"] = stall;
}

void BM_ProgressWithRunLog(benchmark::State &state)
{
    progress(state, true);
}

void BM_ProgressWithoutView(benchmark::State &state)
{
    progress(state, false);
}

// Counts every question put to the secret store.
class CountingStore final : public SecretStore
{
public:
    std::optional<QByteArray> read(const QString &) override
    {
        ++reads;
        return std::nullopt;
    }
    bool write(const QString &, const QString &) override { return true; }
    bool remove(const QString &) override { return true; }
    int reads = 0;
};

// Typing 100 characters into the link field of a shown form, token and
// API-key modes on: counts "--version" runs (the tool writes a mark per
// run) and secret-store reads caused by the typing.
void BM_TypingIntoTheLinkField(benchmark::State &state)
{
    QTemporaryDir dir;
    const QString marks = dir.filePath("marks");
    const QString tool = dir.filePath("claude");
    QFile script(tool);
    script.open(QIODevice::WriteOnly);
    script.write(("#!/bin/sh\necho run >> '" + marks + "'\necho 2.1.0\n").toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    auto store = std::make_shared<CountingStore>();
    Keychain::useStore(store);
    AppState *appState = library(false).state.get();
    AppSettings settings = appState->settings();
    settings.claudePath = tool;
    settings.figmaMode = AppSettings::FigmaMode::token;
    settings.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    appState->setSettings(settings);

    const auto runs = [&marks] {
        QFile file(marks);
        return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
    };
    double versionRuns = 0;
    double storeReads = 0;
    for (auto _ : state) {
        NewPlanView form(appState);
        form.show();
        waitFor([&] { return runs() > 0; }, 5000);
        waitFor([] { return false; }, 50);
        const qsizetype runsBefore = runs();
        const int readsBefore = store->reads;
        QLineEdit *url = form.findChild<QLineEdit *>(QStringLiteral("url"));
        typeInto(url, QStringLiteral("https://www.figma.com/design/AbC123/Harbor?node-id=1-2&t=")
                                  + QString(100 - 60, QLatin1Char('x')));
        waitFor([] { return false; }, 50);
        versionRuns = runs() - runsBefore;
        storeReads = store->reads - readsBefore;
    }
    state.counters["versionRunsWhileTyping"] = versionRuns;
    state.counters["storeReadsWhileTyping"] = storeReads;
    Keychain::useStore(nullptr);
}

} // namespace

BENCHMARK(BM_Refresh)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_SidebarRebuildDistinctTitles)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_SidebarRebuildSameTitles)->Unit(benchmark::kMillisecond)->MinTime(0.5);
BENCHMARK(BM_ProgressWithoutView)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_ProgressWithRunLog)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_TypingIntoTheLinkField)->Unit(benchmark::kMillisecond)->Iterations(1);

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir support;
    qputenv("QUARRYSTONE_SUPPORT", support.filePath("support").toUtf8());
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (std::unique_ptr<Library> &lib : libraries)
        lib.reset();
    return 0;
}
