#include "rendergen.h"

#include "app/appstate.h"
#include "export/exporter.h"
#include "model/reviser.h"
#include "views/planeditorview.h"
#include "views/planwebview.h"
#include "views/revisedrafts.h"
#include "views/revisepanel.h"

#include <QApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QPaintEvent>
#include <QPointer>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>
#include <algorithm>
#include <cstdlib>
#include <benchmark/benchmark.h>
#include <sys/inotify.h>
#include <unistd.h>

// The plan page of the render benchmark's 300-screen plan (about 70 MB) in
// the plan editor against a bare web view, in the same run: load time,
// first contentful paint and the resident memory of the whole process tree
// (renderers included), then the memory after five token reloads. And what
// a long revision costs the editor: reloads, reads of the revision log,
// picture decodes and the area repainted outside the status line.
namespace {

template<typename Done>
bool spinUntil(Done done, int milliseconds)
{
    QElapsedTimer clock;
    clock.start();
    while (!done() && clock.elapsed() < milliseconds)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return done();
}

QTemporaryDir &scratch()
{
    static QTemporaryDir dir;
    return dir;
}

// The 300-screen page, written once.
QString bigPage()
{
    static QString page;
    if (page.isEmpty()) {
        const QString dir = scratch().filePath(QStringLiteral("big-plan"));
        RenderGen::make(dir, 300);
        QFile file(dir + QStringLiteral("/plan.json"));
        file.open(QIODevice::ReadOnly);
        Plan plan = Plan::decode(file.readAll());
        Exporter::writeAll(plan, dir, Conventions::builtIn());
        page = dir + QStringLiteral("/index.html");
    }
    return page;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Resident kB of this process and every process below it.
long treeRss()
{
    QHash<int, int> parents;
    QHash<int, long> rss;
    QDirIterator it(QStringLiteral("/proc"), QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        bool number = false;
        const int pid = it.next().section(u'/', -1).toInt(&number);
        if (!number)
            continue;
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : status.readAll().split('\n')) {
            if (line.startsWith("PPid:"))
                parents.insert(pid, line.mid(5).trimmed().toInt());
            else if (line.startsWith("VmRSS:"))
                rss.insert(pid, line.mid(6).trimmed().split(' ').value(0).toLong());
        }
    }
    const int self = int(getpid());
    long total = 0;
    for (auto entry = parents.constBegin(); entry != parents.constEnd(); ++entry) {
        for (int pid = entry.key(); pid > 1; pid = parents.value(pid, 0)) {
            if (pid == self) {
                total += rss.value(entry.key());
                break;
            }
        }
    }
    return total;
}

struct Load {
    double loadMs = 0;
    double paintMs = 0;
};

// One load into the view: until loadFinished, and the page's own first
// contentful paint, counted from its navigation start.
// `start` begins the load and gives the view; the engine reports the end
// only from the event loop, so connecting after it misses nothing.
Load measure(const std::function<QWebEngineView *()> &start)
{
    bool finished = false;
    QElapsedTimer clock;
    clock.start();
    QWebEngineView &view = *start();
    const QMetaObject::Connection connection =
        QObject::connect(view.page(), &QWebEnginePage::loadFinished, [&](bool) { finished = true; });
    spinUntil([&] { return finished; }, 300000);
    Load load;
    load.loadMs = clock.nsecsElapsed() / 1e6;
    QObject::disconnect(connection);
    double paint = -1;
    spinUntil([&] {
        bool answered = false;
        view.page()->runJavaScript(
            QStringLiteral("(performance.getEntriesByName('first-contentful-paint')[0] || {startTime: -1}).startTime"),
            [&](const QVariant &value) {
                paint = value.toDouble();
                answered = true;
            });
        spinUntil([&] { return answered; }, 10000);
        return paint >= 0;
    }, 60000);
    load.paintMs = paint;
    return load;
}

void settle()
{
    spinUntil([] { return false; }, 1500);
}

void BM_PageInEditorAgainstBareView(benchmark::State &state)
{
    const QString page = bigPage();
    const QString dir = QFileInfo(page).path();
    AppState app;
    app.open(dir, true);
    std::vector<double> bareLoad, barePaint, bareRss, editorLoad, editorPaint, editorRss;
    double afterReloads = 0;
    double bareAfterReloads = 0;
    for (auto _ : state) {
        for (int round = 0; round < 5; ++round) {
            {
                QWebEngineView bare;
                bare.resize(1400, 900);
                bare.show();
                const Load load = measure([&] {
                    bare.load(QUrl::fromLocalFile(page));
                    return &bare;
                });
                settle();
                bareLoad.push_back(load.loadMs);
                barePaint.push_back(load.paintMs);
                bareRss.push_back(treeRss() / 1024.0);
                if (round == 4) {
                    for (int reload = 0; reload < 5; ++reload) {
                        measure([&] {
                            bare.page()->triggerAction(QWebEnginePage::ReloadAndBypassCache);
                            return &bare;
                        });
                        settle();
                    }
                    bareAfterReloads = treeRss() / 1024.0;
                }
            }
            settle();
            {
                PlanEditorView *editor = nullptr;
                // Loading starts when the editor is built; the clock starts before.
                const Load load = measure([&] {
                    editor = new PlanEditorView(&app);
                    editor->resize(1400 + 340, 900);
                    editor->show();
                    return editor->webView();
                });
                settle();
                editorLoad.push_back(load.loadMs);
                editorPaint.push_back(load.paintMs);
                editorRss.push_back(treeRss() / 1024.0);
                if (round == 4) {
                    for (int reload = 0; reload < 5; ++reload) {
                        measure([&] {
                            editor->reload();
                            return editor->webView();
                        });
                        settle();
                    }
                    afterReloads = treeRss() / 1024.0;
                }
                delete editor;
            }
            settle();
        }
    }
    state.counters["bare_load_ms"] = median(bareLoad);
    state.counters["editor_load_ms"] = median(editorLoad);
    state.counters["bare_fcp_ms"] = median(barePaint);
    state.counters["editor_fcp_ms"] = median(editorPaint);
    state.counters["bare_tree_rss_mb"] = median(bareRss);
    state.counters["editor_tree_rss_mb"] = median(editorRss);
    state.counters["editor_rss_after_5_reloads_mb"] = afterReloads;
    state.counters["editor_last_rss_mb"] = editorRss.back();
    state.counters["bare_last_rss_mb"] = bareRss.back();
    state.counters["bare_rss_after_5_reloads_mb"] = bareAfterReloads;
    state.counters["page_mb"] = QFileInfo(page).size() / 1048576.0;
}

// Opens of the watched files, read from inotify.
class OpenCounter
{
public:
    explicit OpenCounter(const QStringList &files)
        : m_descriptor(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        for (const QString &file : files)
            m_names.insert(inotify_add_watch(m_descriptor, QFile::encodeName(file).constData(), IN_OPEN), file);
    }
    ~OpenCounter() { ::close(m_descriptor); }

