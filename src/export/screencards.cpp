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

bool blankLabel(const QString &label)
{
    return std::all_of(label.begin(), label.end(), [](QChar c) { return c == u' ' || c == u'\t'; });
}

QString names(const Screen &screen, const Plan &plan)
{
    const auto [android, ios] = mainClass(screen, plan);
    const QString name = code(screen.name);
    const QString onAndroid = code(android);
    const QString onIos = code(ios);
    if (name == onAndroid && name == onIos)
        return name;
    return u"<span class=\"pv p-c\">"_s + name + u"</span><span class=\"pv p-a\">"_s + onAndroid
        + u"</span><span class=\"pv p-i\">"_s + onIos + u"</span>"_s;
}

// The fold button shows only an arrow drawn by the style sheet: its name
// is said by aria-label, and shown as a tooltip.
QString foldButton()
{
    const QString name = u"접기·펼치기"_s;
    return u"<button class=\"fold\" type=\"button\" aria-expanded=\"true\" aria-label=\""_s + name + u"\" title=\""_s
        + name + u"\"></button>"_s;
}

QString titleRow(const Screen &screen, const Plan &plan)
{
    QString out = u"<div class=\"title\">"_s + foldButton() + u"<h3>"_s
        + escape(screen.title) + u"</h3>"_s + names(screen, plan);
    if (screen.figmaLabel && !blankLabel(*screen.figmaLabel))
        out += u"<span class=\"pill\">"_s + escape(*screen.figmaLabel) + u"</span>"_s;
    if (screen.kind != u"screen"_s)
        out += u"<span class=\"pill\">"_s + escape(screen.kind) + u"</span>"_s;
    return out + u"</div>"_s;
}

QString files(const FileSet &set)
{
    QStringList items;
    for (const QString &file : set.files)
        items.append(code(file));
    return u"<div class=\"dir\">"_s + escape(set.dir) + u"</div>"_s + items.join(u' ');
}

QString arguments(const Screen &screen, const ModelLinks &links)
{
    if (screen.args.isEmpty())
        return u"없음"_s;
    QString out = u"<div class=\"argl\">"_s;
    for (const Arg &arg : screen.args) {
        out += u"<code>"_s + escape(arg.name);
        if (!arg.model.isEmpty())
            out += u": "_s + links.type(arg.model);
        out += u"</code>"_s;
    }
    return out + u"</div>"_s;
}

QString serverData(const Screen &screen, const Plan &plan)
{
    if (screen.serverData.isEmpty())
        return u"없음"_s;
    QStringList items;
    for (const QString &entry : screen.serverData) {
        const bool isApi = PlanIndex::active(plan)->isApi(entry);
        if (isApi && !entry.isEmpty())
            items.append(u"<code><a class=\"m\" href=\"#a-"_s + escape(entry) + u"\">"_s + escape(entry) + u"</a></code>"_s);
        else
            items.append(code(entry));
    }
    return items.join(u' ');
}

QString facts(const Screen &screen, const Plan &plan, const ModelLinks &links)
{
    QString out;
    if (screen.condition && !screen.condition->text.isEmpty())
        out += u"<dt>조건</dt><dd>"_s + escape(screen.condition->text) + PageText::sourceTag(screen.condition->source)
            + u"</dd>"_s;
    const auto entry = plan.naming.platformMap.constFind(screen.key);
    if (entry != plan.naming.platformMap.constEnd())
        out += u"<dt class=\"pv p-a\">파일</dt><dd class=\"pv p-a\">"_s + files(entry->android)
            + u"</dd><dt class=\"pv p-i\">파일</dt><dd class=\"pv p-i\">"_s + files(entry->ios) + u"</dd>"_s;
    const QList<DataModel> shared = Exporter::sharedStates(screen, plan);
    if (!shared.isEmpty()) {
        QStringList types;
        for (const DataModel &model : shared)
            types.append(u"<code>"_s + links.type(model.name) + u"</code>"_s);
        out += u"<dt>흐름 공유</dt><dd>"_s + types.join(u' ') + u"</dd>"_s;
    }
    out += u"<dt>입력 인자</dt><dd>"_s + arguments(screen, links) + u"</dd>"_s;
    out += u"<dt>서버 데이터</dt><dd>"_s + serverData(screen, plan) + u"</dd>"_s;
    if (!screen.rules.isEmpty()) {
        QStringList rules;
        for (const Sourced &rule : screen.rules)
            rules.append(escape(rule.text) + PageText::sourceTag(rule.source));
        out += u"<dt>검증·규칙</dt><dd>"_s + rules.join(u"<br>"_s) + u"</dd>"_s;
    }
    const PlatformText &notes = screen.platformNotes;
    if (!notes.android.isEmpty() || !notes.ios.isEmpty()) {
        out += u"<dt>플랫폼 메모</dt><dd>"_s;
        if (!notes.android.isEmpty())
            out += u"Android: "_s + escape(notes.android);
        if (!notes.android.isEmpty() && !notes.ios.isEmpty())
            out += u"<br>"_s;
        if (!notes.ios.isEmpty())
            out += u"iOS: "_s + escape(notes.ios);
        out += u"</dd>"_s;
    }
    return out;
}

