#include "core/httpfetch.h"
#include "support/httpserver.h"
#include "support/qtprinters.h"
#include "support/taskwait.h"

#include <gtest/gtest.h>

using Response = HttpServer::Response;

TEST(HttpFetch, AnswersCarryStatusAndBody)
{
    HttpServer server;
    server.serve("/missing", Response::text(404, "Not found"));
    const HttpFetch::Answer answer = TaskWait::result(HttpFetch::get(QNetworkRequest(server.url("/missing?x=1"))));
    EXPECT_EQ(answer.status, 404);
    EXPECT_EQ(answer.body, "Not found");
    EXPECT_EQ(server.requests().value(0).target, "/missing?x=1");
}

TEST(HttpFetch, StalledAnswerEndsWithoutStatusAtTheTimeOut)
{
    HttpServer server;
    Response slow = Response::text(200, "late");
    slow.delay = std::chrono::milliseconds(3000);
    server.serve("/slow", slow);
    QNetworkRequest request(server.url("/slow"));
    request.setTransferTimeout(200);
    const HttpFetch::Answer answer = TaskWait::result(HttpFetch::get(request));
    EXPECT_FALSE(answer.status.has_value());
    EXPECT_EQ(answer.error, "시간 안에 응답이 오지 않았어요.");
}

TEST(HttpFetch, OnlyAbsoluteWebAddressesAreFetchable)
{
    EXPECT_TRUE(HttpFetch::fetchable(QUrl("https://example.com/a.png")));
    EXPECT_TRUE(HttpFetch::fetchable(QUrl("HTTP://example.com/a.png")));
    for (const char *address : {"file:///etc/passwd", "data:text/plain,x", "ftp://example.com/a", "/etc/passwd",
                                "example.com/a.png", "http:///a.png", "qrc:/a"})
        EXPECT_FALSE(HttpFetch::fetchable(QUrl(address))) << address;
}
