#include "app/desktop.h"

#include "app/planhtmlfilter.h"
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
#include <QProcess>
#include <thread>

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
    dialog->setProxyModel(new FileDates(dialog));
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
            opened(true);
    });
}

void Desktop::openUrl(const QUrl &url, Opened opened)
{
    // xdg-open says whether a program took the address (3: none found, 4:
    // it failed); Qt's own opening only says that it started xdg-open. The
    // program it starts is the person's and outlives this application.
    // Starting it forks this large process, which takes frames, and xdg-open
    // may wait for the program it starts: both happen beside the event loop.
    std::thread([url, opened = std::move(opened)] {
        QProcess process;
        process.setProgram(u"xdg-open"_s);
        process.setArguments({url.toString(QUrl::FullyEncoded)});
        process.setStandardInputFile(QProcess::nullDevice());
        process.setStandardOutputFile(QProcess::nullDevice());
        process.setStandardErrorFile(QProcess::nullDevice());
        process.start();
        const bool started = process.waitForStarted(-1);
        const bool took = started && process.waitForFinished(-1) && process.exitStatus() == QProcess::NormalExit
            && process.exitCode() == 0;
        QCoreApplication *app = QCoreApplication::instance();
        if (!app)
            return;
        QMetaObject::invokeMethod(
            app, [url, opened, started, took] { opened(started ? took : QDesktopServices::openUrl(url)); },
            Qt::QueuedConnection);
    }).detach();
}
