#pragma once

#include <QString>
#include <optional>

// Temporary files that may hold secrets go to a folder only the user can
// enter, never straight into the shared temporary folder.
namespace PrivateTemp {

// "<temp>/quarrystone-<uid>", created with mode 0700 when missing and
// tightened when it is ours but too open. Nothing when it cannot be made
// (or belongs to someone else, or is not a real folder).
std::optional<QString> folder();

} // namespace PrivateTemp
