#include "model/reviser.h"

#include "claude/streamcollector.h"

#include "model/prompts.h"
#include "process/spawn.h"
#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/filesizes.h"
#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/poolthread.h"
#include "core/picturefile.h"
#include "core/ownthread.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "model/conventions.h"
#include "model/folderclaim.h"
#include "model/folderrestore.h"
#include "model/generator.h"
#include "model/plan.h"
#include "model/planexport.h"
#include "model/planfiles.h"
#include "model/planfolder.h"
#include "model/planhistory.h"
#include "model/planjson.h"
#include "model/underway.h"
#include "settings/appsettings.h"
#include "settings/apppaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QRegularExpression>
#include <exception>
#include <memory>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString stampFormat = QStringLiteral("yyMMdd-HHmmss");
const QString refusal = QStringLiteral("고치지 않음");
const QString wikiLink = QStringLiteral("atlassian.net/wiki");
const QString stopped = QStringLiteral("멈췄어요");
const QString nothingChanged = QStringLiteral("Claude 가 아무것도 고치지 않았어요. 계획서는 그대로예요.");
const QString notRevised = QStringLiteral("고치지 못했어요: ");

// The folder could not be put back: the message says so and where the
// plan from before is.
QString notPutBack(const QString &reason, const QString &backup)
{
    return QStringLiteral("plan.json 을 원래대로 돌려 놓지 못했어요(") + reason
        + QStringLiteral("). 고치기 전 계획서는 백업에 있어요: ") + backup;
}

QString withNotice(const QString &notice, const QString &text)
{
    return notice.isEmpty() ? text : notice + QLatin1Char('\n') + text;
}
const QString stoppedText = QStringLiteral("멈췄어요. 고치기 전으로 돌려 놨어요.");

// A plan.json that could not be taken back after a Claude run.
struct Unreadable {
    QString message;
};

QString planPath(const QString &dir)
{
    return QDir(dir).filePath(PlanFolder::planJson);
}

QString historyPath(const QString &dir)
{
    return QDir(dir).filePath(PlanFolder::history);
}

QString logPath(const QString &dir)
{
    return QDir(historyPath(dir)).filePath(QStringLiteral("revisions.md"));
}

// The plan Claude left in the folder and its problems.
struct Edited {
    Plan plan;
    QStringList problems;
};

// Throws Unreadable.
Edited readBack(const QString &dir)
{
    QString error;
    const std::optional<QByteArray> bytes = RegularFile::read(planPath(dir), FileSizes::plan, &error);
    if (!bytes)
        throw Unreadable{QStringLiteral("plan.json 을 읽지 못했어요: ") + error};
    Edited edited;
    try {
        edited.plan = Plan::decode(*bytes);
    } catch (const JSONDecodeError &) {
        throw Unreadable{FolderRestore::brokenPlan()};
    }
    edited.problems = edited.plan.problems();
    return edited;
}

// What Claude left that no plan can hold (a key of its own, a value of
// another type, the places `dropped` names) is left out by the writer; the
// file as Claude left it is kept in history/ first, as a render keeps one.
// Gives the one line that says so, empty when nothing is left out. Throws
// PlanHistory::Failure.
QString keepLeftOut(const QString &dir, const QStringList &dropped)
{
    if (dropped.isEmpty())
        return QString();
    const std::optional<QByteArray> bytes = RegularFile::read(planPath(dir), FileSizes::plan);
    if (!bytes)
        return QString();
    const QString copy = PlanHistory::keep(dir, *bytes);
    return QStringLiteral("계획서에 담을 수 없는 내용은 빼고 저장했어요: ") + dropped.join(QStringLiteral(", "))
        + QStringLiteral(" (Claude 가 쓴 그대로: ") + copy + QLatin1Char(')');
}

