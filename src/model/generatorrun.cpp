#include "model/generator.h"

#include "process/spawn.h"
#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/httpfetch.h"
#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/madefrom.h"
#include "core/poolthread.h"
#include "core/ownthread.h"
#include "core/filesizes.h"
#include "core/regularfile.h"
#include "figma/figmaerror.h"
#include "model/conventions.h"
#include "model/folderclaim.h"
#include "model/folderrestore.h"
#include "model/planexport.h"
#include "model/planfiles.h"
#include "model/planfolder.h"
#include "model/planhistory.h"
#include "model/reviser.h"
#include "model/textboxplacement.h"
#include "settings/apppaths.h"
#include "settings/updater.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QScopeGuard>
#include <cerrno>
#include <sys/stat.h>

namespace {

// How long a run waits for a stopped run of the same folder to end.
constexpr std::chrono::seconds stoppedRunEnds(30);
constexpr std::chrono::seconds otherHolder(3);

QString firstNonEmpty(std::initializer_list<QString> values)
{
    for (const QString &value : values)
        if (!value.isEmpty())
            return value;
    return QString();
}

// What a save replaced, so that a stop that came while it wrote can take
// its files back: plan.json from the backup the save made, plan.md and
// index.html from their earlier bytes; a file that was not there goes.
struct Replaced {
    Plan plan;
    QString backup;
    std::optional<QByteArray> markdown;
    std::optional<QByteArray> page;
    std::optional<QByteArray> madeFrom;
    // The log as it was before this run's entry, when it logged one.
    std::optional<std::optional<QByteArray>> log;
};

// Takes the files of a save back as they were: the three files and the
// mark through the one put-back that leaves a folder cut short known as
// such, a file that was not there removed, the log as it was. Gives the
// first file that could not be put back with its reason, empty when all
// went back; the backup is used up only then.
QString takeBack(const QString &dir, const Replaced &replaced)
{
    QString error;
    const std::optional<QByteArray> plan =
        replaced.backup.isEmpty() ? std::nullopt : RegularFile::read(replaced.backup, FileSizes::plan, &error);
    if (!replaced.backup.isEmpty() && !plan)
        return QStringLiteral("plan.json: ") + error;
    const QString notBack = PlanFiles::putBack(dir, {plan, replaced.markdown, replaced.page, replaced.madeFrom});
    if (!notBack.isEmpty())
        return notBack;
    for (const auto &[name, bytes] : {std::pair{QStringLiteral("/plan.json"), &plan},
                                      std::pair{QStringLiteral("/plan.md"), &replaced.markdown},
                                      std::pair{QStringLiteral("/index.html"), &replaced.page}})
        if (!*bytes)
            QFile::remove(dir + name);
    if (replaced.log && *replaced.log)
        AtomicFile::write(Reviser::logFile(dir), **replaced.log);
    else if (replaced.log)
        QFile::remove(Reviser::logFile(dir));
    if (plan)
        QFile::remove(replaced.backup);
    return QString();
}

Replaced writePlanFiles(Plan plan, QString dir, Conventions conventions, QString userName,
                        std::shared_ptr<const QHash<QString, QByteArray>> replacedPictures, CancelToken cancel)
{
    // A stop that came before the files leaves them all as they were.
    cancel.throwIfCancelled();
    Replaced replaced;
    replaced.markdown = RegularFile::read(dir + QStringLiteral("/plan.md"), FileSizes::plan);
    replaced.page = RegularFile::read(dir + QStringLiteral("/index.html"), FileSizes::page);
    replaced.madeFrom = MadeFrom::take(dir);
    // A redraft or a resumed run must not lose the plan it replaces.
    if (QFileInfo(dir + QStringLiteral("/plan.json")).isFile()) {
        try {
            replaced.backup = PlanHistory::backup(dir);
        } catch (const PlanHistory::Failure &failure) {
            throw GeneratorFailure{QStringLiteral("plan.json 을 백업하지 못해 저장하지 않았어요: ") + failure.message};
        }
        if (const QString notKept = FolderRestore::keepPictures(dir, replaced.backup, *replacedPictures); !notKept.isEmpty())
            throw GeneratorFailure{QStringLiteral("바뀐 그림을 백업하지 못해 저장하지 않았어요: ") + notKept};
    }
    // A save that fails part-way (a full disk at the page) leaves the folder
    // as it found it, like one a stop came to.
    try {
        PlanExport::writeAll(plan, dir, conventions);
    } catch (const ExportFailure &failure) {
        const QString notBack = takeBack(dir, replaced);
        if (notBack.isEmpty())
            throw;
        throw ExportFailure{failure.message + QStringLiteral("\n바뀌기 전 파일을 다시 놓지 못했어요(") + notBack
                            + QStringLiteral("). 다시 만들기 전 plan.json 은 여기 있어요: ") + replaced.backup};
    }
    // A redraft replaced a plan, which undo brings back: the log names it,
    // so that the undo's question names what it takes back. Logged with the
    // files, so that a stop takes both back or neither.
    // A log that cannot be read (too large, a link) is neither logged in
    // nor taken back.
    const std::optional<QByteArray> log =
        replaced.backup.isEmpty() ? std::nullopt : RegularFile::read(Reviser::logFile(dir), FileSizes::log);
    if (log || (!replaced.backup.isEmpty() && RegularFile::isFree(Reviser::logFile(dir)))) {
        replaced.log = log;
        Reviser::appendLog(dir, QStringLiteral("(다시 만들기)"), QStringLiteral("- 디자인과 문서로 계획서를 다시 만듦"),
                           userName);
    }
    // A plan folder now, held by this run: what killed runs left in it before
    // it had a plan.json goes too.
    AtomicFile::removeLeftovers(dir);
    replaced.plan = std::move(plan);
    return replaced;
}

} // namespace

