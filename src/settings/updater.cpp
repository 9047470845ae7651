#include "settings/updater.h"

#include "process/childprocess.h"
#include "process/spawn.h"
#include "core/atomicfile.h"
#include "core/filedescriptor.h"
#include "core/fileerror.h"
#include "core/folderlock.h"
#include "core/httpfetch.h"
#include "core/jsonread.h"
#include "core/poolthread.h"
#include "core/privatetemp.h"
#include "core/filesizes.h"
#include "core/regularfile.h"
#include "settings/appswap.h"
#include "settings/apppaths.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QNetworkRequest>
#include <QTimer>
#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <cmath>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

const QString defaultFeed = QStringLiteral("https://apps.tovanek.com");
const QString defaultIdentifier = QStringLiteral("com.tovanek.quarrystone.mac");
constexpr int checkTimeoutMs = 15'000;
// What the newest version's few lines could ever take, unpacked.
constexpr qint64 checkAnswerBytes = qint64(1) << 20;
// A download that stalls this long fails, so the install can be tried again.
constexpr int downloadStallMs = 60'000;

// Any failure of the install but the two with messages of their own; shown
// after "업데이트하지 못했어요: ".
struct InstallError {
    QString description;
};

QString quoted(const QString &path)
{
    QString text = path;
    text.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + text + QLatin1Char('\'');
}

QString failed(const QString &description)
{
    return QStringLiteral("업데이트하지 못했어요: ") + description;
}

// The package as it arrives, written to its file so that it is never held
// in memory, by a thread of its own: a write can wait for the disk, which
// the window must not. Written by hand, not through QFile, whose text for a
// full disk is no cause a person can act on.
class PackageFile
{
public:
    explicit PackageFile(const QString &path)
        : m_fd(::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600))
    {
        if (m_fd < 0)
            throw InstallError{FileError::describe(errno)};
        m_writer = std::thread([this] { writeQueued(); });
    }
    // What is still queued is dropped: the package is given up.
    ~PackageFile()
    {
        {
            const std::lock_guard locked(m_mutex);
            m_queue.clear();
            m_ending = true;
        }
        m_changed.notify_all();
        m_writer.join();
        ::close(m_fd);
    }
    PackageFile(const PackageFile &) = delete;
    PackageFile &operator=(const PackageFile &) = delete;

    // Queues the piece; gives why an earlier one could not be written. Waits
    // only while the disk is far behind the network.
    QString write(QByteArrayView piece)
    {
        std::unique_lock locked(m_mutex);
        m_changed.wait(locked, [this] { return m_queued < queueBytes || !m_error.isEmpty(); });
        if (!m_error.isEmpty())
            return m_error;
        m_queue.emplace_back(piece.data(), piece.size());
        m_queued += piece.size();
        m_changed.notify_all();
        return QString();
    }
    // Why the file is not whole; empty while every piece was written.
    QString error()
    {
        const std::lock_guard locked(m_mutex);
        return m_error;
    }
    // Waits until every queued piece is written. Blocking: off the main
    // thread. Throws InstallError.
    void finish()
    {
        std::unique_lock locked(m_mutex);
        m_changed.wait(locked, [this] { return m_queue.empty() || !m_error.isEmpty(); });
        if (!m_error.isEmpty())
            throw InstallError{m_error};
    }

private:
    static constexpr qint64 queueBytes = qint64(16) << 20;

    void writeQueued()
    {
        std::unique_lock locked(m_mutex);
        for (;;) {
            m_changed.wait(locked, [this] { return !m_queue.empty() || m_ending; });
            if (m_queue.empty())
                return;
            const QByteArray piece = m_queue.front();
            locked.unlock();
            const bool written = FileDescriptor::writeAll(m_fd, piece);
            const int error = errno;
            locked.lock();
            if (!written && m_error.isEmpty())
                m_error = FileError::describe(error);
            if (!m_queue.empty())
                m_queue.pop_front();
            m_queued -= piece.size();
            m_changed.notify_all();
        }
    }

    int m_fd;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_queue;
    qint64 m_queued = 0;
    bool m_ending = false;
    QString m_error;
    std::thread m_writer;
};

