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
    EXPECT_EQ(error.message, "Figma 오류(500): boom");
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
    EXPECT_EQ(error.message, "Figma 오류(500): ");
}

TEST_F(FigmaRESTTest, TwoHundredThatIsNotAnObject)
{
    server.serve("/v1/me", Response::json("[1,2]"));
    const FigmaError error = failure(rest.me());
    EXPECT_EQ(error.kind, FigmaError::Kind::badResponse);
    EXPECT_EQ(error.message, "Figma 응답을 읽지 못했어요: /v1/me");

    server.serve("/v1/me", Response::json("{not json"));
    EXPECT_THROW(run(rest.me()), JSONDecodeError);
    server.serve("/v1/me", Response::json(""));
    EXPECT_THROW(run(rest.me()), JSONDecodeError);
}

TEST_F(FigmaRESTTest, AccountName)
{
    const std::pair<QByteArray, QString> cases[] = {
        {R"({"email":"me@example.com","handle":"me"})", "me@example.com"},
        {R"({"email":"","handle":"me"})", ""},
        {R"({"email":null,"handle":"me"})", "me"},
        {R"({"handle":"me"})", "me"},
        {R"({"handle":5,"id":"1"})", "확인됨"},
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
