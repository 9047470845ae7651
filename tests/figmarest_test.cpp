#include "core/httpfetch.h"
#include "core/jsonread.h"
#include "figma/figmaerror.h"
#include "figma/figmarest.h"
#include "support/httpserver.h"
#include "support/qtprinters.h"
#include "support/taskwait.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QDateTime>
#include <QLocale>
#include <QTcpServer>
#include <gtest/gtest.h>

namespace {

using Response = HttpServer::Response;

QByteArray json(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QJsonObject sectionNode()
{
    const QJsonObject box{{"x", 100}, {"y", 100}, {"width", 2000}, {"height", 2000}};
    const QJsonObject frameBox{{"x", 150}, {"y", 180}, {"width", 360}, {"height", 640}};
    const QJsonObject frame{{"id", "12:40"}, {"name", "Home"}, {"type", "FRAME"}, {"absoluteBoundingBox", frameBox}};
    return {{"id", "12:34"}, {"name", "Section"}, {"absoluteBoundingBox", box}, {"children", QJsonArray{frame}}};
}

class FigmaRESTTest : public testing::Test
{
protected:
    void SetUp() override { qputenv("QUARRYSTONE_FIGMA_API", server.base().toUtf8()); }
    void TearDown() override { qunsetenv("QUARRYSTONE_FIGMA_API"); }

    template<typename T>
    T run(QCoro::Task<T> task)
    {
        return TaskWait::result(std::move(task));
    }

    FigmaError failure(auto task)
    {
        try {
            run(std::move(task));
        } catch (const FigmaError &error) {
            return error;
        }
        ADD_FAILURE() << "no FigmaError thrown";
        return FigmaError::noToken();
    }

    QMap<QString, QString> images(const QStringList &ids, double scale = 1.0)
    {
        return run(rest.imageURLs("KEY", ids, scale));
    }

    HttpServer server;
    FigmaREST rest{"secret-token"};
};

} // namespace

TEST_F(FigmaRESTTest, SectionAsksForTheEncodedIdAndLooksUpTheRawOne)
{
    server.serve("/v1/files/KEY/nodes",
                 Response::json(json({{"nodes", QJsonObject{{"12:34", QJsonObject{{"document", sectionNode()}}}}}})));
    const FigmaSection section = run(rest.section(FigmaLink{"KEY", "12:34", "https://example.invalid"}));

    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].target, "/v1/files/KEY/nodes?ids=12%3A34");
    EXPECT_EQ(server.requests()[0].headers.value("x-figma-token"), "secret-token");
    EXPECT_EQ(section.fileKey, "KEY");
    EXPECT_EQ(section.nodeId, "12:34");
    EXPECT_EQ(section.name, "Section");
    ASSERT_EQ(section.frames.size(), 1);
    EXPECT_EQ(section.frames[0].x, 50);
    EXPECT_EQ(section.frames[0].y, 80);
}

TEST_F(FigmaRESTTest, IdsAreEncodedExceptLettersAndDigits)
{
    server.serve("/v1/files/KEY/nodes", Response::json("{}"));
    EXPECT_THROW(run(rest.section(FigmaLink{"KEY", "I1:2;3:4", ""})), FigmaError);
    EXPECT_THROW(run(rest.section(FigmaLink{"KEY", "a-b.c_d~e/f g", ""})), FigmaError);
    ASSERT_EQ(server.requests().size(), 2);
    EXPECT_EQ(server.requests()[0].target, "/v1/files/KEY/nodes?ids=I1%3A2%3B3%3A4");
    EXPECT_EQ(server.requests()[1].target, "/v1/files/KEY/nodes?ids=a-b.c_d~e%2Ff%20g");
}

TEST_F(FigmaRESTTest, MissingNodeOrDocumentIsABadResponse)
{
    const QByteArray answers[] = {
        "{}",
        R"({"nodes":[]})",
        R"({"nodes":{"12:35":{"document":{}}}})",
        R"({"nodes":{"12:34":null}})",
        R"({"nodes":{"12:34":{"components":{}}}})",
        R"({"nodes":{"12:34":{"document":"x"}}})",
    };
    for (const QByteArray &answer : answers) {
        server.serve("/v1/files/KEY/nodes", Response::json(answer));
        const FigmaError error = failure(rest.section(FigmaLink{"KEY", "12:34", ""}));
        EXPECT_EQ(error.kind, FigmaError::Kind::badResponse) << answer.constData();
        EXPECT_EQ(error.message, "Figma 응답을 읽지 못했어요: 노드 12:34 를 찾지 못함") << answer.constData();
    }
}

