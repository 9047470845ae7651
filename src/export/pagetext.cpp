#include "export/pagetext.h"

#include <QRegularExpression>
#include <QUrl>

#include "export/htmlescape.h"
#include "export/planindex.h"

using namespace Qt::StringLiterals;

namespace PageText {

QString sourceTag(const QString &source)
{
    if (source == u"inferred"_s)
        return u" <span class=\"inf\">추론</span>"_s;
    if (source == u"api"_s)
        return u" <span class=\"apitag\">API 문서</span>"_s;
    if (source == u"spec"_s)
        return u" <span class=\"apitag spec\">기획서</span>"_s;
    return {};
}

QString placeName(const QString &entry, const Plan &plan)
{
    if (entry.startsWith(u'@'))
        return HTMLPage::escape(entry.mid(1));
    const PlanIndex *index = PlanIndex::active(plan);
    return HTMLPage::escape(index ? index->screenTitle(entry) : plan.screenTitle(entry));
}

namespace {

bool isWebAddress(const QString &source)
{
    return source.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
           || source.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

// A browser reads an address only after dropping spaces and control
// characters at its ends and every tab and line break inside it, so
// " /etc/x.png" and "img/.\t./x.png" are not what they seem: such a path is
// refused rather than judged as written.
bool readsAsWritten(const QString &path)
{
    const auto dropped = [](QChar c) { return c.unicode() <= 0x20; };
    if (dropped(path.front()) || dropped(path.back()))
        return false;
    static const QRegularExpression inner(QStringLiteral("[\\t\\n\\r]"));
    return !path.contains(inner);
}

// Against a page opened from a file, "C|/x" (or "C|\x") names a drive's root.
bool namesADrive(const QString &path)
{
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]\\|([/\\\\?#]|$)"));
    return drive.match(path).hasMatch();
}

// A browser reads a backslash in a path as "/", so both count as
// separators, and it reads "%2e%2e" as "..": the decoded path is judged,
// up to the "?" or "#" that ends it.
bool staysInFolder(const QString &written)
{
    if (!readsAsWritten(written) || namesADrive(written))
        return false;
    static const QRegularExpression separator(QStringLiteral("[/\\\\]"));
    static const QRegularExpression queryOrFragment(QStringLiteral("[?#]"));
    const QString path = QUrl::fromPercentEncoding(written.section(queryOrFragment, 0, 0).toUtf8());
    if (path.startsWith(u'/') || path.startsWith(u'\\'))
        return false;
    return !path.split(separator).contains(QStringLiteral(".."));
}

} // namespace

std::optional<QString> imageSource(const std::optional<QString> &source)
{
    if (!source || source->isEmpty())
        return std::nullopt;
    static const QRegularExpression scheme(QStringLiteral("^[A-Za-z][A-Za-z0-9+.-]*:"));
    if (!scheme.match(*source).hasMatch())
        return staysInFolder(*source) ? source : std::nullopt;
    if (isWebAddress(*source))
        return source;
    return std::nullopt;
}

QString imageAttribute(const QString &source)
{
    return isWebAddress(source) ? u"src"_s : u"data-src"_s;
}

QString withoutScripts(const QString &source, const QString &cls, const QString &label)
{
    if (isWebAddress(source))
        return {};
    return u"<noscript><img class=\""_s + cls + u"\" src=\""_s + HTMLPage::escape(source) + u"\" alt=\""_s
        + HTMLPage::escape(label) + u"\"></noscript>"_s;
}

} // namespace PageText
