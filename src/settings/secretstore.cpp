#include "settings/secretstore.h"

SecretStore::~SecretStore() = default;
