#include "app/snapshot.h"

#include "model/generator.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <QWindow>
#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>

using namespace Qt::StringLiterals;

namespace {

constexpr int settleMs = 2500;
constexpr int minimumHeight = 300;

// The file name's part of the path, with `replace` applied to it alone.
template<typename Replace>
QString inFileName(const QString &path, Replace replace)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    return path.left(slash + 1) + replace(path.mid(slash + 1));
}

QString suffixed(const QString &path, const QString &insert)
{
    return inFileName(path, [&](QString name) {
        if (name.contains(u".png"_s))
            return name.replace(u".png"_s, insert + u".png"_s);
        return name + insert;
    });
}

bool isSheet(const QWindow *window)
{
    return window->transientParent() && window->modality() == Qt::WindowModal;
}

QWidget *widgetOf(QWindow *window)
{
    const QWidgetList widgets = QApplication::topLevelWidgets();
    for (QWidget *widget : widgets)
        if (widget->windowHandle() == window)
            return widget;
    return nullptr;
}

bool generationRunning()
{
    return Generator::shared().phase().isRunning();
}

// Ends the application with `code` the way its quit does: its work is
// stopped and nothing it started outlives it.
void finish(int code)
{
    QCoreApplication::exit(code);
}

// The exit code of one picture of the window and of its sheet, if any.
int shoot(const QString &path)
{
    QWindow *window = Snapshot::qualifyingWindow();
    if (!window)
        return 2;
    const bool first = Snapshot::shot(window, path);
    QWindow *sheet = Snapshot::attachedSheet(window);
    if (!sheet)
        return first ? 0 : 3;
    const bool second = Snapshot::shot(sheet, Snapshot::sheetPath(path));
    return first && second ? 0 : 3;
}

void oneShot(const QString &path)
{
    QTimer::singleShot(settleMs, qApp, [path] { finish(shoot(path)); });
}

void periodic(const QString &path, double every)
{
    auto *timer = new QTimer(qApp);
    timer->setInterval(int(std::min(std::llround(every * 1000), qint64(INT_MAX))));
    auto counter = std::make_shared<int>(0);
    QObject::connect(timer, &QTimer::timeout, qApp, [path, counter, timer] {
        const int cycle = *counter + 1;
        if (QWindow *window = Snapshot::qualifyingWindow())
            Snapshot::shot(window, Snapshot::cyclePath(path, cycle));
        *counter = cycle;
        if (!generationRunning() && cycle >= 2) {
            timer->stop();
            finish(0);
        }
    });
    timer->start();
}

} // namespace

namespace Snapshot {

void ifRequested()
{
    const QString path = qEnvironmentVariable("QUARRYSTONE_SNAPSHOT");
    if (path.isEmpty())
        return;
    if (const std::optional<double> every = interval(qEnvironmentVariable("QUARRYSTONE_SNAPSHOT_EVERY")))
        periodic(path, *every);
    else
        oneShot(path);
}

std::optional<double> interval(const QString &text)
{
    bool ok = false;
    const double value = text.toDouble(&ok);
    // "inf" and "nan" read as numbers, but no timer can wait for them.
    if (!ok || !std::isfinite(value) || value <= 0)
        return std::nullopt;
    return value;
}

QWindow *qualifyingWindow()
{
    const QWindowList windows = QGuiApplication::topLevelWindows();
    for (QWindow *window : windows)
        if (window->isVisible() && window->frameGeometry().height() > minimumHeight && !isSheet(window))
            return window;
    return nullptr;
}

QWindow *attachedSheet(QWindow *window)
{
    const QWindowList windows = QGuiApplication::topLevelWindows();
    for (QWindow *candidate : windows)
        if (candidate->isVisible() && isSheet(candidate) && candidate->transientParent() == window)
            return candidate;
    return nullptr;
}

bool shot(QWindow *window, const QString &path)
{
    QWidget *widget = widgetOf(window);
    if (!widget)
        return false;
    return widget->grab().save(path, "PNG");
}

QString sheetPath(const QString &path)
{
    return suffixed(path, u"-sheet"_s);
}

QString cyclePath(const QString &path, int cycle)
{
    return suffixed(path, u"-"_s + QString::number(cycle).rightJustified(2, u'0'));
}

} // namespace Snapshot
