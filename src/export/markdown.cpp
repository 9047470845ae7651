#include "export/exporter.h"

#include <QHash>
#include <QVarLengthArray>
#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>
#include <type_traits>
#include <utility>

#include "core/bytewords.h"
#include "core/parallel.h"
#include "core/text.h"
#include "export/planindex.h"

namespace Exporter {

namespace {

// Fixed text of the document in the two encodings it is written in: plan.md
// takes the UTF-8 bytes as they are, markdown() the UTF-16 units.
struct Fixed {
    std::string_view utf8;
    std::u16string_view utf16;
};

// The literal spelled once gives both (an unprefixed literal next to u""
// is read as UTF-16).
#define MD(text) (Fixed{text, u"" text})

// One piece of the document, written as it is made. plan.md's pieces are
// made straight into UTF-8: the fixed text is copied as bytes and the plan's
// own texts are encoded where they are appended, with no line, cell or
// joined text made in between. The bytes are the ones Qt's conversion of the
// whole piece would give, down to a lone surrogate ("?") and a pair split
// between two appended texts.
//
// Inside a table row (between row() and endRow()) the plan's texts and any
// line feed are escaped as a cell needs: "|" would end the cell and a line
// feed the row. Fixed text is written as it is, and none written in a cell
// holds either.
class Out {
public:
    explicit Out(bool utf8)
        : m_toUtf8(utf8)
    {
    }

    Out &operator<<(const Fixed &text)
    {
        if (m_toUtf8) {
            settleHigh();
            std::memcpy(room(qsizetype(text.utf8.size())), text.utf8.data(), text.utf8.size());
            m_used += qsizetype(text.utf8.size());
        } else {
            m_text.append(QStringView(text.utf16.data(), qsizetype(text.utf16.size())));
        }
        return *this;
    }

    // A plan text, escaped in a cell.
    Out &operator<<(QStringView text)
    {
        if (m_inCell)
            write<Escape::Cell>(text);
        else
            write<Escape::None>(text);
        return *this;
    }

    // One ASCII character; a line feed in a cell is a line break of it.
    Out &operator<<(char ascii)
    {
        if (m_inCell && (ascii == '\n' || ascii == '|'))
            return *this << (ascii == '\n' ? MD("<br>") : MD("\\|"));
        if (m_toUtf8) {
            settleHigh();
            *room(1) = ascii;
            ++m_used;
        } else {
            m_text.append(QLatin1Char(ascii));
        }
        return *this;
    }

    // The text on one line: its line feeds become spaces.
    Out &oneLine(QStringView text)
    {
        write<Escape::LineFeed>(text);
        return *this;
    }

    // The text as a table cell, in or out of a row.
    Out &cell(QStringView text)
    {
        write<Escape::Cell>(text);
        return *this;
    }

    Out &row()
    {
        *this << MD("| ");
        m_inCell = true;
        return *this;
    }

    Out &nextCell()
    {
        m_inCell = false;
        *this << MD(" | ");
        m_inCell = true;
        return *this;
    }

    Out &endRow()
    {
        m_inCell = false;
        return *this << MD(" |\n");
    }

    QByteArray takeUtf8()
    {
        settleHigh();
        m_bytes.resize(m_used);
        m_bytes.squeeze();
        return std::move(m_bytes);
    }

    QString takeText() { return std::move(m_text); }

private:
    enum class Escape { None, LineFeed, Cell };

    // The four bytes of a code point above U+FFFF.
    static char *pair(char *dst, char16_t high, char16_t low)
    {
        const char32_t c = QChar::surrogateToUcs4(high, low);
        *dst++ = char(0xF0 | (c >> 18));
        *dst++ = char(0x80 | ((c >> 12) & 0x3F));
        *dst++ = char(0x80 | ((c >> 6) & 0x3F));
        *dst++ = char(0x80 | (c & 0x3F));
        return dst;
    }

    // Room for `most` more bytes; the buffer doubles, as appends do.
    char *room(qsizetype most)
    {
        if (m_used + most > m_bytes.size()) {
            m_bytes.resize(std::max({m_used + most, 2 * m_bytes.size(), qsizetype(4096)}));
            m_data = m_bytes.data();
        }
        return m_data + m_used;
    }

    // A high surrogate left at the end of the last text pairs only with a
    // low one at the start of this one; anything else leaves it alone, as
    // the conversion writes it.
    void settleHigh()
    {
        if (m_high) {
            m_high = 0;
            *room(1) = '?';
            ++m_used;
        }
    }

