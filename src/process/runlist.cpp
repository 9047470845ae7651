#include "process/runlist.h"

#include "core/filedescriptor.h"
#include "core/privatetemp.h"
#include "process/runmarks.h"

#include <QDir>
#include <QFile>
#include <QMutex>
#include <QRegularExpression>
#include <QSet>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace RunList {

namespace {

const QString stem = QStringLiteral("runs");

// This process's list, made on first use; -1 when none could be.
class OwnList
{
public:
    static OwnList &shared()
    {
        // Never destroyed: runs may still end on detached threads while the
        // process ends.
        static auto *const list = new OwnList();
        return *list;
    }

    void change(const QByteArray &token, bool added)
    {
        const QMutexLocker lock(&m_mutex);
        if (added)
            m_tokens.insert(token);
        else if (!m_tokens.remove(token))
            return;
        if (m_fd < 0 && !open())
            return;
        QByteArray text;
        for (const QByteArray &each : std::as_const(m_tokens))
            text += each + '\n';
        // A reader that finds it cut short ends fewer; one that finds more
        // ends runs that have ended, which nothing carries any more.
        if (::ftruncate(m_fd, 0) == 0 && ::lseek(m_fd, 0, SEEK_SET) == 0)
            FileDescriptor::writeAll(m_fd, text);
    }

private:
    bool open()
    {
        const std::optional<QString> folder = PrivateTemp::folder();
        if (!folder)
            return false;
        QByteArray path = QFile::encodeName(PrivateTemp::runFileTemplate(*folder, stem, QString()));
        const int fd = ::mkostemp(path.data(), O_CLOEXEC);
        if (fd < 0)
            return false;
        if (!PrivateTemp::hold(fd)) {
            ::close(fd);
            ::unlink(path.constData());
            return false;
        }
        m_fd = fd;
        return true;
    }

    QMutex m_mutex;
    QSet<QByteArray> m_tokens;
    int m_fd = -1;
};

// The tokens of the list `name` in the private folder `dir` when nobody
// holds it (its process has ended); the list is then removed.
QSet<QByteArray> abandoned(const QString &dir, const QString &name)
{
    static const QRegularExpression token(QStringLiteral("^[0-9a-f]{32}$"));
    const QByteArray path = QFile::encodeName(dir + QLatin1Char('/') + name);
    const int fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return {};
    QSet<QByteArray> tokens;
    struct stat info {};
    // An empty list may be one just made, not yet held: it names nothing,
    // and goes as a stale file a minute later.
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == ::geteuid() && info.st_size > 0
        && ::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        for (const QByteArray &line : FileDescriptor::readAll(fd).split('\n'))
            if (token.match(QString::fromLatin1(line)).hasMatch())
                tokens.insert(line);
        ::unlink(path.constData());
    }
    ::close(fd);
    return tokens;
}

} // namespace

void add(const QByteArray &token)
{
    OwnList::shared().change(token, true);
}

void remove(const QByteArray &token)
{
    OwnList::shared().change(token, false);
}

int endLeftovers()
{
    const std::optional<QString> folder = PrivateTemp::folder();
    if (!folder)
        return 0;
    static const QRegularExpression list(QStringLiteral("^") + stem + QStringLiteral("-\\d+-[A-Za-z0-9]{6}$"));
    QSet<QByteArray> tokens;
    for (const QString &name : QDir(*folder).entryList(QDir::Files | QDir::Hidden))
        if (list.match(name).hasMatch())
            tokens.unite(abandoned(*folder, name));
    return tokens.isEmpty() ? 0 : RunMarks::signalCarriers(tokens, SIGKILL);
}

} // namespace RunList
