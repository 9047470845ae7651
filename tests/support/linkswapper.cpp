#include "support/linkswapper.h"

#include "support/testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <chrono>
#include <cstdio>
#include <unistd.h>

LinkSwapper::LinkSwapper(const QString &folder, const QString &elsewhere)
    : m_folder(QFile::encodeName(folder))
    , m_parked(QFile::encodeName(folder + "-parked"))
    , m_elsewhere(QFile::encodeName(elsewhere))
    , m_thread([this] {
        // The link stands a short while, the folder a longer one: a run
        // must find its folder often enough to get on at all.
        while (!m_stop.load()) {
            if (::rename(m_folder.constData(), m_parked.constData()) != 0)
                continue;
            ::symlink(m_elsewhere.constData(), m_folder.constData());
            std::this_thread::sleep_for(std::chrono::microseconds(QRandomGenerator::global()->bounded(200)));
            ::unlink(m_folder.constData());
            ::rename(m_parked.constData(), m_folder.constData());
            std::this_thread::sleep_for(std::chrono::microseconds(QRandomGenerator::global()->bounded(2000)));
        }
    })
{
}

LinkSwapper::~LinkSwapper()
{
    m_stop = true;
    m_thread.join();
}

QMap<QString, QByteArray> LinkSwapper::filesBelow(const QString &root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(root).relativeFilePath(path), TestFiles::readFile(path));
    }
    return files;
}