// The message of whatever a step of the revision threw.
QString causeOf(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const Cancelled &) {
        return stopped;
    } catch (const ClaudeFailure &failure) {
        return failure.message;
    } catch (const SpawnFailure &failure) {
        return failure.message;
    } catch (const Unreadable &failure) {
        return failure.message;
    } catch (const PlanHistory::Failure &failure) {
        return failure.message;
    } catch (const ExportFailure &failure) {
        return failure.message;
    } catch (const std::exception &failure) {
        return QString::fromLocal8Bit(failure.what());
    } catch (...) {
        return QStringLiteral("알 수 없는 오류");
    }
}

// The phase text of a revision ended before its backup, when nothing has
// changed yet, by whatever it threw.
QString unstarted(const std::exception_ptr &error)
{
    const QString cause = causeOf(error);
    return cause == stopped ? stoppedText : notRevised + cause;
}

// Whether plan.json still holds the bytes it held before the run.
bool untouched(const QString &dir, const PlanFiles::Kept &before)
{
    return before && before.isAt(planPath(dir), FileSizes::plan);
}

// Whether the person's words ask for something to go.
bool asksRemoval(const QString &request)
{
    static const QRegularExpression removal(
        QStringLiteral("지워|지우|지운|삭제|없애|제거|비워|빼 ?줘|빼 ?주세요|빼 ?달라|remove|delete"),
        QRegularExpression::CaseInsensitiveOption);
    return removal.match(request).hasMatch();
}

// What a revision's result is worth: nothing when the plan the writer
// would write from it is the plan.json of before, byte for byte, whatever
// Claude says it did (an edit of a derived field only is recomputed
// away); a refusal when it would lose content the plan had; else the plan
// to keep, with the line saying what the writer leaves out of it (empty
// when nothing), what went as the request asked, and the conventions its
// derived fields were made with.
struct Verdict {
    enum class Kind { unchanged, loses, kept };
    Kind kind = Kind::kept;
    QString text;
    Plan plan;
    QStringList removed;
    Conventions conventions;
};

// Throws Unreadable, PlanHistory::Failure.
Verdict judge(const QString &dir, const PlanFiles::Kept &before, const QString &request, const QStringList &repos)
{
    if (untouched(dir, before))
        return {Verdict::Kind::unchanged, QString(), Plan(), {}, {}};
    PlanHistory::Revision revision = PlanHistory::judgeRevision(dir, before, asksRemoval(request));
    if (!revision.refusal.isEmpty())
        return {Verdict::Kind::loses, std::move(revision.refusal), Plan(), {}, {}};
    Conventions conventions = Conventions::load(repos).first;
    // A result that holds other content than the plan before is written
    // otherwise: only one that holds the same is derived and spelt out here.
    if (revision.sameContent && !revision.before.isEmpty()) {
        PlanExport::derive(revision.plan, dir, conventions);
        try {
            if (PlanJson::pretty(revision.plan) == revision.before)
                return {Verdict::Kind::unchanged, QString(), Plan(), {}, {}};
        } catch (const JSONCoding::EncodeError &) {
            // The write says why it cannot be made.
        }
    }
    return {Verdict::Kind::kept, keepLeftOut(dir, revision.leftOut), std::move(revision.plan),
            std::move(revision.removed), std::move(conventions)};
}

QStringList problemsBefore(const QString &dir)
{
    const std::optional<QByteArray> bytes = RegularFile::read(planPath(dir), FileSizes::plan);
    if (!bytes)
        return {};
    try {
        return Plan::decode(*bytes).problems();
    } catch (const JSONDecodeError &) {
        return {};
    }
}

// The problems of `after` that `before` does not account for: a text found
// twice before and three times after is new once.
QStringList newProblems(const QStringList &before, const QStringList &after)
{
    QHash<QString, int> left;
    for (const QString &problem : before)
        ++left[problem];
    QStringList added;
    for (const QString &problem : after) {
        int &count = left[problem];
        if (count > 0)
            --count;
        else
            added.append(problem);
    }
    return added;
}

