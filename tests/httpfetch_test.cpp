#include "core/httpfetch.h"
#include "support/httpserver.h"
#include "support/qtprinters.h"
#include "support/taskwait.h"

#include <QElapsedTimer>
#include <QTcpServer>
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

// A failure keeps the network layer's kind of it, told in Korean words, and
// an answer keeps its headers.
TEST(HttpFetch, FailuresKeepTheirKindInKoreanAndAnswersTheirHeaders)
{
    HttpServer server;
    Response limited = Response::text(429, "slow down");
    limited.headers.append(qMakePair(QByteArray("Retry-After"), QByteArray("7")));
    server.serve("/limited", limited);
    const HttpFetch::Answer answer = TaskWait::result(HttpFetch::get(QNetworkRequest(server.url("/limited"))));
    EXPECT_EQ(answer.status, 429);
    EXPECT_EQ(answer.header("retry-after"), "7");
    EXPECT_EQ(answer.header("Content-Type"), "text/plain; charset=utf-8");

    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const QUrl refused(QStringLiteral("http://127.0.0.1:%1/").arg(closed.serverPort()));
    closed.close();
    const HttpFetch::Answer nobody = TaskWait::result(HttpFetch::get(QNetworkRequest(refused)));
    EXPECT_EQ(nobody.failure, QNetworkReply::ConnectionRefusedError);
    EXPECT_EQ(HttpFetch::describe(nobody), "연결을 거부당했어요");

    // A compressed body cut short, asked for as sent: the cut is seen.
    Response cut = Response::text(200, QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10));
    cut.headers.append(qMakePair(QByteArray("Content-Encoding"), QByteArray("gzip")));
    cut.announcedLength = 200;
    server.serve("/cut", cut);
    QNetworkRequest asSent(server.url("/cut"));
    asSent.setRawHeader("Accept-Encoding", "identity");
    const HttpFetch::Answer half = TaskWait::result(HttpFetch::get(asSent));
    EXPECT_EQ(half.status, 200);
    EXPECT_FALSE(half.error.isEmpty());
}
