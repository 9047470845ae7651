#pragma once

#include <QString>

// Spaces and tabs at the ends of what the user typed: every Unicode space
// separator (the ideographic space of a Korean keyboard included) and the
// tab, but never a line break.
namespace BlankText {

QString trimmed(const QString &text);
bool isBlank(const QString &text);

} // namespace BlankText
