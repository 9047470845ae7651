#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <atomic>
#include <thread>

// Swaps a folder for a link to another folder and back, over and over, on
// a thread of its own, while it lives: the race a program that checks a
// path once and then uses it by name loses. The folder is back in place
// when it ends.
class LinkSwapper
{
public:
    LinkSwapper(const QString &folder, const QString &elsewhere);
    ~LinkSwapper();
    LinkSwapper(const LinkSwapper &) = delete;
    LinkSwapper &operator=(const LinkSwapper &) = delete;

    // Every file below `root` with its bytes: what a swap must not change.
    static QMap<QString, QByteArray> filesBelow(const QString &root);

private:
    QByteArray m_folder;
    QByteArray m_parked;
    QByteArray m_elsewhere;
    std::atomic<bool> m_stop = false;
    std::thread m_thread;
};
