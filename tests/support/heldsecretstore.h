#pragma once

#include "support/memorysecretstore.h"

#include <QByteArray>
#include <QString>
#include <chrono>
#include <condition_variable>
#include <mutex>

// Secrets in memory behind a gate, as a keyring whose prompt waits for the
// person: while held, every call waits until the gate opens (or `limit`
// has passed, so that a test of a window that waits wrongly still ends).
class HeldSecretStore final : public SecretStore
{
public:
    explicit HeldSecretStore(std::chrono::milliseconds limit = std::chrono::seconds(3));

    std::optional<QByteArray> read(const QString &account) override;
    bool write(const QString &account, const QString &value) override;
    bool remove(const QString &account) override;

    void hold();
    void release();
    // Calls that have reached the gate since the store was made.
    int arrived() const;
    void put(const QString &account, const QByteArray &secret);
    std::optional<QByteArray> peek(const QString &account);

private:
    void pass(std::unique_lock<std::mutex> &lock);

    const std::chrono::milliseconds m_limit;
    mutable std::mutex m_mutex;
    std::condition_variable m_opened;
    bool m_held = true;
    int m_arrived = 0;
    MemorySecretStore m_items;
};
