#include "export/pageassets.h"

#include <QFile>

// The resources live in a static library: without this reference the linker
// would drop them from every program that uses the page.
static void loadPageResources()
{
    Q_INIT_RESOURCE(page);
}

namespace PageAssets {
namespace {

QByteArray resource(const char *name)
{
    static const bool loaded = (loadPageResources(), true);
    Q_UNUSED(loaded);
    QFile file(QStringLiteral(":/page/") + QLatin1String(name));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll().trimmed();
}

} // namespace

QByteArray styleSheet()
{
    static const QByteArray text = resource("style.css");
    return text;
}

QList<QByteArray> bodyScripts()
{
    static const QList<QByteArray> texts = {
        resource("link-preview.js"),    resource("platform-tabs.js"), resource("data-tabs.js"),
        resource("decision-picker.js"), resource("folding.js"),       resource("callout-lines.js"),
        resource("web-fonts.js"),
    };
    return texts;
}

QByteArray imageScript()
{
    static const QByteArray text = resource("image-swap.js");
    return text;
}

QByteArray mermaidStart()
{
    static const QByteArray text = resource("mermaid-start.js");
    return text;
}

} // namespace PageAssets
