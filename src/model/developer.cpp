#include "model/developer.h"

#include "claude/clauderunner.h"
#include "claude/streamcollector.h"
#include "core/atomicfile.h"
#include "core/canceltoken.h"
#include "core/filedescriptor.h"
#include "core/filesizes.h"
#include "core/folderlock.h"
#include "core/jsonread.h"
#include "core/poolthread.h"
#include "core/ownthread.h"
#include "core/privatetemp.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "model/developtexts.h"
#include "model/folderclaim.h"
#include "model/generator.h"
#include "model/buildplaces.h"
#include "model/plan.h"
#include "model/planguard.h"
#include "model/worktreegit.h"
#include "model/worktreesnapshot.h"
#include "process/childprocess.h"
#include "process/pipepump.h"
#include "process/spawn.h"
#include "settings/apppaths.h"
#include "settings/appsettings.h"

#include <QCoreApplication>
#include <QCoroFuture>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QLocale>
#include <QPointer>
#include <QPromise>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

const QString toolPrefix = QStringLiteral("도구: ");
const QString endPrefix = QStringLiteral("끝 (");
const QString stopped = QStringLiteral("멈췄어요. 그때까지 쓴 코드는 작업 폴더에 남아 있어요.");
const QString worktreeFailed = QStringLiteral("작업 폴더를 만들지 못했어요: ");
// How long a login must still hold when a confined run starts.
constexpr qint64 loginMargin = 30 * 60;
const QString expiredLogin = QStringLiteral(
    "Claude 로그인이 곧 만료돼요. 개발 실행은 격리되어 있어서 Claude 가 그 안에서 로그인을 새로 고칠 수 없어요. 계획서 "
    "다듬기를 한 번 하거나 터미널에서 `claude` 를 한 번 실행해 로그인을 새로 고친 뒤 다시 시작해 주세요.");
constexpr qsizetype pathTailLength = 60;
// Local settings and keys an app checkout keeps out of git, which a fresh
// worktree would lack.
const QStringList propertiesFiles{QStringLiteral("local.properties"), QStringLiteral("keystore.properties"),
                                  QStringLiteral("secrets.properties")};

// `git status --porcelain -z` entries to paths: the text after the two
// status characters and their space, in git's order. Entries end in NUL and
// are never quoted, so names with spaces or Hangul come out as they are; a
// rename or copy is followed by its original path, which is skipped. A name
// that is not UTF-8 is kept, its stray bytes shown as U+FFFD, so it still
// counts.
QStringList changedPaths(const QByteArray &status)
{
    QStringList paths;
    const QList<QByteArray> entries = status.split('\0');
    for (qsizetype i = 0; i < entries.size(); ++i) {
        if (entries[i].isEmpty())
            continue;
        paths.append(QString::fromUtf8(entries[i].mid(3)));
        if (entries[i].startsWith('R') || entries[i].startsWith('C'))
            ++i;
    }
    return paths;
}

QString changedCount(const QStringList &changed)
{
    return QStringLiteral("바뀐 파일 ") + QString::number(changed.size()) + QStringLiteral("개");
}

QString lastCharacters(const QString &text, qsizetype count)
{
    const QStringList characters = Text::graphemes(text);
    return characters.mid(std::max<qsizetype>(0, characters.size() - count)).join(QString());
}

// The amount after the first "$" of an end line, read in the C locale.
std::optional<double> reportedCost(const QString &line)
{
    static const QRegularExpression amount(QStringLiteral("\\$([0-9.]+)"));
    const QRegularExpressionMatch match = amount.match(line);
    if (!match.hasMatch())
        return std::nullopt;
    bool ok = false;
    const double value = QLocale::c().toDouble(match.captured(1), &ok);
    if (!ok || !std::isfinite(value))
        return std::nullopt;
    return value;
}

Plan readPlan(const QString &planDir)
{
    const std::optional<QByteArray> bytes =
        RegularFile::read(QDir(planDir).filePath(QStringLiteral("plan.json")), FileSizes::plan);
    if (!bytes)
        return Plan();
    try {
        return Plan::decode(*bytes);
    } catch (const JSONDecodeError &) {
        return Plan();
    }
}

