#include "platform/secretservicestore.h"

#include "platform/secretitems.h"

#include <QDBusConnection>
#include <QObject>
#include <QThread>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <qt6keychain/keychain.h>

namespace {

// A locked collection may show an unlock prompt; give the user time to
// answer it, but never wait for ever on a service that does not answer.
constexpr std::chrono::seconds answerLimit{60};

struct Outcome {
    QKeychain::Error error = QKeychain::OtherError;
    QByteArray data;
    QString errorText;
};

// QtKeychain queues every job on one executor that lives in the thread of the
// first job and is never moved, so all jobs of the process must run on the
// same long-lived thread.
class JobThread
{
public:
    JobThread()
    {
        m_context->moveToThread(&m_thread);
        QObject::connect(&m_thread, &QThread::finished, m_context, &QObject::deleteLater);
        m_thread.setObjectName(QStringLiteral("secret-service"));
        m_thread.start();
    }

    ~JobThread()
    {
        m_thread.quit();
        m_thread.wait();
    }

    static JobThread &shared()
    {
        static JobThread thread;
        return thread;
    }

    // Nothing when the service has not answered within the limit.
    std::optional<Outcome> run(std::function<QKeychain::Job *()> makeJob)
    {
        struct Pending {
            std::promise<Outcome> promise;
            bool settled = false;
        };
        auto pending = std::make_shared<Pending>();
        std::future<Outcome> answer = pending->promise.get_future();
        QMetaObject::invokeMethod(m_context, [pending, makeJob = std::move(makeJob)] {
            QKeychain::Job *job = makeJob();
            QObject::connect(job, &QKeychain::Job::finished, job, [pending](QKeychain::Job *done) {
                if (pending->settled)
                    return;
                pending->settled = true;
                Outcome outcome{done->error(), {}, done->errorString()};
                if (auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(done))
                    outcome.data = read->binaryData();
                pending->promise.set_value(outcome);
            });
            job->start();
        });
        if (answer.wait_for(answerLimit) != std::future_status::ready)
            return std::nullopt;
        return answer.get();
    }

private:
    QThread m_thread;
    QObject *m_context = new QObject;
};

// The attributes QtKeychain gives an item of the account, which every
// program looking the account up matches.
QMap<QString, QString> itemAttributes(const QString &service, const QString &account)
{
    return {{QStringLiteral("user"), account},
            {QStringLiteral("server"), service},
            {QStringLiteral("type"), QStringLiteral("plaintext")}};
}

} // namespace

SecretServiceStore::SecretServiceStore(QString service) : m_service(std::move(service)) {}

std::optional<QByteArray> SecretServiceStore::read(const QString &account)
{
    const Lookup found = lookUp(account);
    if (found.status != Lookup::Status::found)
        return std::nullopt;
    return found.data;
}

SecretStore::Lookup SecretServiceStore::lookUp(const QString &account)
{
    using Status = Lookup::Status;
    if (!QDBusConnection::sessionBus().isConnected())
        return {Status::noBus, {}, {}};
    const std::optional<Outcome> outcome = JobThread::shared().run([service = m_service, account] {
        auto *job = new QKeychain::ReadPasswordJob(service);
        job->setKey(account);
        return job;
    });
    if (!outcome)
        return {Status::noAnswer, {}, {}};
    if (outcome->error == QKeychain::NoError)
        return {Status::found, outcome->data, {}};
    // A collection that stays locked (its unlock prompt dismissed or
    // impossible) reads like a missing item: the service's list, which
    // unlocks nothing, tells them apart.
    switch (SecretItems::presence(itemAttributes(m_service, account))) {
    case SecretItems::Presence::locked:
        return {Status::locked, {}, {}};
    case SecretItems::Presence::noService:
        return {Status::noService, {}, {}};
    case SecretItems::Presence::noAnswer:
        return {Status::noAnswer, {}, {}};
    case SecretItems::Presence::none:
        if (outcome->error == QKeychain::EntryNotFound)
            return {Status::absent, {}, {}};
        break;
    case SecretItems::Presence::unlocked:
    case SecretItems::Presence::failed:
        break;
    }
    if (outcome->error == QKeychain::NoBackendAvailable)
        return {Status::noService, {}, {}};
    return {Status::failed, {}, outcome->errorText};
}

bool SecretServiceStore::write(const QString &account, const QString &value)
{
    const std::optional<Outcome> outcome = JobThread::shared().run([service = m_service, account, value] {
        auto *job = new QKeychain::WritePasswordJob(service);
        job->setKey(account);
        job->setTextData(value);
        return job;
    });
    if (!outcome || outcome->error != QKeychain::NoError)
        return false;
    // QtKeychain replaces only an item with exactly its own attributes, but
    // looks up by account, service and type alone: an item another program
    // stored for the same account (without QtKeychain's schema, or with
    // attributes of its own) stays beside ours, and a read may return its
    // old secret. Each such item takes the new secret in place.
    return SecretItems::overwrite(itemAttributes(m_service, account), value.toUtf8());
}

bool SecretServiceStore::remove(const QString &account)
{
    const std::optional<Outcome> outcome = JobThread::shared().run([service = m_service, account] {
        auto *job = new QKeychain::DeletePasswordJob(service);
        job->setKey(account);
        return job;
    });
    return outcome && (outcome->error == QKeychain::NoError || outcome->error == QKeychain::EntryNotFound);
}