QString passes(const Transition &transition, const ModelLinks &links)
{
    QStringList items;
    for (const QString &pass : transition.passes) {
        const std::optional<QString> model = links.argModel(pass);
        items.append(u"<code>"_s + (model ? links.link(pass, *model) : escape(pass)) + u"</code>"_s);
    }
    return items.join(u' ');
}

QString stayRow(const QString &label)
{
    return u"<tr><td>"_s + escape(label) + u"</td><td></td><td><small>제자리</small></td></tr>"_s;
}

QString moveRow(const QString &label, const Transition &transition, const Plan &plan, const ModelLinks &links,
                const Conventions &conventions)
{
    QString out = u"<tr><td>"_s + escape(label);
    if (transition.condition)
        out += u"<br><small>"_s + escape(*transition.condition) + u"</small>"_s;
    out += u"</td><td>"_s + passes(transition, links) + u"</td><td>"_s + PageText::placeName(transition.to, plan)
        + u" <small>("_s + escape(transition.kind) + u")</small>"_s;
    if (transition.popUpTo && !transition.popUpTo->isEmpty())
        out += u"<br><small>pop "_s + PageText::placeName(*transition.popUpTo, plan) + u"</small>"_s;
    return out + navNames(transition, plan, conventions) + PageText::sourceTag(transition.source) + u"</td></tr>"_s;
}

QString exits(const Screen &screen, const Plan &plan, const ModelLinks &links, const Conventions &conventions)
{
    const QList<const Transition *> outgoing = PlanIndex::active(plan)->movesFrom(screen.key);
    const auto isTrigger = [](const Transition *transition, const QString &key) {
        return Text::canonicalEqual(transition->trigger, key);
    };

    QString rows;
    for (const UserAction &action : screen.actions) {
        QList<const Transition *> matching;
        for (const Transition *transition : outgoing) {
            if (isTrigger(transition, action.key))
                matching.append(transition);
        }
        if (matching.isEmpty()) {
            rows += stayRow(Exporter::actionLabel(action));
            continue;
        }
        const QString label = Exporter::triggerLabel(*matching.first(), plan);
        for (const Transition *transition : matching)
            rows += moveRow(label, *transition, plan, links, conventions);
    }
    for (const Transition *transition : outgoing) {
        const bool fromAction = std::any_of(screen.actions.begin(), screen.actions.end(),
                                            [&](const UserAction &action) { return isTrigger(transition, action.key); });
        if (!fromAction)
            rows += moveRow(Exporter::triggerLabel(*transition, plan), *transition, plan, links, conventions);
    }
    if (rows.isEmpty())
        return {};
    return u"<div class=\"exits-wrap\"><table class=\"exits\"><tr><th>사용자 행동</th><th>넘기는 값</th><th>이동</th></tr>"_s
        + rows + u"</table></div>"_s;
}

QString strings(const Screen &screen, const Plan &plan)
{
    QList<StringKey> shown;
    for (const StringKey *string : PlanIndex::active(plan)->stringsOn(screen.key)) {
        if (!string->ko.isEmpty())
            shown.append(*string);
    }
    if (shown.isEmpty())
        return {};
    const auto need = std::count_if(shown.begin(), shown.end(), [](const StringKey &s) { return s.key.isEmpty(); });
    QString out = u"<details class=\"strings\"><summary>문구·워드민트 보기 <small>"_s + QString::number(shown.size())
        + u"개"_s;
    if (need > 0)
        out += u" · 키 필요 "_s + QString::number(need);
    return out + u"</small></summary>"_s + callouts(screen, shown) + u"</details>"_s;
}

} // namespace

QString screenCard(const Screen &screen, const Plan &plan, const ModelLinks &links, const Conventions &conventions)
{
    const PlanIndex::Scope index(plan);
    return u"<article class=\"screen\" id=\"s-"_s + escape(screen.key) + u"\">"_s + titleRow(screen, plan)
        + u"<div class=\"shot\">"_s + shot(screen, QString()) + u"</div><div class=\"body\"><dl class=\"kv\">"_s
        + facts(screen, plan, links) + u"</dl>"_s + exits(screen, plan, links, conventions) + strings(screen, plan)
        + u"</div></article>"_s;
}

} // namespace HTMLPage