QString absoluteFolder(const QString &path)
{
    return QDir::cleanPath(QFileInfo(AppPaths::expandHome(path)).absoluteFilePath());
}

const QString unconfined = QStringLiteral(
    "이 시스템에서는 bwrap 격리를 시작할 수 없어서, 빌드가 작업 폴더 밖에도 쓸 수 있는 채로 실행했어요.");

// The branch checked out in the worktree at `folder`, read from git's own
// files there (its .git names its folder in the repository, whose HEAD
// names the branch); nothing for a folder that is no worktree or whose HEAD
// is no branch.
std::optional<QString> worktreeBranch(const QString &folder)
{
    const std::optional<QByteArray> pointer = RegularFile::read(folder + QStringLiteral("/.git"), FileSizes::gitPointer);
    if (!pointer || !pointer->startsWith("gitdir: "))
        return std::nullopt;
    const QString gitDir = QDir(folder).absoluteFilePath(QString::fromUtf8(pointer->mid(8).trimmed()));
    const std::optional<QByteArray> head = RegularFile::read(gitDir + QStringLiteral("/HEAD"), FileSizes::gitPointer);
    if (!head || !head->startsWith("ref: refs/heads/"))
        return std::nullopt;
    return QString::fromUtf8(head->mid(16).trimmed());
}

// The folder of the worktree of `branch`: `named` (see worktreePath) when it
// is free or that branch's worktree; when another branch's worktree or
// anything else has it (two names can make one folder name, "feat/probe"
// and "feat-probe"), the first of "<named>-2", "<named>-3", … that is.
QString worktreeFolder(const QString &named, const QString &branch)
{
    QString folder = named;
    for (int next = 2; QFileInfo::exists(folder) && worktreeBranch(folder) != branch; ++next)
        folder = named + QLatin1Char('-') + QString::number(next);
    return folder;
}

} // namespace

// One platform's run as its task sees it.
struct Developer::Job {
    PlatformKind platform;
    std::uint64_t start;
    QString repo;
    QString base;
    QString branch;
    QString planDir;
    AppSettings settings;
    CancelToken cancel;
    // The set-up of the platform before this one; set-ups go one at a time,
    // in the order of the start, so two platforms sharing a repository see
    // each other's branch.
    QFuture<void> turn;
    // Finished once this set-up is over, however it ended.
    std::shared_ptr<QPromise<void>> setUp;
    QString worktree;
    // The plan folder as the start found it, before any platform's Claude
    // ran: shared by the runs of one start.
    QFuture<std::shared_ptr<PlanGuard>> planFiles;
    // The worktree's git work, started ahead once the worktree is known,
    // and what it printed of the worktree's git folders.
    std::unique_ptr<WorktreeGit> git;
    QByteArray foldersNamed;
};

Developer::Developer(QObject *parent)
    : QObject(parent)
{
}

Developer::~Developer() = default;

Developer &Developer::shared()
{
    static Developer *const instance = new Developer();
    return *instance;
}

QString Developer::rawValue(PlatformKind platform)
{
    return platform == PlatformKind::android ? QStringLiteral("android") : QStringLiteral("ios");
}

QString Developer::displayName(PlatformKind platform)
{
    return platform == PlatformKind::android ? QStringLiteral("Android") : QStringLiteral("iOS");
}

std::optional<Developer::PlatformKind> Developer::platformKind(const QString &raw)
{
    for (const PlatformKind platform : platformKinds)
        if (rawValue(platform) == raw)
            return platform;
    return std::nullopt;
}

