#include "model/reviser.h"

#include "claude/prompts.h"
#include "claude/spawn.h"
#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/jsonread.h"
#include "core/offthread.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/generator.h"
#include "model/plan.h"
#include "model/planhistory.h"
#include "settings/appsettings.h"
#include "settings/apppaths.h"
#include "settings/connections.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <exception>

namespace {

const QString stampFormat = QStringLiteral("yyMMdd-HHmmss");
const QString brokenPlan = QStringLiteral("plan.json 을 읽지 못했어요(JSON 이 깨짐)");
const QString refusal = QStringLiteral("고치지 않음");
const QString wikiLink = QStringLiteral("atlassian.net/wiki");
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

std::optional<QByteArray> readBytes(const QString &path, QString *error = nullptr)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = FileError::describe(file);
        return std::nullopt;
    }
    QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = FileError::describe(file);
        return std::nullopt;
    }
    return bytes;
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
    const std::optional<QByteArray> bytes = readBytes(planPath(dir), &error);
    if (!bytes)
        throw Unreadable{QStringLiteral("plan.json 을 읽지 못했어요: ") + error};
    Edited edited;
    try {
        edited.plan = Plan::decode(*bytes);
    } catch (const JSONDecodeError &) {
        throw Unreadable{brokenPlan};
    }
    edited.problems = edited.plan.problems();
    return edited;
}

