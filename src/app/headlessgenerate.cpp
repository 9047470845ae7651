#include "app/headlessgenerate.h"

#include "app/headless.h"
#include "app/headlessrun.h"
#include "core/jsonread.h"
#include "core/filesizes.h"
#include "core/regularfile.h"
#include "model/generateinput.h"
#include "model/generator.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <memory>
#include <utility>

namespace HeadlessGenerate {

namespace {

QString option(const QStringList &arguments, const char *flag, const QString &fallback = QString())
{
    return Headless::value(arguments, QString::fromLatin1(flag)).value_or(fallback);
}

// A list option split at every ","; empty pieces are dropped, the others
// kept as written.
std::optional<QStringList> listOption(const QStringList &arguments, const char *flag)
{
    const std::optional<QString> value = Headless::value(arguments, QString::fromLatin1(flag));
    if (!value)
        return std::nullopt;
    return value->split(QLatin1Char(','), Qt::SkipEmptyParts);
}

// The shared Generator as the command line follows it: every log line once,
// in order, however many come between two looks; then "완료: <folder>", or
// "실패: <message>" once nothing of the run writes any more.
[[noreturn]] void follow(std::function<void()> start)
{
    Generator &generator = Generator::shared();
    // Every line as it is added: the published log keeps only the last
    // lines, and more than that may come between two looks.
    const auto pending = std::make_shared<QStringList>();
    QObject::connect(&generator, &Generator::lineAdded, QCoreApplication::instance(),
                     [pending](const QString &line) { pending->append(line); });
    // Set once no run writes plan files or takes them back any more.
    const auto writesOver = std::make_shared<bool>(false);
    const auto waiting = std::make_shared<bool>(false);
    const auto changed = std::make_shared<std::function<void()>>();
    HeadlessRun::follow({
        std::move(start),
        [&generator, writesOver, waiting, changed] {
            using Kind = HeadlessRun::Look::Kind;
            const Generator::Phase phase = generator.phase();
            switch (phase.kind) {
            case Generator::Phase::Kind::done:
                return HeadlessRun::Look{Kind::done, {QStringLiteral("완료: ") + phase.dir}, {}};
            case Generator::Phase::Kind::failed:
                // A stop while the files are written shows at once, but the
                // run takes them back only afterwards.
                if (!std::exchange(*waiting, true))
                    generator.afterWrites([writesOver, changed] {
                        *writesOver = true;
                        (*changed)();
                    });
                if (!*writesOver)
                    return HeadlessRun::Look{Kind::running, {}, {}};
                return HeadlessRun::Look{Kind::failed, {}, QStringLiteral("실패: ") + phase.text};
            case Generator::Phase::Kind::running:
                return HeadlessRun::Look{Kind::running, {}, {}};
            case Generator::Phase::Kind::idle:
                break;
            }
            return HeadlessRun::Look{};
        },
        [pending] { return std::exchange(*pending, QStringList()); },
        // Claude's run (and all it started) ends like at the stop button.
        [&generator] { generator.cancel(); },
        [&generator, changed](std::function<void()> tell) {
            *changed = tell;
            QObject::connect(&generator, &Generator::phaseChanged, QCoreApplication::instance(), tell);
            QObject::connect(&generator, &Generator::lineAdded, QCoreApplication::instance(), tell);
        },
    });
}

} // namespace

void generate(const QStringList &arguments, const AppSettings &settings)
{
    const std::optional<FigmaLink> link = FigmaLink::parse(option(arguments, "--generate"));
    if (!link)
        Headless::fail(QStringLiteral("피그마 URL 을 읽지 못했어요"));
    const std::optional<QString> feature = Headless::value(arguments, QStringLiteral("--feature"));
    if (!feature)
        Headless::fail(QStringLiteral("--feature 가 필요해요"));

    GenerateInput input;
    input.link = *link;
    input.feature = *feature;
    input.module.android = option(arguments, "--android", QStringLiteral("bazaar"));
    input.module.androidFeatureDir = option(arguments, "--android-dir");
    input.module.ios = option(arguments, "--ios", QStringLiteral("Bazaar"));
    input.module.iosGroup = option(arguments, "--ios-group", QStringLiteral("Feed"));
    input.includeLabels = GenerateInput::labelSet(listOption(arguments, "--labels").value_or(QStringList()));
    input.title = option(arguments, "--title");
    input.notes = option(arguments, "--notes");
    input.apiDocs = listOption(arguments, "--api-doc");
    input.specDocs = listOption(arguments, "--spec-doc");

    follow([input, settings] { Generator::shared().start(input, settings, {}); });
}

void redraft(const QStringList &arguments, const AppSettings &settings)
{
    const QString folder = option(arguments, "--redraft");
    Headless::requireFolder(folder);
    const QString dir = QFileInfo(folder).absoluteFilePath();
    // Claimed once, here, and held by the generation to its end.
    const auto claim = std::make_shared<FolderClaim>(Headless::claim(dir, settings));
    const QString requestPath = QDir(dir).filePath(QStringLiteral("request.json"));
    QString error;
    const std::optional<QByteArray> request = RegularFile::read(requestPath, FileSizes::fields, &error);
    const QString unreadable = QStringLiteral("request.json 을 읽지 못했어요: ") + folder + QStringLiteral(" (");
    const bool there = QFileInfo::exists(requestPath) || QFileInfo(requestPath).isSymLink();
    if (!request)
        Headless::fail(there ? unreadable + error + QLatin1Char(')') : QStringLiteral("request.json 이 없어요: ") + folder);
    GenerateInput input;
    try {
        input = GenerateInput::decode(*request);
    } catch (const JSONDecodeError &failure) {
        Headless::fail(unreadable + failure.message + QLatin1Char(')'));
    }
    if (const auto apiDocs = listOption(arguments, "--api-doc")) {
        input.apiDocs = *apiDocs;
        input.apiDocsChosen = true;
    }
    if (const auto specDocs = listOption(arguments, "--spec-doc")) {
        input.specDocs = *specDocs;
        input.specDocsChosen = true;
    }

    follow([input, dir, settings, claim] { Generator::shared().run(input, dir, settings, true, {}, claim); });
}

} // namespace HeadlessGenerate