QString Generator::featureComponent(const QString &feature)
{
    QString name = feature;
    // A line break or an escape in a folder's name would also reach every
    // message and terminal that names the folder.
    for (QChar &c : name)
        if (c == u'/' || c == u'\\' || c.category() == QChar::Other_Control)
            c = u'_';
    return name;
}

Generator::NewPlanDir Generator::newPlanDir(const QString &base, const QString &feature, const AppSettings &settings)
{
    const QString first = (feature.isEmpty() ? QStringLiteral("Plan") : featureComponent(feature)) + QStringLiteral("-plan");
    const QString timed = first + QLatin1Char('-') + QDateTime::currentDateTime().toString(QStringLiteral("yyMMdd-HHmm"));
    // The settings may hold a typed "~/…" path, which no file call expands.
    FolderClaim::New made = FolderClaim::makeNew(
        QDir(AppPaths::expandHome(base)).absolutePath(),
        [&](int n) { return n == 1 ? first : n == 2 ? timed : timed + QLatin1Char('-') + QString::number(n - 1); },
        settings);
    const QString failure = made.claim || !made.failure.isEmpty() ? made.failure : QStringLiteral("쓸 수 있는 이름이 없어요");
    return {made.dir, std::move(made.claim), failure};
}

void Generator::start(const GenerateInput &input, const AppSettings &settings, OnDone onDone)
{
    NewPlanDir chosen = newPlanDir(settings.outputFolder(), input.feature, settings);
    launch(input, chosen.dir, settings, false, std::move(onDone), std::move(chosen.claim), chosen.failure);
}

void Generator::run(const GenerateInput &input, const QString &dir, const AppSettings &settings, bool reuseSection,
                    OnDone onDone, std::shared_ptr<FolderClaim> claim)
{
    launch(input, dir, settings, reuseSection, std::move(onDone), std::move(claim), QString());
}

void Generator::launch(const GenerateInput &input, const QString &dir, const AppSettings &settings, bool reuseSection,
                       OnDone onDone, std::shared_ptr<FolderClaim> claim, const QString &notMade)
{
    Run run;
    run.claim = std::move(claim);
    run.notMade = notMade;
    run.id = ++m_lastRunId;
    run.dir = QDir::cleanPath(QFileInfo(dir).absoluteFilePath());
    run.input = input;
    run.settings = settings;
    m_runId = run.id;
    m_cancel = run.cancel;

    setLog({});
    setStartedAt(QDateTime::currentDateTime());
    setSummary(QString());
    setRunningDir(run.dir);
    setRunningTitle(input.title.isEmpty() ? input.feature : input.title);
    Stages fresh;
    for (const Stage stage : allStages)
        fresh.insert(stage, StageState());
    setStages(fresh);
    // The task finishes on its own; dropping it here never ends it early.
    generate(std::move(run), reuseSection, std::move(onDone));
}

void Generator::failRun(const Run &run, const QString &failure)
{
    if (!isCurrent(run))
        return;
    // The person knows the folder by its name, not by the way this process
    // holds it.
    QString message = failure;
    if (!run.at.isEmpty() && run.at != run.dir)
        message.replace(run.at, run.dir);
    add(QStringLiteral("✗ ") + message);
    setPhase(Phase::failed(message));
    const QDateTime at = QDateTime::currentDateTime();
    bool changed = false;
    for (StageState &state : m_stages) {
        if (state.status != StageState::Status::running)
            continue;
        state.status = StageState::Status::failed;
        state.ended = at;
        // What it was doing is over: the red mark says why.
        state.detail = message;
        changed = true;
    }
    if (changed)
        Q_EMIT stagesChanged();
}

