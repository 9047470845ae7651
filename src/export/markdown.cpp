#include "export/exporter.h"

#include <QHash>
#include <algorithm>
#include <functional>
#include <utility>

#include "core/parallel.h"
#include "core/text.h"
#include "export/planindex.h"

namespace Exporter {

namespace {

QString oneLine(QString text)
{
    return text.replace(u'\n', u' ');
}

// A table cell: "|" would end the cell and a line feed the row. Most cells
// hold neither and are given back as they are: a replacement by a longer
// text sets up a search even when there is nothing to find, and plan.md has
// a cell for every move and string.
QString cell(QString text)
{
    if (text.contains(u'|'))
        text.replace(u'|', QLatin1String("\\|"));
    if (text.contains(u'\n'))
        text.replace(u'\n', QLatin1String("<br>"));
    return text;
}

QString row(const QStringList &cells)
{
    QStringList escaped;
    escaped.reserve(cells.size());
    for (const QString &text : cells)
        escaped.append(cell(text));
    return QStringLiteral("| ") + escaped.join(QStringLiteral(" | ")) + QStringLiteral(" |");
}

QString code(const QString &text)
{
    return text.isEmpty() ? QString() : u'`' + text + u'`';
}

QString codes(const QStringList &texts, const QString &separator)
{
    QStringList coded;
    coded.reserve(texts.size());
    for (const QString &text : texts)
        coded.append(code(text));
    return coded.join(separator);
}

QString inferredMark(const QString &source)
{
    return source == QLatin1String("inferred") ? QStringLiteral(" (추론)") : QString();
}

// Builds plan.md over one plan, with the lookups each section repeats made
// once: screens by key, moves by source screen, strings by screen.
class Document {
public:
    explicit Document(const Plan &plan);
    // The document in pieces, in order, made on every core that is free;
    // each piece is whole lines, each line ending in a line feed, and is
    // handed to `finish` as soon as it is made.
    template<typename Text, typename Finish>
    QList<Text> pieces(const PlanIndex::Scope &index, Finish finish) const;

private:
    QString placeName(const QString &reference) const;
    QString move(const Transition &transition) const;
    QStringList actionLines(const Screen &screen) const;
    bool isApiModel(const DataModel &model) const;

    void header(QStringList &out) const;
    void summary(QStringList &out) const;
    void flow(QStringList &out) const;
    void screenBlock(QStringList &out, const Screen &screen) const;
    void sharedModels(QStringList &out) const;
    void modelTable(QStringList &out, const DataModel &model) const;
    void apis(QStringList &out) const;
    void apiFields(QStringList &out, const QString &label, const QList<Api::ApiField> &fields, const QString &text) const;
    void strings(QStringList &out) const;
    void decisions(QStringList &out) const;
    void platformMap(QStringList &out) const;
    void namingRules(QStringList &out) const;