    template<Escape escape>
    void write(QStringView text)
    {
        if (m_toUtf8)
            encode<escape>(text);
        else
            append<escape>(text);
    }

    template<Escape escape>
    void append(QStringView text)
    {
        if constexpr (escape == Escape::None) {
            m_text.append(text);
        } else {
            qsizetype from = 0;
            for (qsizetype at = 0; at < text.size(); ++at) {
                const char16_t u = text[at].unicode();
                if (u != u'\n' && (escape != Escape::Cell || u != u'|'))
                    continue;
                m_text.append(text.mid(from, at - from));
                if (escape == Escape::LineFeed)
                    m_text.append(u' ');
                else
                    m_text.append(u == u'|' ? QStringView(u"\\|") : QStringView(u"<br>"));
                from = at + 1;
            }
            m_text.append(text.mid(from));
        }
    }

    template<Escape escape>
    void encode(QStringView text)
    {
        const char16_t *src = text.utf16();
        const char16_t *const end = src + text.size();
        if (src == end)
            return;
        // At most four bytes a unit ("<br>", or a pair with the waiting
        // high surrogate), and the waiting one's "?".
        char *const start = room(4 * text.size() + 1);
        char *dst = start;
        if (m_high) {
            if (QChar::isLowSurrogate(*src)) {
                dst = pair(dst, m_high, *src++);
            } else {
                *dst++ = '?';
            }
            m_high = 0;
        }
        while (src != end) {
            // Four units at a time while they are ASCII that needs no escape,
            // as most keys, names and paths are.
            while (end - src >= 4) {
                const quint64 word = UnitWords::load(src);
                if ((word & 0xFF80FF80FF80FF80ULL) != 0
                    || (escape != Escape::None
                        && (UnitWords::equalTo(word, u'\n')
                            || (escape == Escape::Cell && UnitWords::equalTo(word, u'|')))))
                    break;
                for (int i = 0; i < 4; ++i)
                    dst[i] = char(src[i]);
                src += 4;
                dst += 4;
            }
            if (src == end)
                break;
            const char16_t u = *src++;
            if (u < 0x80) {
                if (escape != Escape::None && u == u'\n') {
                    if (escape == Escape::LineFeed) {
                        *dst++ = ' ';
                    } else {
                        std::memcpy(dst, "<br>", 4);
                        dst += 4;
                    }
                } else if (escape == Escape::Cell && u == u'|') {
                    *dst++ = '\\';
                    *dst++ = '|';
                } else {
                    *dst++ = char(u);
                }
            } else if (u < 0x800) {
                *dst++ = char(0xC0 | (u >> 6));
                *dst++ = char(0x80 | (u & 0x3F));
            } else if (!QChar::isSurrogate(u)) {
                *dst++ = char(0xE0 | (u >> 12));
                *dst++ = char(0x80 | ((u >> 6) & 0x3F));
                *dst++ = char(0x80 | (u & 0x3F));
            } else if (QChar::isHighSurrogate(u)) {
                if (src == end) {
                    m_high = u;
                } else if (QChar::isLowSurrogate(*src)) {
                    dst = pair(dst, u, *src++);
                } else {
                    *dst++ = '?';
                }
            } else {
                *dst++ = '?';
            }
        }
        m_used += dst - start;
    }

    const bool m_toUtf8;
    bool m_inCell = false;
    char16_t m_high = 0;
    QByteArray m_bytes;
    char *m_data = nullptr;
    qsizetype m_used = 0;
    QString m_text;
};

// `texts` each in backquotes (an empty one as nothing), between separators.
void codes(Out &out, const QStringList &texts, const Fixed &separator)
{
    for (qsizetype at = 0; at < texts.size(); ++at) {
        if (at > 0)
            out << separator;
        if (!texts[at].isEmpty())
            out << '`' << texts[at] << '`';
    }
}

void code(Out &out, const QString &text)
{
    if (!text.isEmpty())
        out << '`' << text << '`';
}

void inferredMark(Out &out, const QString &source)
{
    if (source == QLatin1String("inferred"))
        out << MD(" (추론)");
}

// Builds plan.md over one plan: screens, moves and strings are looked up
// through the plan's index, and whether a model is an API model is settled
// once for each model.
class Document {
public:
    explicit Document(const Plan &plan);
    // The document in pieces, in order, made on every core that is free;
    // each piece is whole lines, each line ending in a line feed.
    template<typename Piece>
    QList<Piece> pieces(const PlanIndex::Scope &index) const;

private:
    void placeName(Out &out, const QString &reference) const;
    void move(Out &out, const Transition &transition) const;
    void actionLines(Out &out, const Screen &screen) const;

