#include "support/heldsecretstore.h"

HeldSecretStore::HeldSecretStore(std::chrono::milliseconds limit) : m_limit(limit) {}

void HeldSecretStore::pass(std::unique_lock<std::mutex> &lock)
{
    ++m_arrived;
    m_opened.wait_for(lock, m_limit, [this] { return !m_held; });
}

std::optional<QByteArray> HeldSecretStore::read(const QString &account)
{
    std::unique_lock lock(m_mutex);
    pass(lock);
    return m_items.read(account);
}

bool HeldSecretStore::write(const QString &account, const QString &value)
{
    std::unique_lock lock(m_mutex);
    pass(lock);
    return m_items.write(account, value);
}

bool HeldSecretStore::remove(const QString &account)
{
    std::unique_lock lock(m_mutex);
    pass(lock);
    return m_items.remove(account);
}

void HeldSecretStore::hold()
{
    const std::lock_guard lock(m_mutex);
    m_held = true;
}

void HeldSecretStore::release()
{
    {
        const std::lock_guard lock(m_mutex);
        m_held = false;
    }
    m_opened.notify_all();
}

int HeldSecretStore::arrived() const
{
    const std::lock_guard lock(m_mutex);
    return m_arrived;
}

void HeldSecretStore::put(const QString &account, const QByteArray &secret)
{
    const std::lock_guard lock(m_mutex);
    m_items.items.insert(account, secret);
}

std::optional<QByteArray> HeldSecretStore::peek(const QString &account)
{
    const std::lock_guard lock(m_mutex);
    const auto found = m_items.items.constFind(account);
    if (found == m_items.items.cend())
        return std::nullopt;
    return *found;
}
