#include "app/headless.h"

#include "app/headlessgenerate.h"
#include "app/headlessimport.h"
#include "app/headlessrevise.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/plan.h"
#include "model/planhistory.h"
#include "model/planjson.h"
#include "model/planfolder.h"
#include "claude/clauderunner.h"
#include "process/spawn.h"
#include "core/filedescriptor.h"
#include "core/text.h"
#include "core/atomicfile.h"
#include "core/jsonread.h"
#include "core/filesizes.h"
#include "core/freedmemory.h"
#include "core/ownthread.h"
#include "core/regularfile.h"
#include "settings/apppaths.h"
#include "settings/appsettings.h"
#include "settings/browserrelay.h"
#include "settings/connections.h"

#include <QCoreApplication>
#include <QCoroTask>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QStandardPaths>
#include <QUrl>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Headless {

namespace {

const QStringList &modeFlags()
{
    static const QStringList flags{"--generate", "--render", "--redraft", "--revise", "--import", "--check-connections"};
    return flags;
}

// One line on standard error, after whatever standard output holds.
void warn(const QString &line)
{
    std::fflush(stdout);
    FileDescriptor::writeAll(STDERR_FILENO, (Text::printable(line, true) + QLatin1Char('\n')).toUtf8());
}

// How long the end waits for the shared pool's work.
constexpr int poolEndMs = 30000;

// The folder's plan as plan.json gives it. A hand-edited file may hold what
// the plan cannot carry (a misspelt key, a wrong type); the file is kept as
// it was before the rewrite drops it. The copy is kept for the person, not
// taken as an undo point, and a script that edits and renders in a loop may
// make several a second. The file's bytes and its JSON are let go before
// the plan is written out.
Plan readPlan(const QString &dir, const QString &folder)
{
    const QString path = QDir(dir).filePath(PlanFolder::planJson);
    const QString unreadable = QStringLiteral("plan.json 을 읽지 못했어요: ") + folder;
    QString error;
    const std::optional<QByteArray> bytes = RegularFile::read(path, FileSizes::plan, &error);
    if (!bytes)
        fail(unreadable + QStringLiteral(" (") + error + QLatin1Char(')'));
    PlanJson::Read read;
    try {
        read = PlanJson::read(*bytes);
    } catch (const JSONDecodeError &) {
        fail(unreadable);
    }
    if (read.wouldDrop) {
        try {
            const QString copy = PlanHistory::keep(dir, *bytes);
            warn(QStringLiteral("plan.json 에 다시 쓰면 빠지는 내용이 있어 원래 파일을 남겼어요: ") + copy);
        } catch (const PlanHistory::Failure &failure) {
            fail(QStringLiteral("plan.json 을 백업하지 못해 다시 쓰지 않았어요: ") + failure.message);
        }
    }
    Plan plan = std::move(read.plan);
    return plan;
}

// Rewrites a plan folder's derived files from its plan.json; exit 2 tells a
// script that the plan has problems although everything was written. Ends
// the process from here: a large plan goes with it, not record by record.
[[noreturn]] void render(const QString &folder, const AppSettings &settings)
{
    requireFolder(folder, PlanFolder::planJson);
    const QString dir = QFileInfo(folder).absoluteFilePath();
    // The render makes the derived files itself.
    const FolderClaim held = claim(dir, settings, false);
    Plan plan = readPlan(dir, folder);
    // The parsed JSON of a large plan goes before the render.
    FreedMemory::giveBack();

    const auto [conventions, origin] = Conventions::load({settings.androidRepo, settings.iosRepo});
    if (origin.kind == Conventions::Origin::Kind::broken)
        say(QStringLiteral("이름 규칙: ") + Conventions::describe(origin));

    try {
        // Nothing else writes while the render does: its files are made
        // lasting with one sync of the folder.
        const AtomicFile::Together together;
        Exporter::writeAll(plan, dir, conventions);
    } catch (const ExportFailure &failure) {
        fail(failure.message);
    }

    // A screen whose picture the page could not carry shows an empty frame.
    QStringList problems = plan.problems();
    const PlanFolder pictures(dir);
    for (const QString &picture : Exporter::missingPictures(plan, dir)) {
        // A picture that is there, only too large for the page, is not missing.
        const PlanFolder::Descriptor file(pictures.open(picture, O_PATH));
        struct stat status {};
        if (file.isOpen() && ::fstat(file.get(), &status) == 0 && S_ISREG(status.st_mode) && status.st_size > FileSizes::picture)
            problems.append(FileSizes::tooLarge(picture, status.st_size, FileSizes::picture));
        else
            problems.append(QStringLiteral("그림 파일이 없어요: ") + picture);
    }
    say(QStringLiteral("다시 썼어요: %1 (문제 %2건)").arg(dir, QString::number(problems.size())));
    // A problem names the plan's own words: one line each, whatever they hold.
    for (const QString &problem : problems)
        say(QStringLiteral("  · ") + Text::printable(problem));
    end(problems.isEmpty() ? 0 : 2);
}

void show(const QString &name, const Connections::Status &status)
{
    using Kind = Connections::Status::Kind;
    switch (status.kind) {
    case Kind::ok:
        say(QStringLiteral("✓ ") + name + QStringLiteral(": ") + status.text);
        return;
    case Kind::needsLogin:
        say(QStringLiteral("! ") + name + QStringLiteral(": 로그인 필요 (") + status.text + QStringLiteral(")"));
        return;
    case Kind::checking:
        say(QStringLiteral("… ") + name);
        return;
    case Kind::missing:
        say(QStringLiteral("✗ ") + name + QStringLiteral(": 연결 안 됨"));
        return;
    case Kind::notChecked:
        say(QStringLiteral("- ") + name + QStringLiteral(": ") + status.text);
        return;
    case Kind::notConnected:
        say(QStringLiteral("✗ ") + name + QStringLiteral(": ") + status.text);
        return;
    }
}

// Opens an address a check's command handed the relay in the person's
// browser, through xdg-open as their terminal would: xdg-open and the
// browser are theirs and outlive the check on purpose.
void openOutside(const QUrl &url)
{
    const QString xdgOpen = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (xdgOpen.isEmpty())
        return;
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    try {
        const pid_t pid = Spawn::run(xdgOpen, {url.toString(QUrl::FullyEncoded)}, Spawn::processEnvironment(),
                                     QDir::homePath(), null, null, null, {.outlivesApplication = true});
        QCoro::connect(Spawn::wait(pid), QCoreApplication::instance(), [](int) {});
    } catch (const SpawnFailure &) {
    }
    if (null >= 0)
        ::close(null);
}

// Runs a check on a thread of its own while this thread's loop turns, so
// that the relay opens an address the check's command hands it at once.
Connections::Status whileRelaying(std::function<Connections::Status()> check)
{
    QFuture<Connections::Status> done = OwnThread::future(std::move(check));
    QFutureWatcher<Connections::Status> watcher;
    QEventLoop loop;
    QObject::connect(&watcher, &QFutureWatcherBase::finished, &loop, &QEventLoop::quit);
    watcher.setFuture(done);
    if (!done.isFinished())
        loop.exec();
    return done.result();
}

// One line per connection; only the Claude line decides the exit code.
int checkConnections(const AppSettings &settings)
{
    QString claude = settings.claudePath;
    if (claude.isEmpty())
        claude = ClaudeRunner::findClaude().value_or(QString());
    BrowserRelay relay(openOutside);
    relay.serveCommands();

    const std::optional<Keychain::Reading> key = Connections::runKey(settings.claudeAuth);
    const Connections::Status claudeStatus = whileRelaying([&] { return Connections::checkClaude(claude, key); });
    show(QStringLiteral("Claude Code (") + (claude.isEmpty() ? QStringLiteral("없음") : claude) + QStringLiteral(")"),
         claudeStatus);

    if (settings.figmaMode == AppSettings::FigmaMode::token)
        show(QStringLiteral("Figma"), Connections::tokenStatus(QStringLiteral("개인 토큰")));
    else
        show(QStringLiteral("Figma"),
             whileRelaying([&] { return Connections::checkServer(claude, QStringLiteral("figma")); }));

    const QStringList wikis = Connections::atlassianServers();
    if (const QString problem = ClaudeRunner::userConfigProblem(); wikis.isEmpty() && !problem.isEmpty())
        say(QStringLiteral("✗ Wiki: ") + problem);
    else if (wikis.isEmpty())
        say(QStringLiteral("✗ Wiki: 연결 안 됨"));
    for (const QString &server : wikis)
        show(QStringLiteral("Wiki · ") + server, whileRelaying([&] { return Connections::checkServer(claude, server); }));

    // What the last command handed in just before its end.
    QCoreApplication::processEvents();
    return claudeStatus.kind == Connections::Status::Kind::ok ? 0 : 1;
}

} // namespace

