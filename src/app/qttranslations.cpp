#include "app/qttranslations.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <utility>

namespace QtTranslations {

void install()
{
    static bool installed = false;
    if (std::exchange(installed, true))
        return;
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    for (const char *catalogue : {"qtbase", "qtwebengine"}) {
        auto *translator = new QTranslator(QCoreApplication::instance());
        if (translator->load(QLocale(QLocale::Korean, QLocale::SouthKorea), QString::fromLatin1(catalogue),
                             QStringLiteral("_"), folder))
            QCoreApplication::installTranslator(translator);
        else
            delete translator;
    }
}

} // namespace QtTranslations
