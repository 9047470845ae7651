#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// A store of generic secrets of one service, keyed by account. The system's
// store is the Secret Service; tests put an in-memory one in its place.
class SecretStore
{
public:
    virtual ~SecretStore();

    // The stored bytes; nothing when no item exists or the store cannot be
    // asked.
    virtual std::optional<QByteArray> read(const QString &account) = 0;
    // Stores the text in one step, replacing any item of that account, so a
    // refused write leaves the old secret in place. False when refused.
    virtual bool write(const QString &account, const QString &value) = 0;
    // Removes the account's item; true when none is left afterwards.
    virtual bool remove(const QString &account) = 0;
};
