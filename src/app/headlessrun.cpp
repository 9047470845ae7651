#include "app/headlessrun.h"

#include "core/filedescriptor.h"
#include "model/generator.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <unistd.h>

namespace HeadlessRun {

namespace {

constexpr int tickMs = 500;

} // namespace

void keepAlive(std::function<void()> start, std::function<void()> tick)
{
    auto *timer = new QTimer(QCoreApplication::instance());
    timer->setInterval(tickMs);
    QObject::connect(timer, &QTimer::timeout, timer, std::move(tick));
    QTimer::singleShot(0, QCoreApplication::instance(), [timer, start = std::move(start)] {
        timer->start();
        start();
    });
    std::exit(QCoreApplication::exec());
}

void print(const QStringList &lines)
{
    if (lines.isEmpty())
        return;
    QByteArray bytes;
    for (const QString &line : lines) {
        bytes += line.toUtf8();
        bytes += '\n';
    }
    std::fflush(stdout);
    FileDescriptor::writeAll(STDOUT_FILENO, bytes);
}

void followGeneration(std::function<void()> start)
{
    Generator &generator = Generator::shared();
    // Every line as it is added: the published log keeps only the last
    // lines, and more than that may come between two looks.
    const auto pending = std::make_shared<QStringList>();
    QObject::connect(&generator, &Generator::lineAdded, QCoreApplication::instance(),
                     [pending](const QString &line) { pending->append(line); });
    keepAlive(std::move(start), [pending, &generator] {
        print(std::exchange(*pending, QStringList()));
        const Generator::Phase phase = generator.phase();
        if (phase.kind == Generator::Phase::Kind::done) {
            print({QStringLiteral("완료: ") + phase.dir});
            std::exit(0);
        }
        if (phase.kind == Generator::Phase::Kind::failed) {
            std::fflush(stdout);
            FileDescriptor::writeAll(STDERR_FILENO, (QStringLiteral("실패: ") + phase.text + QLatin1Char('\n')).toUtf8());
            std::exit(1);
        }
    });
}

} // namespace HeadlessRun
