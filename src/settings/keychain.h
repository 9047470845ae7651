#pragma once

#include <QString>
#include <memory>
#include <optional>

class SecretStore;

// The two secrets the application keeps outside its settings file. Calls
// block until the store has answered; any failure gives false or nothing,
// except read(), which says what kept it from the secret.
namespace Keychain {

enum class Item {
    figmaToken,   // the design service's personal access token
    anthropicKey, // the Anthropic API key
};

QString service();
QString account(Item item);

// A read that says why it gave no secret.
struct Reading {
    enum class Outcome {
        found,      // `value` holds the secret as stored
        absent,     // nothing usable is stored (no item, or empty or not UTF-8)
        unreadable, // the store could not be read; `problem` says why
    };
    Outcome outcome = Outcome::absent;
    QString value;
    // One Korean sentence naming the secret and the cause (locked, no
    // Secret Service, no session bus, no answer, the store's own error).
    QString problem;
};

// Blocks like the others, for up to the store's answer limit: call it off
// the main thread.
Reading read(Item item);

// An item exists for the account.
bool has(Item item);
// The stored secret as stored; nothing when absent, empty or not UTF-8.
std::optional<QString> get(Item item);
// Replaces the stored secret with the value trimmed of white space and line
// breaks, in one step; a value that is empty after trimming removes it.
// True when the store now holds what was asked.
bool set(Item item, const QString &value);

// Puts another store behind the three operations; nullptr gives back the
// system's Secret Service.
void useStore(std::shared_ptr<SecretStore> store);

} // namespace Keychain
