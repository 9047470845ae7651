#include "claude/lockeddata.h"

void LockedData::append(const QByteArray &bytes)
{
    const std::lock_guard guard(m_lock);
    m_buf.append(bytes);
}

QByteArray LockedData::bytes() const
{
    const std::lock_guard guard(m_lock);
    return m_buf;
}