// The Android and iOS repositories are passed with --add-dir for reading
// their conventions only. The claude tool (2.1.337) anchors "/plan.json" at
// the run's working folder, the plan folder, and refuses an Edit of any
// other file (a repository's README, a plan.json below the folder), while
// "--tools" still offers Edit by name; "./plan.json" would match at any
// depth. Reads need no rule in the working folder and the --add-dir
// folders and are refused elsewhere; "Read(./**)" and the like only keep
// the tools offered.
QStringList allowedTools(const QString &request)
{
    QStringList tools{QStringLiteral("Read(./**)"), QStringLiteral("Edit(/plan.json)"), QStringLiteral("Grep(./**)"),
                      QStringLiteral("Glob(./**)")};
    if (request.contains(wikiLink))
        tools += Generator::wikiReadTools();
    return tools;
}

QString fixPrompt(const QStringList &problems)
{
    return QStringLiteral("고친 plan.json 을 검사했더니 문제가 있다. plan.json 을 Edit 로 다시 고쳐라. "
                          "답은 처음처럼 고친 내용 1~5줄.\n- ")
        + problems.join(QStringLiteral("\n- "));
}

QString logRequest(const QString &request, const QStringList &copies)
{
    if (copies.isEmpty())
        return request;
    QStringList names;
    for (const QString &copy : copies)
        names.append(QFileInfo(copy).fileName());
    return request + QStringLiteral("\n(첨부 이미지 ") + QString::number(copies.size()) + QStringLiteral("장: ")
        + names.join(QStringLiteral(", ")) + QStringLiteral(")");
}

// Puts the folder back as it was before the revision: plan.json from the
// backup, plan.md and index.html from the snapshot taken before Claude ran.
// The backup goes only once everything is back. Gives the reason when
// something could not be put back; the backup then stays.
QString restore(const QString &dir, const QString &backup, const PlanFiles::Snapshot &before)
{
    QString error;
    const int readable = RegularFile::open(backup, O_NOFOLLOW, &error);
    if (readable < 0)
        return backup + QStringLiteral(": ") + error;
    ::close(readable);
    PlanFiles::Snapshot files = before;
    files.plan = PlanFiles::Kept::at(backup);
    error = PlanFiles::putBack(dir, files);
    if (error.isEmpty())
        QFile::remove(backup);
    return error;
}

// Claude may have edited before it refused; what it says it did not change
// must not stay changed. The backup goes only when plan.json is known to
// hold its bytes. Gives the reason when the plan could not be put back.
QString refuse(const QString &dir, const QString &backup, const PlanFiles::Snapshot &before)
{
    if (!PlanFiles::Kept::at(backup).isAt(planPath(dir), FileSizes::plan))
        return restore(dir, backup, before);
    QFile::remove(backup);
    return QString();
}

// The phase text of a run that did not finish: with the folder put back,
// `putBack`; otherwise the cause, that the plan is not back and where the
// backup is. The record stays then, so that the next use of the folder
// tries the rollback again.
QString ended(UnderWay &record, const QString &backup, const QString &notBack, const QString &cause,
              const QString &putBack)
{
    if (!notBack.isEmpty())
        return notRevised + cause + QLatin1Char('\n') + notPutBack(notBack, backup);
    record.end();
    return putBack;
}

} // namespace

struct Reviser::Run {
    quint64 id = 0;
    QString request;
    QStringList images;
    QStringList copies;
    QString dir;
    AppSettings settings;
    std::function<void()> onDone;
    CancelToken cancel;
    QString backup;
    // Held from the start to the end of the run, by every copy of it.
    std::shared_ptr<FolderClaim> claim;
    // Names the backup, and Claude's group once it runs, until the run ends.
    UnderWay record;
    // What the claim put in order before this revision, one line each.
    QString notice;
    // The folder's files before Claude ran, kept on disk: plan.json's in
    // the backup.
    PlanFiles::Snapshot files;
};

Reviser::Phase Reviser::Phase::running(const QString &text)
{
    return {Kind::running, text};
}

