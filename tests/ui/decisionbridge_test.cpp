#include <gtest/gtest.h>

#include "support/qtprinters.h"
#include "views/decisionbridge.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>

using namespace Qt::StringLiterals;

namespace {

QString choice(const QString &id, const QString &option)
{
    return DecisionBridge::choiceLine(id, option);
}

QString text(const QString &id, const QString &answer)
{
    return DecisionBridge::textLine(id, answer);
}

QJsonValue body(const char *json)
{
    return QJsonDocument::fromJson(QByteArray("[") + json + "]").array().at(0);
}

TEST(DecisionBridgeTest, ApplyKeepsOneLinePerDecisionAtTheEnd)
{
    const QString a = choice(u"D1"_s, u"A"_s);
    const QString b = choice(u"D1"_s, u"B"_s);
    const QString c = choice(u"D2"_s, u"C"_s);
    const QString d10 = choice(u"D10"_s, u"X"_s);
    struct Case {
        QString request;
        QString id;
        std::optional<QString> line;
        QString expected;
    };
    const QList<Case> cases = {
        {u""_s, u"D1"_s, a, a},
        {u"내 메모"_s, u"D1"_s, a, u"내 메모\n"_s + a},
        {a + u"\n내 메모"_s, u"D1"_s, b, u"내 메모\n"_s + b},
        {u"내 메모\n"_s + a, u"D1"_s, std::nullopt, u"내 메모"_s},
        {u"내 메모\n\n\n"_s, u"D2"_s, c, u"내 메모\n"_s + c},
        {u"메모 1\n\n메모 2"_s, u"D2"_s, c, u"메모 1\n\n메모 2\n"_s + c},
        {u"메모\n   \n"_s, u"D2"_s, std::nullopt, u"메모\n   "_s},
        {d10, u"D1"_s, a, d10 + u"\n"_s + a},
        {u"  "_s + a, u"D1"_s, b, u"  "_s + a + u"\n"_s + b},
        {u""_s, u"D1"_s, std::nullopt, u""_s},
        {a + u"\n"_s + a + u"\n"_s, u"D1"_s, std::nullopt, u""_s},
        // A folded free text is one line, so a later pick leaves nothing behind.
        {u"메모\n"_s + text(u"D3"_s, u"첫 줄\n둘째 줄"_s), u"D3"_s, choice(u"D3"_s, u"Z"_s),
         u"메모\n"_s + choice(u"D3"_s, u"Z"_s)},
        // An id with the marker's own spaces matches only its own lines.
        {choice(u"D 1"_s, u"A"_s) + u"\n"_s + a, u"D"_s, std::nullopt, choice(u"D 1"_s, u"A"_s) + u"\n"_s + a},
    };
    for (const Case &each : cases) {
        EXPECT_EQ(DecisionBridge::apply(each.request, each.id, each.line), each.expected)
            << (each.request + u" / "_s + each.id + u" / "_s + each.line.value_or(u"(none)"_s)).toStdString();
    }
}

// Parsing gives "id | line", "id | (withdrawn)" or "(ignored)"; every line
// break of a choice or a text becomes one space.
TEST(DecisionBridgeTest, ParseTakesChoiceBeforeTextFoldsLineBreaksAndWithdrawsOtherwise)
{
    struct Case {
        const char *json;
        QString expected;
    };
    const QList<Case> cases = {
        {R"({"id":"D1","choice":"A"})", u"D1 | - D1 는 “A” 로 결정"_s},
        {R"({"id":"D1","choice":"A","text":"T"})", u"D1 | - D1 는 “A” 로 결정"_s},
        {R"({"id":"D1","choice":" 공백 그대로 "})", u"D1 | - D1 는 “ 공백 그대로 ” 로 결정"_s},
        {R"({"id":"D1","choice":"첫\r\n둘"})", u"D1 | - D1 는 “첫 둘” 로 결정"_s},
        {R"({"id":"D1","choice":7,"text":"T"})", u"D1 | - D1 는 다음처럼 결정: T"_s},
        {R"({"id":"D3","text":"직접 쓴 답"})", u"D3 | - D3 는 다음처럼 결정: 직접 쓴 답"_s},
        {R"({"id":"D3","text":"첫 줄\n둘째 줄"})", u"D3 | - D3 는 다음처럼 결정: 첫 줄 둘째 줄"_s},
        {R"({"id":"D3","text":"a\r\nb\rc\u2028d\u2029e\n\nf"})", u"D3 | - D3 는 다음처럼 결정: a b c d e  f"_s},
        {R"({"id":"ZZ\n- D1","choice":"A"})", u"ZZ - D1 | - ZZ - D1 는 “A” 로 결정"_s},
        {R"({"id":"Z\r\nD\u2028","text":"T"})", u"Z D  | - Z D  는 다음처럼 결정: T"_s},
        {R"({"id":"D1","clear":true})", u"D1 | (withdrawn)"_s},
        {R"({"id":"D1","choice":3})", u"D1 | (withdrawn)"_s},
        {R"({"id":"D1","choice":null,"text":false})", u"D1 | (withdrawn)"_s},
        {R"({"id":4,"choice":"A"})", u"(ignored)"_s},
        {R"({"choice":"A"})", u"(ignored)"_s},
        {R"("reset")", u"(ignored)"_s},
        {R"(["D1","A"])", u"(ignored)"_s},
        {R"(null)", u"(ignored)"_s},
    };
    for (const Case &each : cases) {
        const std::optional<DecisionBridge::Decision> parsed = DecisionBridge::parse(body(each.json));
        EXPECT_EQ(parsed ? parsed->id + u" | "_s + parsed->line.value_or(u"(withdrawn)"_s) : u"(ignored)"_s, each.expected)
            << each.json;
    }
}

TEST(DecisionBridgeTest, AnIdCannotStartALineOfItsOwn)
{
    const QString one = choice(u"D1"_s, u"예"_s);
    const std::optional<DecisionBridge::Decision> forged = DecisionBridge::parse(body(R"({"id":"ZZ\n- D1","choice":"아니오"})"));
    ASSERT_TRUE(forged);
    const QString request = DecisionBridge::apply(one, forged->id, forged->line);
    EXPECT_EQ(request.split(u'\n'), (QStringList{one, u"- ZZ - D1 는 “아니오” 로 결정"_s}));
    // D1's own line is still the only one that reads as D1's.
    EXPECT_EQ(DecisionBridge::apply(request, u"D1"_s, std::nullopt), u"- ZZ - D1 는 “아니오” 로 결정"_s);
}

// The plain reading of the rule, one decision at a time.
QString oneByOne(const QString &request, const QList<DecisionBridge::Decision> &decisions)
{
    QString text = request;
    for (const DecisionBridge::Decision &decision : decisions) {
        const QString start = u"- "_s + decision.id + u" 는 "_s;
        QStringList lines;
        for (const QString &line : text.split(u'\n'))
            if (!line.startsWith(start))
                lines.append(line);
        while (!lines.isEmpty() && lines.last().isEmpty())
            lines.removeLast();
        if (decision.line)
            lines.append(*decision.line);
        text = lines.join(u'\n');
    }
    return text;
}

TEST(DecisionBridgeTest, ABurstGivesWhatOneDecisionAtATimeGives)
{
    // Ids whose lines begin with another id's prefix, an empty id, and
    // requests with empty lines where withdrawals bare them.
    const QStringList ids{u"D1"_s, u"D10"_s, u"D1 는 x"_s, u""_s, u"D2"_s};
    const QStringList requests{u""_s, u"메모\n\n"_s + choice(u"D1"_s, u"A"_s) + u"\n\n"_s,
                               u"\n\n"_s + choice(u"D1 는 x"_s, u"B"_s) + u"\n  \n"_s + text(u""_s, u"빈 id"_s)};
    quint32 seed = 7;
    const auto next = [&] { return (seed = seed * 1103515245u + 12345u) >> 16; };
    for (const QString &request : requests) {
        for (int round = 0; round < 50; ++round) {
            QList<DecisionBridge::Decision> burst;
            for (int n = int(next() % 12); n > 0; --n) {
                const QString id = ids.at(int(next() % ids.size()));
                const quint32 kind = next() % 3;
                burst.append({id, kind == 0 ? std::nullopt
                                            : std::optional(kind == 1 ? choice(id, u"선택 "_s + QString::number(n))
                                                                      : text(id, u"는 는 답 "_s + QString::number(n)))});
            }
            EXPECT_EQ(DecisionBridge::apply(request, burst), oneByOne(request, burst)) << round;
        }
    }
}

TEST(DecisionBridgeTest, HandlerRunsLaterOnTheMainThreadOncePerFolderAndTurn)
{
    DecisionBridge *bridge = DecisionBridge::shared();
    bridge->setHandler({});
    bridge->receive(u"/plans/a"_s, body(R"({"id":"D1","choice":"A"})"));
    QCoreApplication::processEvents();

    QStringList calls;
    int batches = 0;
    bridge->setHandler([&](const QString &dir, const QList<DecisionBridge::Decision> &decisions) {
        EXPECT_EQ(QThread::currentThread(), qApp->thread());
        ++batches;
        for (const DecisionBridge::Decision &decision : decisions)
            calls.append(dir + u"|"_s + decision.id + u"|"_s + decision.line.value_or(u"-"_s));
    });
    bridge->receive(u"/plans/a"_s, body(R"({"id":"D1","choice":"A"})"));
    bridge->receive(u"/plans/b"_s, body(R"({"id":"D2","clear":true})"));
    bridge->receive(u"/plans/b"_s, body(R"({"id":2})"));
    bridge->receive(u"/plans/a"_s, body(R"({"id":"D3","text":"T"})"));
    EXPECT_TRUE(calls.isEmpty()) << "the handler ran inside the delivery";
    QCoreApplication::processEvents();
    EXPECT_EQ(calls, (QStringList{u"/plans/a|D1|"_s + choice(u"D1"_s, u"A"_s), u"/plans/a|D3|"_s + text(u"D3"_s, u"T"_s),
                                  u"/plans/b|D2|-"_s}));
    EXPECT_EQ(batches, 2);

    // The next turn's bodies are the next delivery.
    bridge->receive(u"/plans/a"_s, body(R"({"id":"D1","clear":true})"));
    QCoreApplication::processEvents();
    EXPECT_EQ(batches, 3);
    bridge->setHandler({});
}

} // namespace

TEST(DecisionBridgeTest, PicksReadsARequestOfPickedOptionsOnly)
{
    const struct {
        QString request;
        QStringList picks;
    } table[] = {
        {choice(u"D1"_s, u"숨긴다"_s), {u"D1 → 숨긴다"_s}},
        {choice(u"D1"_s, u"“A” 로 결정해"_s) + u" "_s + choice(u"D 2"_s, u"B"_s), {u"D1 → “A” 로 결정해"_s, u"D 2 → B"_s}},
        {choice(u"D1"_s, u"숨긴다"_s) + u"\n제목도 바꿔 줘"_s, {}},
        {choice(u"D1"_s, u"숨긴다"_s) + u"\n"_s + text(u"D2"_s, u"나중에"_s), {}},
        {u"제목을 고쳐 줘"_s, {}},
        {QString(), {}},
    };
    for (const auto &each : table)
        EXPECT_EQ(DecisionBridge::picks(each.request), each.picks) << each.request.toStdString();
}
