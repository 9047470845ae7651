#include "benchsupport.h"

#include "figma/downloader.h"
#include "support/httpserver.h"
#include "support/taskwait.h"

#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <atomic>
#include <benchmark/benchmark.h>
#include <png.h>
#include <thread>
#include <zlib.h>

// The peak memory of one picture download, in a process of its own (this
// program started again with "--save <address> <file>"), and of the render
// of a plan that shows the picture kept: a picture of about 31 MB that does
// not pack (noise); a small picture followed by 31 MB of bytes that are no
// part of it; a small picture carrying 31 MB of packed text chunks, each
// from the loopback server.
namespace {

constexpr int side = 3200;

void append(png_structp png, png_bytep data, size_t size)
{
    static_cast<QByteArray *>(png_get_io_ptr(png))->append(reinterpret_cast<const char *>(data), qsizetype(size));
}

void flush(png_structp) {}

// A PNG of `width` × `height` pixels of noise, which no encoder can pack.
QByteArray noise(int width, int height)
{
    QByteArray out;
    png_structp writer = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(writer);
    if (setjmp(png_jmpbuf(writer)))
        qFatal("cannot write the picture");
    png_set_write_fn(writer, &out, append, flush);
    png_set_IHDR(writer, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(writer, 1);
    png_write_info(writer, info);
    QByteArray row(width * 3, '\0');
    for (int y = 0; y < height; ++y) {
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(row.data()), row.size() / 4);
        png_write_row(writer, reinterpret_cast<png_bytep>(row.data()));
    }
    png_write_end(writer, nullptr);
    png_destroy_write_struct(&writer, &info);
    return out;
}

QByteArray chunk(const QByteArray &type, const QByteArray &data)
{
    QByteArray out;
    const quint32 size = quint32(data.size());
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char((size >> shift) & 0xff);
    const QByteArray named = type + data;
    const quint32 sum = quint32(::crc32(0, reinterpret_cast<const Bytef *>(named.constData()), uInt(named.size())));
    out += named;
    for (int shift = 24; shift >= 0; shift -= 8)
        out += char((sum >> shift) & 0xff);
    return out;
}

// A small picture whose text chunks each unpack to about 8 MB.
QByteArray texts()
{
    const QByteArray small = noise(64, 64);
    const QByteArray packed = qCompress(QByteArray(7'900'000, '\0'), 9).mid(4);
    // After the signature and the header chunk.
    QByteArray out = small.left(33);
    for (int i = 0; out.size() < 31'000'000; ++i)
        out += chunk("zTXt", "Comment" + QByteArray::number(i) + QByteArray(2, '\0') + packed);
    return out + small.mid(33);
}

// Runs the program like BenchSupport::measure, its peak memory counted by
// /usr/bin/time: a child forked from this process would count the answers
// this process holds as its own until it starts the program.
BenchSupport::Measured peakOf(const QString &program, const QStringList &arguments, const QString &report,
                              const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment(),
                              std::vector<int> alsoFine = {})
{
    BenchSupport::Measured measured = BenchSupport::measure(
        QStringLiteral("/usr/bin/time"), QStringList{QStringLiteral("-f"), QStringLiteral("%M"), QStringLiteral("-o"), report, program} + arguments,
        {}, {}, env, alsoFine);
    QFile kilobytes(report);
    measured.peakBytes = kilobytes.open(QIODevice::ReadOnly) ? kilobytes.readAll().trimmed().toDouble() * 1024 : 0;
    return measured;
}

QCoro::Task<int> saveOnce(QString address, QString path)
{
    co_return co_await Downloader::save(address, path) ? 0 : 1;
}

struct Served {
    Served()
    {
        answers = {noise(side, side), noise(64, 64) + QByteArray(31 << 20, 'T'), texts()};
        for (qsizetype i = 0; i < answers.size(); ++i)
            server.serve("/" + QByteArray::number(i) + ".png", HttpServer::Response::text(200, answers.at(i)));
        dir = scratch.filePath(QStringLiteral("plan"));
        const Plan plan = BenchSupport::renderedFolder(dir, 1, RenderGen::smallImages);
        picture = dir + QLatin1Char('/') + *plan.screens.first().image.before;
        env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("HOME"), scratch.filePath(QStringLiteral("home")));
        env.insert(QStringLiteral("QUARRYSTONE_SUPPORT"), scratch.filePath(QStringLiteral("home/support")));
    }

    QTemporaryDir scratch;
    QList<QByteArray> answers;
    HttpServer server;
    QString dir;
    QString picture;
    QProcessEnvironment env;
};

void BM_DownloadPeak(benchmark::State &state)
{
    static Served served;
    const qsizetype answer = state.range(0);
    const QStringList arguments{QStringLiteral("--save"),
                                served.server.base() + QStringLiteral("/%1.png").arg(answer), served.picture};
    double peak = 0;
    double renderPeak = 0;
    for (auto _ : state) {
        QFile::remove(served.picture);
        // The server answers on this thread while the download runs in its
        // own process.
        std::atomic<bool> done = false;
        BenchSupport::Measured measured;
        std::thread child([&] {
            measured = peakOf(QCoreApplication::applicationFilePath(), arguments, served.scratch.filePath("save.time"));
            done = true;
        });
        while (!done)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        child.join();
        const BenchSupport::Measured render = peakOf(BenchSupport::binary(), {QStringLiteral("--render"), served.dir},
                                                     served.scratch.filePath("render.time"), served.env, {2});
        if (!measured.ok || !render.ok)
            state.SkipWithError("the download or the render failed");
        peak = std::max(peak, measured.peakBytes);
        renderPeak = std::max(renderPeak, render.peakBytes);
        state.SetIterationTime(measured.seconds);
    }
    state.counters["answer_MB"] = double(served.answers.at(answer).size()) / 1e6;
    state.counters["kept_MB"] = double(QFile(served.picture).size()) / 1e6;
    state.counters["peak_MB"] = peak / 1e6;
    state.counters["render_peak_MB"] = renderPeak / 1e6;
}

} // namespace

BENCHMARK(BM_DownloadPeak)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(3);

int main(int argc, char **argv)
{
    if (argc == 4 && QByteArrayView(argv[1]) == "--save") {
        QCoreApplication app(argc, argv);
        return TaskWait::result(saveOnce(QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3])));
    }
    return BenchSupport::run(argc, argv);
}
