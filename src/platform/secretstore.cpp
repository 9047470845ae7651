#include "platform/secretstore.h"

SecretStore::~SecretStore() = default;

SecretStore::Lookup SecretStore::lookUp(const QString &account)
{
    const std::optional<QByteArray> data = read(account);
    if (!data)
        return {};
    return {Lookup::Status::found, *data, {}};
}
