#include "settings/browserrelay.h"

#include "core/privatetemp.h"

#include <QFile>
#include <QMutex>
#include <QSocketNotifier>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The tools run "$BROWSER <address>" (claude 2.1.337, xdg-open without a
// desktop). One line per address; a write this short reaches the channel
// whole even when several tools write at once.
const QByteArray helperScript = "#!/bin/sh\nprintf '%s\\n' \"$1\" > \"${0%/*}/addresses\"\n";

// No login address comes near this; a longer line is dropped unread.
constexpr qsizetype longestLine = 8 * 1024;

// The address a line handed in names, when it is a web address to open.
std::optional<QUrl> webAddress(const QByteArray &line)
{
    if (line.size() > longestLine)
        return std::nullopt;
    const QUrl url(QString::fromUtf8(line), QUrl::StrictMode);
    const QString scheme = url.scheme();
    if (!url.isValid() || url.host().isEmpty() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")))
        return std::nullopt;
    return url;
}

// The helper every command is given, and whose relay it is; read from any
// thread. Never destroyed: commands may still start while the process ends.
struct Serving {
    QMutex mutex;
    const BrowserRelay *relay = nullptr;
    QString helper;
};

Serving &serving()
{
    static auto *const shared = new Serving();
    return *shared;
}

} // namespace

void BrowserRelay::serveCommands()
{
    const QMutexLocker lock(&serving().mutex);
    serving().relay = this;
    serving().helper = m_helper;
}

QString BrowserRelay::forCommands()
{
    const QMutexLocker lock(&serving().mutex);
    return serving().helper;
}

BrowserRelay::BrowserRelay(Open open, QObject *parent)
    : QObject(parent)
    , m_open(std::move(open))
{
    if (!make()) {
        m_helper.clear();
        m_folder.reset();
    }
}

BrowserRelay::~BrowserRelay()
{
    {
        const QMutexLocker lock(&serving().mutex);
        if (serving().relay == this) {
            serving().relay = nullptr;
            serving().helper.clear();
        }
    }
    if (m_channel >= 0)
        ::close(m_channel);
}

bool BrowserRelay::make()
{
    const std::optional<QString> temp = PrivateTemp::folder();
    if (!temp)
        return false;
    m_folder.emplace(PrivateTemp::runFolderTemplate(*temp, QStringLiteral("browser")));
    if (!m_folder->isValid())
        return false;
    try {
        m_held = FolderLock::take(m_folder->path());
    } catch (const FolderLock::Failure &) {
        return false;
    }
    const QByteArray channel = QFile::encodeName(m_folder->filePath(QStringLiteral("addresses")));
    if (::mkfifo(channel.constData(), 0600) != 0)
        return false;
    // Read and write: the channel never reaches its end when a helper
    // closes it, and a helper's open never waits for a reader.
    m_channel = ::open(channel.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (m_channel < 0)
        return false;
    QFile script(m_folder->filePath(QStringLiteral("browser")));
    if (!script.open(QIODevice::WriteOnly) || script.write(helperScript) != helperScript.size())
        return false;
    script.close();
    if (!script.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner))
        return false;
    m_helper = script.fileName();
    m_notifier = new QSocketNotifier(m_channel, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &BrowserRelay::readAddresses);
    return true;
}

void BrowserRelay::readAddresses()
{
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(m_channel, buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            m_pending.append(buffer, n);
    qsizetype end;
    while ((end = m_pending.indexOf('\n')) >= 0) {
        const QByteArray line = m_pending.left(end);
        m_pending.remove(0, end + 1);
        if (const std::optional<QUrl> url = webAddress(line))
            m_open(*url);
    }
    if (m_pending.size() > longestLine)
        m_pending.clear();
}
