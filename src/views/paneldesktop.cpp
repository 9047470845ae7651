#include "views/paneldesktop.h"

#include "views/filedates.h"

#include <QApplication>
#include <QFileDialog>
#include <QImageReader>

using namespace Qt::StringLiterals;

namespace {

std::shared_ptr<PanelDesktop> &installed()
{
    static std::shared_ptr<PanelDesktop> desktop;
    return desktop;
}

} // namespace

PanelDesktop &PanelDesktop::current()
{
    static PanelDesktop standard;
    return installed() ? *installed() : standard;
}

void PanelDesktop::replace(std::shared_ptr<PanelDesktop> desktop)
{
    installed() = std::move(desktop);
}

void PanelDesktop::beep()
{
    QApplication::beep();
}

void PanelDesktop::chooseImages(QWidget *parent, const QString &folder, Chosen chosen)
{
    auto *dialog = new QFileDialog(parent, QString(), folder);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
    FileDates::install(dialog);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    QStringList patterns;
    for (const QByteArray &format : QImageReader::supportedImageFormats())
        patterns.append(u"*."_s + QString::fromLatin1(format));
    dialog->setNameFilter(patterns.join(u' '));
    QObject::connect(dialog, &QFileDialog::filesSelected, dialog, [chosen](const QStringList &files) { chosen(files); });
    dialog->open();
}