QCoro::Task<> Generator::generate(Run run, bool reuseSection, OnDone onDone)
{
    // Until the run has let go of its folder, however it ends, nobody may
    // take the folder as free.
    ++m_writing;
    const auto held = qScopeGuard([this, &run] {
        run.claim.reset();
        writesEnded();
    });
    try {
        QString error;
        if (!run.notMade.isEmpty())
            throw GeneratorFailure{QStringLiteral("폴더를 만들지 못했어요: ") + run.dir + QStringLiteral(" (") + run.notMade
                                   + QLatin1Char(')')};
        if (!QDir().mkpath(run.dir))
            throw GeneratorFailure{QStringLiteral("폴더를 만들지 못했어요: ") + run.dir + QStringLiteral(" (")
                                   + FileError::describe(errno) + QLatin1Char(')')};
        co_await claimFolder(run);
        run.at = run.claim && run.claim->folder().isOpen() ? run.claim->folder().held() : run.dir;
        // The pictures are written into img/: never through a link there.
        if (!RegularFile::ownFolder(run.at + QLatin1Char('/') + PlanFolder::images, &error))
            throw GeneratorFailure{error};
        // A plan made again replaces plan.json: what stands there must be
        // the folder's own file, known before Claude starts.
        if (const QString refused = PlanFiles::notOwnPlan(run.at); !refused.isEmpty())
            throw GeneratorFailure{refused};
        add(run, QStringLiteral("폴더: ") + run.dir);
        // The file is a few hundred bytes.
        if (!AtomicFile::write(run.at + QLatin1Char('/') + PlanFolder::request, JSONCoding::pretty(run.input), &error))
            throw GeneratorFailure{QStringLiteral("request.json 을 쓰지 못했어요: ") + error};
        if (run.settings.claudeAuth == AppSettings::ClaudeAuth::apiKey)
            add(run, QStringLiteral("키링에서 Anthropic API 키 읽는 중"));
        QCoro::Task<ClaudeRunner> making = makeRunner(run.settings, run.cancel);
        run.runner = co_await std::move(making);

        const FigmaSection section = co_await figmaSection(run, reuseSection);
        const QString specDoc = co_await readDocs(
            run, run.input.specDocs, run.input.specDocsChosen, Stage::spec, PlanFolder::specDocs, QStringLiteral("기획서"),
            QStringLiteral("기획서 없음 — 넣으면 기획 의도·정책·예외 흐름을 문서대로 맞춰요"));
        const QString apiDoc = co_await readDocs(
            run, run.input.apiDocs, run.input.apiDocsChosen, Stage::api, QStringLiteral("api-docs"), QStringLiteral("API 문서"),
            QStringLiteral("API 문서 없음 — 나중에 나오면 계획서 화면의 \"문서 넣고 다시 만들기\" 로 넣어요"));
        Plan plan = co_await draft(run, section, specDoc, apiDoc);
        co_await save(run, std::move(plan), section);
        run.cancel.throwIfCancelled();
        if (!isCurrent(run))
            co_return;
        setPhase(Phase::done(run.dir));
        if (onDone)
            onDone(run.dir);
    } catch (const Cancelled &) {
        // cancel() has already told the user; a stopped run only ends.
        if (isCurrent(run))
            setPhase(Phase::failed(stoppedMessage()));
    } catch (const GeneratorFailure &failure) {
        failRun(run, failure.message);
    } catch (const ClaudeFailure &failure) {
        failRun(run, failure.message);
    } catch (const SpawnFailure &failure) {
        failRun(run, failure.message);
    } catch (const FigmaError &failure) {
        failRun(run, failure.message);
    } catch (const NetworkError &failure) {
        failRun(run, failure.message);
    } catch (const JSONDecodeError &failure) {
        failRun(run, failure.message);
    } catch (const JSONCoding::EncodeError &failure) {
        failRun(run, failure.message);
    } catch (const ExportFailure &failure) {
        failRun(run, failure.message);
    } catch (const PlanHistory::Failure &failure) {
        failRun(run, failure.message);
    } catch (const std::exception &failure) {
        failRun(run, QString::fromLocal8Bit(failure.what()));
    } catch (...) {
        // Nobody awaits this task: whatever ends it must end the run too,
        // or the views would wait for it forever.
        failRun(run, QStringLiteral("알 수 없는 오류로 멈췄어요."));
    }
}

