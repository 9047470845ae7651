#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// A zip archive built in memory with stored (uncompressed) entries and Unix
// modes, so tests need no zip program.
class ZipWriter
{
public:
    // Folder names end with "/".
    void addFolder(const QString &name, int mode = 0755);
    void addFile(const QString &name, const QByteArray &contents, int mode = 0644);
    // A symbolic link to `target`, as unzip makes it.
    void addLink(const QString &name, const QString &target);
    QByteArray bytes() const;

private:
    struct Entry {
        QByteArray name;
        QByteArray contents;
        quint32 mode;
        bool folder;
    };
    QList<Entry> m_entries;
};