Reviser::Phase Reviser::Phase::done(const QString &text)
{
    return {Kind::done, text};
}

Reviser::Phase Reviser::Phase::failed(const QString &text)
{
    return {Kind::failed, text};
}

Reviser::Phase Reviser::Phase::idle()
{
    return {};
}

Reviser::Reviser(QObject *parent)
    : QObject(parent)
{
}

Reviser::~Reviser()
{
    // A revision still waiting on Claude must not come back to a gone object.
    m_cancel.cancel();
}

Reviser &Reviser::shared()
{
    static Reviser *instance = new Reviser(QCoreApplication::instance());
    return *instance;
}

bool Reviser::revise(const QString &request, const QStringList &images, const QString &dir,
                     const AppSettings &settings, std::function<void()> onDone, std::shared_ptr<FolderClaim> claim)
{
    const QString trimmed = request.trimmed();
    if (trimmed.isEmpty() && images.isEmpty())
        return false;
    if (m_phase.isRunning())
        return false;

    Run run;
    run.claim = std::move(claim);
    run.id = ++m_runId;
    run.request = trimmed.isEmpty() ? QStringLiteral("첨부 이미지대로 고쳐 줘") : trimmed;
    run.images = images;
    run.dir = dir;
    run.settings = settings;
    run.onDone = std::move(onDone);
    m_cancel = run.cancel;

    setDir(dir);
    setPhase(Phase::running(QStringLiteral("Claude 를 시작하는 중")));
    setStartedAt(QDateTime::currentDateTime());

    std::erase_if(m_tasks, [](const QCoro::Task<> &task) { return task.isReady(); });
    m_tasks.push_back(this->run(std::move(run)));
    return true;
}

void Reviser::cancel()
{
    m_cancel.cancel();
}

QCoro::Task<> Reviser::run(Run run)
{
    if (!run.claim && !co_await claimFolder(run))
        co_return;
    if (const QString failure = co_await prepare(run); !failure.isEmpty()) {
        end(run, Phase::failed(withNotice(run.notice, failure)));
        co_return;
    }
    std::optional<Phase> outcome;
    QString cause;
    try {
        outcome = co_await reviseFolder(run);
    } catch (...) {
        // Whatever goes wrong, the plan goes back and the phase ends.
        cause = causeOf(std::current_exception());
    }
    if (!outcome) {
        co_await putBack(run, cause);
        co_return;
    }
    end(run, *outcome);
    if (outcome->kind == Phase::Kind::done && run.onDone)
        run.onDone();
}

QCoro::Task<bool> Reviser::claimFolder(Run &run)
{
    // Taking the folder may roll back or rewrite it, and reads all of
    // plan.json: it runs beside the event loop like the rest.
    std::optional<std::shared_ptr<FolderClaim>> claimed;
    QString failure;
    try {
        QCoro::Task<std::optional<std::shared_ptr<FolderClaim>>> claiming = OwnThread::result(
            [dir = run.dir, settings = run.settings] {
                return std::make_shared<FolderClaim>(FolderClaim::take(dir, settings));
            },
            run.cancel);
        claimed = co_await std::move(claiming);
    } catch (const FolderClaim::Failure &error) {
        failure = error.message;
    } catch (...) {
        failure = unstarted(std::current_exception());
    }
    if (!claimed) {
        end(run, Phase::failed(failure.isEmpty() ? stoppedText : failure));
        co_return false;
    }
    run.claim = std::move(*claimed);
    // The taker of a claim handed in has told its notices already: the
    // phase's text stays the revision's own.
    run.notice = run.claim->notices().join(u'\n');
    co_return true;
}