void Developer::setRuns(const Runs &runs)
{
    if (m_runs == runs)
        return;
    // A run whose record is dropped or replaced is stopped and lets go of the
    // records: Claude must not write on unseen while the application reads
    // as idle, nor the run's end land on a record that is not its own.
    for (auto it = m_runs.cbegin(); it != m_runs.cend(); ++it) {
        const bool active = it->phase == Run::Phase::preparing || it->phase == Run::Phase::writing;
        if (active && !(runs.contains(it.key()) && runs.value(it.key()) == *it))
            if (const std::shared_ptr<Job> job = m_jobs.take(it.key()).lock())
                job->cancel.cancel();
    }
    m_runs = runs;
    Q_EMIT runsChanged();
}

bool Developer::isRunning() const
{
    for (const Run &run : m_runs)
        if (run.phase == Run::Phase::preparing || run.phase == Run::Phase::writing)
            return true;
    return false;
}

void Developer::start(const QList<PlatformKind> &platforms, const QMap<PlatformKind, QString> &base,
                      const QString &branch, const QString &planDir, const AppSettings &settings)
{
    if (isRunning())
        return;
    ++m_start;
    m_planDir = planDir;
    m_runs.clear();
    QList<std::shared_ptr<Job>> jobs;
    const QFuture<std::shared_ptr<PlanGuard>> planFiles = PlanGuard::takeAside(absoluteFolder(planDir), settings);
    QFuture<void> turn = QtFuture::makeReadyFuture();
    for (const PlatformKind platform : platforms) {
        if (m_runs.contains(platform))
            continue;
        Run run;
        run.branch = branch;
        run.detail = QStringLiteral("작업 폴더를 만드는 중");
        run.started = QDateTime::currentDateTime();
        m_runs.insert(platform, run);

        auto job = std::make_shared<Job>();
        job->platform = platform;
        job->start = m_start;
        job->repo = platform == PlatformKind::android ? settings.androidRepo : settings.iosRepo;
        job->base = base.value(platform);
        job->branch = branch;
        job->planDir = planDir;
        job->settings = settings;
        job->planFiles = planFiles;
        m_jobs.insert(platform, job);
        job->turn = turn;
        job->setUp = std::make_shared<QPromise<void>>();
        job->setUp->start();
        turn = job->setUp->future();
        jobs.append(job);
    }
    Q_EMIT runsChanged();
    // The tasks own themselves and finish on their own.
    for (const std::shared_ptr<Job> &job : jobs)
        develop(job);
}

void Developer::cancel()
{
    for (const std::weak_ptr<Job> &held : std::as_const(m_jobs))
        if (const std::shared_ptr<Job> job = held.lock())
            job->cancel.cancel();
}

bool Developer::isCurrent(const Job &job) const
{
    return job.start == m_start && m_runs.contains(job.platform)
        && m_jobs.value(job.platform).lock().get() == &job;
}

template<typename Change>
void Developer::update(const Job &job, Change change)
{
    if (!isCurrent(job))
        return;
    Run &run = m_runs[job.platform];
    const Run before = run;
    change(run);
    if (!(run == before))
        Q_EMIT runsChanged();
}

void Developer::fail(const Job &job, const QString &message)
{
    update(job, [&](Run &run) {
        run.phase = Run::Phase::failed;
        run.detail = message;
        run.ended = QDateTime::currentDateTime();
    });
}

QCoro::Task<> Developer::develop(std::shared_ptr<Job> job)
{
    // A run that outlives its Developer (tests make their own) touches
    // nothing once it is gone.
    const QPointer<Developer> self(this);
    std::optional<QString> failure;
    try {
        const bool ready = co_await prepare(job);
        job->setUp->finish();
        if (ready && self)
            co_await writeCode(job);
    } catch (const std::exception &error) {
        failure = QString::fromLocal8Bit(error.what());
    } catch (...) {
        failure = QStringLiteral("알 수 없는 오류로 멈췄어요.");
    }
    // Nobody awaits this task: whatever ends it must end the run and let the
    // next platform's set-up go on, or both would wait forever.
    job->setUp->finish();
    if (!failure || !self || !isCurrent(*job))
        co_return;
    const Run::Phase phase = m_runs.value(job->platform).phase;
    if (phase == Run::Phase::preparing || phase == Run::Phase::writing)
        fail(*job, *failure);
}

