#include "figma/downloader.h"
#include "figma/pngcheck.h"
#include "support/httpserver.h"
#include "support/testimages.h"
#include "support/taskwait.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using Response = HttpServer::Response;

QByteArray contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void put(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

// The bytes as the gzip tool packs them.
QByteArray gzipped(const QByteArray &bytes)
{
    QProcess gzip;
    gzip.start("gzip", {"-c", "-n"});
    gzip.write(bytes);
    gzip.closeWriteChannel();
    gzip.waitForFinished();
    return gzip.readAllStandardOutput();
}

class DownloaderTest : public testing::Test
{
protected:
    bool save(const QString &address, const QString &path)
    {
        return TaskWait::result(Downloader::save(address, path));
    }

    QString target(const QString &name) const { return dir.filePath(name); }

    HttpServer server;
    QTemporaryDir dir;
};

} // namespace

TEST_F(DownloaderTest, WritesTheBodyCreatingFoldersWithoutAToken)
{
    const QByteArray png = TestImages::png(3, 2, 7);
    server.serve("/render/1.png", Response::text(200, png));
    const QString path = target("plan/img/node-1-2.png");

    EXPECT_TRUE(save(server.base() + "/render/1.png?sig=abc", path));
    EXPECT_EQ(contents(path), png);
    ASSERT_EQ(server.requests().size(), 1);
    EXPECT_EQ(server.requests()[0].target, "/render/1.png?sig=abc");
    EXPECT_FALSE(server.requests()[0].headers.contains("x-figma-token"));
}

TEST_F(DownloaderTest, ReplacesAnExistingFile)
{
    const QString path = target("node.png");
    put(path, "old image");
    server.serve("/a.png", Response::text(200, TestImages::png(2, 2, 9)));
    EXPECT_TRUE(save(server.base() + "/a.png", path));
    EXPECT_EQ(contents(path), TestImages::png(2, 2, 9));
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size() == 1);
}

TEST_F(DownloaderTest, OnlyANonEmptyTwoHundredIsWritten)
{
    const QString path = target("img/node.png");
    server.serve("/empty.png", Response::text(200, ""));
    EXPECT_FALSE(save(server.base() + "/empty.png", path));
    EXPECT_FALSE(QFile::exists(path));
    EXPECT_FALSE(QDir(target("img")).exists());

    put(target("old.png"), "kept");
    for (int status : {201, 204, 403, 404, 500}) {
        server.serve("/status.png", Response::text(status, status == 204 ? "" : "not an image"));
        EXPECT_FALSE(save(server.base() + "/status.png", target("old.png"))) << status;
        EXPECT_EQ(contents(target("old.png")), "kept") << status;
    }
}

TEST_F(DownloaderTest, TransferFailureIsFalse)
{
    server.serve("/drop.png", Response::dropped());
    EXPECT_FALSE(save(server.base() + "/drop.png", target("node.png")));
    EXPECT_FALSE(save("http://127.0.0.1:1/refused.png", target("node.png")));
    EXPECT_FALSE(QFile::exists(target("node.png")));

    // A body that ends before its announced length is a cut transfer, and
    // the image it would replace stays.
    Response cut = Response::text(200, "0123456789");
    cut.announcedLength = 100'000;
    server.serve("/cut.png", cut);
    put(target("old.png"), "kept");
    EXPECT_FALSE(save(server.base() + "/cut.png", target("old.png")));
    EXPECT_EQ(contents(target("old.png")), "kept");
    EXPECT_FALSE(save(server.base() + "/cut.png", target("new.png")));
    EXPECT_FALSE(QFile::exists(target("new.png")));
}

TEST_F(DownloaderTest, OnlyWebAddressesAreFetched)
{
    const QString secret = target("secret.txt");
    put(secret, "local data");
    const QString copy = target("img/copy.png");
    const QString refused[] = {
        QUrl::fromLocalFile(secret).toString(),
        "data:image/png;base64,aW1hZ2U=",
        "ftp://127.0.0.1/x.png",
        secret,
        "not a url",
        "",
        "http:///no-host.png",
        "qrc:/page/style.css",
    };
    for (const QString &address : refused) {
        EXPECT_FALSE(save(address, copy)) << address.toStdString();
        EXPECT_FALSE(QFile::exists(copy)) << address.toStdString();
    }
    EXPECT_TRUE(server.requests().isEmpty());
}

TEST_F(DownloaderTest, FolderThatCannotBeMadeIsFalse)
{
    put(target("blocker"), "a file where a folder must go");
    server.serve("/a.png", Response::text(200, TestImages::png(1, 1, 0)));
    EXPECT_FALSE(save(server.base() + "/a.png", target("blocker/img/node.png")));
    EXPECT_EQ(contents(target("blocker")), "a file where a folder must go");
}