QCoro::Task<QString> Reviser::prepare(Run &run)
{
    // File work waits on the disk: it runs beside the event loop, which
    // stays live. Until the backup is made nothing has changed, so a
    // failure only ends the run.
    try {
        const QFuture<QStringList> attached = PoolThread::run(saveAttachments, run.images, run.dir);
        run.copies = co_await attached;
        run.cancel.throwIfCancelled();
    } catch (const PlanHistory::Failure &failure) {
        co_return QStringLiteral("첨부한 그림을 보관하지 못했어요: ") + failure.message;
    } catch (...) {
        co_return unstarted(std::current_exception());
    }
    try {
        const QFuture<QString> made = PoolThread::run(backup, run.dir);
        run.backup = co_await made;
        // Until the record goes, the next use of the folder takes this run
        // for interrupted and rolls it back from the backup it names.
        run.record = UnderWay(run.dir, QFileInfo(run.backup).fileName());
        const QFuture<QString> recorded = PoolThread::run(
            [](UnderWay record, const QString &backup) {
                const QString error = record.start();
                if (!error.isEmpty())
                    QFile::remove(backup);
                return error;
            },
            run.record, run.backup);
        if (const QString error = co_await recorded; !error.isEmpty())
            throw PlanHistory::Failure{error};
    } catch (const PlanHistory::Failure &failure) {
        co_return QStringLiteral("백업하지 못했어요: ") + failure.message;
    } catch (...) {
        co_return unstarted(std::current_exception());
    }
    co_return QString();
}

QCoro::Task<Reviser::Phase> Reviser::reviseFolder(Run &run)
{
    const QFuture<PlanFiles::Snapshot> taken = PoolThread::run(
        [](const QString &dir, const QString &backup) { return PlanFiles::take(dir, PlanFiles::Kept::at(backup)); },
        run.dir, run.backup);
    run.files = co_await taken;
    const QFuture<QStringList> checked = PoolThread::run(problemsBefore, run.dir);
    const QStringList before = co_await checked;
    QPointer<Reviser> self(this);
    const quint64 id = run.id;
    const ClaudeRunner::Progress progress = [self, id](const QString &line) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, id, line] {
                if (self)
                    self->observe(id, line);
            },
            Qt::QueuedConnection);
    };
    QCoro::Task<ClaudeRunner> making = Generator::makeRunner(run.settings, run.cancel);
    ClaudeRunner runner = co_await std::move(making);
    // Should the application die, the next use of the folder ends this
    // run before it rolls the revision back.
    runner.runToken = run.record.token();
    // A typed "~/…" repository reaches Claude expanded, as in the draft.
    const QStringList dirs{run.dir, AppPaths::expandHome(run.settings.androidRepo),
                           AppPaths::expandHome(run.settings.iosRepo)};
    const QStringList tools = allowedTools(run.request);
    const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
    const QString prompt = Prompts::revise(run.request, run.settings.userName, now, run.copies);

    QString answer = (co_await runner.run(prompt, tools, dirs, run.dir, false, progress, {}, run.cancel)).trimmed();
    if (answer.startsWith(refusal))
        co_return co_await giveBack(run, answer, false);
    // Whatever Claude says it did, a plan.json that holds its bytes was not
    // revised: nothing to keep, log or undo.
    const QFuture<bool> same = PoolThread::run(untouched, run.dir, run.files.plan);
    if (co_await same)
        co_return co_await giveBack(run, nothingChanged, true);

    // The problems the revision brought are asked back once.
    const QFuture<QStringList> checking = PoolThread::run(
        [](const QString &dir) { return readBack(dir).problems; }, run.dir);
    const QStringList added = newProblems(before, co_await checking);
    QStringList left;
    if (!added.isEmpty()) {
        setPhase(Phase::running(QStringLiteral("검사에서 ") + QString::number(added.size())
                                + QStringLiteral("건 — 한 번 더 고치는 중")));
        answer = (co_await runner.run(fixPrompt(added), tools, dirs, run.dir, true, progress, {}, run.cancel)).trimmed();
        const QFuture<QStringList> rechecking = PoolThread::run(
            [](const QString &dir) { return readBack(dir).problems; }, run.dir);
        left = co_await rechecking;
    }
    co_return co_await keep(run, answer, left);
}