bool wantsCommandLine(const QStringList &arguments)
{
    for (const QString &flag : modeFlags())
        if (arguments.contains(flag))
            return true;
    return false;
}

std::optional<QString> value(const QStringList &arguments, const QString &flag)
{
    const qsizetype at = arguments.indexOf(flag);
    if (at < 0 || at + 1 >= arguments.size())
        return std::nullopt;
    return arguments.at(at + 1);
}

void fail(const QString &message)
{
    warn(message);
    end(1);
}

void end(int code)
{
    std::fflush(stdout);
    Spawn::endChildren();
    // A plan file being written on the pool is finished, not cut short;
    // the bound keeps a task that waits for this thread from holding the
    // end for ever.
    QThreadPool::globalInstance()->waitForDone(poolEndMs);
    std::exit(code);
}

void requireFolder(const QString &folder, const QString &file)
{
    const QDir dir(folder);
    if (!QFileInfo(folder).isDir())
        fail(QStringLiteral("계획서 폴더가 없어요: ") + folder);
    if (!file.isEmpty() && !QFileInfo::exists(dir.filePath(file)))
        fail(file + QStringLiteral(" 이 없어요: ") + folder);
}

FolderClaim claim(const QString &dir, const AppSettings &settings, bool repair)
{
    try {
        FolderClaim claim = FolderClaim::take(dir, settings, std::chrono::milliseconds(0), repair);
        for (const QString &line : claim.notices())
            warn(line);
        return claim;
    } catch (const FolderClaim::Failure &failure) {
        fail(failure.message);
    }
}