    QHash<QString, int> drain()
    {
        alignas(inotify_event) char buffer[4096];
        for (;;) {
            const ssize_t size = ::read(m_descriptor, buffer, sizeof buffer);
            if (size <= 0)
                break;
            for (ssize_t at = 0; at < size;) {
                const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
                if (event->mask & IN_OPEN)
                    ++m_opens[m_names.value(event->wd)];
                at += ssize_t(sizeof(inotify_event) + event->len);
            }
        }
        return m_opens;
    }

private:
    int m_descriptor;
    QHash<int, QString> m_names;
    QHash<QString, int> m_opens;
};

// Area of paint events in window pixels, outside the status line and the
// spinner, whose repainting is their purpose.
class PaintWatch : public QObject
{
public:
    QPointer<QWidget> status;
    QPointer<QWidget> spinner;
    QPointer<QWidget> window;
    qint64 elsewhere = 0;
    int statusPaints = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        auto *widget = qobject_cast<QWidget *>(watched);
        if (event->type() != QEvent::Paint || !widget || !window || widget->window() != window)
            return false;
        QRegion region = static_cast<QPaintEvent *>(event)->region().translated(widget->mapTo(window, QPoint(0, 0)));
        for (QWidget *own : {status.data(), spinner.data()}) {
            if (own && own->isVisible())
                region -= QRect(own->mapTo(window, QPoint(0, 0)), own->size());
        }
        if (widget == status)
            ++statusPaints;
        for (const QRect &rect : region)
            elsewhere += qint64(rect.width()) * rect.height();
        return false;
    }
};