// A compressed answer cut in half: its announced length is the packed one,
// and the packed stream ends early without an error of its own.
TEST_F(DownloaderTest, CompressedAnswerCutInHalfIsNoImage)
{
    QByteArray image(10240, '\0');
    for (qsizetype i = 0; i < image.size(); ++i)
        image[i] = char("PNGDATA"[QRandomGenerator::global()->bounded(7)]);
    const QByteArray packed = gzipped(image);
    ASSERT_GT(packed.size(), 100);
    Response half = Response::text(200, packed.left(packed.size() / 2));
    half.headers = {{"Content-Type", "image/png"}, {"Content-Encoding", "gzip"}};
    half.announcedLength = packed.size();
    server.serve("/half.png", half);

    put(target("old.png"), "kept");
    EXPECT_FALSE(save(server.base() + "/half.png", target("old.png")));
    EXPECT_EQ(contents(target("old.png")), "kept");
    EXPECT_FALSE(save(server.base() + "/half.png", target("new.png")));
    EXPECT_FALSE(QFile::exists(target("new.png")));
    EXPECT_EQ(server.requests().last().headers.value("accept-encoding"), "identity");
}

// Only bytes that decode as the PNG the service promises are a picture: a
// page, random bytes, a script in an SVG, a JSON answer or a broken PNG are
// failed downloads, and the picture they would replace stays.
TEST_F(DownloaderTest, BytesThatAreNoPictureAreAFailedDownload)
{
    const QByteArray good = TestImages::png(4, 3, 200);
    QByteArray corrupted = good;
    corrupted[corrupted.size() - 20] = char(corrupted.at(corrupted.size() - 20) ^ 0x55);
    QByteArray forged = TestImages::png(1, 1, 0);
    // The header's width, past what any frame's picture has.
    forged[16] = char(0x7f);
    QByteArray random(4096, '\0');
    for (qsizetype i = 0; i < random.size(); ++i)
        random[i] = char(QRandomGenerator::global()->bounded(256));
    const QByteArray bodies[] = {
        "<!doctype html><html><body>Sign in</body></html>",
        random,
        R"(<svg xmlns="http://www.w3.org/2000/svg"><script>alert(1)</script></svg>)",
        R"({"images": {"1:2": "https://example.com/a.png"}})",
        good.left(good.size() - 12),
        corrupted,
        forged,
        QByteArray("\x89PNG\r\n\x1a\n", 8) + "not a chunk",
    };
    put(target("old.png"), "kept");
    for (const QByteArray &body : bodies) {
        SCOPED_TRACE(body.left(40).toStdString());
        Response response = Response::text(200, body);
        response.headers = {{"Content-Type", "image/png"}};
        server.serve("/fake.png", response);
        EXPECT_FALSE(save(server.base() + "/fake.png", target("old.png")));
        EXPECT_EQ(contents(target("old.png")), "kept");
        EXPECT_FALSE(save(server.base() + "/fake.png", target("img/new.png")));
        EXPECT_FALSE(QFile::exists(target("img/new.png")));
    }
    server.serve("/fake.png", Response::text(200, good));
    EXPECT_TRUE(save(server.base() + "/fake.png", target("old.png")));
    EXPECT_EQ(contents(target("old.png")), good);
}

// A picture that trickles in, or one larger than any frame's, is a failed
// download like any other: the generation goes on without it, and the
// picture it would replace stays.
TEST_F(DownloaderTest, APictureOverItsTimeOrSizeLimitIsAFailedDownload)
{
    EXPECT_EQ(Downloader::imageLimits.whole, std::chrono::seconds(60));
    EXPECT_EQ(Downloader::imageLimits.bytes, 64 * 1024 * 1024);
    const HttpFetch::Limits limits{std::chrono::milliseconds(2000), 2048};
    const auto saved = [&](const QString &address, const QString &path) {
        return TaskWait::result(Downloader::save(address, path, CancelToken(), limits));
    };
    Response slow = Response::text(200, TestImages::png(8, 8, 1));
    slow.trickle = std::chrono::milliseconds(100);
    server.serve("/slow.png", slow);
    put(target("old.png"), "kept");
    EXPECT_FALSE(saved(server.base() + "/slow.png", target("old.png")));
    EXPECT_EQ(contents(target("old.png")), "kept");

    server.serve("/large.png", Response::text(200, QByteArray(10'000, 'x')));
    EXPECT_FALSE(saved(server.base() + "/large.png", target("img/node-1-3.png")));
    EXPECT_FALSE(QDir(target("img")).exists());

    server.serve("/small.png", Response::text(200, TestImages::png(2, 2, 3)));
    EXPECT_TRUE(saved(server.base() + "/small.png", target("img/node-1-4.png")));
}

// What follows a picture's last chunk is no part of it and is not kept; a
// stop while a picture is checked ends the check.
TEST_F(DownloaderTest, OnlyThePictureIsKeptAndAStopEndsItsCheck)
{
    const QByteArray good = TestImages::png(64, 48, 5);
    server.serve("/tail.png", Response::text(200, good + QByteArray(100'000, 'T')));
    EXPECT_TRUE(save(server.base() + "/tail.png", target("img/tail.png")));
    EXPECT_EQ(contents(target("img/tail.png")), good);

    EXPECT_EQ(PngCheck::length(good), good.size());
    const CancelToken stopped;
    stopped.cancel();
    EXPECT_EQ(PngCheck::length(good, stopped), std::nullopt);
    EXPECT_THROW(TaskWait::result(Downloader::save(server.base() + "/tail.png", target("img/stopped.png"), stopped)),
                 Cancelled);
    EXPECT_FALSE(QFile::exists(target("img/stopped.png")));
}
