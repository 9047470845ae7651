#include "export/htmlescape.h"

namespace HTMLPage {

namespace {

QLatin1String entity(QChar c)
{
    switch (c.unicode()) {
    case u'&':
        return QLatin1String("&amp;");
    case u'<':
        return QLatin1String("&lt;");
    case u'>':
        return QLatin1String("&gt;");
    case u'"':
        return QLatin1String("&quot;");
    default:
        return QLatin1String();
    }
}

} // namespace

// Most texts hold nothing to escape and are shared as they are; the others
// are copied a run at a time, not a character at a time.
QString escape(const QString &text)
{
    const QChar *const begin = text.constData();
    const QChar *const end = begin + text.size();
    const QChar *run = begin;
    QString out;
    for (const QChar *at = begin; at < end; ++at) {
        const QLatin1String replacement = entity(*at);
        if (replacement.isEmpty())
            continue;
        if (out.isNull())
            out.reserve(text.size() + 16);
        out.append(run, at - run);
        out += replacement;
        run = at + 1;
    }
    if (out.isNull())
        return text;
    out.append(run, end - run);
    return out;
}

void appendEscaped(QString &out, QStringView text)
{
    const QChar *const end = text.end();
    const QChar *run = text.begin();
    for (const QChar *at = run; at < end; ++at) {
        const QLatin1String replacement = entity(*at);
        if (replacement.isEmpty())
            continue;
        out.append(run, at - run);
        out += replacement;
        run = at + 1;
    }
    out.append(run, end - run);
}

} // namespace HTMLPage
