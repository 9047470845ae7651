#include "export/htmlpage.h"

#include <QVarLengthArray>
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

QString names(const Screen &screen, const PlatformFiles *entry)
{
    const auto [android, ios] = mainClass(screen, entry);
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
constexpr QStringView foldButton =
    u"<button class=\"fold\" type=\"button\" aria-expanded=\"true\" aria-label=\"접기·펼치기\" title=\"접기·펼치기\"></button>";

void titleRow(QString &out, const Screen &screen, const PlatformFiles *entry)
{
    out += u"<div class=\"title\">";
    out += foldButton;
    out += u"<h3>"_s + escape(screen.title) + u"</h3>"_s + names(screen, entry);
    if (screen.figmaLabel && !blankLabel(*screen.figmaLabel))
        out += u"<span class=\"pill\">"_s + escape(*screen.figmaLabel) + u"</span>"_s;
    if (screen.kind != u"screen"_s)
        out += u"<span class=\"pill\">"_s + escape(screen.kind) + u"</span>"_s;
    out += u"</div>"_s;
}

void files(QString &out, const FileSet &set)
{
    out += u"<div class=\"dir\">"_s + escape(set.dir) + u"</div>"_s;
    for (qsizetype i = 0; i < set.files.size(); ++i) {
        if (i > 0)
            out += u' ';
        // As code(), without the piece made apart.
        if (!set.files.at(i).isEmpty())
            out += u"<code>"_s + escape(set.files.at(i)) + u"</code>"_s;
    }
}

void arguments(QString &out, const Screen &screen, const ModelLinks &links)
{
    if (screen.args.isEmpty()) {
        out += u"없음"_s;
        return;
    }
    out += u"<div class=\"argl\">"_s;
    for (const Arg &arg : screen.args) {
        out += u"<code>"_s + escape(arg.name);
        if (!arg.model.isEmpty())
            out += u": "_s + links.type(arg.model);
        out += u"</code>"_s;
    }
    out += u"</div>"_s;
}

void serverData(QString &out, const Screen &screen, const PlanIndex &index)
{
    if (screen.serverData.isEmpty()) {
        out += u"없음"_s;
        return;
    }
    bool first = true;
    for (const QString &entry : screen.serverData) {
        if (!first)
            out += u' ';
        first = false;
        if (!entry.isEmpty() && index.isApi(entry)) {
            const QString escaped = escape(entry);
            out += u"<code><a class=\"m\" href=\"#a-"_s + escaped + u"\">"_s + escaped + u"</a></code>"_s;
        } else {
            out += code(entry);
        }
    }
}

void facts(QString &out, const Screen &screen, const Plan &plan, const PlanIndex &index, const ModelLinks &links,
           const PlatformFiles *entry)
{
    if (screen.condition && !screen.condition->text.isEmpty())
        out += u"<dt>조건</dt><dd>"_s + escape(screen.condition->text) + PageText::sourceTag(screen.condition->source)
            + u"</dd>"_s;
    if (entry) {
        out += u"<dt class=\"pv p-a\">파일</dt><dd class=\"pv p-a\">"_s;
        files(out, entry->android);
        out += u"</dd><dt class=\"pv p-i\">파일</dt><dd class=\"pv p-i\">"_s;
        files(out, entry->ios);
        out += u"</dd>"_s;
    }
    const QList<DataModel> shared = Exporter::sharedStates(screen, plan);
    if (!shared.isEmpty()) {
        out += u"<dt>흐름 공유</dt><dd>"_s;
        for (qsizetype i = 0; i < shared.size(); ++i) {
            if (i > 0)
                out += u' ';
            out += u"<code>"_s + links.type(shared.at(i).name) + u"</code>"_s;
        }
        out += u"</dd>"_s;
    }
    out += u"<dt>입력 인자</dt><dd>"_s;
    arguments(out, screen, links);
    out += u"</dd><dt>서버 데이터</dt><dd>"_s;
    serverData(out, screen, index);
    out += u"</dd>"_s;
    if (!screen.rules.isEmpty()) {
        out += u"<dt>검증·규칙</dt><dd>"_s;
        for (qsizetype i = 0; i < screen.rules.size(); ++i) {
            const Sourced &rule = screen.rules.at(i);
            if (i > 0)
                out += u"<br>"_s;
            out += escape(rule.text) + PageText::sourceTag(rule.source);
        }
        out += u"</dd>"_s;
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
}

void passes(QString &out, const Transition &transition, const ModelLinks &links)
{
    bool first = true;
    for (const QString &pass : transition.passes) {
        if (!first)
            out += u' ';
        first = false;
        const std::optional<QString> model = links.argModel(pass);
        out += u"<code>"_s + (model ? links.link(pass, *model) : escape(pass)) + u"</code>"_s;
    }
}

void stayRow(QString &out, const QString &label)
{
    out += u"<tr><td>"_s + escape(label) + u"</td><td></td><td><small>제자리</small></td></tr>"_s;
}

// What every move row of one card shares, found once per card: the screen
// the moves start from (the first of the card's key, as the index finds it
// for each move's start) and the naming of the moves.
struct MoveContext {
    const Plan &plan;
    const PlanIndex &index;
    const ModelLinks &links;
    const Screen *source;
    MoveNames names;
};

// `label` comes escaped: one action's moves share it.
void moveRow(QString &out, const QString &label, const Transition &transition, MoveContext &context)
{
    // One lookup of the target serves its name and its navigation calls.
    const Screen *target = context.index.screen(transition.to);
    out += u"<tr><td>"_s + label;
    if (transition.condition)
        out += u"<br><small>"_s + escape(*transition.condition) + u"</small>"_s;
    out += u"</td><td>"_s;
    passes(out, transition, context.links);
    out += u"</td><td>"_s + PageText::placeName(transition.to, target) + u" <small>("_s + escape(transition.kind) + u")</small>"_s;
    if (transition.popUpTo && !transition.popUpTo->isEmpty())
        out += u"<br><small>pop "_s + PageText::placeName(*transition.popUpTo, context.plan) + u"</small>"_s;
    context.names.append(out, transition, context.source, target);
    out += PageText::sourceTag(transition.source) + u"</td></tr>"_s;
}

void exits(QString &out, const Screen &screen, const Plan &plan, const PlanIndex &index, const ModelLinks &links,
           const Conventions &conventions)
{
    const QList<const Transition *> outgoing = index.movesFrom(screen.key);
    if (outgoing.isEmpty() && screen.actions.isEmpty())
        return;
    // Every move here starts at a key canonically equal to the card's, so
    // one lookup finds the start of all of them.
    MoveContext context{plan, index, links, index.screen(screen.key),
                        MoveNames(plan, conventions, index.screenValues())};

    // Triggers and action keys compared by their canonical forms, made once
    // each: equal forms are exactly what Text::canonicalEqual accepts.
    QVarLengthArray<QString, 16> triggers;
    for (const Transition *transition : outgoing)
        triggers.append(Text::canonicalKey(transition->trigger));
    QVarLengthArray<bool, 16> fromAction(outgoing.size(), false);

    // The rows go straight after the table's head, which is taken back when
    // no row follows.
    const qsizetype start = out.size();
    out += u"<div class=\"exits-wrap\"><table class=\"exits\"><tr><th>사용자 행동</th><th>넘기는 값</th><th>이동</th></tr>"_s;
    const qsizetype head = out.size();
    for (const UserAction &action : screen.actions) {
        const QString key = Text::canonicalKey(action.key);
        QString label;
        bool matched = false;
        for (qsizetype i = 0; i < outgoing.size(); ++i) {
            if (triggers[i] != key)
                continue;
            fromAction[i] = true;
            if (!matched)
                label = escape(PlanIndex::triggerLabel(*outgoing[i], context.source));
            matched = true;
            moveRow(out, label, *outgoing[i], context);
        }
        if (!matched)
            stayRow(out, Exporter::actionLabel(action));
    }
    for (qsizetype i = 0; i < outgoing.size(); ++i) {
        if (!fromAction[i])
            moveRow(out, escape(PlanIndex::triggerLabel(*outgoing[i], context.source)), *outgoing[i], context);
    }
    if (out.size() == head)
        out.truncate(start);
    else
        out += u"</table></div>"_s;
}

void strings(QString &out, const Screen &screen, const PlanIndex &index)
{
    QList<const StringKey *> shown;
    for (const StringKey *string : index.stringsOn(screen.key)) {
        if (!string->ko.isEmpty())
            shown.append(string);
    }
    if (shown.isEmpty())
        return;
    const auto need = std::count_if(shown.begin(), shown.end(), [](const StringKey *s) { return s->key.isEmpty(); });
    out += u"<details class=\"strings\"><summary>문구·워드민트 보기 <small>"_s + QString::number(shown.size()) + u"개"_s;
    if (need > 0)
        out += u" · 키 필요 "_s + QString::number(need);
    out += u"</small></summary>"_s + callouts(screen, shown) + u"</details>"_s;
}

} // namespace

QString screenCard(const Screen &screen, const Plan &plan, const ModelLinks &links, const Conventions &conventions)
{
    const PlanIndex::Scope scope(plan);
    const PlanIndex &index = *PlanIndex::active(plan);
    // The screen's files serve both its class names and its file list.
    const PlatformFiles *entry = platformFiles(screen, plan);
    QString out = u"<article class=\"screen\" id=\"s-"_s + escape(screen.key) + u"\">"_s;
    titleRow(out, screen, entry);
    out += u"<div class=\"shot\">"_s + shot(screen, QString()) + u"</div><div class=\"body\"><dl class=\"kv\">"_s;
    facts(out, screen, plan, index, links, entry);
    out += u"</dl>"_s;
    exits(out, screen, plan, index, links, conventions);
    strings(out, screen, index);
    out += u"</div></article>"_s;
    return out;
}

} // namespace HTMLPage