void say(const QString &line)
{
    std::fflush(stdout);
    FileDescriptor::writeAll(STDOUT_FILENO, (Text::printable(line, true) + QLatin1Char('\n')).toUtf8());
}

void removeLeftovers(const QString &dir)
{
    if (QFileInfo(QDir(dir).filePath(PlanFolder::planJson)).isFile())
        AtomicFile::removeLeftovers(dir);
}

void run(const QStringList &arguments)
{
    // A render or an import starts no tool: neither need wait for the tool
    // search's login shell, which can take longer than the work itself.
    const bool startsTool = !value(arguments, QStringLiteral("--render")) && !value(arguments, QStringLiteral("--import"));
    AppSettings settings;
    try {
        settings = AppSettings::load(startsTool);
    } catch (const AppSettings::Failure &failure) {
        // Defaults in their place could send a plan to another folder or run
        // the tool another way than the person chose.
        fail(failure.message + QStringLiteral(" — ") + QDir(AppPaths::support()).filePath(QStringLiteral("settings.json"))
             + QStringLiteral(" 을 고치거나 치운 뒤 다시 해 주세요"));
    }
    if (const auto out = value(arguments, QStringLiteral("--out")))
        settings.outputDir = *out;

    const QList<std::pair<QString, QString>> needValues{
        {QStringLiteral("--render"), QStringLiteral("계획서 폴더를")},
        {QStringLiteral("--redraft"), QStringLiteral("계획서 폴더를")},
        {QStringLiteral("--generate"), QStringLiteral("피그마 URL 을")},
    };
    for (const auto &[flag, what] : needValues)
        if (arguments.contains(flag) && !value(arguments, flag))
            fail(flag + QStringLiteral(" 뒤에 ") + what + QStringLiteral(" 주세요"));

    if (const auto folder = value(arguments, QStringLiteral("--render")))
        render(*folder, settings);
    if (arguments.contains(QStringLiteral("--check-connections")))
        end(checkConnections(settings));
    if (value(arguments, QStringLiteral("--import")))
        HeadlessImport::importPage(arguments, settings);
    if (value(arguments, QStringLiteral("--revise")))
        HeadlessRevise::revise(arguments, settings);
    if (value(arguments, QStringLiteral("--redraft")))
        HeadlessGenerate::redraft(arguments, settings);
    if (value(arguments, QStringLiteral("--generate")))
        HeadlessGenerate::generate(arguments, settings);
    fail(QStringLiteral("피그마 URL 을 읽지 못했어요"));
}

} // namespace Headless