TEST_F(FigmaRESTTest, ImageAddressesForTwoIds)
{
    server.serve("/v1/images/KEY", Response::json(R"({"err":null,"images":{"1:2":"https://img/a","1:3":"https://img/b"}})"));
    const QMap<QString, QString> urls = images({"1:2", "1:3"});
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].target, "/v1/images/KEY?ids=1%3A2%2C1%3A3&format=png&scale=1.0");
    EXPECT_EQ(server.requests()[0].headers.value("x-figma-token"), "secret-token");
    EXPECT_EQ(urls, (QMap<QString, QString>{{"1:2", "https://img/a"}, {"1:3", "https://img/b"}}));

    images({"1:2"}, 1.5);
    images({"1:2"}, 2);
    EXPECT_TRUE(server.requests()[1].target.endsWith("&scale=1.5"));
    EXPECT_TRUE(server.requests()[2].target.endsWith("&scale=2.0"));
}

TEST_F(FigmaRESTTest, NoIdsMakeNoRequest)
{
    EXPECT_TRUE(images({}).isEmpty());
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(FigmaRESTTest, TwentyIdsPerRequestInOrderLaterAddressesWin)
{
    QStringList ids;
    for (int i = 1; i <= 21; ++i)
        ids.append("1:" + QString::number(i));
    server.then("/v1/images/KEY", Response::json(R"({"images":{"1:1":"first","1:2":null,"1:21":"early"}})"));
    server.then("/v1/images/KEY", Response::json(R"({"images":{"1:21":"late","1:5":7}})"));
    const QMap<QString, QString> urls = images(ids);

    ASSERT_EQ(server.requests().size(), 2);
    const QByteArray first = server.requests()[0].target;
    EXPECT_TRUE(first.startsWith("/v1/images/KEY?ids=1%3A1%2C1%3A2%2C"));
    EXPECT_EQ(first.count("%2C"), 19);
    EXPECT_TRUE(first.contains("1%3A20&"));
    EXPECT_EQ(server.requests()[1].target, "/v1/images/KEY?ids=1%3A21&format=png&scale=1.0");
    EXPECT_EQ(urls, (QMap<QString, QString>{{"1:1", "first"}, {"1:21", "late"}}));
}

TEST_F(FigmaRESTTest, AllNullOrNoImagesGiveAnEmptyMap)
{
    server.serve("/v1/images/KEY", Response::json(R"({"images":{"1:2":null,"1:3":null}})"));
    EXPECT_TRUE(images({"1:2", "1:3"}).isEmpty());
    server.serve("/v1/images/KEY", Response::json(R"({"images":["x"]})"));
    EXPECT_TRUE(images({"1:2"}).isEmpty());
}

TEST_F(FigmaRESTTest, AFailingChunkFailsTheWholeCallAndStopsThere)
{
    QStringList ids;
    for (int i = 0; i < 45; ++i)
        ids.append("2:" + QString::number(i));
    server.then("/v1/images/KEY", Response::json(R"({"images":{"2:0":"a"}})"));
    server.then("/v1/images/KEY", Response::text(500, "boom"));
    server.then("/v1/images/KEY", Response::json(R"({"images":{}})"));
    const FigmaError error = failure(rest.imageURLs("KEY", ids, 1.0));
    EXPECT_EQ(error.message, "Figma 서비스에 문제가 생겼어요(500: boom). 잠시 뒤에 다시 해 주세요.");
    EXPECT_EQ(server.requests().size(), 2);
}

TEST_F(FigmaRESTTest, StatusesOtherThan200Fail)
{
    server.serve("/v1/me", Response::text(403, "Invalid token"));
    FigmaError error = failure(rest.me());
    EXPECT_EQ(error.kind, FigmaError::Kind::http);
    EXPECT_EQ(error.status, 403);
    EXPECT_EQ(error.message, "Figma 가 거절했어요(403). 토큰이 이 파일을 볼 수 있는지 확인해 주세요.");

    server.serve("/v1/me", Response::text(404, "Not found"));
    EXPECT_EQ(failure(rest.me()).message, "Figma 오류(404): Not found");

    for (int status : {201, 204, 400, 500}) {
        server.serve("/v1/me", Response::text(status, status == 204 ? QByteArray() : QByteArray(R"({"email":"a@b.c"})")));
        error = failure(rest.me());
        EXPECT_EQ(error.status, status);
        EXPECT_EQ(error.kind, FigmaError::Kind::http);
    }
}

TEST_F(FigmaRESTTest, ErrorBodyIsCutAtThreeHundredBytesOnACharacterBoundary)
{
    server.serve("/v1/me", Response::text(500, QByteArray(400, 'x')));
    EXPECT_EQ(failure(rest.me()).body, QString(300, 'x'));

    // 299 bytes, then a three-byte character across the cut: the whole
    // characters before it stay.
    server.serve("/v1/me", Response::text(500, QByteArray(299, 'y') + "한글"));
    EXPECT_EQ(failure(rest.me()).body, QString(299, 'y'));
    server.serve("/v1/me", Response::text(500, QByteArray(298, 'y') + "한글"));
    EXPECT_EQ(failure(rest.me()).body, QString(298, 'y'));
    server.serve("/v1/me", Response::text(500, QByteArray(297, 'y') + "한글"));
    EXPECT_EQ(failure(rest.me()).body, QString(297, 'y') + "한");

    // Bytes that are not UTF-8 at all give no body text.
    server.serve("/v1/me", Response::text(500, "bad \xff bytes"));
    const FigmaError error = failure(rest.me());
    EXPECT_EQ(error.body, "");
    EXPECT_EQ(error.message, "Figma 서비스에 문제가 생겼어요(500). 잠시 뒤에 다시 해 주세요.");
}

TEST_F(FigmaRESTTest, TwoHundredThatIsNotAnObject)
{
    server.serve("/v1/me", Response::json("[1,2]"));
    const FigmaError error = failure(rest.me());
    EXPECT_EQ(error.kind, FigmaError::Kind::badResponse);
    EXPECT_EQ(error.message, "Figma 응답을 읽지 못했어요: /v1/me");

    server.serve("/v1/me", Response::json("{not json"));
    EXPECT_TRUE(failure(rest.me()).message.startsWith("Figma 응답을 읽지 못했어요: /v1/me: "));
    server.serve("/v1/me", Response::json(""));
    EXPECT_EQ(failure(rest.me()).kind, FigmaError::Kind::notJson);
}

TEST_F(FigmaRESTTest, AccountName)
{
    const std::pair<QByteArray, QString> cases[] = {
        {R"({"email":"me@example.com","handle":"me"})", "me@example.com"},
        {R"({"email":"","handle":"me"})", ""},
        {R"({"email":null,"handle":"me"})", "me"},
        {R"({"handle":"me"})", "me"},
        {R"({"handle":5,"id":"1"})", "확인됨"},
        {R"({"handle":"\u001b]0;owned\u0007me\u001b[2J\r\nX"})", "]0;ownedme[2J  X"},
    };
    for (const auto &[answer, name] : cases) {
        server.serve("/v1/me", Response::json(answer));
        EXPECT_EQ(run(rest.me()), name) << answer.constData();
    }
    EXPECT_EQ(server.requests().last().headers.value("x-figma-token"), "secret-token");
}

TEST_F(FigmaRESTTest, TransportFailureStaysATransportFailure)
{
    server.serve("/v1/me", Response::dropped());
    EXPECT_THROW(run(rest.me()), NetworkError);

    qputenv("QUARRYSTONE_FIGMA_API", "http://127.0.0.1:1");
    try {
        run(rest.me());
        ADD_FAILURE() << "a refused connection succeeded";
    } catch (const NetworkError &error) {
        EXPECT_FALSE(error.message.isEmpty());
    }
}

TEST_F(FigmaRESTTest, AnswerCutShortIsATransportFailure)
{
    Response cut = Response::json(R"({"handle":"me"})");
    cut.announcedLength = 100'000;
    server.serve("/v1/me", cut);
    try {
        run(rest.me());
        ADD_FAILURE() << "a cut answer succeeded";
    } catch (const NetworkError &error) {
        EXPECT_FALSE(error.message.isEmpty());
    } catch (const JSONDecodeError &error) {
        ADD_FAILURE() << "reported as a decode failure: " << error.message.toStdString();
    }
}

TEST_F(FigmaRESTTest, BaseThatIsNotAWebAddressSendsNothing)
{
    qputenv("QUARRYSTONE_FIGMA_API", "file:///etc");
    EXPECT_THROW(run(rest.me()), NetworkError);
    qputenv("QUARRYSTONE_FIGMA_API", (server.base() + "/").toUtf8());
    server.serve("/v1/me", Response::json(R"({"handle":"me"})"));
    EXPECT_EQ(run(rest.me()), "me");
    EXPECT_EQ(server.requests().last().target, "/v1/me");
}

// The token is for the API's own origin: a redirect to another server is
// refused with a message that says why, on every call that carries it,
// while a redirect within the API is followed.
TEST_F(FigmaRESTTest, TheTokenNeverFollowsARedirectToAnotherServer)
{
    HttpServer elsewhere;
    elsewhere.serve("/v1/me", Response::json(R"({"handle":"stolen"})"));
    elsewhere.serve("/v1/images/KEY", Response::json(R"({"images":{}})"));
    Response away;
    away.status = 302;
    away.headers = {{"Location", (elsewhere.base() + "/v1/me").toUtf8()}};
    server.serve("/v1/me", away);
    away.headers = {{"Location", (elsewhere.base() + "/v1/images/KEY?ids=1").toUtf8()}};
    server.serve("/v1/images/KEY", away);
    away.headers = {{"Location", (elsewhere.base() + "/v1/files/KEY/nodes?ids=1").toUtf8()}};
    server.serve("/v1/files/KEY/nodes", away);

    const QString refused = "Figma API 가 다른 서버(" + elsewhere.url("").authority()
        + ")로 보내려 해서, 토큰을 지키려고 따라가지 않았어요.";
    const auto refusal = [&](auto task) {
        try {
            run(std::move(task));
        } catch (const NetworkError &error) {
            return error.message;
        }
        return QString("no NetworkError");
    };
    EXPECT_EQ(refusal(rest.me()), refused);
    EXPECT_EQ(refusal(rest.imageURLs("KEY", {"1:2"}, 1.0)), refused);
    EXPECT_EQ(refusal(rest.section(FigmaLink{"KEY", "1:1", ""})), refused);
    EXPECT_TRUE(elsewhere.requests().isEmpty());
    EXPECT_EQ(server.requests().size(), 3);

    // A loop ends in the sentence for too many redirects; an address that
    // is no web address is refused in its own words.
    away.headers = {{"Location", "/v1/me"}};
    server.serve("/v1/me", away);
    EXPECT_EQ(refusal(rest.me()),
              "Figma API 에 연결하지 못했어요(다른 주소로 너무 많이 보내졌어요). 인터넷 연결을 확인하고 다시 해 주세요.");
    for (const QByteArray &target : {QByteArray("file:///etc/passwd"), QByteArray("data:text/plain,x"),
                                     QByteArray("ftp://127.0.0.1/v1/me")}) {
        away.headers = {{"Location", target}};
        server.serve("/v1/me", away);
        const QByteArray scheme = target.left(target.indexOf(':') + 1);
        EXPECT_EQ(refusal(rest.me()), "Figma API 가 웹 주소가 아닌 곳(" + scheme + ")으로 보내려 해서 따라가지 않았어요.");
    }

    away.headers = {{"Location", "/v1/me/again"}};
    server.serve("/v1/me", away);
    server.serve("/v1/me/again", Response::json(R"({"handle":"me"})"));
    EXPECT_EQ(run(rest.me()), "me");
    EXPECT_EQ(server.requestsTo("/v1/me/again").value(0).headers.value("x-figma-token"), "secret-token");
}

// Each failure says what happened and what to do, with the status and the
// service's own short message but never a raw page.
TEST_F(FigmaRESTTest, FailuresSayWhatHappenedAndWhatToDo)
{
    struct Case {
        Response response;
        QString message;
        std::optional<int> retryAfter;
    };
    Response limited = Response::json(R"({"status": 429, "err": "Rate limit exceeded"})");
    limited.status = 429;
    limited.headers.append(qMakePair(QByteArray("Retry-After"), QByteArray("30")));
    Response bare = Response::text(429, "");
    Response page = Response::text(500, "<!DOCTYPE html><html><body><h1>500 Internal Server Error</h1>"
                                        + QByteArray(300, ' ') + "</body></html>");
    page.headers = {{"Content-Type", "text/html"}};
    Response gateway = Response::json(R"({"status":502,"message":"Bad gateway"})");
    gateway.status = 502;
    const auto waiting = [](const QByteArray &retryAfter, const QByteArray &err = "slow down") {
        Response response = Response::json(R"({"status": 429, "err": ")" + err + R"("})");
        response.status = 429;
        response.headers.append(qMakePair(QByteArray("Retry-After"), retryAfter));
        return response;
    };
    const QByteArray tenMinutes =
        QLocale::c().toString(QDateTime::currentDateTimeUtc().addSecs(600), "ddd, dd MMM yyyy HH:mm:ss 'GMT'").toLatin1();
    const QString busy = "Figma 에 요청이 너무 많았어요(429: slow down). ";
    const Case cases[] = {
        {limited, "Figma 에 요청이 너무 많았어요(429: Rate limit exceeded). 30초 기다린 뒤 다시 해 주세요.", 30},
        {waiting("Wed, 21 Oct 2099 07:28:00 GMT"), busy + "24시간 기다린 뒤 다시 해 주세요.", 86400},
        {waiting(tenMinutes), busy + "10분 기다린 뒤 다시 해 주세요.", std::nullopt},
        {waiting("Wed, 21 Oct 2015 07:28:00 GMT"), busy + "잠시 기다린 뒤 다시 해 주세요.", 0},
        {waiting("2000000000"), busy + "24시간 기다린 뒤 다시 해 주세요.", 86400},
        {waiting("99999999999999999999"), busy + "24시간 기다린 뒤 다시 해 주세요.", 86400},
        {waiting("0"), busy + "잠시 기다린 뒤 다시 해 주세요.", 0},
        {waiting("90"), busy + "2분 기다린 뒤 다시 해 주세요.", 90},
        {waiting("7200"), busy + "2시간 기다린 뒤 다시 해 주세요.", 7200},
        {waiting("soon"), busy + "잠시 기다린 뒤 다시 해 주세요.", std::nullopt},
        // The service's words reach a terminal: no escape sequence, no
        // line break of theirs goes along.
        {waiting("5", R"(\u001b]0;title\u0007\u001b[2J\u001b[31mred\nline)"),
         "Figma 에 요청이 너무 많았어요(429: ]0;title[2J[31mred line). 5초 기다린 뒤 다시 해 주세요.", 5},
        {bare, "Figma 에 요청이 너무 많았어요(429). 잠시 기다린 뒤 다시 해 주세요.", std::nullopt},
        {page, "Figma 서비스에 문제가 생겼어요(500). 잠시 뒤에 다시 해 주세요.", std::nullopt},
        {gateway, "Figma 서비스에 문제가 생겼어요(502: Bad gateway). 잠시 뒤에 다시 해 주세요.", std::nullopt},
    };
    for (const Case &c : cases) {
        server.serve("/v1/me", c.response);
        const FigmaError error = failure(rest.me());
        EXPECT_EQ(error.message, c.message);
        if (c.retryAfter || !c.message.contains("10분")) {
            EXPECT_EQ(error.retryAfter, c.retryAfter) << c.message.toStdString();
        }
    }

    server.serve("/v1/me", Response::text(200, "<html>Sign in to the network</html>"));
    const FigmaError notJson = failure(rest.me());
    EXPECT_EQ(notJson.kind, FigmaError::Kind::notJson);
    EXPECT_EQ(notJson.message,
              "Figma 가 보내는 답이 아니에요(/v1/me). 네트워크나 프록시가 대신 답하고 있지 않은지 확인해 주세요.");

    const auto transfer = [&](const QString &base) {
        qputenv("QUARRYSTONE_FIGMA_API", base.toUtf8());
        try {
            run(rest.me());
        } catch (const NetworkError &error) {
            return error.message;
        }
        return QString("no NetworkError");
    };
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QString refusedBase = QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort());
    closed.close();
    EXPECT_EQ(transfer(refusedBase),
              "Figma API 에 연결하지 못했어요(연결을 거부당했어요). 인터넷 연결을 확인하고 다시 해 주세요.");
    EXPECT_EQ(transfer("http://no-such-host.invalid"),
              "Figma API 에 연결하지 못했어요(서버 주소를 찾지 못했어요). 인터넷 연결을 확인하고 다시 해 주세요.");

    // A silent server: the real time-out of a transfer, named for the service.
    Response silent = Response::json("{}");
    silent.delay = std::chrono::milliseconds(5000);
    server.serve("/silent", silent);
    QNetworkRequest request(server.url("/silent"));
    request.setTransferTimeout(200);
    const HttpFetch::Answer stalled = run(HttpFetch::get(request));
    EXPECT_EQ(FigmaREST::transferFailure(stalled).message, "Figma API 가 120초 안에 답하지 않았어요. 잠시 뒤에 다시 해 주세요.");
}