    void header(Out &out) const;
    void summary(Out &out) const;
    void flow(Out &out) const;
    void screenBlock(Out &out, const Screen &screen) const;
    void sharedModels(Out &out) const;
    void modelTable(Out &out, const DataModel &model) const;
    void apis(Out &out) const;
    void apiFields(Out &out, const Fixed &label, const QList<Api::ApiField> &fields, const QString &text) const;
    void strings(Out &out) const;
    void decisions(Out &out) const;
    void platformMap(Out &out) const;
    void namingRules(Out &out) const;

    const Plan &m_plan;
    const PlanIndex &m_index;
    // By the model's place in the plan.
    QList<bool> m_isApiModel;
};

Document::Document(const Plan &plan)
    : m_plan(plan)
    , m_index(*PlanIndex::active(plan))
{
    QSet<QString> apiModels;
    for (const QString &name : apiModelNames(plan))
        apiModels.insert(Text::canonicalKey(name));
    m_isApiModel.reserve(plan.models.size());
    for (const DataModel &model : plan.models)
        m_isApiModel.append(apiModels.contains(Text::canonicalKey(model.name)));
}

template<typename Piece>
QList<Piece> Document::pieces(const PlanIndex::Scope &index) const
{
    constexpr qsizetype screensPerPiece = 32;
    QList<std::function<void(Out &)>> pieces{
        [this](Out &out) {
            header(out);
            summary(out);
        },
        [this](Out &out) { flow(out); },
        [](Out &out) { out << MD("## 3. 화면별 상세\n"); },
    };
    const QList<Screen> &screens = m_plan.screens;
    for (qsizetype from = 0; from < screens.size(); from += screensPerPiece) {
        pieces.append([this, &screens, from](Out &out) {
            for (qsizetype at = from; at < std::min(screens.size(), from + screensPerPiece); ++at)
                screenBlock(out, screens[at]);
        });
    }
    pieces.append([this](Out &out) { sharedModels(out); });
    pieces.append([this](Out &out) { apis(out); });
    pieces.append([this](Out &out) { strings(out); });
    pieces.append([this](Out &out) { decisions(out); });
    pieces.append([this](Out &out) { platformMap(out); });
    pieces.append([this](Out &out) { namingRules(out); });
    return Parallel::map<Piece>(pieces.size(), [&](qsizetype at) {
        const PlanIndex::Scope shared(m_plan, index);
        if constexpr (std::is_same_v<Piece, QByteArray>) {
            Out out(true);
            pieces[at](out);
            return out.takeUtf8();
        } else {
            Out out(false);
            pieces[at](out);
            return out.takeText();
        }
    });
}

void Document::placeName(Out &out, const QString &reference) const
{
    if (reference.startsWith(u'@'))
        out << QStringView(reference).mid(1);
    else if (const Screen *screen = m_index.screen(reference))
        out << screen->title;
    else
        out << reference;
}

void Document::move(Out &out, const Transition &transition) const
{
    out << MD("→ ");
    placeName(out, transition.to);
    out << MD(" (") << transition.kind;
    if (transition.popUpTo)
        out << MD(", pop ") << *transition.popUpTo;
    if (!transition.passes.isEmpty()) {
        out << MD(", ");
        for (qsizetype at = 0; at < transition.passes.size(); ++at) {
            if (at > 0)
                out << '+';
            out << transition.passes[at];
        }
    }
    out << ')';
    if (transition.condition)
        out << MD(" [") << *transition.condition << ']';
    inferredMark(out, transition.source);
}

// A line for each action, with the moves its key triggers (or none), then
// one for each move that no action triggers. Keys are compared canonically
// in place, without a canonical copy of each.
void Document::actionLines(Out &out, const Screen &screen) const
{
    const QList<const Transition *> moves = m_index.movesFrom(screen.key);
    QVarLengthArray<bool, 16> triggered(moves.size(), false);
    bool first = true;
    const auto startLine = [&] {
        if (!first)
            out << '\n';
        first = false;
    };
    for (const UserAction &action : screen.actions) {
        startLine();
        out << actionLabel(action) << ' ';
        bool any = false;
        for (qsizetype at = 0; at < moves.size(); ++at) {
            if (!Text::canonicalEqual(moves[at]->trigger, action.key))
                continue;
            triggered[at] = true;
            if (any)
                out << MD(" / ");
            any = true;
            move(out, *moves[at]);
        }
        if (!any)
            out << MD("→ 제자리");
    }
    for (qsizetype at = 0; at < moves.size(); ++at) {
        if (triggered[at])
            continue;
        startLine();
        out << m_index.triggerLabel(*moves[at]) << ' ';
        move(out, *moves[at]);
    }
}

void Document::header(Out &out) const
{
    const Meta &meta = m_plan.meta;
    out << MD("# ");
    out.oneLine(meta.title);
    if (!Text::hasSuffix(meta.title, QStringLiteral("계획서")))
        out << MD(" 개발 계획서");
    out << MD(" (`");
    out.oneLine(meta.feature);
    out << MD("`)\n\n> 피그마 ") << meta.figma.url << MD(" · 노드 `") << meta.figma.nodeId << MD("` · 생성 ")
        << meta.createdAt << ' ' << meta.createdBy << MD(" · 미결정 **")
        << QString::number(m_plan.openDecisions().size())
        << MD("건**\n> ⚠️ 결정 필요 목록이 비기 전에는 개발을 시작하지 않는다. 원본은 `plan.json` 이고 이 파일은 거기서 만든 것이다.\n\n");
}

void Document::summary(Out &out) const
{
    const Meta &meta = m_plan.meta;
    out << MD("## 1. 요약\n");
    if (!meta.summary.isEmpty())
        out << meta.summary << MD("\n\n");
    out << MD("- 화면 ") << QString::number(m_plan.screens.size()) << MD("개 · 모듈 Android `") << meta.module.android
        << MD("` / iOS `") << meta.module.ios << MD("`\n");
    if (!meta.entry.cardType.isEmpty())
        out << MD("- 카드 타입 `") << meta.entry.cardType << MD("`\n");
    if (!meta.entry.deeplink.isEmpty())
        out << MD("- 딥링크 `") << meta.entry.deeplink << MD("`\n");
    out << '\n';
}

void Document::flow(Out &out) const
{
    out << MD("## 2. 흐름\n```mermaid\n") << mermaid(m_plan, false) << MD("\n```\n\n");
}

void Document::screenBlock(Out &out, const Screen &screen) const
{
    out << MD("\n### ");
    out.oneLine(screen.title);
    out << MD(" — `");
    out.oneLine(screen.name);
    out << MD("` (") << screen.key << MD(", ") << screen.kind;
    if (screen.figmaLabel)
        out << MD(", ") << *screen.figmaLabel;
    out << MD(")\n");
    if (screen.condition && !screen.condition->text.isEmpty()) {
        out << MD("조건: ") << screen.condition->text;
        inferredMark(out, screen.condition->source);
        out << '\n';
    }

    out << MD("\n| 항목 | 내용 |\n|---|---|\n");

    out.row() << MD("피그마 노드");
    out.nextCell();
    codes(out, screen.figmaNodes, MD(", "));
    out.endRow();

    out.row() << MD("입력 인자");
    out.nextCell();
    for (qsizetype at = 0; at < screen.args.size(); ++at) {
        const Arg &arg = screen.args[at];
        if (at > 0)
            out << MD(", ");
        out << arg.name;
        if (!arg.model.isEmpty())
            out << MD(": ") << arg.model;
    }
    out.endRow();

    const QList<DataModel> shared = sharedStates(screen, m_plan);
    if (!shared.isEmpty()) {
        out.row() << MD("흐름 공유");
        out.nextCell();
        for (qsizetype at = 0; at < shared.size(); ++at) {
            if (at > 0)
                out << MD(", ");
            out << '`' << shared[at].name << '`';
        }
        out.endRow();
    }

    out.row() << MD("서버 데이터");
    out.nextCell();
    if (screen.serverData.isEmpty())
        out << MD("없음");
    else
        codes(out, screen.serverData, MD(", "));
    out.endRow();

    out.row() << MD("사용자 행동");
    out.nextCell();
    actionLines(out, screen);
    out.endRow();

    out.row() << MD("검증·규칙");
    out.nextCell();
    for (qsizetype at = 0; at < screen.rules.size(); ++at) {
        if (at > 0)
            out << MD("<br>");
        out << screen.rules[at].text;
        inferredMark(out, screen.rules[at].source);
    }
    out.endRow();

    out.row() << MD("문구");
    out.nextCell();
    bool first = true;
    for (const StringKey *string : m_index.stringsOn(screen.key)) {
        if (string->ko.isEmpty())
            continue;
        if (!first)
            out << '\n';
        first = false;
        out << MD("“") << string->ko << MD("” ") << statusText(*string);
    }
    out.endRow();

    out.row() << MD("플랫폼 메모");
    out.nextCell();
    const PlatformText &notes = screen.platformNotes;
    if (!notes.android.isEmpty())
        out << MD("Android: ") << notes.android;
    if (!notes.ios.isEmpty()) {
        if (!notes.android.isEmpty())
            out << MD(" / ");
        out << MD("iOS: ") << notes.ios;
    }
    out.endRow();
}

void Document::sharedModels(Out &out) const
{
    out << MD("\n## 4. 공통 모델 (화면 사이에 넘기는 것)\n");
    bool any = false;
    for (qsizetype at = 0; at < m_plan.models.size(); ++at) {
        if (m_isApiModel[at])
            continue;
        any = true;
        modelTable(out, m_plan.models[at]);
    }
    if (!any)
        out << MD("\n없음 — 모든 모델이 API 응답 모델이다 (5장).\n");
}

void Document::modelTable(Out &out, const DataModel &model) const
{
    out << MD("\n### `");
    out.oneLine(model.name);
    out << '`';
    if (model.apiAligned)
        out << MD(" (API 필드와 맞춤)");
    if (!model.sharedIn.isEmpty())
        out << MD(" — 흐름 공유 상태");
    out << '\n';

    if (!model.sharedIn.isEmpty())
        out << MD("\n화면 사이에 넘기지 않고, 입구 화면이 채운 뒤 묶음 안 화면이 읽는다(Android: nav graph 범위 ViewModel · iOS: 흐름 코디네이터).\n");

    const QList<qsizetype> users = m_index.screensUsingAt(model.name);
    if (!users.isEmpty()) {
        out << MD("\n사용하는 화면: ");
        for (qsizetype at = 0; at < users.size(); ++at) {
            const Screen &screen = m_plan.screens[users[at]];
            if (at > 0)
                out << MD(" · ");
            out << screen.title << MD(" (`") << screen.key << MD("`)");
        }
        out << '\n';
    }

    out << MD("\n| 필드 | 타입 | 채워지는 화면 |\n|---|---|---|\n");
    for (const Field &field : model.fields) {
        out.row() << '`' << field.name << '`';
        out.nextCell() << field.type;
        out.nextCell();
        placeName(out, field.filledAt);
        inferredMark(out, field.source);
        out.endRow();
    }
}

void Document::apis(Out &out) const
{
    out << MD("\n## 5. API\n");
    for (const Api &api : m_plan.apis) {
        out << MD("\n### `") << api.key << MD("` ");
        if (!api.method.isEmpty())
            out << api.method << ' ';
        if (!api.path.isEmpty())
            out << '`' << api.path << '`';
        out << MD(" — ") << apiStatusText(api.status) << '\n';

        out.oneLine(api.purpose);
        out << MD(" · 사용하는 화면: ");
        for (qsizetype at = 0; at < api.usedBy.size(); ++at) {
            if (at > 0)
                out << MD(", ");
            placeName(out, api.usedBy[at]);
        }
        if (!api.responseModel.isEmpty())
            out << MD(" · 응답 → `") << api.responseModel << '`';
        out << '\n';

        apiFields(out, MD("요청"), api.requestFields, api.request);
        apiFields(out, MD("응답"), api.responseFields, api.response);
    }

    bool headed = false;
    for (qsizetype at = 0; at < m_plan.models.size(); ++at) {
        if (!m_isApiModel[at])
            continue;
        if (!headed)
            out << MD("\n### 응답 모델\n");
        headed = true;
        modelTable(out, m_plan.models[at]);
    }
}

void Document::apiFields(Out &out, const Fixed &label, const QList<Api::ApiField> &fields, const QString &text) const
{
    out << '\n';
    if (fields.isEmpty()) {
        out << MD("- ") << label << MD(": ");
        if (text.isEmpty())
            out << MD("없음");
        else
            out.cell(text);
        out << '\n';
        return;
    }
    out << MD("| ") << label << MD(" | 타입 | 필수 | 위치 | 설명 |\n|---|---|---|---|---|\n");
    for (const Api::ApiField &field : fields) {
        out.row() << '`' << field.name << '`';
        out.nextCell() << field.type;
        out.nextCell();
        if (field.required)
            out << MD("✓");
        out.nextCell() << field.location;
        out.nextCell() << field.desc;
        out.endRow();
    }
}

void Document::strings(Out &out) const
{
    out << MD("\n## 6. 문구·워드민트\n"
              "워드민트 키가 있으면 그 키로 적용한다. 없으면(키 필요) 원문을 하드코딩하고 옆에 `// TODO: 추후에 wordmint 적용` 주석을 단다(두 플랫폼 같은 주석).\n"
              "\n| 화면 | 한국어 | 워드민트 키 | 상태 |\n|---|---|---|---|\n");
    for (const StringKey &string : m_plan.strings) {
        out.row();
        placeName(out, string.screen);
        out.nextCell() << string.ko;
        out.nextCell();
        code(out, string.key);
        out.nextCell() << statusText(string);
        out.endRow();
    }
}

void Document::decisions(Out &out) const
{
    out << MD("\n## 7. 결정 필요\n| ID | 질문 | 제안 | 결과 | 결정자 | 일시 |\n|---|---|---|---|---|---|\n");
    for (const Decision &decision : m_plan.decisions) {
        out.row() << decision.key;
        out.nextCell() << decision.question << MD("<br><small>") << decision.context << MD("</small>");
        out.nextCell() << decision.proposal;
        out.nextCell();
        if (decision.status == QLatin1String("decided"))
            out << MD("✅ ") << decision.result.value_or(QString());
        else
            out << MD("미결정");
        out.nextCell() << decision.decidedBy.value_or(QString());
        out.nextCell() << decision.decidedAt.value_or(QString());
        out.endRow();
    }
}

void Document::platformMap(Out &out) const
{
    // The first entry in the map's order for each canonical key: filled
    // from the end, so that an earlier entry replaces a later one.
    const QMap<QString, PlatformFiles> &map = m_plan.naming.platformMap;
    QHash<QString, const PlatformFiles *> entries;
    entries.reserve(map.size());
    for (auto it = map.cend(); it != map.cbegin();) {
        --it;
        entries.insert(Text::canonicalKey(it.key()), &it.value());
    }

    out << MD("\n## 8. 플랫폼 대응표\n| 공통 | Android | iOS |\n|---|---|---|\n");
    QList<std::pair<const Screen *, const PlatformFiles *>> mapped;
    for (const Screen &screen : m_plan.screens) {
        const PlatformFiles *entry = entries.value(Text::canonicalKey(screen.key));
        if (!entry)
            continue;
        mapped.append({&screen, entry});
        out.row() << '`' << screen.name << '`';
        out.nextCell() << '`' << entry->android.dir << MD("`<br>");
        codes(out, entry->android.files, MD(" "));
        out.nextCell() << '`' << entry->ios.dir << MD("`<br>");
        codes(out, entry->ios.files, MD(" "));
        out.endRow();
    }

    out << MD("\n### 이동 이름\n");
    for (const auto &[screen, entry] : mapped) {
        if (entry->android.navigation.isEmpty())
            continue;
        out << MD("- **") << screen->name << MD("**\n");
        const qsizetype pairs = std::min(entry->android.navigation.size(), entry->ios.navigation.size());
        for (qsizetype i = 0; i < pairs; ++i) {
            out << MD("  - 이동 ");
            code(out, entry->android.navigation.at(i));
            out << MD(" / ");
            code(out, entry->ios.navigation.at(i));
            out << '\n';
        }
    }
}

void Document::namingRules(Out &out) const
{
    out << MD("\n## 9. 이름 규칙\n");
    for (const QString &rule : m_plan.naming.rules)
        out << MD("- ") << rule << '\n';
}

#undef MD

} // namespace

QString markdown(const Plan &plan)
{
    const PlanIndex::Scope index(plan);
    QString text;
    for (const QString &piece : Document(plan).pieces<QString>(index))
        text += piece;
    return text;
}

QList<QByteArray> markdownUtf8(const Plan &plan)
{
    const PlanIndex::Scope index(plan);
    return Document(plan).pieces<QByteArray>(index);
}

} // namespace Exporter
