#include "export/htmlpage.h"

#include "core/text.h"
#include "export/exporter.h"
#include "export/htmlescape.h"
#include "export/pagetext.h"
#include "export/planindex.h"

using namespace Qt::StringLiterals;

namespace HTMLPage {

namespace {

// The image of one source, or the placeholder when the plan names none.
QString imageElement(const std::optional<QString> &planSource, const QString &label, const QString &cls)
{
    const std::optional<QString> source = PageText::imageSource(planSource);
    if (!source)
        return u"<div class=\"ph "_s + cls + u"\"><b>이미지 없음</b>"_s + escape(label) + u"</div>"_s;
    return u"<img class=\""_s + cls + u"\" "_s + PageText::imageAttribute(*source) + u"=\""_s + escape(*source) + u"\" alt=\""_s + escape(label)
        + u"\" loading=\"lazy\">"_s + PageText::withoutScripts(*source, cls, label);
}

// A platform image falls back to the shared one only when the plan names
// no platform image at all.
QString platformElement(const std::optional<QString> &source, const QString &label, const QString &cls,
                        const QString &common)
{
    return source ? imageElement(source, label, cls) : common;
}

QString withoutExtension(const QString &path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    const qsizetype dot = path.lastIndexOf(u'.');
    return dot > slash ? path.left(dot) : path;
}

QString className(const FileSet &files, const QString &fallback)
{
    return files.files.isEmpty() ? fallback : withoutExtension(files.files.first());
}

// The call with the feature's name taken out, breakable after "_" and ".";
// the full call stays in the tooltip.
QString navForm(const QString &call, const QString &feature)
{
    QString shortCall = call;
    if (!feature.isEmpty()) {
        const QString first = Text::graphemePrefix(feature, 1);
        const QString lowered = first.toLower() + feature.mid(first.size());
        shortCall.remove(feature);
        shortCall.remove(lowered);
    }
    QString breakable = escape(shortCall);
    breakable.replace(u'_', u"_<wbr>"_s).replace(u'.', u".<wbr>"_s);
    return u"<code title=\""_s + escape(call) + u"\">"_s + breakable + u"</code>"_s;
}

QString answeringApis(const DataModel &model, const Plan &plan)
{
    QStringList links;
    for (const Api *api : PlanIndex::active(plan)->apisAnswering(model.name))
        links.append(u"<a class=\"m\" href=\"#a-"_s + escape(api->key) + u"\">"_s + escape(api->key) + u"</a>"_s);
    if (links.isEmpty())
        return {};
    return u"<p class=\"where\">응답: <code>"_s + links.join(u"</code> <code>"_s) + u"</code></p>"_s;
}

QString users(const DataModel &model, const Plan &plan)
{
    const QList<Screen> screens = Exporter::screensUsing(model.name, plan);
    if (screens.isEmpty())
        return {};
    QString out = u"<p class=\"users\"><span class=\"where\">사용하는 화면</span> "_s;
    for (const Screen &screen : screens)
        out += u"<a class=\"sl\" href=\"#s-"_s + escape(screen.key) + u"\">"_s + escape(screen.title) + u"</a>"_s;
    return out + u"</p>"_s;
}

QString fieldItem(const Field &field, bool responseModel, const Plan &plan, const ModelLinks &links)
{
    const bool quietApiTag = responseModel && field.source == u"api"_s;
    return u"<li><code>"_s + escape(field.name) + u": "_s + links.type(field.type) + u"</code> <span class=\"where\">"_s
        + PageText::placeName(field.filledAt, plan) + u"</span>"_s + (quietApiTag ? QString() : PageText::sourceTag(field.source)) + u"</li>"_s;
}

} // namespace

QString code(const QString &text)
{
    if (text.isEmpty())
        return {};
    return u"<code>"_s + escape(text) + u"</code>"_s;
}

QString shot(const Screen &screen, const QString &cls)
{
    const QString common = imageElement(screen.image.before, screen.title, cls);
    const QString android = platformElement(screen.image.android, screen.title + u" Android"_s, cls, common);
    const QString ios = platformElement(screen.image.ios, screen.title + u" iOS"_s, cls, common);
    if (android == common && ios == android)
        return common;
    return u"<div class=\"pv p-c\">"_s + common + u"</div><div class=\"pv p-a\">"_s + android
        + u"</div><div class=\"pv p-i\">"_s + ios + u"</div>"_s;
}

std::pair<QString, QString> mainClass(const Screen &screen, const Plan &plan)
{
    const auto entry = plan.naming.platformMap.constFind(screen.key);
    if (entry == plan.naming.platformMap.constEnd())
        return {screen.name, screen.name};
    return {className(entry->android, screen.name), className(entry->ios, screen.name)};
}

QString navNames(const Transition &transition, const Plan &plan, const Conventions &conventions)
{
    const PlanIndex::Scope scope(plan);
    const PlanIndex &index = *PlanIndex::active(plan);
    const Screen *source = index.screen(transition.from);
    const Screen *target = index.screen(transition.to);
    const auto calls = conventions.navigations(transition, source, target, index.screenValues());
    if (!calls)
        return {};
    return u"<div class=\"pv p-a nav\">"_s + navForm(calls->first, plan.meta.feature) + u"</div><div class=\"pv p-i nav\">"_s
        + navForm(calls->second, plan.meta.feature) + u"</div>"_s;
}

QString modelCard(const DataModel &model, const QSet<QString> &apiModels, const Plan &plan, const ModelLinks &links)
{
    const PlanIndex::Scope index(plan);
    const bool responseModel = apiModels.contains(model.name);
    const bool shared = !model.sharedIn.isEmpty();
    const QString name = escape(model.name);

    QString out = u"<div class=\"model"_s + (shared ? u" shared"_s : QString()) + u"\" id=\"m-"_s + name + u"\"><h3>"_s
        + name + (shared ? u" <span class=\"chip ok\">흐름 공유</span>"_s : QString()) + u"</h3>"_s;
    if (shared)
        out += u"<p class=\"where\">화면 사이에 넘기지 않아요. 입구 화면이 채우고, 아래 화면들이 같이 읽어요(Android: nav graph 범위 ViewModel · iOS: 흐름 코디네이터).</p>"_s;
    out += answeringApis(model, plan);
    out += users(model, plan);
    out += u"<ul>"_s;
    for (const Field &field : model.fields)
        out += fieldItem(field, responseModel, plan, links);
    return out + u"</ul></div>"_s;
}

} // namespace HTMLPage