void BM_QuietDuringARevision(benchmark::State &state)
{
    const int seconds = int(state.range(0));
    QTemporaryDir root;
    const QString dir = root.filePath(QStringLiteral("plan"));
    Plan plan = PlanGen::make(PlanGen::Shape{.screens = 12, .transitionsPerScreen = 2});
    Exporter::writeAll(plan, dir, Conventions::builtIn());
    Reviser::appendLog(dir, QStringLiteral("이전 요청"), QStringLiteral("- 이전 답"), QStringLiteral("bench"));
    QStringList pictures;
    for (int i = 0; i < 3; ++i) {
        const QString path = root.filePath(QStringLiteral("shot-%1.png").arg(i));
        QImage image(1200, 2400, QImage::Format_RGB32);
        image.fill(QColor::fromHsv(i * 90, 200, 200));
        image.save(path, "PNG");
        pictures.append(path);
    }
    // A Claude that works until it is stopped.
    const QString claude = root.filePath(QStringLiteral("claude"));
    {
        QFile script(claude);
        script.open(QIODevice::WriteOnly);
        script.write("#!/bin/sh\nexec sleep 600\n");
    }
    QFile::setPermissions(claude, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    AppState app;
    AppSettings settings = app.settings();
    settings.claudePath = claude;
    app.setSettings(settings);
    app.open(dir, true);
    ReviseDrafts::of(dir).request = QStringLiteral("제목을 고쳐 줘");
    ReviseDrafts::of(dir).images = pictures;

    for (auto _ : state) {
        auto *editor = new PlanEditorView(&app);
        editor->resize(1400, 900);
        bool loaded = false;
        QObject::connect(editor->webView()->page(), &QWebEnginePage::loadFinished, [&] { loaded = true; });
        editor->show();
        spinUntil([&] { return loaded; }, 60000);
        settle();

        int reloads = 0;
        QObject::connect(editor->webView()->page(), &QWebEnginePage::loadStarted, [&] { ++reloads; });
        OpenCounter opens(QStringList{dir + QStringLiteral("/history/revisions.md")} + pictures);
        PaintWatch paints;
        paints.window = editor->window();
        paints.status = editor->revisePanel()->findChild<QLabel *>(QStringLiteral("statusRunning"));
        paints.spinner = editor->revisePanel()->findChild<QWidget *>(QStringLiteral("spinner"));

        editor->revisePanel()->findChild<QPushButton *>(QStringLiteral("revise"))->click();
        spinUntil([] { return false; }, 300); // the layout settles into the running state
        qApp->installEventFilter(&paints);
        spinUntil([] { return false; }, seconds * 1000);
        qApp->removeEventFilter(&paints);
        const QHash<QString, int> opened = opens.drain();
        Reviser::shared().cancel();
        spinUntil([] { return !Reviser::shared().phase().isRunning(); }, 20000);

        int pictureOpens = 0;
        for (const QString &picture : pictures)
            pictureOpens += opened.value(picture);
        state.counters["seconds"] = seconds;
        state.counters["reloads"] = reloads;
        state.counters["log_reads"] = opened.value(dir + QStringLiteral("/history/revisions.md"));
        state.counters["picture_opens"] = pictureOpens;
        state.counters["status_paints"] = paints.statusPaints;
        state.counters["px_repainted_elsewhere"] = double(paints.elsewhere);
        delete editor;
    }
}

} // namespace

BENCHMARK(BM_PageInEditorAgainstBareView)->Unit(benchmark::kSecond)->Iterations(1);
// Ten seconds by default; QUARRYSTONE_BENCH_REVISION_SECONDS=60 for a long one.
static int revisionSeconds()
{
    const char *value = std::getenv("QUARRYSTONE_BENCH_REVISION_SECONDS");
    const int seconds = value ? std::atoi(value) : 0;
    return seconds > 0 ? seconds : 10;
}

BENCHMARK(BM_QuietDuringARevision)->Arg(revisionSeconds())->Unit(benchmark::kSecond)->Iterations(1);

int main(int argc, char **argv)
{
    QTemporaryDir home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toUtf8());
    qputenv("QUARRYSTONE_SUPPORT", (home.path() + QStringLiteral("/support")).toUtf8());
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