// The SHA-256 of the file at `path` in lower-case hexadecimal, read a piece
// at a time; off the main thread, whose frames it would hold.
QString sha256Of(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw InstallError{FileError::describe(file.errorString())};
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file))
        throw InstallError{FileError::describe(file.errorString())};
    return QString::fromLatin1(hash.result().toHex());
}

// The regular files of the installed application, in bytes; its links and
// whatever they point to do not count.
qint64 installedBytes(const QString &app)
{
    qint64 total = 0;
    QDirIterator walk(app, QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        walk.next();
        total += walk.fileInfo().size();
    }
    return total;
}

// The most a package may take: the size the server gives for it, else a
// few times the application it replaces, and never less than a small
// application could ever need.
qint64 packageLimit(const Updater::Latest &latest, qint64 installed)
{
    constexpr qint64 growth = 4;
    constexpr qint64 floor = qint64(64) << 20;
    return latest.size ? *latest.size : std::max(installed * growth, floor);
}

// The zip's size as the server gives it: a whole number of bytes.
std::optional<qint64> packageSize(const QJsonObject &object)
{
    const QString key = QStringLiteral("size");
    if (object.value(key).isUndefined() || object.value(key).isNull())
        return std::nullopt;
    const double number = JsonStrict::number(object, key);
    constexpr double largest = double(qint64(1) << 53);
    if (!(number >= 1 && number <= largest && number == std::floor(number)))
        throw JSONDecodeError{QStringLiteral("\"size\": 바이트 수가 아니에요")};
    return qint64(number);
}

void removeWork(const QString &work)
{
    QDir(work).removeRecursively();
}

// Runs `program` to its end as a run of its own, which ends whole with the
// application, at the limit and once the program has ended. Gives its
// exit status, -1 when it could not start.
QCoro::Task<int> runTied(QString program, QStringList args, Spawn::Environment env, QString cwd,
                         std::optional<std::chrono::milliseconds> limit)
{
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0)
        throw InstallError{FileError::describe(errno)};
    std::optional<pid_t> pid;
    try {
        pid = Spawn::run(program, args, env, cwd, devNull, devNull, devNull);
    } catch (const SpawnFailure &) {
    }
    ::close(devNull);
    if (!pid)
        co_return -1;
    const ChildProcess run(*pid);
    QTimer limiter;
    limiter.setSingleShot(true);
    QObject::connect(&limiter, &QTimer::timeout, [run] { run.kill(); });
    if (limit)
        limiter.start(*limit);
    co_return co_await Spawn::wait(*pid);
}

