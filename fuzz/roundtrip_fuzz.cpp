// Whatever plan reads must come back the same: written as plan.json and read
// again, and placed in the page and imported from it.
#include "fuzzsupport.h"

#include "model/importer.h"

#include <QFile>
#include <QTemporaryDir>

namespace {

Plan importedFromPage(const QByteArray &page)
{
    static QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("index.html"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(page) != page.size())
        Fuzz::broken("cannot write the page for import");
    file.close();
    try {
        return Importer::read(path).plan;
    } catch (const Importer::Failure &failure) {
        Fuzz::broken("the rendered page does not import", failure.message.toUtf8());
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Plan plan;
    try {
        plan = Plan::decode(Fuzz::bytes(data, size));
    } catch (const JSONDecodeError &) {
        return 0;
    }
    const std::optional<QByteArray> first = Fuzz::written(plan);
    if (!first)
        return 0;
    const Plan reread = Plan::decode(*first);
    if (Fuzz::written(reread) != first)
        Fuzz::broken("write then read changed the plan", *first);

    const QByteArray page = HTMLPage::render(plan, Conventions::builtIn(), {});
    if (Fuzz::written(importedFromPage(page)) != first)
        Fuzz::broken("render then import changed the plan", *first);
    return 0;
}
