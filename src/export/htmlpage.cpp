#include "export/htmlpage.h"
#include "export/planindex.h"

#include <QStringList>
#include <algorithm>
#include <cstring>
#include <functional>
#include <utility>

#include "core/jsoncoding.h"
#include "core/parallel.h"
#include "core/text.h"
#include "export/exporter.h"
#include "export/htmlescape.h"
#include "export/pageassets.h"
#include "model/planjson.h"

namespace HTMLPage {

namespace {

const char fontOrigin[] = "https://fonts.googleapis.com";
const char fontSheet[] = "https://fonts.googleapis.com/css2?family=IBM+Plex+Sans+KR:wght@400;500;700"
                         "&family=JetBrains+Mono:wght@400;600&display=swap";
const char mermaidLibrary[] = "https://cdn.jsdelivr.net/npm/mermaid@10.9.1/dist/mermaid.min.js";
// The SHA-384 of that release's dist/mermaid.min.js as published on npm. The
// page runs beside the plan folder's files, so the browser must refuse any
// other script served at that address.
const char mermaidIntegrity[] = "sha384-WmdflGW9aGfoBdHc4rRyWzYuAjEmDwMdGdiPNacbwfGKxBW/SO6guzuQ76qjnSlr";

QString heading(const Meta &meta)
{
    QString text = meta.title.isEmpty() ? meta.feature : meta.title;
    if (!Text::hasSuffix(text, QStringLiteral("계획서")))
        text += QStringLiteral(" 개발 계획서");
    return text;
}

// The pill of a count that still needs work turns orange; at zero its class
// attribute keeps the trailing space.
QString warnClass(qsizetype count)
{
    return count > 0 ? QStringLiteral("pill warnpill") : QStringLiteral("pill ");
}

QString pill(const QString &label, const QString &value, const QString &cls = QStringLiteral("pill"))
{
    return QStringLiteral("<span class=\"") + cls + QStringLiteral("\">") + label + QStringLiteral(" <strong>") + value
           + QStringLiteral("</strong></span>");
}

// A link from plan data may only lead to the web: a "javascript:" or
// "file:" address in an imported plan must not become clickable.
bool isWebAddress(const QString &url)
{
    return url.startsWith(QLatin1String("http://"), Qt::CaseInsensitive)
           || url.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
}

QString byLine(const Meta &meta)
{
    QString out = QStringLiteral("<p class=\"by\">");
    // Only the link depends on the address being a web one; the node id is
    // plain text and stays whatever the address.
    if (!meta.figma.url.isEmpty()) {
        if (isWebAddress(meta.figma.url))
            out += QStringLiteral("<a href=\"") + escape(meta.figma.url) + QStringLiteral("\">피그마 원본</a> · ");
        out += QStringLiteral("노드 ") + code(meta.figma.nodeId) + QStringLiteral(" · ");
    }
    out += escape(meta.createdBy) + QStringLiteral(" · ") + escape(meta.createdAt) + QStringLiteral(" · ")
           + (meta.stage == u"after-dev" ? QStringLiteral("개발 후") : QStringLiteral("개발 전"));
    return out + QStringLiteral("</p>");
}

QString header(const Plan &plan, qsizetype openCount)
{
    const Meta &meta = plan.meta;
    QString out = QStringLiteral("<header class=\"top\"><h1>") + escape(heading(meta)) + QStringLiteral("</h1>");
    if (!meta.summary.isEmpty())
        out += QStringLiteral("<p class=\"lead\">") + escape(meta.summary) + QStringLiteral("</p>");
    out += QStringLiteral("<div class=\"meta\">");
    out += pill(QStringLiteral("접두어"), escape(meta.feature));
    out += pill(QStringLiteral("화면"), QString::number(plan.screens.size()) + QStringLiteral("개"));
    out += pill(QStringLiteral("미결정"), QString::number(openCount) + QStringLiteral("건"), warnClass(openCount));
    if (!plan.strings.isEmpty()) {
        const qsizetype keyless = std::count_if(plan.strings.cbegin(), plan.strings.cend(),
                                                [](const StringKey &s) { return s.key.isEmpty(); });
        out += pill(QStringLiteral("워드민트 키 필요"), QString::number(keyless) + QStringLiteral("건"),
                    warnClass(keyless));
    }
    out += pill(QStringLiteral("모듈"), escape(meta.module.android) + QStringLiteral(" / ") + escape(meta.module.ios));
    if (!meta.entry.deeplink.isEmpty())
        out += pill(QStringLiteral("진입"), escape(meta.entry.deeplink));
    if (!meta.entry.cardType.isEmpty())
        out += pill(QStringLiteral("카드"), escape(meta.entry.cardType));
    return out + QStringLiteral("</div>") + byLine(meta) + QStringLiteral("</header>");
}

const QString platformTabs = QStringLiteral(
    "<nav class=\"ptabs\" aria-label=\"플랫폼\"><button data-p=\"c\" aria-pressed=\"true\">공통</button>"
    "<button data-p=\"a\">Android</button><button data-p=\"i\">iOS</button>"
    "<span class=\"hint\">화면별 상세의 이름·파일이 고른 플랫폼으로 바뀌어요</span></nav>");

QString screenName(const QString &entry, const Plan &plan)
{
    if (entry.startsWith(u'@'))
        return entry.mid(1);
    const PlanIndex *index = PlanIndex::active(plan);
    return index ? index->screenTitle(entry) : plan.screenTitle(entry);
}

QString proposalTag(const QString &option, const Decision &decision)
{
    return Text::canonicalEqual(option, decision.proposal) ? QStringLiteral(" <span class=\"inf\">제안</span>")
                                                           : QString();
}

QString picker(const Decision &decision)
{
    QString out = QStringLiteral("<div class=\"dpick\" data-id=\"") + escape(decision.key) + QStringLiteral("\">");
    for (const QString &option : decision.options) {
        const QString text = escape(option);
        out += QStringLiteral("<button type=\"button\" class=\"opt\" data-o=\"") + text + QStringLiteral("\">") + text
               + proposalTag(option, decision) + QStringLiteral("</button>");
    }
    return out
           + QStringLiteral(
               "<button type=\"button\" class=\"etc\">기타 — 직접 쓰기</button><div class=\"etcbox\" hidden>"
               "<textarea rows=\"3\" placeholder=\"어떻게 정할지 자세히 써 주세요\"></textarea><div>"
               "<button type=\"button\" class=\"go\">이걸로 결정</button> <button type=\"button\" class=\"no\">취소</button>"
               "</div></div></div>");
}

QString decidedLine(const Decision &decision)
{
    const QString result = decision.result.value_or(QString());
    QStringList by;
    for (const std::optional<QString> &part : {decision.decidedBy, decision.decidedAt}) {
        if (part && !part->isEmpty())
            by.append(*part);
    }
    return QStringLiteral("<p class=\"res\">✅ ") + (result.isEmpty() ? QStringLiteral("결정됨") : escape(result))
           + QStringLiteral(" <small>") + escape(by.join(QStringLiteral(" · "))) + QStringLiteral("</small></p>");
}

QString article(const Decision &decision, const Plan &plan)
{
    const bool decided = decision.status == u"decided";
    QString out = QStringLiteral("<article class=\"decision ") + (decided ? QStringLiteral("done") : QString())
                  + QStringLiteral("\"><div class=\"dh\"><span class=\"did\">") + escape(decision.key)
                  + QStringLiteral("</span><h3>") + escape(decision.question) + QStringLiteral("</h3></div>");
    if (!decision.context.isEmpty())
        out += QStringLiteral("<p class=\"ctx\">") + escape(decision.context) + QStringLiteral("</p>");
    if (!decision.screens.isEmpty()) {
        QStringList names;
        for (const QString &entry : decision.screens)
            names.append(escape(screenName(entry, plan)));
        out += QStringLiteral("<p class=\"ctx\">화면: ") + names.join(QStringLiteral(", ")) + QStringLiteral("</p>");
    }
    if (!decision.options.isEmpty()) {
        out += QStringLiteral("<ul class=\"opts\">");
        for (const QString &option : decision.options)
            out += QStringLiteral("<li>") + escape(option) + proposalTag(option, decision) + QStringLiteral("</li>");
        out += QStringLiteral("</ul>");
    }
    if (!decided)
        out += picker(decision);
    const bool proposalIsOption = std::any_of(decision.options.cbegin(), decision.options.cend(),
                                              [&](const QString &o) { return Text::canonicalEqual(o, decision.proposal); });
    if (!decision.proposal.isEmpty() && !proposalIsOption)
        out += QStringLiteral("<p>제안: ") + escape(decision.proposal) + QStringLiteral("</p>");
    if (decided)
        out += decidedLine(decision);
    return out + QStringLiteral("</article>");
}

QString decisions(const Plan &plan, qsizetype openCount)
{
    QString out = QStringLiteral("<section><div class=\"head\"><h2>결정 필요</h2>");
    out += openCount > 0 ? QStringLiteral("<p class=\"lead warn\">") + QString::number(openCount)
                               + QStringLiteral("건이 남아 있어요. 이 목록이 비기 전에는 개발을 시작하지 않아요.</p>")
                         : QStringLiteral("<p class=\"lead\">모두 결정됐어요.</p>");
    out += QStringLiteral("</div><div class=\"decisions\">");
    for (const Decision &decision : plan.decisions)
        out += article(decision, plan);
    return out + QStringLiteral("</div></section>");
}

// How the graph comes on screen. The library lays a graph out in one go on
// the page's thread, after a start-up of its own: on a phone-class CPU that
// held the page 2-4 s even for a handful of screens, and 7-11 s at 40-60
// screens, where the page's own layout, on a worker, held it under half a
// second. So the library draws only small graphs; the page's own layout
// draws the rest up to the line where drawing at load is still quick, and
// past that line only when asked.
enum class GraphDrawing { ByLibrary, OwnAtLoad, OnRequest };

constexpr qsizetype libraryScreens = 20;
constexpr qsizetype libraryMoves = 100;
constexpr qsizetype drawnScreens = 60;
constexpr qsizetype drawnMoves = 300;

GraphDrawing graphDrawing(const Plan &plan)
{
    const qsizetype screens = plan.screens.size(), moves = plan.transitions.size();
    if (screens <= libraryScreens && moves <= libraryMoves)
        return GraphDrawing::ByLibrary;
    return screens <= drawnScreens && moves <= drawnMoves ? GraphDrawing::OwnAtLoad : GraphDrawing::OnRequest;
}

// The page's own drawing starts from its button; drawn at load, the button
// is pressed by the page and its offer never shows. The button works once
// the page's scripts, at its end, are there: a large page shows it well
// before.
QString graphBox(const Plan &plan)
{
    const GraphDrawing drawing = graphDrawing(plan);
    if (drawing == GraphDrawing::ByLibrary)
        return QStringLiteral("<div class=\"graph\">");
    return (drawing == GraphDrawing::OwnAtLoad ? QStringLiteral("<div class=\"graph\" data-now><p class=\"gask\" hidden>화면 ")
                                               : QStringLiteral("<div class=\"graph\" data-ask><p class=\"gask\">화면 "))
           + QString::number(plan.screens.size()) + QStringLiteral("개·이동 ") + QString::number(plan.transitions.size())
           + QStringLiteral("개라 그래프는 누를 때 그려요. <button type=\"button\" id=\"graph-draw\" disabled>그래프 그리기"
                            "</button></p><p class=\"gpaper gundrawn\">그래프는 이 페이지를 브라우저로 열어 그릴 수 있어요. "
                            "화면 사이 이동은 화면별 상세에 있어요.</p>");
}

QString graph(const Plan &plan)
{
    return QStringLiteral(
               "<section><div class=\"head\"><h2>전체 이동 그래프</h2><p class=\"lead\">화면 사이 이동만 한눈에 보는 "
               "지도예요. 상자를 누르면 그 화면 상세로 가요.</p><ul class=\"legend\"><li><i class=\"ln\"></i>이동</li>"
               "<li><i class=\"ln dash\"></i>건너뛰는 뒤로 가기·닫기</li><li><i class=\"bx dash\"></i>조건부 화면</li>"
               "<li class=\"muted\">바로 앞으로 돌아가는 뒤로 가기, 조건·pop 은 화면별 상세에</li></ul>"
               "<div class=\"foldall\"><button type=\"button\" id=\"graph-fold\" aria-expanded=\"true\">그래프 접기"
               "</button></div></div>")
           + graphBox(plan)
           + QStringLiteral("<noscript><p class=\"gnote\">스크립트가 꺼져 있어 그래프를 그리지 않았어요. 화면 사이 이동은 "
                            "화면별 상세에 있어요.</p></noscript><pre class=\"mermaid\">\n")
           + escape(Exporter::mermaid(plan, true)) + QStringLiteral("\n</pre></div></section>");
}

// A plan with more screens than this lays out only the cards in sight (the
// rest keep a size guessed until they come near): a page of thousands of
// cards would otherwise be styled and laid out whole at load and at every
// platform switch. Smaller plans keep exact positions for in-page jumps.
constexpr qsizetype cardsAlwaysLaidOut = 100;

bool manyCards(const Plan &plan)
{
    return plan.screens.size() > cardsAlwaysLaidOut;
}

// Chromium parses megabytes of cards in one go of half a second or more; a
// script of its own address makes the parser stop and wait for it, so the
// page answers between two runs of cards. Firefox styles every card, in or
// out of sight, and while a page loads it lets the parser run for a tenth of
// a second before each frame, whose styling of the hundreds of cards parsed
// meanwhile held the tab for a quarter of a second or more: asking for a
// style (never a size, which would lay the whole page out each time) styles
// each run of cards in the parser's own short task.
constexpr char parserPause[] = "<script src=\"data:text/javascript,getComputedStyle(document.body).color\"></script>";

QString screensOpening(const Plan &plan)
{
    return QStringLiteral(
               "<section><div class=\"head\"><h2>화면별 상세</h2><p class=\"lead\">Android·iOS 탭을 고르면 클래스 "
               "이름, 파일 위치, 행동·이동 이름이 그 플랫폼 것으로 바뀌어요. 그림의 말풍선은 문구예요. 초록 "
               "“워드민트”은 그 키로 적용하고, 주황 “키 필요”는 원문을 하드코딩한 뒤 옆에 ")
           + code(QStringLiteral("// TODO: 추후에 wordmint 적용"))
           + QStringLiteral(
               " 주석을 달아요(두 플랫폼 같은 주석). 카드 제목을 누르면 접혀요.</p><div class=\"foldall\">"
               "<button type=\"button\" data-fold=\"close\">모두 접기</button><button type=\"button\" "
               "data-fold=\"open\">모두 펼치기</button></div></div><div class=\"screens")
           + (manyCards(plan) ? QStringLiteral(" many") : QString()) + QStringLiteral("\">");
}

struct DataTab {
    QString id;
    QString title;
    qsizetype count;
    QString lead;
    QString body;
};

QString modelCards(const QList<const DataModel *> &models, const QSet<QString> &apiModels, const Plan &plan,
                   const ModelLinks &links)
{
    QString out = QStringLiteral("<div class=\"models\">");
    for (const DataModel *model : models)
        out += modelCard(*model, apiModels, plan, links);
    return out + QStringLiteral("</div>");
}

QList<DataTab> dataTabs(const Plan &plan, const ModelLinks &links)
{
    const QSet<QString> apiModels = Exporter::apiModelNames(plan);
    QSet<QString> apiKeys;
    for (const QString &name : apiModels)
        apiKeys.insert(Text::canonicalKey(name));
    QList<const DataModel *> common;
    QList<const DataModel *> responses;
    for (const DataModel &model : plan.models)
        (apiKeys.contains(Text::canonicalKey(model.name)) ? responses : common).append(&model);

    QList<DataTab> tabs;
    tabs.append({QStringLiteral("common"), QStringLiteral("공통 모델"), common.size(),
                 QStringLiteral("앱이 만들어 화면 사이에 넘기는 모델이에요. 필드 옆은 그 값이 채워지는 화면이에요."),
                 common.isEmpty() ? QStringLiteral("<p class=\"lead\">없음</p>")
                                  : modelCards(common, apiModels, plan, links)});
    if (!plan.apis.isEmpty()) {
        QString lead = QStringLiteral("화면이 부르는 API 예요. 요청은 Path·Query·Header·Body(payload)로 나눠 적었어요.");
        const qsizetype needed = std::count_if(plan.apis.cbegin(), plan.apis.cend(),
                                               [](const Api &api) { return api.status == u"needed"; });
        if (needed > 0)
            lead += QStringLiteral(" “필요” ") + QString::number(needed) + QStringLiteral("개는 서버에 새로 요청할 API 예요.");
        QString body = QStringLiteral("<div class=\"models apis\">");
        for (const Api &api : plan.apis)
            body += apiCard(api, plan, links);
        tabs.append({QStringLiteral("api"), QStringLiteral("API"), plan.apis.size(), lead, body + QStringLiteral("</div>")});
    }
    if (!responses.isEmpty()) {
        tabs.append({QStringLiteral("resp"), QStringLiteral("응답 모델"), responses.size(),
                     QStringLiteral("API 응답을 앱에서 담는 모델이에요. 필드 이름은 API 응답 필드에 맞췄어요."),
                     modelCards(responses, apiModels, plan, links)});
    }
    return tabs;
}

QString modelsAndApis(const Plan &plan, const ModelLinks &links)
{
    const QList<DataTab> tabs = dataTabs(plan, links);
    QString out = QStringLiteral(
        "<section><div class=\"head\"><h2>모델 · API</h2><p class=\"lead\">점선 밑줄 친 이름에 마우스를 올리면 그 "
        "모델·API 가 보이고, 누르면 그 탭으로 가요.</p></div><nav class=\"dtabs\" aria-label=\"모델·API\">");
    for (const DataTab &tab : tabs) {
        out += QStringLiteral("<button data-d=\"") + tab.id + QStringLiteral("\" aria-pressed=\"")
               + (&tab == &tabs.first() ? QStringLiteral("true") : QStringLiteral("false")) + QStringLiteral("\">")
               + tab.title + QStringLiteral(" <span class=\"n\">") + QString::number(tab.count)
               + QStringLiteral("</span></button>");
    }
    out += QStringLiteral("</nav>");
    for (const DataTab &tab : tabs) {
        out += QStringLiteral("<div class=\"dpanel\" data-d=\"") + tab.id + QStringLiteral("\"")
               + (&tab == &tabs.first() ? QString() : QStringLiteral(" hidden")) + QStringLiteral("><p class=\"lead\">")
               + tab.lead + QStringLiteral("</p>") + tab.body + QStringLiteral("</div>");
    }
    return out + QStringLiteral("</section>");
}

// The page's body as UTF-8, made in pieces in page order (the sections,
// the screen cards a few at a time) on every core that is free, and kept as
// those pieces: the text of a large plan is never held whole as UTF-16, nor
// copied whole.
QList<QByteArray> bodyPieces(const Plan &plan, const Conventions &conventions, const PlanIndex::Scope &index)
{
    constexpr qsizetype cardsPerPiece = 32;
    const qsizetype openCount = plan.openDecisions().size();
    const ModelLinks links(plan);
    QList<std::function<QString()>> pieces{
        [&]() -> QString { return header(plan, openCount) + platformTabs + decisions(plan, openCount); },
        [&] { return graph(plan); },
        [&] { return screensOpening(plan); },
    };
    for (qsizetype from = 0; from < plan.screens.size(); from += cardsPerPiece) {
        pieces.append([&, from] {
            // The first run too: the page's first frame then holds its top
            // alone, not the top and a run of cards laid out together.
            QString cards = manyCards(plan) ? QString::fromLatin1(parserPause) : QString();
            for (qsizetype at = from; at < std::min(plan.screens.size(), from + cardsPerPiece); ++at)
                cards += screenCard(plan.screens[at], plan, links, conventions);
            return cards;
        });
    }
    pieces.append([] { return QStringLiteral("</div></section>"); });
    pieces.append([&] { return modelsAndApis(plan, links); });
    return Parallel::map<QByteArray>(pieces.size(), [&](qsizetype at) {
        const PlanIndex::Scope shared(plan, index);
        return Text::utf8(pieces[at]());
    });
}

// Every "<" from `from` on becomes "\u003c", so that no "</script>" can end
// an embedded JSON block early. JSON holds "<" only inside strings, where
// the escape reads back as the same character.
void escapeLessThan(QByteArray &page, qsizetype from)
{
    if (page.indexOf('<', from) < 0)
        return;
    QByteArray tail = page.mid(from);
    page.truncate(from);
    page += tail.replace("<", "\\u003c");
}


bool allValidUtf8(const Assets &assets)
{
    for (auto it = assets.cbegin(); it != assets.cend(); ++it) {
        if (!QByteArrayView(it.value()).isValidUtf8())
            return false;
    }
    return true;
}

void appendImageBlock(QByteArray &page, const Assets &assets)
{
    if (assets.isEmpty())
        return;
    page += imageBlockOpening();
    if (allValidUtf8(assets)) {
        QStringList paths = assets.keys();
        Text::sortByCodePoint(paths);
        for (qsizetype i = 0; i < paths.size(); ++i) {
            if (i > 0)
                page += ',';
            page += imageEntry(paths.at(i), assets.value(paths.at(i)));
        }
    }
    page += imageBlockClosing();
}

qsizetype imageBytes(const Assets &assets)
{
    qsizetype total = 0;
    for (auto it = assets.cbegin(); it != assets.cend(); ++it)
        total += it.key().size() * 3 + it.value().size();
    return total;
}

} // namespace

QByteArray imageBlockOpening()
{
    return QByteArrayLiteral("<script type=\"application/json\" id=\"quarrystone-img\">{");
}

QByteArray imageBlockClosing()
{
    return QByteArrayLiteral("}</script>");
}

namespace {

// `"path":"` + the value's pieces + `"`, every "<" escaped.
// `"path":"`: the key as the one-entry object {"path":""} spells it, up
// to the value's opening quote, with room for a value of `size` bytes.
QByteArray entryHead(const QString &path, qsizetype size)
{
    QByteArray key;
    JSONCoding::appendCompactEscapingSlashes(key, {{path, QByteArray()}});
    escapeLessThan(key, 0);
    QByteArray entry;
    entry.reserve(key.size() + size + size / 48 + 16);
    entry += QByteArrayView(key).sliced(1, key.size() - 3);
    return entry;
}

constexpr char base64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The escaped base64 text of every 12 bits, two characters with a
// backslash before each "/": up to four bytes, and how many of them count.
struct EscapedPairs {
    quint32 text[4096];
    quint8 length[4096];