// Every call has an end: an answer that trickles in byte by byte fails at
// the whole answer's limit, not only after a silence, and an answer larger
// than the cap is refused at its announced length, naming the call.
TEST_F(FigmaRESTTest, EachCallEndsAtItsTimeAndSizeLimits)
{
    FigmaREST limited{"secret-token"};
    limited.limits = {std::chrono::milliseconds(2000), 4096};
    EXPECT_EQ(FigmaREST::apiLimits.whole, std::chrono::seconds(120));
    EXPECT_EQ(FigmaREST::apiLimits.bytes, 32 * 1024 * 1024);

    Response slow = Response::json(R"({"handle":"a trickle that takes far longer than the limit"})");
    slow.trickle = std::chrono::milliseconds(100);
    server.serve("/v1/me", slow);
    const auto failed = [&](auto task) {
        try {
            run(std::move(task));
        } catch (const NetworkError &error) {
            return error.message;
        }
        return QString("no NetworkError");
    };
    EXPECT_EQ(failed(limited.me()), "Figma API 의 계정 확인 답이 2초 안에 다 오지 않아서 멈췄어요. 잠시 뒤에 다시 해 주세요.");

    server.serve("/v1/images/KEY", Response::json("{\"images\": {\"1:2\": \"" + QByteArray(5000, 'x') + "\"}}"));
    EXPECT_EQ(failed(limited.imageURLs("KEY", {"1:2"}, 1.0)), "Figma API 의 그림 주소 받기 답이 1MB 를 넘어서 받다가 멈췄어요.");
    server.serve("/v1/files/KEY/nodes", Response::json("{\"nodes\": \"" + QByteArray(5000, 'x') + "\"}"));
    EXPECT_EQ(failed(limited.section(FigmaLink{"KEY", "1:1", ""})),
              "Figma API 의 섹션 읽기 답이 1MB 를 넘어서 받다가 멈췄어요.");

    // Within the limits the same calls answer.
    server.serve("/v1/me", Response::json(R"({"handle":"me"})"));
    EXPECT_EQ(run(limited.me()), "me");

    // A packed answer counts unpacked, and one that cannot be unpacked says
    // so in Korean words.
    const auto packed = [](const QByteArray &body, const QByteArray &coding) {
        Response response = Response::json(body);
        response.headers.append(qMakePair(QByteArray("Content-Encoding"), coding));
        return response;
    };
    server.serve("/v1/files/KEY/nodes", packed(qCompress(QByteArray(qint64(40) << 20, ' '), 9).mid(4), "deflate"));
    EXPECT_EQ(failed(rest.section(FigmaLink{"KEY", "1:1", ""})), "Figma API 의 섹션 읽기 답이 32MB 를 넘어서 받다가 멈췄어요.");
    server.serve("/v1/files/KEY/nodes", packed("(zstd frame)", "zstd"));
    EXPECT_EQ(failed(rest.section(FigmaLink{"KEY", "1:1", ""})),
              "Figma API 의 섹션 읽기 답을 풀지 못했어요: 모르는 방식(zstd)으로 압축돼 있어요.");
}

// A token never reaches a request's head unchecked: one with a line break
// would add a header of its own.
TEST_F(FigmaRESTTest, ATokenWithControlCharactersIsNeverSent)
{
    server.serve("/v1/me", Response::json(R"({"handle":"me"})"));
    for (const QString &token : {QString("figd_x\r\nX-Injected: yes"), QString::fromUtf8("figd_토큰"), QString(" figd_x")}) {
        const FigmaError error = failure(FigmaREST{token}.me());
        EXPECT_EQ(error.kind, FigmaError::Kind::tokenUnreadable);
        EXPECT_EQ(error.message, "Figma 토큰에 제어 문자나 ASCII 밖의 글자가 들어 있어서 보내지 않았어요. 설정에서 다시 넣어 주세요.");
    }
    EXPECT_TRUE(server.requests().isEmpty());
}
