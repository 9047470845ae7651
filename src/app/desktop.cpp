#include "app/desktop.h"

#include "app/planhtmlfilter.h"
#include "process/childprocess.h"
#include "process/spawn.h"
#include "core/ownthread.h"
#include "views/filedates.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QStandardPaths>
#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// Puts the message in a line of its own above the panel's parts: a window
// title alone is not seen where no window manager draws one.
void showMessage(QFileDialog *dialog, const QString &message)
{
    auto *grid = qobject_cast<QGridLayout *>(dialog->layout());
    if (!grid || message.isEmpty())
        return;
    struct Placed {
        QLayoutItem *item;
        int row, column, rows, columns;
    };
    QList<Placed> placed;
    while (grid->count() > 0) {
        Placed p{};
        grid->getItemPosition(0, &p.row, &p.column, &p.rows, &p.columns);
        p.item = grid->takeAt(0);
        placed.append(p);
    }
    auto *label = new QLabel(dialog);
    label->setObjectName(u"panelMessage"_s);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setText(message);
    int columns = 1;
    for (const Placed &p : std::as_const(placed)) {
        grid->addItem(p.item, p.row + 1, p.column, p.rows, p.columns);
        columns = std::max(columns, p.column + p.columns);
    }
    grid->addWidget(label, 0, 0, 1, columns);
}

// A panel of our own drawing: the import filter needs the panel's model,
// which the desktop's native panels do not offer.
QFileDialog *panel(QWidget *parent, const QString &message, Desktop::Chosen chosen)
{
    auto *dialog = new QFileDialog(parent, message);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    FileDates::install(dialog);
    // Never the process's working folder, which the person did not choose.
    dialog->setDirectory(QDir::homePath());
    showMessage(dialog, message);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setObjectName(u"filePanel"_s);
    QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                     [chosen = std::move(chosen)](const QString &path) { chosen(path); });
    return dialog;
}

// What the person's browser takes from our environment: who and where they
// are, their desktop, language and network. Nothing of ours (a key, a
// run's token) goes with it.
Spawn::Environment browserEnvironment()
{
    static const QStringList names{u"HOME"_s, u"USER"_s, u"LOGNAME"_s, u"SHELL"_s, u"PATH"_s, u"LANG"_s,
                                   u"LANGUAGE"_s, u"TZ"_s, u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"XAUTHORITY"_s,
                                   u"DBUS_SESSION_BUS_ADDRESS"_s, u"BROWSER"_s, u"HTTP_PROXY"_s, u"HTTPS_PROXY"_s,
                                   u"NO_PROXY"_s, u"http_proxy"_s, u"https_proxy"_s, u"no_proxy"_s};
    return Spawn::allowedEnvironment(names, {u"LC_"_s, u"XDG_"_s});
}

// How long the window waits for xdg-open's answer. Without a desktop it
// runs $BROWSER in the foreground and ends with the browser: one still
// running then has found a program that took the address.
constexpr std::chrono::seconds answerWait{5};

// What xdg-open's exit status says: 3 that it found no program for the
// address, 4 that the program it found failed.
Desktop::Opening openingOf(int status)
{
    switch (status) {
    case 0:
        return Desktop::Opening::opened;
    case 4:
        return Desktop::Opening::programFailed;
    default:
        return Desktop::Opening::noProgram;
    }
}

// xdg-open says whether a program took the address; Qt's own opening only
// says that it started xdg-open. xdg-open
// and the browser it starts are the person's and outlive this application
// on purpose (the second such child, beside the update's swap script).
QCoro::Task<> openThroughXdgOpen(QUrl url, Desktop::Opened opened)
{
    // Found on PATH as the desktop finds it, and started by that path.
    const QString xdgOpen = QStandardPaths::findExecutable(u"xdg-open"_s);
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    pid_t pid = -1;
    try {
        if (!xdgOpen.isEmpty())
            pid = Spawn::run(xdgOpen, {url.toString(QUrl::FullyEncoded)}, browserEnvironment(), QDir::homePath(), null,
                             null, null, {.outlivesApplication = true});
    } catch (const SpawnFailure &) {
    }
    if (null >= 0)
        ::close(null);
    if (pid < 0) {
        opened(QDesktopServices::openUrl(url) ? Desktop::Opening::opened : Desktop::Opening::noProgram);
        co_return;
    }
    const ChildProcess child(pid);
    QFuture<bool> answering = OwnThread::future([child] { return child.waitForChildEnd(answerWait); });
    QCoro::Task<int> reaping = Spawn::wait(pid);
    const bool answered = co_await answering;
    if (!answered)
        opened(Desktop::Opening::opened);
    const int status = co_await std::move(reaping);
    if (answered)
        opened(openingOf(status));
}

} // namespace

Desktop &Desktop::standard()
{
    static Desktop desktop;
    return desktop;
}

void Desktop::chooseFolder(QWidget *parent, const QString &message, Chosen chosen)
{
    QFileDialog *dialog = panel(parent, message, std::move(chosen));
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    dialog->open();
}

void Desktop::choosePlanPage(QWidget *parent, const QString &message, Chosen chosen)
{
    QFileDialog *dialog = panel(parent, message, std::move(chosen));
    dialog->setFileMode(QFileDialog::ExistingFile);
    dialog->setNameFilter(u"HTML (*.html *.htm)"_s);
    dialog->setProxyModel(new PlanHTMLFilter(dialog));
    dialog->open();
}

void Desktop::chooseSaveTarget(QWidget *parent, const QString &folder, const QString &name, const QString &message,
                               Chosen chosen)
{
    QFileDialog *dialog = panel(parent, message, std::move(chosen));
    dialog->setDirectory(folder);
    dialog->setAcceptMode(QFileDialog::AcceptSave);
    dialog->setFileMode(QFileDialog::AnyFile);
    dialog->setNameFilter(u"HTML (*.html *.htm)"_s);
    dialog->setDefaultSuffix(u"html"_s);
    dialog->selectFile(name);
    dialog->open();
}

void Desktop::reveal(const QString &path, Opened opened)
{
    const QFileInfo info(path);
    const QUrl item = QUrl::fromLocalFile(info.absoluteFilePath());
    const QUrl folder = QUrl::fromLocalFile(info.isDir() ? info.absoluteFilePath() : info.absolutePath());
    QDBusMessage call = QDBusMessage::createMethodCall(u"org.freedesktop.FileManager1"_s,
                                                       u"/org/freedesktop/FileManager1"_s,
                                                       u"org.freedesktop.FileManager1"_s, u"ShowItems"_s);
    call << QStringList{item.toString()} << QString();
    // Without a file manager on the bus, the folder opens instead.
    auto *watcher = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(call));
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [this, watcher, folder, opened] {
        watcher->deleteLater();
        if (watcher->isError())
            openUrl(folder, opened);
        else
            opened(Opening::opened);
    });
}

void Desktop::openUrl(const QUrl &url, Opened opened)
{
    openThroughXdgOpen(url, std::move(opened));
}
