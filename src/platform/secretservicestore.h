#pragma once

#include "platform/secretstore.h"

// Secrets in the desktop's Secret Service (through QtKeychain). Each call
// blocks its caller until the service has answered; the asynchronous
// QtKeychain jobs run on one worker thread with its own event loop, so the
// caller's event loop is never re-entered. A write also gives the new
// secret to every item of the account that another program stored, so that
// no read can find the old one.
class SecretServiceStore final : public SecretStore
{
public:
    explicit SecretServiceStore(QString service);

    std::optional<QByteArray> read(const QString &account) override;
    Lookup lookUp(const QString &account) override;
    bool write(const QString &account, const QString &value) override;
    bool remove(const QString &account) override;

private:
    QString m_service;
};
