#include "support/zipwriter.h"

#include <QtEndian>
#include <array>

namespace {

quint32 crc32(const QByteArray &bytes)
{
    static const std::array<quint32, 256> table = [] {
        std::array<quint32, 256> t{};
        for (quint32 n = 0; n < 256; ++n) {
            quint32 c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    quint32 crc = 0xFFFFFFFFu;
    for (const char byte : bytes)
        crc = table[(crc ^ static_cast<quint8>(byte)) & 0xFF] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

void put16(QByteArray &out, quint16 value)
{
    char bytes[2];
    qToLittleEndian(value, bytes);
    out.append(bytes, 2);
}

void put32(QByteArray &out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out.append(bytes, 4);
}

// 2024-01-01 00:00 in DOS form.
constexpr quint16 dosTime = 0;
constexpr quint16 dosDate = ((2024 - 1980) << 9) | (1 << 5) | 1;
constexpr quint16 utf8Names = 0x0800;
constexpr quint16 madeOnUnix = (3 << 8) | 20;

} // namespace

void ZipWriter::addFolder(const QString &name, int mode)
{
    m_entries.append({name.toUtf8(), QByteArray(), static_cast<quint32>(040000 | mode), true});
}

void ZipWriter::addFile(const QString &name, const QByteArray &contents, int mode)
{
    m_entries.append({name.toUtf8(), contents, static_cast<quint32>(0100000 | mode), false});
}

void ZipWriter::addLink(const QString &name, const QString &target)
{
    m_entries.append({name.toUtf8(), target.toUtf8(), static_cast<quint32>(0120777), false});
}

QByteArray ZipWriter::bytes() const
{
    QByteArray out;
    QByteArray directory;
    for (const Entry &entry : m_entries) {
        const quint32 offset = static_cast<quint32>(out.size());
        const quint32 crc = crc32(entry.contents);
        const quint32 size = static_cast<quint32>(entry.contents.size());

        put32(out, 0x04034b50);
        put16(out, 10);
        put16(out, utf8Names);
        put16(out, 0);
        put16(out, dosTime);
        put16(out, dosDate);
        put32(out, crc);
        put32(out, size);
        put32(out, size);
        put16(out, static_cast<quint16>(entry.name.size()));
        put16(out, 0);
        out.append(entry.name);
        out.append(entry.contents);

        put32(directory, 0x02014b50);
        put16(directory, madeOnUnix);
        put16(directory, 10);
        put16(directory, utf8Names);
        put16(directory, 0);
        put16(directory, dosTime);
        put16(directory, dosDate);
        put32(directory, crc);
        put32(directory, size);
        put32(directory, size);
        put16(directory, static_cast<quint16>(entry.name.size()));
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put16(directory, 0);
        put32(directory, (entry.mode << 16) | (entry.folder ? 0x10 : 0));
        put32(directory, offset);
        directory.append(entry.name);
    }
    const quint32 directoryOffset = static_cast<quint32>(out.size());
    out.append(directory);
    put32(out, 0x06054b50);
    put16(out, 0);
    put16(out, 0);
    put16(out, static_cast<quint16>(m_entries.size()));
    put16(out, static_cast<quint16>(m_entries.size()));
    put32(out, static_cast<quint32>(directory.size()));
    put32(out, directoryOffset);
    put16(out, 0);
    return out;
}
