#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

// Text rules shared by every document: lengths are user-perceived
// characters, equality is canonical equivalence, order is code-point order,
// and numbers never depend on the user's locale.
namespace Text {

// Number of extended grapheme clusters.
qsizetype graphemeCount(const QString &text);
// The first `count` grapheme clusters (the whole text when it has fewer).
QString graphemePrefix(const QString &text, qsizetype count);
// The grapheme clusters of the text, in order.
QStringList graphemes(const QString &text);
// Whether the text's last whole characters are canonically equal to the
// suffix: "onBack" ends with "Back"; "Backdrop" does not, nor does a text
// whose final "k" carries a combining mark.
bool hasSuffix(const QString &text, const QString &suffix);
// Whether one user-perceived character is a letter or a number in the
// Unicode sense (Hangul included), judged by its base code point.
bool isLetterOrNumber(const QString &character);

// Canonical equivalence: equal NFC forms. Stored texts are never normalised.
bool canonicalEqual(const QString &a, const QString &b);
// Hash consistent with canonicalEqual.
size_t canonicalHash(const QString &text, size_t seed = 0);
QString canonicalKey(const QString &text);

// Unicode code-point order (UTF-16 order differs above U+FFFF).
int codePointCompare(const QString &a, const QString &b);
bool codePointLess(const QString &a, const QString &b);
void sortByCodePoint(QStringList &list);

// UTF-8 that must fail on malformed bytes instead of substituting U+FFFD.
std::optional<QString> decodeUtf8Strict(const QByteArray &bytes);

// The text as UTF-8 holding no more memory than its bytes: Qt's conversion
// keeps room for three bytes a character, three times what markup needs,
// for as long as the bytes are kept.
QByteArray utf8(const QString &text);

// Locale-free "%.Nf" formatting ("12.50", never "12,50").
QString fixed(double value, int decimals);
// The same appended to `out`, with no string made for it.
void appendFixed(QString &out, double value, int decimals);
// Locale-free shortest round-trip form of a number ("0.5", "12", "1e+21").
QString shortest(double value);

// Text from a plan, a page or Claude as it may reach a terminal or a file
// name: every control character (C0, DEL, C1) is written as its code, as
// "\x1B", so that none moves the cursor, colours the screen or starts a
// line that was not there. `lineBreaks` keeps line feeds and tabs, for text
// of several lines shown as such.
QString printable(const QString &text, bool lineBreaks = false);

// Whether `text` holds a control character.
bool hasControl(const QString &text);

} // namespace Text