    EscapedPairs()
    {
        for (int bits = 0; bits < 4096; ++bits) {
            char pair[4] = {};
            int at = 0;
            for (const char c : {base64Alphabet[bits >> 6], base64Alphabet[bits & 63]}) {
                if (c == '/')
                    pair[at++] = '\\';
                pair[at++] = c;
            }
            std::memcpy(&text[bits], pair, 4);
            length[bits] = quint8(at);
        }
    }
};

// Base64 text holds no byte that a literal escapes but "/" (and no "<"):
// the picture is encoded straight into the entry, in one pass, twelve bits
// at a time from a table of their escaped text: each piece is written
// whole, four bytes, and only its own length counts.
void appendEscapedBase64(QByteArray &out, QByteArrayView bytes)
{
    static const EscapedPairs pairs;
    const auto *in = reinterpret_cast<const uchar *>(bytes.data());
    const qsizetype groups = (bytes.size() + 2) / 3;
    qsizetype at = out.size();
    // Room for the text and twice the one "/" in 64 characters it has on
    // average, made exactly: the entry is held until it is written.
    out.reserve(at + groups * 4 + groups / 8 + 16);
    out.resize(out.capacity());
    char *text = out.data();
    const auto put = [&](uint bits) {
        std::memcpy(text + at, &pairs.text[bits], 4);
        at += pairs.length[bits];
    };
    const auto room = [&] {
        if (out.size() - at < 8) {
            out.resize(out.size() + out.size() / 16 + 64);
            text = out.data();
        }
    };
    const qsizetype whole = bytes.size() / 3;
    for (qsizetype group = 0; group < whole; ++group, in += 3) {
        room();
        const uint value = uint(in[0]) << 16 | uint(in[1]) << 8 | uint(in[2]);
        put(value >> 12);
        put(value & 4095);
    }
    const qsizetype left = bytes.size() - whole * 3;
    if (left > 0) {
        room();
        const uint value = uint(in[0]) << 16 | (left == 2 ? uint(in[1]) << 8 : 0);
        put(value >> 12);
        if (left == 2) {
            // The third character, then the padding.
            const char c = base64Alphabet[value >> 6 & 63];
            text[at] = '\\';
            at += c == '/';
            text[at++] = c;
        } else {
            text[at++] = '=';
        }
        text[at++] = '=';
    }
    out.truncate(at);
}

} // namespace

QByteArray imageEntry(const QString &path, const QByteArray &dataUrl)
{
    QByteArray entry = entryHead(path, dataUrl.size());
    const qsizetype value = entry.size();
    JSONCoding::appendEscapingSlashes(entry, dataUrl);
    entry += '"';
    escapeLessThan(entry, value);
    return entry;
}

QByteArray imageEntry(const QString &path, const QByteArray &mime, const QByteArray &image)
{
    QByteArray entry = imageEntryHead(path, mime);
    appendEscapedBase64(entry, image);
    entry += '"';
    return entry;
}

QByteArray imageEntryHead(const QString &path, const QByteArray &mime)
{
    // Room for the data URL's head; the encoder makes the picture's own.
    QByteArray entry = entryHead(path, 64);
    const qsizetype value = entry.size();
    JSONCoding::appendEscapingSlashes(entry, QByteArray("data:" + mime + ";base64,"));
    escapeLessThan(entry, value);
    return entry;
}

void appendImageText(QByteArray &entry, QByteArrayView piece)
{
    appendEscapedBase64(entry, piece);
}

QByteArray planBlock(const Plan &plan)
{
    try {
        return planBlockOf(PlanJson::pretty(plan));
    } catch (const JSONCoding::EncodeError &) {
        return planBlockOf({});
    }
}

QByteArray planBlockOf(const QByteArray &planJson)
{
    QByteArray json = planJson.isEmpty() ? QByteArrayLiteral("{}") : JSONCoding::compactedEscapingSlashes(planJson);
    escapeLessThan(json, 0);
    return json;
}

namespace {

// A viewer without scripts (a mail or file preview) shows the pictures from
// their noscript copies and every data tab's panel, and none of the buttons
// that only scripts can work; the graph box says why it has no drawing
// rather than show the graph's source.
constexpr char withoutScripts[] = "<noscript><style>img[data-src]{display:none}.dpanel[hidden]{display:block!important}"
                                  ".ptabs,.dtabs,.foldall,.fold,.gask,.graph .mermaid{display:none}</style></noscript>\n";

} // namespace

Parts parts(const Plan &plan, const Conventions &conventions, QFuture<QByteArray> planBlock)
{
    const PlanIndex::Scope index(plan);
    const QByteArray style = PageAssets::styleSheet();
    const QByteArray scripts = PageAssets::bodyScripts().join(manyCards(plan) ? QByteArray("</script>\n") + parserPause + "<script>"
                                                                              : QByteArray("</script>\n<script>"));
    const QByteArray imageScript = PageAssets::imageScript();
    const QByteArray mermaidStart = PageAssets::mermaidStart();

    Parts out;
    QByteArray head;
    head.reserve(style.size() + 1024);
    head += "<!doctype html>\n<html lang=\"ko\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"generator\" content=\"quarrystone\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>";
    head += escape(heading(plan.meta)).toUtf8();
    head += "</title>\n<link rel=\"preconnect\" href=\"";
    head += fontOrigin;
    // Print-only until it has come (a page script then lets the screen use
    // it): a font host that does not answer never holds the first paint.
    head += "\">\n<link rel=\"stylesheet\" id=\"web-fonts\" media=\"print\" href=\"";
    head += fontSheet;
    head += "\">\n<style>";
    head += style;
    head += "</style>\n";
    head += withoutScripts;
    head += "</head>\n<body>\n<div class=\"wrap\">\n";
    out.before.append(head);
    out.before.append(bodyPieces(plan, conventions, index));
    QByteArray foot;
    foot.reserve(scripts.size() + 1024);
    foot += "\n<footer>quarrystone 으로 만들었어요. 원본은 같은 폴더의 <code>plan.json</code> 이에요.</footer>\n"
            "</div>\n<div class=\"model pop\" id=\"pop\" hidden></div>\n";
    // The page's scripts each start a large plan's load off in a task of
    // their own, not in one with the last cards and the other scripts.
    if (manyCards(plan))
        foot += parserPause;
    foot += "<script>";
    foot += scripts;
    foot += "</script>\n<script type=\"application/json\" id=\"quarrystone-plan\">";
    out.before.append(foot);
    out.before.append(planBlock.result());
    out.before.append(QByteArrayLiteral("</script>\n"));

    QByteArray &tail = out.after;
    tail += "\n";
    if (manyCards(plan))
        tail += parserPause;
    tail += "<script>";
    tail += imageScript;
    // The start script comes first, so that it hears the library load or
    // fail; the library loads beside the page, never holding its parsing.
    tail += "</script>\n<script>\n";
    tail += mermaidStart;
    tail += "\n</script>\n";
    // A graph the page lays out itself needs no library: it would only cost
    // its start-up at load (half a second on a desktop, seconds on a phone).
    if (graphDrawing(plan) == GraphDrawing::ByLibrary) {
        tail += "<script src=\"";
        tail += mermaidLibrary;
        tail += "\" integrity=\"";
        tail += mermaidIntegrity;
        tail += "\" crossorigin=\"anonymous\" async id=\"mermaid-library\"></script>\n";
    }
    tail += "</body>\n</html>";
    return out;
}

QByteArray render(const Plan &plan, const Conventions &conventions, const Assets &assets)
{
    Parts split = parts(plan, conventions, QtFuture::makeReadyFuture(planBlock(plan)));
    qsizetype before = 0;
    for (const QByteArray &piece : std::as_const(split.before))
        before += piece.size();
    // Base64 text has about one "/" in 64 characters, each written as "\/".
    const qsizetype images = imageBytes(assets);
    QByteArray page;
    page.reserve(before + images + images / 48 + split.after.size() + 1024);
    for (QByteArray &piece : split.before)
        page += std::exchange(piece, {});
    appendImageBlock(page, assets);
    page += split.after;
    return page;
}

} // namespace HTMLPage
