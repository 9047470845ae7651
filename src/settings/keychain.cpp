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
