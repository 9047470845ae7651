#include "core/filesizes.h"

#include "core/fileerror.h"

#include <cerrno>

namespace FileSizes {

QString text(qint64 bytes)
{
    constexpr qint64 kilobyte = qint64(1) << 10;
    constexpr qint64 megabyte = qint64(1) << 20;
    constexpr qint64 gigabyte = qint64(1) << 30;
    const auto roundedUp = [bytes](qint64 unit) { return QString::number((bytes + unit - 1) / unit); };
    if (bytes >= gigabyte)
        return roundedUp(gigabyte) + QStringLiteral("GB");
    if (bytes >= megabyte)
        return roundedUp(megabyte) + QStringLiteral("MB");
    return roundedUp(kilobyte) + QStringLiteral("KB");
}

QString tooLarge(const QString &name, qint64 size, qint64 most)
{
    return FileError::describe(EFBIG) + QStringLiteral(": ") + name + QStringLiteral(" (") + text(size)
        + QStringLiteral(", 많아야 ") + text(most) + QLatin1Char(')');
}

} // namespace FileSizes
