#pragma once

#include "platform/secretstore.h"

#include <QMap>
#include <atomic>

// Secrets kept in the test process; can be told to refuse writes and
// removals, as a locked or unreachable store would.
class MemorySecretStore final : public SecretStore
{
public:
    std::optional<QByteArray> read(const QString &account) override;
    // Answers `unreadable` when set, as a store that could not be read
    // (and whose plain read then finds nothing).
    Lookup lookUp(const QString &account) override;
    bool write(const QString &account, const QString &value) override;
    bool remove(const QString &account) override;

    QMap<QString, QByteArray> items;
    bool refuse = false;
    std::optional<Lookup> unreadable;
    int writes = 0;
    // Counted where the store is asked, which may be another thread.
    std::atomic<int> reads = 0;
};