QCoro::Task<Reviser::Phase> Reviser::keep(Run &run, QString answer, QStringList left)
{
    // The plan judged is taken out of its future: the write below frees it
    // on its own thread, not the future here at the end.
    QFuture<Verdict> judging = PoolThread::run(judge, run.dir, run.files.plan, run.request,
                                              QStringList{run.settings.androidRepo, run.settings.iosRepo});
    co_await judging;
    Verdict verdict = judging.takeResult();
    if (verdict.kind == Verdict::Kind::unchanged)
        co_return co_await giveBack(run, nothingChanged, true);
    if (verdict.kind == Verdict::Kind::loses)
        throw Unreadable{verdict.text};

    setPhase(Phase::running(QStringLiteral("plan.md · index.html 다시 쓰는 중")));
    const QFuture<void> written = PoolThread::run(
        [](Plan &plan, const QString &dir, const Conventions &conventions) {
            PlanExport::writeAll(plan, dir, conventions);
        },
        std::move(verdict.plan), run.dir, std::move(verdict.conventions));
    co_await written;

    const QFuture<void> logged =
        PoolThread::run(appendLog, run.dir, logRequest(run.request, run.copies), answer, run.settings.userName);
    co_await logged;
    run.record.end();
    QStringList said{answer.isEmpty() ? QStringLiteral("고쳤어요") : answer};
    if (!verdict.text.isEmpty())
        said.append(verdict.text);
    if (!verdict.removed.isEmpty())
        said.append(QStringLiteral("요청대로 지운 내용: ") + verdict.removed.join(QStringLiteral(", ")));
    co_return Phase::done(withNotice(run.notice, (said + Generator::leftProblems(left)).join(QLatin1Char('\n'))));
}

QCoro::Task<Reviser::Phase> Reviser::giveBack(Run &run, QString text, bool unchanged)
{
    // Claude may have edited before it refused; what it says it did not
    // change must not stay changed.
    const QFuture<QString> refused = PoolThread::run(refuse, run.dir, run.backup, run.files);
    const QString notBack = co_await refused;
    const QString said = withNotice(run.notice, ended(run.record, run.backup, notBack, text, text));
    co_return unchanged && notBack.isEmpty() ? Phase::done(said) : Phase::failed(said);
}

QCoro::Task<> Reviser::putBack(Run &run, QString cause)
{
    // Claude's whole run has ended by now, whatever it started included: a
    // run's wait returns only then. So nothing of it writes after the plan
    // is back. Putting the backup back waits on the disk too. The phase
    // stays running until it is done, so neither a new revision nor an undo
    // comes between.
    QString notBack;
    try {
        const QFuture<QString> restored = PoolThread::run(restore, run.dir, run.backup, run.files);
        notBack = co_await restored;
    } catch (...) {
        notBack = causeOf(std::current_exception());
    }
    const QString putBack = cause == stopped ? stoppedText : QStringLiteral("고치지 못해서 원래대로 돌려 놨어요: ") + cause;
    end(run, Phase::failed(withNotice(run.notice, ended(run.record, run.backup, notBack, cause, putBack))));
}

void Reviser::end(Run &run, const Phase &phase)
{
    // The copies of the files go while the folder is still held, and the
    // folder is free again before anyone hears that the run ended.
    run.files = {};
    run.claim.reset();
    setPhase(phase);
}

void Reviser::observe(quint64 runId, const QString &line)
{
    if (runId != m_runId || !m_phase.isRunning())
        return;
    if (StreamCollector::isRetryLine(line)) {
        setPhase(Phase::running(line));
        return;
    }
    const QString tool = QStringLiteral("도구: ");
    if (!line.startsWith(tool))
        return;
    const QString rest = line.mid(tool.size());
    if (rest.startsWith(QLatin1String("Edit")))
        setPhase(Phase::running(QStringLiteral("plan.json 을 고치는 중")));
    else if (rest.startsWith(QLatin1String("Read")))
        setPhase(Phase::running(rest.contains(QLatin1String("plan.json")) ? QStringLiteral("계획서를 읽는 중")
                                                                          : QStringLiteral("자료를 보는 중")));
    else if (rest.startsWith(QLatin1String("Grep")) || rest.startsWith(QLatin1String("Glob")))
        setPhase(Phase::running(QStringLiteral("저장소·문서를 찾아보는 중")));
}

