#pragma once

#include <QString>

// The account the process runs as, as the system's user database knows it.
namespace UserAccount {

// The login name; $USER or $LOGNAME when the user database has no entry.
QString loginName();
// The full name from the GECOS field, up to its first comma; empty when the
// field is empty or the account is unknown.
QString fullName();

} // namespace UserAccount
