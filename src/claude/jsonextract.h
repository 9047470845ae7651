#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Cuts the JSON object out of a Claude answer that was asked to hold one.
namespace JSONExtract {

// The UTF-8 bytes of the first balanced {...} in the answer, looked for
// inside its first code fence when it has one. Only braces and
// double-quoted strings count; the bytes are not validated, the caller's
// decoding reports bad JSON.
std::optional<QByteArray> object(const QString &answer);

} // namespace JSONExtract
