#include "settings/recordseal.h"

#include "core/filedescriptor.h"
#include "core/regularfile.h"
#include "settings/apppaths.h"

#include <QDir>
#include <QFile>
#include <QMessageAuthenticationCode>
#include <QRandomGenerator>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace RecordSeal {

namespace {

constexpr qsizetype keyBytes = 32;
const QByteArray sealMark = QByteArrayLiteral("quarrystone-seal ");

QString keyPath()
{
    return QDir(AppPaths::support()).filePath(QStringLiteral("record-key"));
}

// The key at `path` when it is the person's own: a regular file of theirs
// that no one else may read or write, of the key's size.
std::optional<QByteArray> ownKey(const QString &path)
{
    const int fd = RegularFile::open(path, O_NOFOLLOW);
    if (fd < 0)
        return std::nullopt;
    struct stat status {};
    std::optional<QByteArray> key;
    if (::fstat(fd, &status) == 0 && status.st_uid == ::geteuid() && (status.st_mode & 077) == 0)
        key = RegularFile::readOpen(fd, path, keyBytes);
    ::close(fd);
    if (!key || key->size() != keyBytes)
        return std::nullopt;
    return key;
}

// A new key, written whole under a name of its own and then linked to the
// key's name, so that a reader never finds half a key and two first runs
// agree on one.
std::optional<QByteArray> madeKey(const QString &path)
{
    QByteArray key(keyBytes, Qt::Uninitialized);
    QRandomGenerator::system()->generate(reinterpret_cast<quint32 *>(key.data()),
                                         reinterpret_cast<quint32 *>(key.data() + key.size()));
    const QByteArray temporary = QFile::encodeName(path + QStringLiteral(".new-")
                                                   + QString::number(QRandomGenerator::system()->generate64(), 16));
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return std::nullopt;
    const bool written = FileDescriptor::writeAll(fd, key) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    const bool linked = written && closed && ::link(temporary.constData(), QFile::encodeName(path).constData()) == 0;
    ::unlink(temporary.constData());
    return linked ? std::optional<QByteArray>(key) : std::nullopt;
}

std::optional<QByteArray> key()
{
    static std::mutex lock;
    static std::optional<QByteArray> known;
    const std::lock_guard locked(lock);
    if (known)
        return known;
    const QString path = keyPath();
    known = ownKey(path);
    if (!known && RegularFile::isFree(path)) {
        known = madeKey(path);
        // Another run made it first.
        if (!known)
            known = ownKey(path);
    }
    return known;
}

} // namespace

QByteArray of(QByteArrayView bytes)
{
    const std::optional<QByteArray> secret = key();
    if (!secret)
        return QByteArray();
    return QMessageAuthenticationCode::hash(bytes.toByteArray(), *secret, QCryptographicHash::Sha256).toHex();
}

bool holds(QByteArrayView bytes, QByteArrayView seal)
{
    const QByteArray made = of(bytes);
    if (made.isEmpty() || made.size() != seal.size())
        return false;
    // Compared in full whatever differs, so that no timing tells how much of
    // a forged seal was right.
    unsigned char differs = 0;
    for (qsizetype at = 0; at < made.size(); ++at)
        differs |= static_cast<unsigned char>(made[at] ^ seal[at]);
    return differs == 0;
}

QByteArray sealed(QByteArrayView bytes)
{
    const QByteArray seal = of(bytes);
    if (seal.isEmpty())
        return QByteArray();
    return sealMark + seal + '\n' + bytes.toByteArray();
}

std::optional<QByteArray> opened(QByteArrayView record)
{
    const qsizetype end = record.indexOf('\n');
    if (!record.startsWith(sealMark) || end < 0)
        return std::nullopt;
    const QByteArrayView seal = record.sliced(sealMark.size(), end - sealMark.size());
    const QByteArrayView bytes = record.sliced(end + 1);
    if (!holds(bytes, seal))
        return std::nullopt;
    return bytes.toByteArray();
}

} // namespace RecordSeal
