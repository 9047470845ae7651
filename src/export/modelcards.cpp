#include "export/htmlpage.h"

#include <algorithm>

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

// The feature's name as the navigation calls may hold it: as written, and
// with its first character lower-cased.
QString loweredFirst(const QString &feature)
{
    if (feature.isEmpty())
        return {};
    const QString first = Text::graphemePrefix(feature, 1);
    return first.toLower() + feature.mid(first.size());
}

// Every occurrence of `needle`, found left to right without overlap in the
// text as it was, taken out in place: what QString::remove does, with a
// plain scan that suits a short name in a short call.
void removeAll(QString &text, QStringView needle)
{
    const qsizetype length = needle.size();
    const qsizetype size = text.size();
    if (length == 0 || length > size)
        return;
    QChar *const chars = text.data();
    const QChar first = needle.front();
    qsizetype kept = 0;
    qsizetype at = 0;
    while (at < size) {
        if (chars[at] == first && at + length <= size && std::equal(needle.begin(), needle.end(), chars + at)) {
            at += length;
            continue;
        }
        chars[kept++] = chars[at++];
    }
    text.truncate(kept);
}

// The call with the feature's name taken out, breakable after "_" and ".";
// the full call stays in the tooltip. The short call is made in `scratch`,
// whose room is kept from move to move.
void appendNavForm(QString &out, const QString &call, const QString &feature, const QString &lowered,
                   QString &scratch)
{
    scratch.resize(0);
    scratch.append(call.constData(), call.size());
    if (!feature.isEmpty()) {
        removeAll(scratch, feature);
        removeAll(scratch, lowered);
    }
    out += u"<code title=\""_s + escape(call) + u"\">"_s;
    const QStringView shortCall(scratch);
    qsizetype run = 0;
    for (qsizetype at = 0; at < shortCall.size(); ++at) {
        if (shortCall[at] != u'_' && shortCall[at] != u'.')
            continue;
        appendEscaped(out, shortCall.sliced(run, at + 1 - run));
        out += u"<wbr>"_s;
        run = at + 1;
    }
    appendEscaped(out, shortCall.sliced(run));
    out += u"</code>"_s;
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
    return mainClass(screen, platformFiles(screen, plan));
}

std::pair<QString, QString> mainClass(const Screen &screen, const PlatformFiles *files)
{
    if (!files)
        return {screen.name, screen.name};
    return {className(files->android, screen.name), className(files->ios, screen.name)};
}

const PlatformFiles *platformFiles(const Screen &screen, const Plan &plan)
{
    const auto entry = plan.naming.platformMap.constFind(screen.key);
    return entry == plan.naming.platformMap.constEnd() ? nullptr : &*entry;
}

MoveNames::MoveNames(const Plan &plan, const Conventions &conventions, const Conventions::ScreenValuesOf &values)
    : m_conventions(conventions)
    , m_values(values)
    , m_feature(plan.meta.feature)
    , m_lowered(loweredFirst(m_feature))
{
}

void MoveNames::append(QString &out, const Transition &transition, const Screen *source, const Screen *target)
{
    const auto calls = m_conventions.navigations(transition, source, target, m_values);
    if (!calls)
        return;
    out += u"<div class=\"pv p-a nav\">"_s;
    appendNavForm(out, calls->first, m_feature, m_lowered, m_scratch);
    out += u"</div><div class=\"pv p-i nav\">"_s;
    appendNavForm(out, calls->second, m_feature, m_lowered, m_scratch);
    out += u"</div>"_s;
}

QString navNames(const Transition &transition, const Plan &plan, const Conventions &conventions)
{
    const PlanIndex::Scope scope(plan);
    const PlanIndex &index = *PlanIndex::active(plan);
    QString out;
    MoveNames(plan, conventions, index.screenValues())
        .append(out, transition, index.screen(transition.from), index.screen(transition.to));
    return out;
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