QStringList problemsBefore(const QString &dir)
{
    const std::optional<QByteArray> bytes = readBytes(planPath(dir));
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
// their conventions only. The claude tool resolves "Edit(./plan.json)"
// against the run's working folder, the plan folder, and refuses an Edit of
// any other file (a repository's README included), while "--tools" still
// offers Edit by name.
QStringList allowedTools(const QString &request)
{
    QStringList tools{QStringLiteral("Read"), QStringLiteral("Edit(./plan.json)"), QStringLiteral("Grep"),
                      QStringLiteral("Glob")};
    if (request.contains(wikiLink))
        for (const QString &server : Connections::atlassianServers())
            tools.append(QStringLiteral("mcp__") + server);
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

// Replaces plan.json by the backup's bytes through a file beside it, so a
// failure leaves plan.json as it was and the backup untouched.
bool putBack(const QString &dir, const QString &backup)
{
    const std::optional<QByteArray> bytes = readBytes(backup);
    return bytes && AtomicFile::write(planPath(dir), *bytes);
}

// Puts the backup back and removes it; a backup that could not be put back
// stays, and the text says where.
QString restore(const QString &dir, const QString &backup, const QString &text)
{
    if (!putBack(dir, backup))
        return QFileInfo::exists(backup) ? text + QStringLiteral("\n백업: ") + backup : text;
    QFile::remove(backup);
    return text;
}

// Claude may have edited before it refused; what it says it did not change
// must not stay changed. The backup goes only when plan.json is known to
// hold its bytes. Gives the phase text.
QString refuse(const QString &dir, const QString &backup, const QString &answer)
{
    const std::optional<QByteArray> now = readBytes(planPath(dir));
    const std::optional<QByteArray> before = readBytes(backup);
    if (!now || !before || *now != *before)
        return restore(dir, backup, answer);
    QFile::remove(backup);
    return answer;
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
                     const AppSettings &settings, std::function<void()> onDone)
{
    const QString trimmed = request.trimmed();
    if (trimmed.isEmpty() && images.isEmpty())
        return false;
    if (m_phase.isRunning())
        return false;

    Run run;
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
    // File work waits on the disk, and a large plan takes a while to read
    // and check: all of it runs beside the event loop, which stays live.
    const QFuture<QStringList> attached = OffThread::run(saveAttachments, run.images, run.dir);
    run.copies = co_await attached;
    if (run.cancel.isCancelled()) {
        setPhase(Phase::failed(stoppedText));
        co_return;
    }
    try {
        const QFuture<QString> made = OffThread::run(backup, run.dir);
        run.backup = co_await made;
    } catch (const PlanHistory::Failure &failure) {
        setPhase(Phase::failed(QStringLiteral("백업하지 못했어요: ") + failure.message));
        co_return;
    }

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

    const QString failed = QStringLiteral("고치지 못해서 원래대로 돌려 놨어요: ");
    QString failure;
    try {
        QCoro::Task<ClaudeRunner> making = Generator::makeRunner(run.settings, run.cancel);
        const ClaudeRunner runner = co_await std::move(making);
        // A typed "~/…" repository reaches Claude expanded, as in the draft.
        const QStringList dirs{run.dir, AppPaths::expandHome(run.settings.androidRepo),
                               AppPaths::expandHome(run.settings.iosRepo)};
        const QStringList tools = allowedTools(run.request);
        const QString now = QDateTime::currentDateTimeUtc().toString(Qt::ISODate);
        const QString prompt = Prompts::revise(run.request, run.settings.userName, now, run.copies);

        QString answer = (co_await runner.run(prompt, tools, dirs, run.dir, false, progress, {}, run.cancel)).trimmed();
        if (answer.startsWith(refusal)) {
            const QFuture<QString> refused = OffThread::run(refuse, run.dir, run.backup, answer);
            setPhase(Phase::failed(co_await refused));
            co_return;
        }

        const QFuture<Edited> first = OffThread::run(readBack, run.dir);
        Edited edited = co_await first;
        const QStringList added = newProblems(before, edited.problems);
        if (!added.isEmpty()) {
            setPhase(Phase::running(QStringLiteral("검사에서 ") + QString::number(added.size())
                                    + QStringLiteral("건 — 한 번 더 고치는 중")));
            answer = (co_await runner.run(fixPrompt(added), tools, dirs, run.dir, true, progress, {}, run.cancel))
                         .trimmed();
            const QFuture<Edited> fixed = OffThread::run(readBack, run.dir);
            edited = co_await fixed;
        }

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
        setPhase(Phase::done(answer.isEmpty() ? QStringLiteral("고쳤어요") : answer));
        if (run.onDone)
            run.onDone();
        co_return;
    } catch (const Cancelled &) {
        failure = stoppedText;
    } catch (const ClaudeFailure &error) {
        failure = failed + error.message;
    } catch (const SpawnFailure &error) {
        failure = failed + error.message;
    } catch (const Unreadable &error) {
        failure = failed + error.message;
    } catch (const ExportFailure &error) {
        failure = failed + error.message;
    } catch (const std::exception &error) {
        // Whatever else goes wrong, the plan goes back and the phase ends.
        failure = failed + QString::fromLocal8Bit(error.what());
    }

    // Putting the backup back waits on the disk too. The phase stays running
    // until it is done, so neither a new revision nor an undo comes between.
    const QFuture<QString> restored = OffThread::run(restore, run.dir, run.backup, failure);
    setPhase(Phase::failed(co_await restored));
}

void Reviser::observe(quint64 runId, const QString &line)
{
    if (runId != m_runId || !m_phase.isRunning())
        return;
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

bool Reviser::undo(const QString &dir, const AppSettings &settings, std::function<void()> onDone)
{
    if (m_phase.isRunning())
        return false;
    const std::optional<QString> backup = lastBackup(dir);
    if (!backup)
        return false;
    setDir(dir);

    QString error;
    const std::optional<QByteArray> bytes = readBytes(*backup, &error);
    if (!bytes) {
        undoFailed(error);
        return true;
    }
    QJsonObject json;
    try {
        json = parseObject(*bytes);
    } catch (const JSONDecodeError &) {
        undoFailed(brokenPlan);
        return true;
    }
    Plan plan = *Plan::read(json);

    // Nothing makes the replaced plan an undo point, but it is the user's
    // work: it stays in history/ as a kept copy.
    try {
        if (QFileInfo::exists(planPath(dir))) {
            const std::optional<QByteArray> current = readBytes(planPath(dir), &error);
            if (!current) {
                undoFailed(error);
                return true;
            }
            PlanHistory::keep(dir, *current);
        }
    } catch (const PlanHistory::Failure &failure) {
        undoFailed(failure.message);
        return true;
    }
    if (!AtomicFile::write(planPath(dir), *bytes, &error)) {
        undoFailed(error);
        return true;
    }

    // The writer rewrites plan.json in its own form; a backup holding what
    // that form cannot carry stays as a kept copy instead of vanishing.
    try {
        if (PlanHistory::writeWouldDrop(json, plan))
            PlanHistory::keep(dir, *bytes);
    } catch (const PlanHistory::Failure &failure) {
        undoFailed(failure.message);
        return true;
    }
    QFile consumed(*backup);
    if (!consumed.remove()) {
        undoFailed(FileError::describe(consumed));
        return true;
    }

    const Conventions conventions = Conventions::load({settings.androidRepo, settings.iosRepo}).first;
    try {
        Exporter::writeAll(plan, dir, conventions);
    } catch (const ExportFailure &failure) {
        undoFailed(failure.message);
        return true;
    }
    appendLog(dir, QStringLiteral("(되돌리기)"), QStringLiteral("- 직전 고치기 전으로 되돌림"), settings.userName);
    setPhase(Phase::done(QStringLiteral("직전 고치기 전으로 되돌렸어요")));
    if (onDone)
        onDone();
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
    QStringList names;
    const QDir history(historyPath(dir));
    for (const QFileInfo &entry : history.entryInfoList(QDir::Files)) {
        const QString name = entry.fileName();
        if (name.startsWith(QLatin1String("plan-")) && entry.suffix() == QLatin1String("json"))
            names.append(name);
    }
    if (names.isEmpty())
        return std::nullopt;
    Text::sortByCodePoint(names);
    return history.filePath(names.last());
}

void Reviser::appendLog(const QString &dir, const QString &request, const QString &answer, const QString &by)
{
    if (!QFileInfo(historyPath(dir)).isDir())
        return;
    const QString path = logPath(dir);
    QByteArray previous;
    if (QFileInfo::exists(path) || QFileInfo(path).isSymLink()) {
        const std::optional<QByteArray> bytes = readBytes(path);
        if (!bytes)
            return;
        previous = *bytes;
    }
    const QString entry = QStringLiteral("## ") + QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
        + QStringLiteral(" · ") + by + QStringLiteral("\n\n> ") + QString(request).replace(u'\n', QStringLiteral("\n> "))
        + QStringLiteral("\n\n") + answer + QStringLiteral("\n\n");
    AtomicFile::write(path, entry.toUtf8() + previous);
}

QString Reviser::lastRequest(const QString &dir)
{
    const std::optional<QByteArray> bytes = readBytes(logPath(dir));
    if (!bytes)
        return QString();
    const QStringList lines = QString::fromUtf8(*bytes).split(u'\n');
    qsizetype at = 0;
    while (at < lines.size() && !lines.at(at).startsWith(QLatin1String("> ")))
        ++at;
    QStringList pieces;
    for (; at < lines.size() && lines.at(at).startsWith(u'>'); ++at)
        pieces.append(lines.at(at).mid(lines.at(at).startsWith(QLatin1String("> ")) ? 2 : 1));
    QString joined = pieces.join(u' ');
    qsizetype start = 0;
    qsizetype end = joined.size();
    while (start < end && (joined.at(start) == u' ' || joined.at(start) == u'\t'))
        ++start;
    while (end > start && (joined.at(end - 1) == u' ' || joined.at(end - 1) == u'\t'))
        --end;
    return joined.mid(start, end - start);
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
        const QString name = stamp + QLatin1Char('-') + QString::number(i + 1) + QLatin1Char('.')
            + (suffix.isEmpty() ? QStringLiteral("png") : suffix);
        const QString target = QDir(folder).filePath(name);
        const std::optional<QByteArray> bytes = RegularFile::read(images.at(i));
        if (bytes && AtomicFile::write(target, *bytes))
            copies.append(target);
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