QCoro::Task<> Generator::claimFolder(Run &run)
{
    if (!run.claim) {
        // Taking the folder may roll it back or rewrite it, and reads all of
        // plan.json: it runs on a thread of its own, the run shown as
        // running meanwhile, so that the views offer no second start. A
        // stopped run of this application may still be writing: it is
        // waited for until it has ended instead of written beside. Any other
        // holder (the window looking at the folder for a moment) is waited
        // for briefly, then the run is refused.
        if (isCurrent(run))
            setPhase(Phase::running(title(Stage::figma)));
        const std::chrono::milliseconds wait = m_writing > 1 ? std::chrono::milliseconds(stoppedRunEnds) : otherHolder;
        const QString dir = run.dir;
        const AppSettings settings = run.settings;
        std::optional<std::shared_ptr<FolderClaim>> waited;
        try {
            QCoro::Task<std::optional<std::shared_ptr<FolderClaim>>> waiting = OwnThread::result(
                [dir, settings, wait] { return std::make_shared<FolderClaim>(FolderClaim::take(dir, settings, wait)); },
                run.cancel);
            waited = co_await std::move(waiting);
        } catch (const FolderClaim::Failure &failure) {
            throw GeneratorFailure{failure.message};
        }
        if (!waited)
            throw Cancelled{};
        run.claim = std::move(*waited);
    }
    for (const QString &line : run.claim->notices())
        add(run, line);
}

QCoro::Task<> Generator::save(Run run, Plan plan, FigmaSection section)
{
    begin(run, Stage::save, QString(), 0);
    finish(plan, run.input, section);
    const auto [conventions, origin] = Conventions::load({run.settings.androidRepo, run.settings.iosRepo});
    plan.meta.generator.insert(QStringLiteral("conventions"), Conventions::describe(origin));

    // Writing a large page takes long enough to stall the window. A stop
    // comes before the files or after them: one that came while they were
    // written takes them back before the run ends.
    ++m_writing;
    const auto ended = qScopeGuard([this] { writesEnded(); });
    const QFuture<Replaced> written =
        PoolThread::run(writePlanFiles, std::move(plan), run.at, conventions, run.settings.userName,
                       std::shared_ptr<const QHash<QString, QByteArray>>(run.replacedPictures), run.cancel);
    Replaced replaced = co_await written;
    if (run.cancel.isCancelled()) {
        const QFuture<QString> takenBack = PoolThread::run(takeBack, run.at, std::move(replaced));
        co_await takenBack;
        throw Cancelled{};
    }
    plan = std::move(replaced.plan);

    if (!isCurrent(run))
        co_return;
    setSummary(QStringLiteral("화면 %1개 · 이동 %2개 · 결정 필요 %3건")
                   .arg(plan.screens.size())
                   .arg(plan.transitions.size())
                   .arg(plan.openDecisions().size()));
    finish(run, Stage::save, QStringLiteral("plan.json · plan.md · index.html"));
    add(run, QStringLiteral("완료: ") + m_summary);
}

void Generator::afterWrites(std::function<void()> then)
{
    if (m_writing == 0)
        then();
    else
        m_afterWrites.append(std::move(then));
}

void Generator::writesEnded()
{
    if (--m_writing > 0)
        return;
    // Not from inside the ending task: the waiters may start other work.
    QMetaObject::invokeMethod(
        this, [waiting = std::exchange(m_afterWrites, {})] {
            for (const std::function<void()> &then : waiting)
                then();
        },
        Qt::QueuedConnection);
}

void Generator::finish(Plan &plan, const GenerateInput &input, const FigmaSection &section)
{
    Meta &meta = plan.meta;
    if (meta.feature.isEmpty())
        meta.feature = input.feature;
    if (!input.title.isEmpty() && meta.title.isEmpty())
        meta.title = input.title;
    meta.figma.fileKey = input.link.fileKey;
    meta.figma.nodeId = input.link.nodeId;
    meta.figma.url = input.link.url;
    meta.module.android = firstNonEmpty({input.module.android, meta.module.android, QStringLiteral("bazaar")});
    meta.module.androidFeatureDir =
        firstNonEmpty({input.module.androidFeatureDir, meta.module.androidFeatureDir, input.feature.toLower()});
    meta.module.ios = firstNonEmpty({input.module.ios, meta.module.ios, QStringLiteral("Bazaar")});
    meta.module.iosGroup = firstNonEmpty({input.module.iosGroup, meta.module.iosGroup, QStringLiteral("Feed")});
    const QString version = Updater::Bundle::running().version;
    meta.generator.insert(QStringLiteral("app"),
                          QStringLiteral("quarrystone ") + (version.isEmpty() ? QStringLiteral("dev") : version));

    QHash<QString, QString> images;
    for (const FigmaFrame &frame : section.frames)
        if (frame.image && !images.contains(frame.id))
            images.insert(frame.id, *frame.image);
    for (Screen &screen : plan.screens) {
        for (const QString &node : screen.figmaNodes) {
            const auto it = images.constFind(node);
            if (it != images.constEnd()) {
                screen.image.before = *it;
                break;
            }
        }
    }
    TextBoxPlacement::placeStrings(plan, section);
}