bool Reviser::undo(const QString &dir, const AppSettings &settings, std::function<void()> onDone,
                   std::shared_ptr<FolderClaim> claim)
{
    if (m_phase.isRunning())
        return false;
    // Nothing to go back to is said at once; the backup itself is chosen
    // once the folder is held.
    if (!lastBackup(dir) && !(claim && claim->rolledBack()) && PlanHistory::elsewhere(dir).isEmpty())
        return false;
    setDir(dir);
    // The files are read and written beside the event loop. The phase stays
    // running until they are done, so neither a revision nor another undo
    // comes between.
    setPhase(Phase::running(QStringLiteral("되돌리는 중")));
    struct Outcome {
        QString text;
        bool failed = false;
    };
    OwnThread::run(
        this,
        [dir, settings, claim]() -> Outcome {
            std::shared_ptr<FolderClaim> held = claim;
            try {
                if (!held)
                    held = std::make_shared<FolderClaim>(FolderClaim::take(dir, settings));
            } catch (const FolderClaim::Failure &failure) {
                return {failure.message, true};
            }
            const QString notice = claim ? QString() : held->notices().join(u'\n');
            // An undo right after an interrupted revision wants that
            // revision gone, which the claim has just done: it goes back no
            // further.
            if (held->rolledBack())
                return {notice, false};
            // Chosen with the folder held, so no other writer changes it
            // meanwhile.
            const std::optional<QString> backup = lastBackup(dir);
            if (const QString refused = PlanHistory::elsewhere(dir); !backup && !refused.isEmpty())
                return {withNotice(notice, refused), true};
            if (!backup)
                return {withNotice(notice, QStringLiteral("되돌릴 백업이 없어요")), true};
            try {
                return {withNotice(notice, FolderRestore::undo(dir, *backup, settings)), false};
            } catch (const FolderRestore::Failure &failure) {
                return {withNotice(notice, failure.message), true};
            }
        },
        [this, onDone](const Outcome &outcome) {
            if (outcome.failed) {
                undoFailed(outcome.text);
                return;
            }
            setPhase(Phase::done(outcome.text));
            if (onDone)
                onDone();
        });
    return true;
}

void Reviser::undoFailed(const QString &message)
{
    setPhase(Phase::failed(QStringLiteral("되돌리지 못했어요: ") + message));
}

QString Reviser::backup(const QString &dir)
{
    return PlanHistory::backup(dir);
}

std::optional<QString> Reviser::lastBackup(const QString &dir)
{
    return PlanHistory::lastBackup(dir);
}

QString Reviser::logFile(const QString &dir)
{
    return logPath(dir);
}

void Reviser::appendLog(const QString &dir, const QString &request, const QString &answer, const QString &by)
{
    if (!RegularFile::isOwnFolder(historyPath(dir)))
        return;
    const QString path = logPath(dir);
    // Read and written beneath the folder: a history/ swapped for a link
    // meanwhile takes no log elsewhere.
    const PlanFolder folder(dir);
    const QString log = QDir(dir).relativeFilePath(path);
    QByteArray previous;
    // A link at the name is replaced, and what it leads to is no log of
    // this plan's; a log that cannot be read is not written over.
    if (!RegularFile::isFree(path)) {
        QString error;
        const std::optional<QByteArray> bytes = folder.read(log, FileSizes::log, &error);
        if (!bytes && error != RegularFile::linked())
            return;
        previous = bytes.value_or(QByteArray());
    }
    const QString entry = QStringLiteral("## ") + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
        + QStringLiteral(" · ") + by + QStringLiteral("\n\n> ") + QString(request).replace(u'\n', QStringLiteral("\n> "))
        + QStringLiteral("\n\n") + answer + QStringLiteral("\n\n");
    folder.write(log, entry.toUtf8() + previous);
}

