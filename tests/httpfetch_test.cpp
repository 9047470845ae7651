#include "core/httpfetch.h"
#include "support/httpserver.h"
#include "support/qtprinters.h"
#include "support/taskwait.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTimer>
#include <gtest/gtest.h>
#include <zlib.h>

using Response = HttpServer::Response;

namespace {

// The bytes packed as one gzip member.
QByteArray gzipped(const QByteArray &bytes)
{
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, MAX_WBITS + 16, 9, Z_DEFAULT_STRATEGY);
    QByteArray packed(qsizetype(deflateBound(&stream, uLong(bytes.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(bytes.constData()));
    stream.avail_in = uInt(bytes.size());
    stream.next_out = reinterpret_cast<Bytef *>(packed.data());
    stream.avail_out = uInt(packed.size());
    deflate(&stream, Z_FINISH);
    packed.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return packed;
}

Response packed(const QByteArray &body, const QByteArray &coding)
{
    Response response = Response::json(body);
    response.headers.append(qMakePair(QByteArray("Content-Encoding"), coding));
    return response;
}

// What the network layer says on its own, on the terminal, while it lives.
QStringList *heard = nullptr;
void listen(QtMsgType, const QMessageLogContext &, const QString &message)
{
    if (heard)
        heard->append(message);
}

} // namespace

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

// A packed answer is measured unpacked: an honest answer that packs well is
// taken whole however high its ratio, a bomb stops at the size limit as
// soon as it passes it, and what cannot be unpacked says so in Korean.
TEST(HttpFetch, PackedAnswersAreMeasuredUnpacked)
{
    QStringList messages;
    heard = &messages;
    const QtMessageHandler before = qInstallMessageHandler(listen);
    HttpServer server;
    const HttpFetch::Limits limits{std::chrono::seconds(120), qint64(32) << 20};
    const auto fetch = [&](const QByteArray &path) {
        return TaskWait::result(HttpFetch::get(QNetworkRequest(server.url(path)), CancelToken(), limits));
    };

    QByteArray nodes = "{\"nodes\": [";
    for (int i = 0; nodes.size() < (qint64(24) << 20); ++i)
        nodes += "{\"id\": \"1:" + QByteArray::number(i / 64) + "\", \"name\": \"화면 목록 카드\", \"type\": \"FRAME\"},";
    nodes += "{}]}";
    const QByteArray honest = gzipped(nodes);
    ASSERT_GT(nodes.size() / honest.size(), 40);
    server.serve("/honest", packed(honest, "gzip"));
    const HttpFetch::Answer whole = fetch("/honest");
    EXPECT_EQ(whole.status, 200);
    EXPECT_EQ(whole.error, "");
    EXPECT_TRUE(whole.body == nodes);
    EXPECT_EQ(server.requests().last().headers.value("accept-encoding"), "gzip, deflate");

    // Two gigabytes of zeros in two megabytes, as members one after another.
    const QByteArray member = gzipped(QByteArray(qint64(64) << 20, '\0'));
    QByteArray bomb;
    for (int i = 0; i < 32; ++i)
        bomb += member;
    server.serve("/bomb", packed(bomb, "gzip"));
    const HttpFetch::Answer stopped = fetch("/bomb");
    EXPECT_EQ(stopped.overrun, HttpFetch::Overrun::size);
    EXPECT_EQ(stopped.error, "답이 너무 커서 받다가 멈췄어요.");
    EXPECT_TRUE(stopped.body.isEmpty());

    // A coding that was not asked for is refused by its name.
    server.serve("/zstd", packed("(zstd frame)", "zstd"));
    const HttpFetch::Answer unasked = fetch("/zstd");
    EXPECT_TRUE(unasked.unreadable);
    EXPECT_EQ(unasked.error, "모르는 방식(zstd)으로 압축돼 있어요");
    server.serve("/broken", packed(QByteArray("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03", 10) + "not deflate data", "gzip"));
    const HttpFetch::Answer broken = fetch("/broken");
    EXPECT_TRUE(broken.unreadable);
    EXPECT_EQ(broken.error, "압축된 데이터가 깨져 있어요");

    qInstallMessageHandler(before);
    heard = nullptr;
    EXPECT_EQ(messages, QStringList());
}
