#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// A store of generic secrets of one service, keyed by account. The system's
// store is the Secret Service; tests put an in-memory one in its place.
class SecretStore
{
public:
    // What a read found, and when it found nothing, why.
    struct Lookup {
        enum class Status {
            found,     // `data` holds the stored bytes
            absent,    // no item exists for the account
            locked,    // the item is in a collection that stayed locked
            noService, // nothing on the session bus answers for secrets
            noBus,     // there is no session bus to ask on
            noAnswer,  // the store did not answer in time
            failed,    // the store gave an error; `detail` holds its words
        };
        Status status = Status::absent;
        QByteArray data;
        QString detail;
    };

    virtual ~SecretStore();

    // The stored bytes; nothing when no item exists or the store cannot be
    // asked.
    virtual std::optional<QByteArray> read(const QString &account) = 0;
    // The read that tells a missing item from a store that could not be
    // read. A store that cannot tell them apart answers from read().
    virtual Lookup lookUp(const QString &account);
    // Stores the text in one step, replacing any item of that account, so a
    // refused write leaves the old secret in place. False when refused.
    virtual bool write(const QString &account, const QString &value) = 0;
    // Removes the account's item; true when none is left afterwards.
    virtual bool remove(const QString &account) = 0;
};
