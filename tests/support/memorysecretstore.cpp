#include "support/memorysecretstore.h"

std::optional<QByteArray> MemorySecretStore::read(const QString &account)
{
    ++reads;
    if (unreadable)
        return unreadable->status == Lookup::Status::found ? std::optional(unreadable->data) : std::nullopt;
    const auto found = items.constFind(account);
    if (found == items.cend())
        return std::nullopt;
    return *found;
}

SecretStore::Lookup MemorySecretStore::lookUp(const QString &account)
{
    if (unreadable) {
        ++reads;
        return *unreadable;
    }
    return SecretStore::lookUp(account);
}

bool MemorySecretStore::write(const QString &account, const QString &value)
{
    if (refuse)
        return false;
    ++writes;
    items.insert(account, value.toUtf8());
    return true;
}

bool MemorySecretStore::remove(const QString &account)
{
    if (refuse)
        return !items.contains(account);
    items.remove(account);
    return true;
}
