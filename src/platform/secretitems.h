#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

// The items of the desktop's Secret Service, reached over D-Bus for what
// QtKeychain does not offer: every item that a lookup by some attributes
// may return, whoever stored it.
namespace SecretItems {

// Where the items matching some attributes are, as the service lists them
// without unlocking anything.
enum class Presence {
    none,      // no such item
    unlocked,  // at least one can be read now
    locked,    // all of them are in locked collections
    noService, // no Secret Service on the session bus
    noAnswer,  // the service did not answer in time
    failed,    // the service did not give a list
};

Presence presence(const QMap<QString, QString> &attributes);

// Gives each item matching all of `attributes` the text `secret`, item by
// item in place, so that no item is ever removed or left without a secret.
// True when every such item now holds it, also when there is none or no
// Secret Service on the bus; false when one could not be reached or
// refused, which leaves that item's old secret as it was.
bool overwrite(const QMap<QString, QString> &attributes, const QByteArray &secret);

} // namespace SecretItems