QCoro::Task<bool> Developer::prepare(std::shared_ptr<Job> job)
{
    const QPointer<Developer> self(this);
    co_await job->turn;
    if (!self)
        co_return false;
    if (job->cancel.isCancelled()) {
        fail(*job, stopped);
        co_return false;
    }
    const QString repo = absoluteFolder(job->repo);
    std::optional<QString> problem;
    // The base reaches an inner `git branch` as it stands, where a leading
    // "-" would be read as an option even after "--".
    if (job->base.startsWith(QLatin1Char('-')))
        problem = QStringLiteral("“") + job->base + QStringLiteral("” 은(는) base 브랜치로 쓸 수 없어요.");
    // The name is checked here, which costs no run; a name such as ".."
    // would otherwise address the folder that holds the worktrees, which
    // exists and would be taken for a worktree.
    else if (!isBranchName(job->branch))
        problem = QStringLiteral("“") + job->branch
            + QStringLiteral("” 은(는) 브랜치 이름으로 쓸 수 없어요. 다른 작업 이름을 쓰세요.");
    // An unset repository would otherwise place the worktrees beside this
    // process's working folder and let git pick whatever repository holds it.
    else if (job->repo.trimmed().isEmpty() || !QFileInfo(repo).isDir())
        problem = worktreeFailed;
    bool existing = false;
    if (!problem) {
        job->worktree = worktreeFolder(worktreePath(job->repo, job->branch), job->branch);
        existing = QFileInfo::exists(job->worktree);
        // git makes the folders that lead to the worktree itself. Its run
        // starts while the plan folder is taken and runs git only after that.
        job->git = existing ? WorktreeGit::existing(job->worktree)
                            : WorktreeGit::created(repo, job->branch, job->worktree, job->base);
    }
    // The plan folder is taken before anything else of the run is made, so
    // that however early it ends, its record in the folder goes with it; a
    // folder that cannot be taken makes nothing.
    const QString refused = (co_await job->planFiles)->failure();
    if (!self)
        co_return false;
    if (!refused.isEmpty() || problem) {
        job->git.reset();
        fail(*job, !refused.isEmpty() ? refused : *problem);
        co_return false;
    }
    if (existing) {
        update(*job, [](Run &run) { run.detail = QStringLiteral("이미 있는 작업 폴더를 이어서 써요"); });
        co_return true;
    }
    const QByteArray printed = co_await job->git->before(job->cancel);
    if (!self)
        co_return false;
    const bool added = printed.startsWith(WorktreeGit::adding);
    // A stopped `worktree add` may have left a worktree half made, which a
    // later run would take up as it stands: it goes, with the branch made
    // for it.
    if (job->cancel.isCancelled()) {
        if (added)
            co_await WorktreeGit::remove(repo, job->worktree, job->branch);
        fail(*job, stopped);
        co_return false;
    }
    if (!QFileInfo::exists(job->worktree)) {
        fail(*job, !added && job->git->exitStatus() == WorktreeGit::branchTaken
                       ? QStringLiteral("“") + job->branch + QStringLiteral("” 브랜치가 이미 있어요. 다른 작업 이름을 쓰세요.")
                       : worktreeFailed);
        co_return false;
    }
    job->foldersNamed = printed.mid(WorktreeGit::adding.size());
    for (const QString &file : propertiesFiles) {
        if (QFileInfo(QDir(repo).filePath(file)).isFile())
            QFile::copy(QDir(repo).filePath(file), QDir(job->worktree).filePath(file));
    }
    co_return true;
}

