#pragma once

#include <QString>

namespace HTMLPage {

// Makes a plan text safe as element content and as a double-quoted attribute
// value: "&", "<", ">" and the double quotation mark become entities, in that
// order; nothing else changes, so the apostrophe stays.
QString escape(const QString &text);
// The same appended to `out`, for a piece of a text written in place.
void appendEscaped(QString &out, QStringView text);

} // namespace HTMLPage