    const Plan &m_plan;
    const PlanIndex &m_index;
    QHash<QString, QList<const Transition *>> m_movesFrom;
    QHash<QString, QList<const StringKey *>> m_stringsOf;
    QSet<QString> m_apiModels;
};

Document::Document(const Plan &plan)
    : m_plan(plan)
    , m_index(*PlanIndex::active(plan))
{
    for (const Transition &transition : plan.transitions)
        m_movesFrom[Text::canonicalKey(transition.from)].append(&transition);
    for (const StringKey &string : plan.strings)
        m_stringsOf[Text::canonicalKey(string.screen)].append(&string);
    for (const QString &name : apiModelNames(plan))
        m_apiModels.insert(Text::canonicalKey(name));
}

template<typename Text, typename Finish>
QList<Text> Document::pieces(const PlanIndex::Scope &index, Finish finish) const
{
    constexpr qsizetype screensPerPiece = 32;
    QList<std::function<void(QStringList &)>> pieces{
        [this](QStringList &out) {
            header(out);
            summary(out);
        },
        [this](QStringList &out) { flow(out); },
        [](QStringList &out) { out << QStringLiteral("## 3. 화면별 상세"); },
    };
    const QList<Screen> &screens = m_plan.screens;
    for (qsizetype from = 0; from < screens.size(); from += screensPerPiece) {
        pieces.append([this, &screens, from](QStringList &out) {
            for (qsizetype at = from; at < std::min(screens.size(), from + screensPerPiece); ++at)
                screenBlock(out, screens[at]);
        });
    }
    pieces.append([this](QStringList &out) { sharedModels(out); });
    pieces.append([this](QStringList &out) { apis(out); });
    pieces.append([this](QStringList &out) { strings(out); });
    pieces.append([this](QStringList &out) { decisions(out); });
    pieces.append([this](QStringList &out) { platformMap(out); });
    pieces.append([this](QStringList &out) { namingRules(out); });
    return Parallel::map<Text>(pieces.size(), [&](qsizetype at) {
        const PlanIndex::Scope shared(m_plan, index);
        QStringList lines;
        pieces[at](lines);
        lines.append(QString());
        return finish(lines.join(u'\n'));
    });
}

QString Document::placeName(const QString &reference) const
{
    if (reference.startsWith(u'@'))
        return reference.mid(1);
    return m_index.screenTitle(reference);
}

QString Document::move(const Transition &transition) const
{
    QString text = QStringLiteral("→ ") + placeName(transition.to) + QStringLiteral(" (") + transition.kind;
    if (transition.popUpTo)
        text += QStringLiteral(", pop ") + *transition.popUpTo;
    if (!transition.passes.isEmpty())
        text += QStringLiteral(", ") + transition.passes.join(u'+');
    text += u')';
    if (transition.condition)
        text += QStringLiteral(" [") + *transition.condition + u']';
    return text + inferredMark(transition.source);
}

QStringList Document::actionLines(const Screen &screen) const
{
    const QList<const Transition *> out = m_movesFrom.value(Text::canonicalKey(screen.key));
    QStringList triggers;
    triggers.reserve(out.size());
    for (const Transition *transition : out)
        triggers.append(Text::canonicalKey(transition->trigger));
    QStringList lines;
    QSet<QString> actionKeys;
    for (const UserAction &action : screen.actions) {
        const QString key = Text::canonicalKey(action.key);
        actionKeys.insert(key);
        QStringList exits;
        for (qsizetype at = 0; at < out.size(); ++at)
            if (triggers[at] == key)
                exits.append(move(*out[at]));
        const QString where = exits.isEmpty() ? QStringLiteral("→ 제자리") : exits.join(QStringLiteral(" / "));
        lines.append(actionLabel(action) + u' ' + where);
    }
    for (qsizetype at = 0; at < out.size(); ++at)
        if (!actionKeys.contains(triggers[at]))
            lines.append(m_index.triggerLabel(*out[at]) + u' ' + move(*out[at]));
    return lines;
}

bool Document::isApiModel(const DataModel &model) const
{
    return m_apiModels.contains(Text::canonicalKey(model.name));
}

void Document::header(QStringList &out) const
{
    const Meta &meta = m_plan.meta;
    QString title = meta.title;
    if (!Text::hasSuffix(title, QStringLiteral("계획서")))
        title += QStringLiteral(" 개발 계획서");
    out << QStringLiteral("# ") + oneLine(title) + QStringLiteral(" (`") + oneLine(meta.feature) + QStringLiteral("`)")
            << QString()
            << QStringLiteral("> 피그마 ") + meta.figma.url + QStringLiteral(" · 노드 `") + meta.figma.nodeId
                   + QStringLiteral("` · 생성 ") + meta.createdAt + u' ' + meta.createdBy + QStringLiteral(" · 미결정 **")
                   + QString::number(m_plan.openDecisions().size()) + QStringLiteral("건**")
            << QStringLiteral("> ⚠️ 결정 필요 목록이 비기 전에는 개발을 시작하지 않는다. 원본은 `plan.json` 이고 이 파일은 거기서 만든 것이다.")
            << QString();
}

void Document::summary(QStringList &out) const
{
    const Meta &meta = m_plan.meta;
    out << QStringLiteral("## 1. 요약");
    if (!meta.summary.isEmpty())
        out << meta.summary << QString();
    out << QStringLiteral("- 화면 ") + QString::number(m_plan.screens.size()) + QStringLiteral("개 · 모듈 Android `")
                   + meta.module.android + QStringLiteral("` / iOS `") + meta.module.ios + u'`';
    if (!meta.entry.cardType.isEmpty())
        out << QStringLiteral("- 카드 타입 `") + meta.entry.cardType + u'`';
    if (!meta.entry.deeplink.isEmpty())
        out << QStringLiteral("- 딥링크 `") + meta.entry.deeplink + u'`';
    out << QString();
}

void Document::flow(QStringList &out) const
{
    out << QStringLiteral("## 2. 흐름") << QStringLiteral("```mermaid") << mermaid(m_plan, false)
            << QStringLiteral("```") << QString();
}

void Document::screenBlock(QStringList &out, const Screen &screen) const
{
    QString heading = QStringLiteral("### ") + oneLine(screen.title) + QStringLiteral(" — `") + oneLine(screen.name)
        + QStringLiteral("` (") + screen.key + QStringLiteral(", ") + screen.kind;
    if (screen.figmaLabel)
        heading += QStringLiteral(", ") + *screen.figmaLabel;
    out << QString() << heading + u')';
    if (screen.condition && !screen.condition->text.isEmpty())
        out << QStringLiteral("조건: ") + screen.condition->text + inferredMark(screen.condition->source);

    out << QString() << QStringLiteral("| 항목 | 내용 |") << QStringLiteral("|---|---|");

    out << row({QStringLiteral("피그마 노드"), codes(screen.figmaNodes, QStringLiteral(", "))});

    QStringList args;
    for (const Arg &arg : screen.args)
        args.append(arg.model.isEmpty() ? arg.name : arg.name + QStringLiteral(": ") + arg.model);
    out << row({QStringLiteral("입력 인자"), args.join(QStringLiteral(", "))});

    const QList<DataModel> shared = sharedStates(screen, m_plan);
    if (!shared.isEmpty()) {
        QStringList names;
        for (const DataModel &model : shared)
            names.append(u'`' + model.name + u'`');
        out << row({QStringLiteral("흐름 공유"), names.join(QStringLiteral(", "))});
    }

    const QString serverData = screen.serverData.isEmpty() ? QStringLiteral("없음") : codes(screen.serverData, QStringLiteral(", "));
    out << row({QStringLiteral("서버 데이터"), serverData});

    out << row({QStringLiteral("사용자 행동"), actionLines(screen).join(u'\n')});

    QStringList rules;
    for (const Sourced &rule : screen.rules)
        rules.append(rule.text + inferredMark(rule.source));
    out << row({QStringLiteral("검증·규칙"), rules.join(QStringLiteral("<br>"))});

    QStringList texts;
    for (const StringKey *string : m_stringsOf.value(Text::canonicalKey(screen.key)))
        if (!string->ko.isEmpty())
            texts.append(QStringLiteral("“") + string->ko + QStringLiteral("” ") + statusText(*string));
    out << row({QStringLiteral("문구"), texts.join(u'\n')});

    QStringList notes;
    if (!screen.platformNotes.android.isEmpty())
        notes.append(QStringLiteral("Android: ") + screen.platformNotes.android);
    if (!screen.platformNotes.ios.isEmpty())
        notes.append(QStringLiteral("iOS: ") + screen.platformNotes.ios);
    out << row({QStringLiteral("플랫폼 메모"), notes.join(QStringLiteral(" / "))});
}

void Document::sharedModels(QStringList &out) const
{
    out << QString() << QStringLiteral("## 4. 공통 모델 (화면 사이에 넘기는 것)");
    bool any = false;
    for (const DataModel &model : m_plan.models) {
        if (isApiModel(model))
            continue;
        any = true;
        modelTable(out, model);
    }
    if (!any)
        out << QString() << QStringLiteral("없음 — 모든 모델이 API 응답 모델이다 (5장).");
}

void Document::modelTable(QStringList &out, const DataModel &model) const
{
    QString heading = QStringLiteral("### `") + oneLine(model.name) + u'`';
    if (model.apiAligned)
        heading += QStringLiteral(" (API 필드와 맞춤)");
    if (!model.sharedIn.isEmpty())
        heading += QStringLiteral(" — 흐름 공유 상태");
    out << QString() << heading;

    if (!model.sharedIn.isEmpty())
        out << QString()
                << QStringLiteral("화면 사이에 넘기지 않고, 입구 화면이 채운 뒤 묶음 안 화면이 읽는다(Android: nav graph 범위 ViewModel · iOS: 흐름 코디네이터).");

    const QList<Screen> users = screensUsing(model.name, m_plan);
    if (!users.isEmpty()) {
        QStringList named;
        for (const Screen &screen : users)
            named.append(screen.title + QStringLiteral(" (`") + screen.key + QStringLiteral("`)"));
        out << QString() << QStringLiteral("사용하는 화면: ") + named.join(QStringLiteral(" · "));
    }

    out << QString() << QStringLiteral("| 필드 | 타입 | 채워지는 화면 |") << QStringLiteral("|---|---|---|");
    for (const Field &field : model.fields)
        out << row({u'`' + field.name + u'`', field.type, placeName(field.filledAt) + inferredMark(field.source)});
}

void Document::apis(QStringList &out) const
{
    out << QString() << QStringLiteral("## 5. API");
    for (const Api &api : m_plan.apis) {
        QString heading = QStringLiteral("### `") + api.key + QStringLiteral("` ");
        if (!api.method.isEmpty())
            heading += api.method + u' ';
        if (!api.path.isEmpty())
            heading += u'`' + api.path + u'`';
        out << QString() << heading + QStringLiteral(" — ") + apiStatusText(api.status);

        QStringList places;
        for (const QString &reference : api.usedBy)
            places.append(placeName(reference));
        QString line = oneLine(api.purpose) + QStringLiteral(" · 사용하는 화면: ") + places.join(QStringLiteral(", "));
        if (!api.responseModel.isEmpty())
            line += QStringLiteral(" · 응답 → `") + api.responseModel + u'`';
        out << line;

        apiFields(out, QStringLiteral("요청"), api.requestFields, api.request);
        apiFields(out, QStringLiteral("응답"), api.responseFields, api.response);
    }

    bool headed = false;
    for (const DataModel &model : m_plan.models) {
        if (!isApiModel(model))
            continue;
        if (!headed)
            out << QString() << QStringLiteral("### 응답 모델");
        headed = true;
        modelTable(out, model);
    }
}

void Document::apiFields(QStringList &out, const QString &label, const QList<Api::ApiField> &fields, const QString &text) const
{
    out << QString();
    if (fields.isEmpty()) {
        out << QStringLiteral("- ") + label + QStringLiteral(": ") + (text.isEmpty() ? QStringLiteral("없음") : cell(text));
        return;
    }
    out << QStringLiteral("| ") + label + QStringLiteral(" | 타입 | 필수 | 위치 | 설명 |") << QStringLiteral("|---|---|---|---|---|");
    for (const Api::ApiField &field : fields)
        out << row({u'`' + field.name + u'`', field.type, field.required ? QStringLiteral("✓") : QString(),
                        field.location, field.desc});
}

void Document::strings(QStringList &out) const
{
    out << QString() << QStringLiteral("## 6. 문구·워드민트")
            << QStringLiteral("워드민트 키가 있으면 그 키로 적용한다. 없으면(키 필요) 원문을 하드코딩하고 옆에 `// TODO: 추후에 wordmint 적용` 주석을 단다(두 플랫폼 같은 주석).")
            << QString() << QStringLiteral("| 화면 | 한국어 | 워드민트 키 | 상태 |") << QStringLiteral("|---|---|---|---|");
    for (const StringKey &string : m_plan.strings)
        out << row({placeName(string.screen), string.ko, code(string.key), statusText(string)});
}

void Document::decisions(QStringList &out) const
{
    out << QString() << QStringLiteral("## 7. 결정 필요") << QStringLiteral("| ID | 질문 | 제안 | 결과 | 결정자 | 일시 |")
            << QStringLiteral("|---|---|---|---|---|---|");
    for (const Decision &decision : m_plan.decisions) {
        const QString result = decision.status == QLatin1String("decided")
            ? QStringLiteral("✅ ") + decision.result.value_or(QString())
            : QStringLiteral("미결정");
        out << row({decision.key,
                        decision.question + QStringLiteral("<br><small>") + decision.context + QStringLiteral("</small>"),
                        decision.proposal, result, decision.decidedBy.value_or(QString()),
                        decision.decidedAt.value_or(QString())});
    }
}

void Document::platformMap(QStringList &out) const
{
    QHash<QString, const PlatformFiles *> entries;
    for (auto it = m_plan.naming.platformMap.cbegin(); it != m_plan.naming.platformMap.cend(); ++it) {
        const QString key = Text::canonicalKey(it.key());
        if (!entries.contains(key))
            entries.insert(key, &it.value());
    }

    out << QString() << QStringLiteral("## 8. 플랫폼 대응표") << QStringLiteral("| 공통 | Android | iOS |")
            << QStringLiteral("|---|---|---|");
    QList<std::pair<const Screen *, const PlatformFiles *>> mapped;
    for (const Screen &screen : m_plan.screens) {
        const PlatformFiles *entry = entries.value(Text::canonicalKey(screen.key));
        if (!entry)
            continue;
        mapped.append({&screen, entry});
        out << row({u'`' + screen.name + u'`',
                        u'`' + entry->android.dir + QStringLiteral("`<br>") + codes(entry->android.files, QStringLiteral(" ")),
                        u'`' + entry->ios.dir + QStringLiteral("`<br>") + codes(entry->ios.files, QStringLiteral(" "))});
    }

    out << QString() << QStringLiteral("### 이동 이름");
    for (const auto &[screen, entry] : mapped) {
        if (entry->android.navigation.isEmpty())
            continue;
        out << QStringLiteral("- **") + screen->name + QStringLiteral("**");
        const qsizetype pairs = std::min(entry->android.navigation.size(), entry->ios.navigation.size());
        for (qsizetype i = 0; i < pairs; ++i)
            out << QStringLiteral("  - 이동 ") + code(entry->android.navigation.at(i)) + QStringLiteral(" / ")
                    + code(entry->ios.navigation.at(i));
    }
}

void Document::namingRules(QStringList &out) const
{
    out << QString() << QStringLiteral("## 9. 이름 규칙");
    for (const QString &rule : m_plan.naming.rules)
        out << QStringLiteral("- ") + rule;
}

} // namespace

QString markdown(const Plan &plan)
{
    const PlanIndex::Scope index(plan);
    QString text;
    for (const QString &piece : Document(plan).pieces<QString>(index, [](QString piece) { return piece; }))
        text += piece;
    return text;
}

QList<QByteArray> markdownUtf8(const Plan &plan)
{
    const PlanIndex::Scope index(plan);
    // Pieces end at line ends, so no pair of surrogates is split between two.
    return Document(plan).pieces<QByteArray>(index, [](const QString &piece) { return Text::utf8(piece); });
}

} // namespace Exporter