QString Reviser::rollbackRequest()
{
    return QStringLiteral("(중단된 고치기 되돌림)");
}

QString Reviser::lastRequest(const QString &dir)
{
    // A history/ that leads elsewhere holds no request of this plan's.
    const std::optional<QByteArray> bytes = RegularFile::isOwnFolder(historyPath(dir))
        ? RegularFile::read(logPath(dir), FileSizes::log)
        : std::nullopt;
    if (!bytes)
        return QString();
    const QStringList lines = QString::fromUtf8(*bytes).split(u'\n');
    qsizetype at = 0;
    int undone = 0;
    for (;;) {
        while (at < lines.size() && !lines.at(at).startsWith(QLatin1String("> ")))
            ++at;
        QStringList pieces;
        for (; at < lines.size() && lines.at(at).startsWith(u'>'); ++at)
            pieces.append(lines.at(at).mid(lines.at(at).startsWith(QLatin1String("> ")) ? 2 : 1));
        const QString joined = pieces.join(u' ');
        qsizetype start = 0;
        qsizetype end = joined.size();
        while (start < end && (joined.at(start) == u' ' || joined.at(start) == u'\t'))
            ++start;
        while (end > start && (joined.at(end - 1) == u' ' || joined.at(end - 1) == u'\t'))
            --end;
        const QString request = joined.mid(start, end - start);
        if (pieces.isEmpty())
            return QString();
        // A rollback took its revision's backup with it: an undo takes back
        // the change logged before it. An undo took back the newest change
        // not yet taken back before it, whose backup it used. Their answers
        // are ours, so the next heading is the next entry's.
        if (request == undoRequest())
            ++undone;
        else if (request != rollbackRequest() && undone-- == 0)
            return request;
        while (at < lines.size() && !lines.at(at).startsWith(QLatin1String("## ")))
            ++at;
    }
}

QString Reviser::undoRequest()
{
    return QStringLiteral("(되돌리기)");
}

QStringList Reviser::saveAttachments(const QStringList &images, const QString &dir)
{
    if (images.isEmpty())
        return {};
    const QString folder = QDir(historyPath(dir)).filePath(QStringLiteral("attachments"));
    // Nothing is written through a history/ or attachments/ that leads
    // elsewhere; the backup, made next, says why the revision stops.
    QString error;
    if (!RegularFile::ownFolder(historyPath(dir), &error))
        return {};
    // A picture the person gave is never dropped unsaid.
    if (!RegularFile::ownFolder(folder, &error))
        throw PlanHistory::Failure{error};
    const QString stamp = QDateTime::currentDateTime().toString(stampFormat);
    QStringList copies;
    for (qsizetype i = 0; i < images.size(); ++i) {
        const std::optional<PictureFile::Opened> picture = PictureFile::open(images.at(i), &error);
        if (!picture)
            continue;
        const QString stem = stamp + QLatin1Char('-') + QString::number(i + 1);
        // A copy never replaces an earlier request's picture.
        try {
            copies.append(PlanHistory::addFile(dir, folder, stem, QLatin1Char('.') + picture->suffix(),
                                               [&picture](QIODevice &out) { return picture->copyTo(out); }));
        } catch (const PlanHistory::Failure &) {
        }
    }
    return copies;
}

void Reviser::setPhase(const Phase &phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    Q_EMIT phaseChanged();
}

void Reviser::setStartedAt(const QDateTime &when)
{
    m_startedAt = when;
    Q_EMIT startedAtChanged();
}

void Reviser::setDir(const QString &dir)
{
    if (m_dir == dir)
        return;
    m_dir = dir;
    Q_EMIT dirChanged();
}