QCoro::Task<> Developer::writeCode(std::shared_ptr<Job> job)
{
    const QPointer<Developer> self(this);
    update(*job, [&](Run &run) {
        run.phase = Run::Phase::writing;
        run.worktree = job->worktree;
        run.detail = QStringLiteral("Claude 가 계획서를 읽는 중");
    });

    ClaudeRunner runner;
    try {
        QCoro::Task<ClaudeRunner> making = Generator::makeRunner(job->settings, job->cancel);
        runner = co_await std::move(making);
    } catch (const Cancelled &) {
        if (self)
            fail(*job, stopped);
        co_return;
    } catch (const ClaudeFailure &failure) {
        if (self)
            fail(*job, failure.message);
        co_return;
    }
    if (!self)
        co_return;
    const QString planDir = absoluteFolder(job->planDir);
    // A large plan would stall the window while it is read and decoded.
    QFuture<Plan> reading = PoolThread::run(readPlan, planDir);
    const Plan plan = co_await reading;
    if (!self)
        co_return;
    // Claude works by the real paths: a confined run is given no link on the
    // way, and one in /tmp would lie under its private /tmp.
    const QString planFolder = BuildPlaces::realPath(planDir);
    const QString prompt = Developer::prompt(job->platform, job->base, job->branch, planFolder, plan);

    const PlatformKind platform = job->platform;
    const std::weak_ptr<Job> held = job;
    // Called on the runner's reader thread; each line is applied on the main
    // thread, and only while this run still holds the platform's record.
    ClaudeRunner::Progress progress = [self, platform, held](const QString &line) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, platform, held, line] {
                const std::shared_ptr<Job> running = held.lock();
                if (self && running && self->isCurrent(*running))
                    self->observe(platform, line);
            },
            Qt::QueuedConnection);
    };

    // Whatever Claude's tools do to the plan folder is undone when the run
    // ends, however it ends.
    const std::shared_ptr<PlanGuard> guard = co_await job->planFiles;
    if (!self)
        co_return;
    runner.disallowedTools = disallowedTools();
    // Recorded before the run, which can rewrite the worktree's .git where
    // it runs unconfined.
    if (job->foldersNamed.isEmpty())
        job->foldersNamed = co_await job->git->before();
    if (!self)
        co_return;
    const std::optional<WorktreeGit::Folders> folders = WorktreeGit::folders(job->foldersNamed);
    // What the worktree holds before the run, to show afterwards all the run
    // wrote there, also where git does not look; and the .git of each
    // submodule or nested repository in it, which the run must not point
    // elsewhere.
    const QString tree = BuildPlaces::realPath(job->worktree);
    QFuture<WorktreeSnapshot> taking = PoolThread::run(WorktreeSnapshot::take, tree);
    const WorktreeSnapshot before = co_await taking;
    if (!self)
        co_return;
    // The build runs code Claude may have written: the system, not a
    // pattern, keeps it inside the worktree. Where that cannot start, the
    // run goes on as before and says so; where only its private folders
    // cannot be made, it does not start.
    const bool confined = Spawn::confinementWorks();
    std::optional<QTemporaryDir> temporary;
    // Held while the run uses it: what a killed run left goes at the next
    // start, what a live one uses stays.
    FolderLock temporaryHeld;
    if (confined) {
        const std::optional<QString> privateTemp = PrivateTemp::folder();
        if (privateTemp)
            temporary.emplace(PrivateTemp::runFolderTemplate(*privateTemp, QStringLiteral("develop")));
        if (temporary && temporary->isValid())
            try {
                temporaryHeld = FolderLock::take(temporary->path());
            } catch (const FolderLock::Failure &) {
            }
        const std::optional<QString> homes = BuildPlaces::homes(tree);
        if (!temporary || !temporaryHeld.isHeld() || !homes) {
            fail(*job, QStringLiteral("격리된 빌드가 쓸 전용 폴더를 만들지 못했어요: ")
                           + (!homes ? AppPaths::support() : privateTemp.value_or(QDir::tempPath())));
            co_return;
        }
        runner.confinement = BuildPlaces::confinement(job->worktree, BuildPlaces::realPath(temporary->path()), *homes,
                                                      planDir, folders ? folders->common : QString());
        runner.confinement->readOnly += before.gitEntries();
        // A login stays with the tool: it is handed its access token, and
        // the build finds the login file, with the token that renews it,
        // empty. The tool cannot renew it in there, so one that would
        // expire during the run is renewed outside first.
        if (job->settings.claudeAuth == AppSettings::ClaudeAuth::login && !runner.apiKey) {
            if (const std::optional<ClaudeRunner::Login> login = ClaudeRunner::personalLogin()) {
                if (login->expires.isValid() && login->expires < QDateTime::currentDateTimeUtc().addSecs(loginMargin)) {
                    fail(*job, expiredLogin);
                    co_return;
                }
                runner.loginToken = login->accessToken;
                if (!login->file.isEmpty())
                    runner.confinement->hidden.append(login->file);
            }
        }
    }
    const QStringList dirs{tree, planFolder};
    const QString notice = confined ? QString() : unconfined + QLatin1Char('\n');
    QString answer;
    std::optional<QString> failure;
    try {
        answer = co_await runner.run(prompt, allowedTools(platform), dirs, tree, false, std::move(progress),
                                     ClaudeRunner::ToolResult(), job->cancel);
    } catch (const Cancelled &) {
        failure = stopped;
    } catch (const ClaudeFailure &error) {
        failure = error.message;
    } catch (const SpawnFailure &error) {
        failure = error.message;
    }
    // What the run changed in the worktree is listed while the plan folder
    // is put back and the record written: they touch different places.
    // Nothing leaves this function before the listing ends, which holds the
    // job's shell.
    std::optional<QCoro::Task<QByteArray>> listing;
    if (!failure && folders)
        listing.emplace(job->git->status());
    QCoro::Task<std::optional<QString>> guarding =
        OwnThread::result([guard, settings = job->settings] { return guard->putBackChanges(settings); }, CancelToken());
    const QString guarded = (co_await std::move(guarding)).value_or(QString());
    if (failure) {
        if (!guarded.isEmpty() && self) {
            QCoro::Task<QString> recording =
                record(platform, job->branch, notice + *failure + QStringLiteral("\n\n") + guarded, guard);
            co_await std::move(recording);
        }
        if (self)
            fail(*job, notice + (guarded.isEmpty() ? *failure : *failure + QLatin1Char('\n') + guarded));
        co_return;
    }
    QByteArray printed;
    if (listing)
        printed = co_await std::move(*listing);
    QFuture<WorktreeSnapshot> retaking = PoolThread::run(WorktreeSnapshot::take, tree);
    const WorktreeSnapshot after = co_await retaking;
    QStringList changed = changedPaths(printed);
    changed += after.changedSince(before, changed);
    // Written before the run shows as done, so a finished run's record is
    // there to read; it names every path the run wrote, as the card does.
    QString unwritten;
    if (self) {
        QString text = notice + answer + QStringLiteral("\n\n") + changedCount(changed);
        for (const QString &path : std::as_const(changed))
            text += QStringLiteral("\n- ") + path;
        if (!guarded.isEmpty())
            text += QStringLiteral("\n\n") + guarded;
        QCoro::Task<QString> writing = record(platform, job->branch, text, guard);
        unwritten = co_await std::move(writing);
    }
    if (!self)
        co_return;
    // A run whose plan had to be put back did what it must not: it does not
    // end done.
    update(*job, [&](Run &run) {
        run.phase = guarded.isEmpty() ? Run::Phase::done : Run::Phase::failed;
        run.summary = notice + answer.trimmed();
        run.changed = changed;
        run.detail = guarded.isEmpty() ? changedCount(changed) : guarded;
        if (!unwritten.isEmpty())
            run.detail += QStringLiteral(" · 개발 기록을 쓰지 못했어요: ") + unwritten;
        run.ended = QDateTime::currentDateTime();
    });
}