// The new copy starts its window as the person's next start will, but off
// screen, with a home, a support folder and a runtime folder of its own,
// and with no session bus: a check must not change the person's settings
// or plans, nor wake their keyring. An unusable bus address is given on
// purpose: with none, the bus library would look for the person's bus in
// the runtime folder, or start one on the display. Only what starting
// needs is passed on. Anything it starts anyway ends with its run.
Spawn::Environment selfCheckEnvironment(const QString &work)
{
    const Spawn::Environment ours = Spawn::processEnvironment();
    Spawn::Environment env;
    for (const QString &name : {QStringLiteral("PATH"), QStringLiteral("LANG"), QStringLiteral("LANGUAGE"),
                                QStringLiteral("LC_ALL"), QStringLiteral("LC_CTYPE"), QStringLiteral("LC_MESSAGES"),
                                QStringLiteral("TZ"), QStringLiteral("QTWEBENGINE_DISABLE_SANDBOX")})
        if (ours.contains(name))
            env.insert(name, ours.value(name));
    const QString home = work + QStringLiteral("/check-home");
    const QString runtime = work + QStringLiteral("/check-runtime");
    QDir().mkpath(home);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    env.insert(QStringLiteral("HOME"), home);
    env.insert(QStringLiteral("QUARRYSTONE_SUPPORT"), home + QStringLiteral("/support"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), QStringLiteral("disabled:"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

const QString workPrefix = QStringLiteral("quarrystone-update-");

// The update's own folder inside the private temporary folder, emptied,
// and locked for as long as this process installs from it: a folder that
// nobody holds was left by an install or a swap that was cut short.
Updater::WorkFolder workFolder(const QString &build)
{
    const std::optional<QString> base = PrivateTemp::folder();
    if (!base)
        throw InstallError{QStringLiteral("임시 폴더를 만들지 못했어요: ") + QDir::tempPath()};
    // The number, not the server's text, names the folder: the text could
    // hold "/" or "..".
    const QString work = *base + QLatin1Char('/') + workPrefix + QString::number(Updater::buildNumber(build));
    const QFileInfo existing(work);
    if (existing.isDir() && !existing.isSymLink())
        QDir(work).removeRecursively();
    else
        QFile::remove(work);
    if (!QDir().mkpath(work))
        throw InstallError{QStringLiteral("작업 폴더를 만들지 못했어요: ") + work + QStringLiteral(" (")
                           + FileError::describe(errno) + QLatin1Char(')')};
    try {
        return {work, std::make_shared<FolderLock>(FolderLock::take(work))};
    } catch (const FolderLock::Failure &failure) {
        throw InstallError{failure.message};
    }
}

// The one application folder at the top of the unpacked archive, holding
// at least what an application needs to start.
QString appIn(const QString &work)
{
    const QDir dir(work);
    if (!dir.exists())
        throw InstallError{QStringLiteral("작업 폴더를 읽지 못했어요: ") + work};
    QStringList apps;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System, QDir::Name);
    for (const QFileInfo &entry : entries)
        if (entry.suffix() == QLatin1String("app") && entry.isDir() && !entry.isSymLink())
            apps.append(entry.absoluteFilePath());
    if (apps.isEmpty())
        throw UpdaterFailure{QStringLiteral("zip 안에 앱이 없어요")};
    if (apps.size() > 1)
        throw InstallError{QStringLiteral("zip 안에 앱이 여러 개 있어요")};
    // A link would have the application run from, or write to, a place
    // outside its own folder, which the next update could not replace.
    QDirIterator walk(apps.first(), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System,
                      QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QFileInfo entry(walk.next());
        if (entry.isSymLink())
            throw InstallError{QStringLiteral("새 앱에 링크가 있어요: ")
                               + QDir(apps.first()).relativeFilePath(entry.filePath())};
    }
    for (const char *part : {"bin/quarrystone", "bin/quarrystone-window.so"}) {
        const QFileInfo file(apps.first() + QLatin1Char('/') + QLatin1String(part));
        if (!file.isFile() || file.isSymLink())
            throw InstallError{QStringLiteral("새 앱에 ") + QLatin1String(part) + QStringLiteral(" 이 없어요")};
    }
    return apps.first();
}

} // namespace

Updater::Latest Updater::Latest::decode(const QByteArray &json)
{
    const QJsonObject object = parseObject(json);
    Latest latest;
    latest.version = JsonStrict::string(object, QStringLiteral("version"));
    latest.build = JsonStrict::string(object, QStringLiteral("build"));
    latest.notes = JsonStrict::optString(object, QStringLiteral("notes"));
    latest.url = JsonStrict::string(object, QStringLiteral("url"));
    latest.sha256 = JsonStrict::optString(object, QStringLiteral("sha256"));
    latest.size = packageSize(object);
    return latest;
}

Updater::Phase Updater::Phase::idle()
{
    return Phase{Kind::idle, QString()};
}

Updater::Phase Updater::Phase::checking()
{
    return Phase{Kind::checking, QString()};
}

Updater::Phase Updater::Phase::upToDate()
{
    return Phase{Kind::upToDate, QString()};
}

Updater::Phase Updater::Phase::downloading()
{
    return Phase{Kind::downloading, QString()};
}

Updater::Phase Updater::Phase::installing()
{
    return Phase{Kind::installing, QString()};
}

Updater::Phase Updater::Phase::failed(const QString &message)
{
    return Phase{Kind::failed, message};
}

Updater::Bundle Updater::Bundle::of(const QString &executableFolder)
{
    Bundle bundle;
    bundle.version = QStringLiteral(QUARRYSTONE_VERSION);
    const QFileInfo folder(executableFolder);
    const QFileInfo app(folder.absolutePath());
    if (folder.fileName() != QLatin1String("bin") || app.suffix() != QLatin1String("app") || !app.isDir())
        return bundle;
    // The real folder: the swap must move it, not a link that points to it.
    bundle.path = app.canonicalFilePath();
    const std::optional<QByteArray> info = RegularFile::read(bundle.path + QStringLiteral("/Info.json"), FileSizes::fields);
    if (!info)
        return bundle;
    try {
        const QJsonObject values = parseObject(*info);
        bundle.identifier = JsonRead::string(values, QStringLiteral("identifier"));
        bundle.version = JsonRead::string(values, QStringLiteral("version"), bundle.version);
        bundle.build = JsonRead::string(values, QStringLiteral("build"));
        bundle.updateURL = JsonRead::string(values, QStringLiteral("updateURL"));
    } catch (const JSONDecodeError &) {
    }
    return bundle;
}

Updater::Bundle Updater::Bundle::running()
{
    return of(QCoreApplication::applicationDirPath());
}

Updater::Hooks::Hooks()
    : bundle(Bundle::running())
    , terminate([] { QCoreApplication::quit(); })
    , processId(QCoreApplication::applicationPid())
    , note(failureNote())
{
}

Updater::Updater(Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_hooks(std::move(hooks))
{
    // Shown once, at the start that follows the failed swap.
    const std::optional<QByteArray> note = RegularFile::read(m_hooks.note, FileSizes::fields);
    if (!note)
        return;
    m_swapFailure = failed(QString::fromUtf8(*note).trimmed());
    QFile::remove(m_hooks.note);
    m_phase = Phase::failed(m_swapFailure);
}

void Updater::removeAbandonedWork()
{
    const std::optional<QString> base = PrivateTemp::folder();
    if (!base)
        return;
    const QFileInfoList entries = QDir(*base).entryInfoList({workPrefix + QLatin1Char('*')},
                                                            QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QFileInfo &entry : entries) {
        if (entry.isSymLink())
            continue;
        try {
            const FolderLock held = FolderLock::take(entry.filePath());
            removeWork(entry.filePath());
        } catch (const FolderLock::Failure &) {
        }
    }
}

QString Updater::failureNote()
{
    return AppPaths::support() + QStringLiteral("/update-failed.txt");
}

Updater &Updater::shared()
{
    static Updater *const instance = new Updater();
    return *instance;
}

QString Updater::feed() const
{
    return m_hooks.bundle.updateURL.isEmpty() ? defaultFeed : m_hooks.bundle.updateURL;
}

qint64 Updater::currentBuild() const
{
    return buildNumber(m_hooks.bundle.build);
}

QString Updater::identifier() const
{
    return m_hooks.bundle.identifier.isEmpty() ? defaultIdentifier : m_hooks.bundle.identifier;
}

qint64 Updater::buildNumber(const QString &text)
{
    qsizetype at = 0;
    const bool negative = text.startsWith(QLatin1Char('-'));
    if (negative || text.startsWith(QLatin1Char('+')))
        ++at;
    if (at == text.size())
        return 0;
    // Negative numbers are summed downwards so that the lowest one fits.
    qint64 value = 0;
    for (; at < text.size(); ++at) {
        const char16_t c = text[at].unicode();
        if (c < u'0' || c > u'9')
            return 0;
        const int digit = c - u'0';
        if (__builtin_mul_overflow(value, 10, &value)
            || (negative ? __builtin_sub_overflow(value, digit, &value) : __builtin_add_overflow(value, digit, &value)))
            return 0;
    }
    return value;
}

QString Updater::swapScript(const QString &app, const QString &work, const QString &note, qint64 pid)
{
    // The swap is done by a copy of the application, the installed one when
    // it is in place: during a swap cut short, the staged or retired one.
    const QStringList lines{
        QStringLiteral("#!/bin/bash"),
        QStringLiteral("while kill -0 %1 2>/dev/null; do sleep 0.3; done").arg(pid),
        QStringLiteral("APP=") + quoted(app) + QStringLiteral("; WORK=") + quoted(work) + QStringLiteral("; NOTE=")
            + quoted(note),
        QStringLiteral("for COPY in \"$APP\" \"$APP.new\" \"$APP.old\"; do if [ -x \"$COPY/bin/quarrystone\" ]; then "
                       "\"$COPY/bin/quarrystone\" --finish-update \"$APP\" \"$NOTE\"; break; fi; done"),
        QStringLiteral("rm -rf \"$WORK\""),
        QStringLiteral("/usr/bin/setsid -f \"$APP/bin/quarrystone\" </dev/null >/dev/null 2>&1"),
    };
    return lines.join(QLatin1Char('\n'));
}

void Updater::setBusyCheck(std::function<bool()> busy)
{
    m_busy = std::move(busy);
}

void Updater::check(bool manual)
{
    const Phase::Kind kind = m_phase.kind;
    if (kind == Phase::Kind::checking || kind == Phase::Kind::downloading || kind == Phase::Kind::installing)
        return;
    setPhase(Phase::checking());
    runCheck(QUrl(feed() + QStringLiteral("/api/apps/") + identifier() + QStringLiteral("/latest")), manual);
}

QCoro::Task<> Updater::runCheck(QUrl url, bool manual)
{
    std::optional<Latest> latest;
    // A server that took too long was reached all the same.
    bool slow = false;
    if (HttpFetch::fetchable(url)) {
        QNetworkRequest request(url);
        request.setTransferTimeout(checkTimeoutMs);
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
        HttpFetch::Answer answer =
            co_await HttpFetch::get(request, CancelToken(), {m_hooks.checkLimit, checkAnswerBytes});
        slow = answer.overrun == HttpFetch::Overrun::time || answer.failure == QNetworkReply::OperationCanceledError;
        if (answer.status == 200 && answer.error.isEmpty()) {
            try {
                latest = Latest::decode(answer.body);
            } catch (const JSONDecodeError &) {
            }
        }
    }
    setLastChecked(QDateTime::currentDateTimeUtc());
    if (!latest) {
        const QString failure = slow ? QStringLiteral("배포 서버가 시간 안에 답하지 않았어요 (") : QStringLiteral("배포 서버에 닿지 못했어요 (");
        setPhase(manual ? Phase::failed(failure + feed() + QStringLiteral(")")) : Phase::idle());
        co_return;
    }
    if (currentBuild() >= buildNumber(latest->build)) {
        setAvailable(std::nullopt);
        setPhase(Phase::upToDate());
        co_return;
    }
    setAvailable(latest);
    if (!m_swapFailure.isEmpty()) {
        setPhase(Phase::failed(m_swapFailure));
        co_return;
    }
    setPhase(Phase::idle());
    if (qgetenv("QUARRYSTONE_UPDATE_AUTOINSTALL") == "1")
        install();
}

void Updater::dismiss()
{
    const Phase::Kind kind = m_phase.kind;
    if (kind != Phase::Kind::upToDate && kind != Phase::Kind::failed)
        return;
    // The cause of a failed swap has been seen.
    m_swapFailure.clear();
    setPhase(Phase::idle());
}

void Updater::install()
{
    const Phase::Kind kind = m_phase.kind;
    if (!m_available || kind == Phase::Kind::downloading || kind == Phase::Kind::installing)
        return;
    const QUrl url(feed() + QStringLiteral("/download/") + identifier() + QLatin1Char('/') + m_available->build
                       + QStringLiteral(".zip"),
                   QUrl::StrictMode);
    if (!url.isValid())
        return;
    if (m_hooks.bundle.path.isEmpty()) {
        setPhase(Phase::failed(failed(QStringLiteral("설치된 Quarrystone.app 에서 실행한 앱만 업데이트할 수 있어요"))));
        return;
    }
    // Offered again by hand, the install is the person's own choice.
    m_swapFailure.clear();
    setPhase(Phase::downloading());
    runInstall(*m_available, url);
}

QCoro::Task<> Updater::runInstall(Latest latest, QUrl url)
{
    QString failure;
    QString work;
    try {
        if (!HttpFetch::fetchable(url))
            throw InstallError{QStringLiteral("내려받을 주소가 올바르지 않아요: ") + url.toString()};
        QFuture<WorkFolder> making = PoolThread::run(workFolder, latest.build);
        m_work = co_await making;
        work = m_work.path;
        co_await download(latest, url, work);
        if (latest.sha256 && !latest.sha256->isEmpty()) {
            QFuture<QString> hashing = PoolThread::run(sha256Of, work + QStringLiteral("/app.zip"));
            if (co_await hashing != *latest.sha256)
                throw UpdaterFailure{QStringLiteral("받은 파일이 깨졌어요(체크섬 다름). 다시 해 주세요.")};
        }
        setPhase(Phase::installing());
        const QString app = co_await unpack(work);
        co_await stage(app, work);
        if (m_busy && m_busy())
            throw InstallError{QStringLiteral("진행 중인 작업이 있어요. 작업이 끝나면 다시 해 주세요.")};
        AppSwap::commit(m_hooks.bundle.path);
        relaunch(work);
        co_return;
    } catch (const UpdaterFailure &error) {
        failure = error.message;
    } catch (const InstallError &error) {
        failure = failed(error.description);
    } catch (const AppSwap::Failure &error) {
        failure = failed(error.description);
    }
    // Nothing of a failed install stays behind to fill the disk.
    QFuture<void> cleaning = PoolThread::run(
        [app = m_hooks.bundle.path, work] {
            AppSwap::abandon(app);
            if (!work.isEmpty())
                removeWork(work);
        });
    co_await cleaning;
    m_work = WorkFolder();
    setPhase(Phase::failed(failure));
}

QCoro::Task<> Updater::download(Latest latest, QUrl url, QString work)
{
    QFuture<qint64> measuring = PoolThread::run(installedBytes, m_hooks.bundle.path);
    const qint64 limit = packageLimit(latest, co_await measuring);
    QNetworkRequest request(url);
    request.setTransferTimeout(downloadStallMs);
    // The package as sent, so that a cut-off download is told apart from a
    // damaged one.
    request.setRawHeader(QByteArrayLiteral("Accept-Encoding"), QByteArrayLiteral("identity"));
    PackageFile file(work + QStringLiteral("/app.zip"));
    const HttpFetch::Answer answer = co_await HttpFetch::get(
        request, CancelToken(), {m_hooks.downloadLimit, limit}, [&file](QByteArrayView piece) { return file.write(piece); });
    if (!file.error().isEmpty())
        throw InstallError{file.error()};
    if (answer.overrun == HttpFetch::Overrun::size)
        throw InstallError{QStringLiteral("받는 파일이 %1 보다 커서 멈췄어요").arg(HttpFetch::megabytes(limit))};
    if (answer.overrun == HttpFetch::Overrun::time)
        throw InstallError{QStringLiteral("내려받기가 너무 오래 걸려서 멈췄어요. 다시 해 주세요.")};
    if (!answer.status)
        throw InstallError{HttpFetch::describe(answer)};
    if (*answer.status != 200)
        throw InstallError{QStringLiteral("서버가 올바르지 않은 응답을 보냈어요 (HTTP %1)").arg(*answer.status)};
    if (!answer.error.isEmpty())
        throw InstallError{QStringLiteral("내려받는 중에 연결이 끊겼어요. 다시 해 주세요.")};
    QFuture<void> writing = PoolThread::run([&file] { file.finish(); });
    co_await writing;
}

QCoro::Task<QString> Updater::unpack(QString work)
{
    const QString zipPath = work + QStringLiteral("/app.zip");
    // unzip leaves out absolute paths and "..", so nothing lands outside the
    // work folder; "-n" keeps it from overwriting the archive itself. A
    // damaged entry, a full disk or a warning of any kind fails the install.
    const QStringList args{QStringLiteral("-q"), QStringLiteral("-n"), zipPath, QStringLiteral("-d"), work};
    const int status = co_await runTied(QStringLiteral("/usr/bin/unzip"), args, Spawn::Environment(), work, std::nullopt);
    // unzip's own code for a full disk.
    if (status == 50)
        throw InstallError{FileError::describe(ENOSPC)};
    if (status != 0)
        throw InstallError{QStringLiteral("받은 zip 을 풀지 못했어요 (unzip %1)").arg(status)};
    co_return appIn(work);
}

QCoro::Task<> Updater::stage(QString unpacked, QString work)
{
    // The copy beside the installed folder is also the proof that the
    // install location takes the new application: writable, with room.
    const QString app = m_hooks.bundle.path;
    QFuture<void> copying = PoolThread::run(AppSwap::stage, unpacked, app);
    co_await copying;
    const QStringList args{QStringLiteral("--self-check")};
    const int status = co_await runTied(AppSwap::staged(app) + QStringLiteral("/bin/quarrystone"), args,
                                        selfCheckEnvironment(work), AppSwap::staged(app),
                                        m_hooks.selfCheckLimit);
    if (status != 0)
        throw InstallError{QStringLiteral("새 버전이 시작되지 않아요 (검사 결과 %1)").arg(status)};
}

void Updater::relaunch(const QString &work)
{
    const QString script = work + QStringLiteral("/swap.sh");
    QString error;
    if (!AtomicFile::write(
            script, swapScript(m_hooks.bundle.path, work, m_hooks.note, m_hooks.processId).toUtf8(), &error))
        throw InstallError{FileError::describe(error)};
    const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (devNull < 0)
        throw InstallError{FileError::describe(errno)};
    try {
        // A session of its own, so that the script outlives the application
        // and whatever terminal started it.
        const pid_t pid = Spawn::run(QStringLiteral("/usr/bin/setsid"), {QStringLiteral("/bin/bash"), script},
                                     Spawn::processEnvironment(), work, devNull, devNull, devNull,
                                     {.outlivesApplication = true});
        // Reaped in the background should the application outlive it.
        Spawn::wait(pid);
    } catch (const SpawnFailure &failure) {
        ::close(devNull);
        throw InstallError{failure.message};
    }
    m_hooks.terminate();
    ::close(devNull);
}

void Updater::setAvailable(const std::optional<Latest> &latest)
{
    if (m_available == latest)
        return;
    m_available = latest;
    Q_EMIT availableChanged();
}

void Updater::setPhase(const Phase &phase)
{
    if (m_phase == phase)
        return;
    m_phase = phase;
    Q_EMIT phaseChanged();
}

void Updater::setLastChecked(const QDateTime &when)
{
    m_lastChecked = when;
    Q_EMIT lastCheckedChanged();
}
