// A page file offered for import: recognised by its head, its plan and
// image blocks read, the plan rendered as the import would write it.
#include "fuzzsupport.h"

#include "model/importer.h"

#include <QFile>
#include <QTemporaryDir>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("page.html"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            Fuzz::broken("cannot write the page");
        file.write(reinterpret_cast<const char *>(data), static_cast<qint64>(size));
    }
    if (!Importer::isPlanHTML(path))
        return 0;
    try {
        const ImportedPlan imported = Importer::read(path);
        Fuzz::renderAll(imported.plan);
        (void)Importer::changes(Plan(), imported.plan);
        (void)Importer::changes(imported.plan, imported.plan);
    } catch (const Importer::Failure &) {
    }
    return 0;
}
