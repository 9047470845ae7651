#include "export/htmlpage.h"

#include <algorithm>

#include "core/text.h"
#include "export/exporter.h"
#include "export/htmlescape.h"
#include "export/pagetext.h"

using namespace Qt::StringLiterals;

namespace HTMLPage {

namespace {

int locationRank(const QString &location)
{
    static const QStringList ranked = {u"path"_s, u"query"_s, u"header"_s, u"body"_s};
    const qsizetype rank = ranked.indexOf(location);
    return rank < 0 ? 9 : int(rank);
}

QString groupTitle(const QString &location)
{
    if (location == u"path"_s)
        return u"요청 · Path"_s;
    if (location == u"query"_s)
        return u"요청 · Query"_s;
    if (location == u"header"_s)
        return u"요청 · Header"_s;
    if (location == u"body"_s)
        return u"요청 · Body (payload)"_s;
    if (location.isEmpty())
        return u"요청"_s;
    return u"요청 · "_s + escape(location);
}

QString fieldItem(const Api::ApiField &field, const ModelLinks &links)
{
    QString out = u"<li><code>"_s + escape(field.name) + u": "_s + links.type(field.type) + u"</code>"_s;
    if (!field.required)
        out += u" <span class=\"opt\">선택</span>"_s;
    if (!field.location.isEmpty())
        out += u" <span class=\"loc\">"_s + escape(field.location) + u"</span>"_s;
    if (!field.desc.isEmpty())
        out += u" <span class=\"where\">"_s + escape(field.desc) + u"</span>"_s;
    return out + u"</li>"_s;
}

// One block of fields under an already escaped title; the free text shows
// only when there are no fields.
QString fields(const QString &title, const QList<Api::ApiField> &list, const QString &text, const QString &model,
               const ModelLinks &links)
{
    QString out = u"<div class=\"fh\">"_s + title;
    if (!model.isEmpty())
        out += u" → <code>"_s + links.type(model) + u"</code>"_s;
    out += u"</div>"_s;
    if (!list.isEmpty()) {
        out += u"<ul>"_s;
        for (const Api::ApiField &field : list)
            out += fieldItem(field, links);
        return out + u"</ul>"_s;
    }
    return out + u"<p class=\"where\">"_s + (text.isEmpty() ? u"없음"_s : escape(text)) + u"</p>"_s;
}

struct RequestGroup {
    QString location; // lower-cased
    QList<Api::ApiField> fields;
};

// Request fields by location, path first and body fourth; within a group the
// fields keep their order and lose their location tag.
QList<RequestGroup> requestGroups(const QList<Api::ApiField> &requestFields)
{
    QList<RequestGroup> groups;
    for (Api::ApiField field : requestFields) {
        const QString location = Text::canonicalKey(field.location.toLower());
        field.location.clear();
        const auto group = std::find_if(groups.begin(), groups.end(),
                                        [&](const RequestGroup &g) { return g.location == location; });
        if (group == groups.end())
            groups.append({location, {field}});
        else
            group->fields.append(field);
    }
    std::stable_sort(groups.begin(), groups.end(), [](const RequestGroup &a, const RequestGroup &b) {
        const int rankA = locationRank(a.location);
        const int rankB = locationRank(b.location);
        return rankA != rankB ? rankA < rankB : Text::codePointLess(a.location, b.location);
    });
    return groups;
}

QString usedBy(const Api &api, const Plan &plan)
{
    QStringList names;
    for (const QString &entry : api.usedBy)
        names.append(PageText::placeName(entry, plan));
    const QString joined = names.join(u", "_s);
    return joined.isEmpty() ? u"—"_s : joined;
}

} // namespace

QString apiCard(const Api &api, const Plan &plan, const ModelLinks &links)
{
    const QString need = api.status == u"needed"_s ? u"need"_s : QString();
    const QString key = escape(api.key);

    QString out = u"<div class=\"model api "_s + need + u"\" id=\"a-"_s + key + u"\">"_s;
    if (api.method.isEmpty())
        out += u"<h3>"_s + key + u"</h3>"_s;
    else
        out += u"<h3><span class=\"mth\">"_s + escape(api.method) + u"</span> "_s + key + u"</h3>"_s;
    if (!api.path.isEmpty())
        out += u"<div class=\"path\">"_s + escape(api.path) + u"</div>"_s;
    out += u"<p class=\"where\">"_s + escape(api.purpose) + PageText::sourceTag(api.source) + u"</p>"_s;
    out += u"<p class=\"where\">사용하는 화면 "_s + usedBy(api, plan) + u" · <b class=\""_s + need + u"\">"_s
        + escape(Exporter::apiStatusText(api.status)) + u"</b></p>"_s;

    if (api.requestFields.isEmpty()) {
        out += fields(u"요청"_s, {}, api.request, QString(), links);
    } else {
        for (const RequestGroup &group : requestGroups(api.requestFields))
            out += fields(groupTitle(group.location), group.fields, QString(), QString(), links);
    }
    out += fields(u"응답"_s, api.responseFields, api.response, api.responseModel, links);
    return out + u"</div>"_s;
}

} // namespace HTMLPage
