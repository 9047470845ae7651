#include "export/pagetext.h"

#include <QUrl>
#include <algorithm>

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

QString placeName(const QString &entry, const Screen *screen)
{
    if (entry.startsWith(u'@'))
        return HTMLPage::escape(entry.mid(1));
    return HTMLPage::escape(screen ? screen->title : entry);
}

namespace {

// The path checks below run for every picture of every card and of the
// graph: each is a plain scan, no pattern match.
bool isAsciiLetter(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z');
}

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
    return std::none_of(path.cbegin(), path.cend(),
                        [](QChar c) { return c == u'\t' || c == u'\n' || c == u'\r'; });
}

// Against a page opened from a file, "C|/x" (or "C|\x") names a drive's root:
// a letter and a bar, then the end of the path (or a line break that ends
// it), a separator, a query or a fragment.
bool namesADrive(const QString &path)
{
    if (path.size() < 2 || !isAsciiLetter(path[0].unicode()) || path[1] != u'|')
        return false;
    if (path.size() == 2 || (path.size() == 3 && path[2] == u'\n'))
        return true;
    const QChar after = path[2];
    return after == u'/' || after == u'\\' || after == u'?' || after == u'#';
}

// Whether the source starts with a scheme and its colon: a letter, then
// letters, digits, "+", "." or "-".
bool hasScheme(const QString &source)
{
    if (source.isEmpty() || !isAsciiLetter(source[0].unicode()))
        return false;
    for (qsizetype i = 1; i < source.size(); ++i) {
        const char16_t c = source[i].unicode();
        if (c == u':')
            return true;
        if (!isAsciiLetter(c) && !(c >= u'0' && c <= u'9') && c != u'+' && c != u'.' && c != u'-')
            return false;
    }
    return false;
}

// A browser reads a backslash in a path as "/", so both count as
// separators, and it reads "%2e%2e" as "..": the decoded path is judged,
// up to the "?" or "#" that ends it.
bool staysInFolder(const QString &written)
{
    if (!readsAsWritten(written) || namesADrive(written))
        return false;
    const auto ends = std::find_if(written.cbegin(), written.cend(), [](QChar c) { return c == u'?' || c == u'#'; });
    const QString path = QUrl::fromPercentEncoding(written.first(ends - written.cbegin()).toUtf8());
    if (path.startsWith(u'/') || path.startsWith(u'\\'))
        return false;
    // No step between separators may be "..".
    qsizetype from = 0;
    for (qsizetype at = 0; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != u'/' && path[at] != u'\\')
            continue;
        if (QStringView(path).sliced(from, at - from) == u"..")
            return false;
        from = at + 1;
    }
    return true;
}

} // namespace

std::optional<QString> imageSource(const std::optional<QString> &source)
{
    if (!source || source->isEmpty())
        return std::nullopt;
    if (!hasScheme(*source))
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