QCoro::Task<QString> Developer::record(PlatformKind platform, QString branch, QString text,
                                      std::shared_ptr<PlanGuard> guard)
{
    // Into an existing history folder only; a plan folder without one gets
    // no record. The record is the one write of a development run into the
    // plan folder, and the only lasting copy of Claude's account: the guard,
    // which holds the folder for the whole run, writes it beneath the folder
    // on a thread of its own. Gives why it could not be written.
    const QString record = QStringLiteral("# ") + displayName(platform) + QStringLiteral(" 개발 (") + branch
        + QStringLiteral(")\n\n") + text;
    QCoro::Task<std::optional<QString>> writing = OwnThread::result(
        [path = QStringLiteral("history/develop-") + rawValue(platform) + QStringLiteral(".md"), bytes = record.toUtf8(),
         guard] { return guard->record(path, bytes); },
        CancelToken());
    co_return (co_await std::move(writing)).value_or(QString());
}

void Developer::observe(PlatformKind platform, const QString &line)
{
    const auto found = m_runs.find(platform);
    if (found == m_runs.end() || found->phase != Run::Phase::writing)
        return;
    Run run = *found;
    if (line.startsWith(toolPrefix)) {
        const QString tool = line.mid(toolPrefix.size());
        if (tool.startsWith(QLatin1String("Edit")) || tool.startsWith(QLatin1String("Write"))) {
            QStringList words = tool.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            words.removeFirst();
            run.edits += 1;
            run.detail = QStringLiteral("코드를 쓰는 중 · ") + lastCharacters(words.join(QLatin1Char(' ')), pathTailLength);
        } else if (tool.startsWith(QLatin1String("Read")) || tool.startsWith(QLatin1String("Grep"))
                   || tool.startsWith(QLatin1String("Glob"))) {
            run.detail = QStringLiteral("기존 코드를 읽는 중");
        } else if (tool.startsWith(QLatin1String("Bash"))) {
            run.detail = QStringLiteral("빌드·확인하는 중");
        }
    } else if (line.startsWith(endPrefix)) {
        if (const std::optional<double> cost = reportedCost(line))
            run.cost = *cost;
    } else if (StreamCollector::isRetryLine(line)) {
        run.detail = line;
    }
    if (run == *found)
        return;
    *found = run;
    Q_EMIT runsChanged();
}

