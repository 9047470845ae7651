#pragma once

#include <QByteArray>
#include <mutex>

// Bytes filled by a background callback (a pipe reader, a tool-result
// callback) and read by a task afterwards. Readers work on a copy.
class LockedData
{
public:
    void append(const QByteArray &bytes);
    QByteArray bytes() const;

private:
    mutable std::mutex m_lock;
    QByteArray m_buf;
};
