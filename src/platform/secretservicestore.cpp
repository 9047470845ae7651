#include "platform/secretservicestore.h"

#include "platform/secretitems.h"

#include <QObject>
#include <QThread>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <qt6keychain/keychain.h>

namespace {

// A locked collection may show an unlock prompt; give the user time to
// answer it, but never wait for ever on a service that does not answer.
constexpr std::chrono::seconds answerLimit{60};

struct Outcome {
    QKeychain::Error error = QKeychain::OtherError;
    QByteArray data;
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

    Outcome run(std::function<QKeychain::Job *()> makeJob)
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
                Outcome outcome{done->error(), {}};
                if (auto *read = qobject_cast<QKeychain::ReadPasswordJob *>(done))
                    outcome.data = read->binaryData();
                pending->promise.set_value(outcome);
            });
            job->start();
        });
        if (answer.wait_for(answerLimit) != std::future_status::ready)
            return {};
        return answer.get();
    }

private:
    QThread m_thread;
    QObject *m_context = new QObject;
};

} // namespace

SecretServiceStore::SecretServiceStore(QString service) : m_service(std::move(service)) {}

std::optional<QByteArray> SecretServiceStore::read(const QString &account)
{
    const Outcome outcome = JobThread::shared().run([service = m_service, account] {
        auto *job = new QKeychain::ReadPasswordJob(service);
        job->setKey(account);
        return job;
    });
    if (outcome.error != QKeychain::NoError)
        return std::nullopt;
    return outcome.data;
}

bool SecretServiceStore::write(const QString &account, const QString &value)
{
    const Outcome outcome = JobThread::shared().run([service = m_service, account, value] {
        auto *job = new QKeychain::WritePasswordJob(service);
        job->setKey(account);
        job->setTextData(value);
        return job;
    });
    if (outcome.error != QKeychain::NoError)
        return false;
    // QtKeychain replaces only an item with exactly its own attributes, but
    // looks up by account, service and type alone: an item another program
    // stored for the same account (without QtKeychain's schema, or with
    // attributes of its own) stays beside ours, and a read may return its
    // old secret. Each such item takes the new secret in place.
    return SecretItems::overwrite({{QStringLiteral("user"), account},
                                   {QStringLiteral("server"), m_service},
                                   {QStringLiteral("type"), QStringLiteral("plaintext")}},
                                  value.toUtf8());
}

bool SecretServiceStore::remove(const QString &account)
{
    const Outcome outcome = JobThread::shared().run([service = m_service, account] {
        auto *job = new QKeychain::DeletePasswordJob(service);
        job->setKey(account);
        return job;
    });
    return outcome.error == QKeychain::NoError || outcome.error == QKeychain::EntryNotFound;
}
