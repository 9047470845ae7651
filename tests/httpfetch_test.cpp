#include "core/httpfetch.h"
#include "support/httpserver.h"
#include "support/qtprinters.h"
#include "support/taskwait.h"

#include <gtest/gtest.h>

using Response = HttpServer::Response;

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
