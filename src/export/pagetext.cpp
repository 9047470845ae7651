#include "export/pagetext.h"

#include "export/htmlescape.h"

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
    return HTMLPage::escape(plan.screenTitle(entry));
}

} // namespace PageText
