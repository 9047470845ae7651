#include "core/httpfetch.h"
#include "support/httpserver.h"
#include "support/qtprinters.h"
#include "support/taskwait.h"

#include <QElapsedTimer>
#include <QTimer>
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

TEST(HttpFetch, CancelAbortsTheTransfer)
{
    HttpServer server;
    Response slow = Response::text(200, "late");
    slow.delay = std::chrono::milliseconds(20000);
    server.serve("/slow", slow);

    const CancelToken before;
    before.cancel();
    EXPECT_THROW(TaskWait::result(HttpFetch::get(QNetworkRequest(server.url("/slow")), before)), Cancelled);
    EXPECT_TRUE(server.requests().isEmpty());

    const CancelToken during;
    QTimer::singleShot(100, [during] { during.cancel(); });
    QElapsedTimer clock;
    clock.start();
    EXPECT_THROW(TaskWait::result(HttpFetch::get(QNetworkRequest(server.url("/slow")), during)), Cancelled);
    // Well before the answer would have come.
    EXPECT_LT(clock.elapsed(), 10000);
}