bool Developer::isBranchName(const QString &name)
{
    if (name.isEmpty() || name.startsWith(u'-') || name == u"HEAD")
        return false;
    // The rules of a ref name, on refs/heads/<name>: no control character,
    // space or any of ~^:?*[\ anywhere, no ".." or "@{", no "." at the end;
    // no component empty, starting with "." or ending with ".lock".
    const QByteArray ref = QByteArrayLiteral("refs/heads/") + name.toUtf8();
    if (ref.endsWith('.') || ref.contains("..") || ref.contains("@{"))
        return false;
    for (const char c : ref) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f || std::strchr(" ~^:?*[\\", c) != nullptr)
            return false;
    }
    const QList<QByteArray> components = ref.split('/');
    return std::none_of(components.cbegin(), components.cend(), [](const QByteArray &component) {
        return component.isEmpty() || component.startsWith('.') || component.endsWith(".lock");
    });
}

QString Developer::worktreePath(const QString &repo, const QString &branch)
{
    // cleanPath first: for ".../app/" the last component would be empty and
    // the worktrees would land inside the checkout.
    const QFileInfo folder(absoluteFolder(repo));
    QString name = branch;
    name.replace(QLatin1Char('/'), QLatin1Char('-'));
    return QDir(folder.path()).filePath(folder.fileName() + QStringLiteral("-worktrees/") + name);
}

