#pragma once

#include <QString>
#include <optional>

// Temporary files that may hold secrets go to a folder only the user can
// enter, never straight into the shared temporary folder.
namespace PrivateTemp {

// "<temp>/quarrystone-<uid>", created with mode 0700 when missing and
// tightened when it is ours but too open. When that name is taken by
// something that is not our real folder (another user's folder, a link, a
// file), a fresh "<temp>/quarrystone-<uid>-XXXXXX" made for this process.
// Nothing when no folder can be made.
std::optional<QString> folder();

} // namespace PrivateTemp
