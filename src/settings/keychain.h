#pragma once

#include <QString>
#include <memory>

class SecretStore;

// The two secrets the application keeps outside its settings file. Calls
// block until the store has answered. Both secrets travel in headers and
// environment variables, so only printable ASCII is kept or handed out.
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
        found,      // `value` holds the secret, white space at its ends trimmed
        absent,     // no item, or one that is empty or blank
        unreadable, // the store could not be read, or what it holds cannot
                    // be used (not UTF-8, control characters, not ASCII);
                    // `problem` says why
    };
    Outcome outcome = Outcome::absent;
    QString value;
    // One Korean sentence naming the secret and the cause (locked, no
    // Secret Service, no session bus, no answer, the store's own error, the
    // stored bytes).
    QString problem;
};

// Blocks like the others, for up to the store's answer limit: call it off
// the main thread. Once the store has answered "locked", reads give that
// answer without asking it (and without its unlock prompt) until
// askAgain(), a write or another store.
Reading read(Item item);
// The next read asks the store: the person has acted (opened the settings,
// asked for a check, started a plan).
void askAgain();

// A secret as read() hands it out: printable ASCII with no white space at
// its ends, so that it can go into a header or an environment variable.
bool usable(const QString &secret);
// Why `value`, trimmed of white space at its ends, cannot be stored: a
// Korean sentence when it holds control characters or anything but ASCII,
// else empty.
QString refusal(Item item, const QString &value);
// Replaces the stored secret with the value trimmed of white space and line
// breaks, in one step; a value that is empty after trimming removes it. A
// value with a refusal is not stored. True when the store now holds what
// was asked.
bool set(Item item, const QString &value);

// Puts another store behind the operations; nullptr gives back the
// system's Secret Service.
void useStore(std::shared_ptr<SecretStore> store);

} // namespace Keychain