QString Developer::prompt(PlatformKind platform, const QString &base, const QString &branch, const QString &planDir,
                          const Plan &plan)
{
    const QString name = displayName(platform);
    const QDir folder(planDir);
    const bool android = platform == PlatformKind::android;
    const QString module = android ? plan.meta.module.android : plan.meta.module.ios;
    const QString build = android
        ? QStringLiteral("./gradlew :presentation:") + plan.meta.module.android
            + QStringLiteral(":compileDebugKotlin (모듈 이름이 다르면 settings.gradle 에서 찾는다)")
        : QStringLiteral("xcodebuild 는 오래 걸리면 생략해도 된다. 대신 import·타입 이름을 기존 코드와 꼼꼼히 맞춘다");
    return QStringLiteral("너는 Brenix ") + name + QStringLiteral(" 앱 개발자다. 지금 폴더는 ") + name
        + QStringLiteral(" 저장소의 작업 폴더(git worktree)다.\nbase 브랜치 `") + base + QStringLiteral("` 에서 딴 `")
        + branch + QStringLiteral("` 브랜치이고, 여기서만 코드를 쓴다.\n\n## 계획서 (정답)\n- ")
        + folder.absoluteFilePath(QStringLiteral("plan.md")) + QStringLiteral(" — 먼저 전부 읽는다.\n- ")
        + folder.absoluteFilePath(QStringLiteral("plan.json"))
        + QStringLiteral(" — 필드·규칙·이동의 정확한 값은 여기서 확인한다.\n- 화면 그림: ")
        + folder.absoluteFilePath(QStringLiteral("img"))
        + QStringLiteral("/ (plan.json screens[].image.before). 레이아웃은 그림을 보고 맞춘다.\n- 기능 접두어 ")
        + plan.meta.feature + QStringLiteral(", 모듈 ") + module + QString::fromUtf16(DevelopTexts::tasks) + build
        + QString::fromUtf16(DevelopTexts::answer);
}

// The plan folder is passed with --add-dir for reading the plan and its
// images. The claude tool (2.1.337) resolves "./**" against the run's
// working folder, the worktree: a Write anywhere below it goes through,
// while an Edit of the plan folder's plan.json is refused. Reads need no
// rule in the working folder and the --add-dir folders and are refused
// elsewhere; "Read(./**)" and the like only keep the tools offered.
QStringList Developer::allowedTools(PlatformKind platform)
{
    return {QStringLiteral("Read(./**)"),
            QStringLiteral("Edit(./**)"),
            QStringLiteral("Write(./**)"),
            QStringLiteral("Glob(./**)"),
            QStringLiteral("Grep(./**)"),
            platform == PlatformKind::android ? QStringLiteral("Bash(./gradlew:*)")
                                              : QStringLiteral("Bash(xcodebuild:*)"),
            QStringLiteral("Bash(git status:*)"),
            QStringLiteral("Bash(git diff:*)"),
            QStringLiteral("Bash(ls:*)")};
}

// "git diff --output=<file>" writes any file the person can, and
// "git diff --no-index <file> /dev/null" prints any file it can read. The
// claude tool (2.1.337) refuses both through these patterns, wherever the
// option stands after "git diff", and still runs "git diff --stat"; a ":*"
// in the middle of a pattern does not match.
QStringList Developer::disallowedTools()
{
    return {QStringLiteral("Bash(git diff *--output*)"), QStringLiteral("Bash(git diff *--no-index*)")};
}

QString Developer::git(const QString &dir, const QStringList &args)
{
    return Spawn::output(WorktreeGit::program, WorktreeGit::arguments(dir, args), WorktreeGit::environment())
        .value_or(QString())
        .trimmed();
}

bool Developer::branchExists(const QString &repo, const QString &name)
{
    return !git(repo, {QStringLiteral("rev-parse"), QStringLiteral("--verify"), QStringLiteral("--quiet"),
                       QStringLiteral("refs/heads/") + name})
                .isEmpty();
}

Developer::Branches Developer::branches(const QString &repo)
{
    Branches result;
    result.current = git(repo, {QStringLiteral("rev-parse"), QStringLiteral("--abbrev-ref"), QStringLiteral("HEAD")});
    result.all.append(result.current);
    const QStringList names = git(repo, {QStringLiteral("for-each-ref"), QStringLiteral("--format=%(refname:short)"),
                                         QStringLiteral("refs/heads"), QStringLiteral("refs/remotes")})
                                  .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &name : names)
        if (!name.endsWith(QLatin1String("/HEAD")) && name != QLatin1String("origin") && name != result.current)
            result.all.append(name);
    return result;
}
