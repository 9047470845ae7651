#include "model/reviser.h"

#include "claude/streamcollector.h"

#include "claude/prompts.h"
#include "process/spawn.h"
#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/jsonread.h"
#include "core/offthread.h"
#include "core/ownthread.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/folderclaim.h"
#include "model/folderrestore.h"
#include "model/generator.h"
#include "model/plan.h"
#include "model/planfiles.h"
#include "model/planhistory.h"
#include "model/underway.h"
#include "settings/appsettings.h"
#include "settings/apppaths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <exception>
#include <memory>

namespace {

const QString stampFormat = QStringLiteral("yyMMdd-HHmmss");
const QString refusal = QStringLiteral("고치지 않음");
const QString wikiLink = QStringLiteral("atlassian.net/wiki");
const QString stopped = QStringLiteral("멈췄어요");
const QString nothingChanged = QStringLiteral("Claude 가 아무것도 고치지 않았어요. 계획서는 그대로예요.");

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
    return QDir(dir).filePath(QStringLiteral("plan.json"));
}

QString historyPath(const QString &dir)
{
    return QDir(dir).filePath(QStringLiteral("history"));
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
    const std::optional<QByteArray> bytes = RegularFile::read(planPath(dir), &error);
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
// another type) is left out by the writer; the file as Claude left it is
// kept in history/ first, as a render keeps one. Gives the one line that
// says so, empty when nothing is left out. Throws PlanHistory::Failure.
QString keepLeftOut(const QString &dir)
{
    const std::optional<QByteArray> bytes = RegularFile::read(planPath(dir));
    if (!bytes)
        return QString();
    QJsonObject json;
    try {
        json = parseObject(*bytes);
    } catch (const JSONDecodeError &) {
        return QString();
    }
    const QStringList dropped = PlanHistory::droppedPlaces(json, *Plan::read(json));
    if (dropped.isEmpty())
        return QString();
    const QString copy = PlanHistory::keep(dir, *bytes);
    return QStringLiteral("계획서에 담을 수 없는 내용은 빼고 저장했어요: ") + dropped.join(QStringLiteral(", "))
        + QStringLiteral(" (Claude 가 쓴 그대로: ") + copy + QLatin1Char(')');
}

// Whether plan.json still holds the bytes it held before the run.
bool untouched(const QString &dir, const std::optional<QByteArray> &before)
{
    return before && RegularFile::read(planPath(dir)) == before;
}

QStringList problemsBefore(const QString &dir)
{
    const std::optional<QByteArray> bytes = RegularFile::read(planPath(dir));
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
    PlanFiles::Snapshot files = before;
    files.plan = RegularFile::read(backup, &error);
    if (!files.plan)
        return backup + QStringLiteral(": ") + error;
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
    const std::optional<QByteArray> now = RegularFile::read(planPath(dir));
    const std::optional<QByteArray> saved = RegularFile::read(backup);
    if (!now || !saved || *now != *saved)
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
        return QStringLiteral("고치지 못했어요: ") + cause + QLatin1Char('\n') + notPutBack(notBack, backup);
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
    // Taking the folder may roll back or rewrite it, and reads all of
    // plan.json: it runs beside the event loop like the rest.
    if (!run.claim) {
        std::optional<std::shared_ptr<FolderClaim>> claimed;
        try {
            QCoro::Task<std::optional<std::shared_ptr<FolderClaim>>> claiming = OwnThread::result(
                [dir = run.dir, settings = run.settings] {
                    return std::make_shared<FolderClaim>(FolderClaim::take(dir, settings));
                },
                run.cancel);
            claimed = co_await std::move(claiming);
        } catch (const FolderClaim::Failure &failure) {
            end(run, Phase::failed(failure.message));
            co_return;
        }
        if (!claimed) {
            end(run, Phase::failed(stoppedText));
            co_return;
        }
        run.claim = std::move(*claimed);
        // The taker of a claim handed in has told its notices already: the
        // phase's text stays the revision's own.
        run.notice = run.claim->notices().join(u'\n');
    }
    // File work waits on the disk, and a large plan takes a while to read
    // and check: all of it runs beside the event loop, which stays live.
    const QFuture<QStringList> attached = OffThread::run(saveAttachments, run.images, run.dir);
    run.copies = co_await attached;
    if (run.cancel.isCancelled()) {
        end(run, Phase::failed(withNotice(run.notice, stoppedText)));
        co_return;
    }
    try {
        const QFuture<QString> made = OffThread::run(backup, run.dir);
        run.backup = co_await made;
        // Until the record goes, the next use of the folder takes this run
        // for interrupted and rolls it back from the backup it names.
        run.record = UnderWay(run.dir, QFileInfo(run.backup).fileName());
        const QFuture<QString> recorded = OffThread::run(
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
        end(run, Phase::failed(withNotice(run.notice, QStringLiteral("백업하지 못했어요: ") + failure.message)));
        co_return;
    }
    const QFuture<PlanFiles::Snapshot> taken = OffThread::run(PlanFiles::take, run.dir);
    const PlanFiles::Snapshot files = co_await taken;

    const QFuture<QStringList> checked = OffThread::run(problemsBefore, run.dir);
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

    QString cause;
    try {
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
        if (answer.startsWith(refusal)) {
            const QFuture<QString> refused = OffThread::run(refuse, run.dir, run.backup, files);
            const QString notBack = co_await refused;
            end(run, Phase::failed(withNotice(run.notice, ended(run.record, run.backup, notBack, answer, answer))));
            co_return;
        }

        // An empty answer and no edit changed nothing: no revision to
        // keep, log or undo.
        const QFuture<bool> same = OffThread::run(untouched, run.dir, files.plan);
        if (answer.isEmpty() && co_await same) {
            const QFuture<QString> unchanged = OffThread::run(refuse, run.dir, run.backup, files);
            const QString notBack = co_await unchanged;
            const QString said = withNotice(run.notice, ended(run.record, run.backup, notBack, nothingChanged, nothingChanged));
            end(run, notBack.isEmpty() ? Phase::done(said) : Phase::failed(said));
            co_return;
        }

        // The plan read back is taken out of its future: the write below
        // frees it on its own thread, not the future here at the end.
        QFuture<Edited> first = OffThread::run(readBack, run.dir);
        co_await first;
        Edited edited = first.takeResult();
        const QStringList added = newProblems(before, edited.problems);
        QStringList left;
        if (!added.isEmpty()) {
            setPhase(Phase::running(QStringLiteral("검사에서 ") + QString::number(added.size())
                                    + QStringLiteral("건 — 한 번 더 고치는 중")));
            answer = (co_await runner.run(fixPrompt(added), tools, dirs, run.dir, true, progress, {}, run.cancel))
                         .trimmed();
            QFuture<Edited> fixed = OffThread::run(readBack, run.dir);
            co_await fixed;
            edited = fixed.takeResult();
            left = edited.problems;
        }

        const QFuture<QString> judged = OffThread::run(PlanHistory::revisionRefusal, run.dir, files.plan);
        if (const QString refused = co_await judged; !refused.isEmpty())
            throw Unreadable{refused};
        const QFuture<QString> leaving = OffThread::run(keepLeftOut, run.dir);
        const QString leftOut = co_await leaving;

        setPhase(Phase::running(QStringLiteral("plan.md · index.html 다시 쓰는 중")));
        const QFuture<void> written = OffThread::run(
            [](Plan &plan, const QString &dir, const QStringList &repos) {
                Exporter::writeAll(plan, dir, Conventions::load(repos).first);
            },
            std::move(edited.plan), run.dir, QStringList{run.settings.androidRepo, run.settings.iosRepo});
        co_await written;

        const QFuture<void> logged =
            OffThread::run(appendLog, run.dir, logRequest(run.request, run.copies), answer, run.settings.userName);
        co_await logged;
        run.record.end();
        QStringList said{answer.isEmpty() ? QStringLiteral("고쳤어요") : answer};
        if (!leftOut.isEmpty())
            said.append(leftOut);
        end(run, Phase::done(withNotice(run.notice, (said + Generator::leftProblems(left)).join(QLatin1Char('\n')))));
        if (run.onDone)
            run.onDone();
        co_return;
    } catch (const Cancelled &) {
        cause = stopped;
    } catch (const ClaudeFailure &error) {
        cause = error.message;
    } catch (const SpawnFailure &error) {
        cause = error.message;
    } catch (const Unreadable &error) {
        cause = error.message;
    } catch (const PlanHistory::Failure &error) {
        cause = error.message;
    } catch (const ExportFailure &error) {
        cause = error.message;
    } catch (const std::exception &error) {
        // Whatever else goes wrong, the plan goes back and the phase ends.
        cause = QString::fromLocal8Bit(error.what());
    }

    // Claude's whole run has ended by now, whatever it started included: a
    // run's wait returns only then. So nothing of it writes after the plan
    // is back. Putting the backup back waits on the disk too. The phase
    // stays running until it is done, so neither a new revision nor an undo
    // comes between.
    const QFuture<QString> restored = OffThread::run(restore, run.dir, run.backup, files);
    const QString notBack = co_await restored;
    const QString putBack =
        cause == stopped ? stoppedText : QStringLiteral("고치지 못해서 원래대로 돌려 놨어요: ") + cause;
    end(run, Phase::failed(withNotice(run.notice, ended(run.record, run.backup, notBack, cause, putBack))));
}

void Reviser::end(Run &run, const Phase &phase)
{
    // The folder is free again before anyone hears that the run ended.
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
    if (!lastBackup(dir) && !(claim && claim->rolledBack()))
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
    if (!QFileInfo(historyPath(dir)).isDir())
        return;
    const QString path = logPath(dir);
    QByteArray previous;
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        const std::optional<QByteArray> bytes = RegularFile::read(path);
        if (!bytes)
            return;
        previous = *bytes;
    }
    const QString entry = QStringLiteral("## ") + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
        + QStringLiteral(" · ") + by + QStringLiteral("\n\n> ") + QString(request).replace(u'\n', QStringLiteral("\n> "))
        + QStringLiteral("\n\n") + answer + QStringLiteral("\n\n");
    AtomicFile::write(path, entry.toUtf8() + previous);
}

QString Reviser::rollbackRequest()
{
    return QStringLiteral("(중단된 고치기 되돌림)");
}

QString Reviser::lastRequest(const QString &dir)
{
    const std::optional<QByteArray> bytes = RegularFile::read(logPath(dir));
    if (!bytes)
        return QString();
    const QStringList lines = QString::fromUtf8(*bytes).split(u'\n');
    qsizetype at = 0;
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
        // A rollback took its revision's backup with it: an undo takes back
        // the change logged before it. Its answer is ours, so the next
        // heading is the next entry's.
        if (request != rollbackRequest())
            return request;
        while (at < lines.size() && !lines.at(at).startsWith(QLatin1String("## ")))
            ++at;
    }
}

QStringList Reviser::saveAttachments(const QStringList &images, const QString &dir)
{
    if (images.isEmpty())
        return {};
    const QString folder = QDir(historyPath(dir)).filePath(QStringLiteral("attachments"));
    QDir().mkpath(folder);
    const QString stamp = QDateTime::currentDateTime().toString(stampFormat);
    QStringList copies;
    for (qsizetype i = 0; i < images.size(); ++i) {
        const QString suffix = QFileInfo(images.at(i)).suffix().toLower();
        const QString stem = stamp + QLatin1Char('-') + QString::number(i + 1);
        const std::optional<QByteArray> bytes = RegularFile::read(images.at(i));
        if (!bytes)
            continue;
        // A copy never replaces an earlier request's picture.
        try {
            copies.append(PlanHistory::addFile(dir, folder, stem,
                                               QLatin1Char('.') + (suffix.isEmpty() ? QStringLiteral("png") : suffix), *bytes));
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
