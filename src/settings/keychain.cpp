#include "settings/keychain.h"

#include "core/text.h"
#include "platform/secretservicestore.h"
#include "settings/secretstore.h"

#include <QMutex>

namespace Keychain {

namespace {

// The connection check asks from its own thread while the settings window
// asks from the main one: the store is made and handed out under a lock, and
// each call holds its own reference while it runs.
QMutex &lock()
{
    static QMutex mutex;
    return mutex;
}

std::shared_ptr<SecretStore> &installed()
{
    static std::shared_ptr<SecretStore> store;
    return store;
}

std::shared_ptr<SecretStore> store()
{
    const QMutexLocker locked(&lock());
    std::shared_ptr<SecretStore> &current = installed();
    if (!current)
        current = std::make_shared<SecretServiceStore>(service());
    return current;
}

// The secret's name with its object particle.
QString named(Item item)
{
    switch (item) {
    case Item::figmaToken:
        return QStringLiteral("Figma 토큰을");
    case Item::anthropicKey:
        return QStringLiteral("Anthropic API 키를");
    }
    return {};
}

QString cause(const SecretStore::Lookup &found)
{
    using Status = SecretStore::Lookup::Status;
    switch (found.status) {
    case Status::locked:
        return QStringLiteral("키체인이 잠겨 있어서");
    case Status::noService:
        return QStringLiteral("키체인 서비스(Secret Service)가 실행 중이 아니어서");
    case Status::noBus:
        return QStringLiteral("세션 D-Bus 에 연결할 수 없어서");
    case Status::noAnswer:
        return QStringLiteral("키체인이 제때 답하지 않아서");
    case Status::found:
    case Status::absent:
    case Status::failed:
        break;
    }
    if (found.detail.isEmpty())
        return QStringLiteral("키체인이 오류를 알려서");
    return QStringLiteral("키체인이 오류(%1)를 알려서").arg(found.detail);
}

} // namespace

QString service()
{
    return QStringLiteral("com.tovanek.quarrystone.mac");
}

QString account(Item item)
{
    switch (item) {
    case Item::figmaToken:
        return QStringLiteral("figma-token");
    case Item::anthropicKey:
        return QStringLiteral("anthropic-api-key");
    }
    return {};
}

Reading read(Item item)
{
    const SecretStore::Lookup found = store()->lookUp(account(item));
    Reading reading;
    if (found.status == SecretStore::Lookup::Status::found) {
        const std::optional<QString> text = Text::decodeUtf8Strict(found.data);
        if (text && !text->isEmpty()) {
            reading.outcome = Reading::Outcome::found;
            reading.value = *text;
        }
    } else if (found.status != SecretStore::Lookup::Status::absent) {
        reading.outcome = Reading::Outcome::unreadable;
        reading.problem = cause(found) + QLatin1Char(' ') + named(item) + QStringLiteral(" 읽지 못했어요.");
    }
    return reading;
}

bool has(Item item)
{
    return store()->read(account(item)).has_value();
}

std::optional<QString> get(Item item)
{
    const std::optional<QByteArray> data = store()->read(account(item));
    if (!data)
        return std::nullopt;
    std::optional<QString> text = Text::decodeUtf8Strict(*data);
    if (!text || text->isEmpty())
        return std::nullopt;
    return text;
}

bool set(Item item, const QString &value)
{
    const QString trimmed = value.trimmed();
    if (trimmed.isEmpty())
        return store()->remove(account(item));
    return store()->write(account(item), trimmed);
}

void useStore(std::shared_ptr<SecretStore> store)
{
    const QMutexLocker locked(&lock());
    installed() = std::move(store);
}

} // namespace Keychain
