#include "core/text.h"

#include <QHash>
#include <QLocale>
#include <QStringDecoder>
#include <QTextBoundaryFinder>
#include <algorithm>
#include <charconv>
#include <cmath>

namespace Text {

namespace {

// Printable ASCII has no character that joins another into one grapheme
// (only CR LF would, and controls are left to the finder), and neither has
// a precomposed Hangul syllable: only a jamo after it or a mark would join
// it, and those are left to the finder. A text of such characters alone, as
// most keys, names and Korean labels are, is taken a character at a time
// without the finder's work.
bool oneCharacterEach(const QString &text)
{
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= 0x20 && u < 0x7F) || (u >= 0xAC00 && u <= 0xD7A3);
    });
}

template<typename Visit>
void eachGrapheme(const QString &text, Visit visit)
{
    if (oneCharacterEach(text)) {
        for (qsizetype at = 0; at < text.size(); ++at)
            if (!visit(at, at + 1))
                return;
        return;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype start = 0;
    while (start < text.size()) {
        finder.setPosition(start);
        qsizetype end = finder.toNextBoundary();
        if (end <= start)
            end = text.size();
        if (!visit(start, end))
            return;
        start = end;
    }
}

} // namespace

qsizetype graphemeCount(const QString &text)
{
    qsizetype count = 0;
    eachGrapheme(text, [&](qsizetype, qsizetype) {
        ++count;
        return true;
    });
    return count;
}

QString graphemePrefix(const QString &text, qsizetype count)
{
    if (count <= 0)
        return QString();
    qsizetype taken = 0;
    qsizetype cut = text.size();
    eachGrapheme(text, [&](qsizetype, qsizetype end) {
        if (++taken == count) {
            cut = end;
            return false;
        }
        return true;
    });
    return text.left(cut);
}

QStringList graphemes(const QString &text)
{
    QStringList parts;
    eachGrapheme(text, [&](qsizetype start, qsizetype end) {
        parts.append(text.mid(start, end - start));
        return true;
    });
    return parts;
}

bool hasSuffix(const QString &text, const QString &suffix)
{
    if (suffix.isEmpty())
        return true;
    const qsizetype wanted = graphemeCount(suffix);
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.toEnd();
    qsizetype cut = text.size();
    for (qsizetype i = 0; i < wanted; ++i) {
        cut = finder.toPreviousBoundary();
        if (cut < 0)
            return false;
    }
    return canonicalEqual(text.mid(cut), suffix);
}

bool isLetterOrNumber(const QString &character)
{
    if (character.isEmpty())
        return false;
    char32_t base = character.at(0).unicode();
    if (character.size() > 1 && character.at(0).isHighSurrogate() && character.at(1).isLowSurrogate())
        base = QChar::surrogateToUcs4(character.at(0), character.at(1));
    return QChar::isLetterOrNumber(base);
}

namespace {

// Text made only of code points below U+0300 (no combining marks can follow
// them) and precomposed Hangul syllables (no trailing jamo) is already in
// NFC, which spares the normaliser in the common case of plan keys.
bool plainlyComposed(const QString &text)
{
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u >= 0x0300 && (u < 0xAC00 || u > 0xD7A3))
            return false;
    }
    return true;
}

} // namespace

QString canonicalKey(const QString &text)
{
    if (plainlyComposed(text))
        return text;
    return text.normalized(QString::NormalizationForm_C);
}

bool canonicalEqual(const QString &a, const QString &b)
{
    if (a == b)
        return true;
    if (plainlyComposed(a) && plainlyComposed(b))
        return false;
    return canonicalKey(a) == canonicalKey(b);
}

size_t canonicalHash(const QString &text, size_t seed)
{
    return qHash(canonicalKey(text), seed);
}

int codePointCompare(const QString &a, const QString &b)
{
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t x = a.at(i).unicode();
        const char16_t y = b.at(i).unicode();
        if (x == y)
            continue;
        // Surrogates (U+D800..U+DFFF) encode code points above U+FFFF, so
        // they must sort after U+E000..U+FFFF, which UTF-16 order gets wrong.
        const bool xs = x >= 0xD800 && x <= 0xDFFF;
        const bool ys = y >= 0xD800 && y <= 0xDFFF;
        if (xs != ys)
            return xs ? 1 : -1;
        return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool codePointLess(const QString &a, const QString &b)
{
    return codePointCompare(a, b) < 0;
}

void sortByCodePoint(QStringList &list)
{
    std::stable_sort(list.begin(), list.end(), codePointLess);
}

std::optional<QString> decodeUtf8Strict(const QByteArray &bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

QByteArray utf8(const QString &text)
{
    QByteArray bytes = text.toUtf8();
    bytes.squeeze();
    return bytes;
}

QString fixed(double value, int decimals)
{
    QString out;
    appendFixed(out, value, decimals);
    return out;
}

void appendFixed(QString &out, double value, int decimals)
{
    // printf's "%.Nf" without the locale: exact ties round as the C library
    // rounds them (12.5 with no decimals reads 12).
    if (!std::isfinite(value)) {
        out += QString::number(value);
        return;
    }
    char buffer[512];
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (end.ec != std::errc())
        out += QString::number(value, 'f', decimals);
    else
        out += QLatin1StringView(buffer, end.ptr - buffer);
}

QString shortest(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

namespace {

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7F && c <= 0x9F);
}

} // namespace

QString printable(const QString &text, bool lineBreaks)
{
    if (!hasControl(text))
        return text;
    QString shown;
    shown.reserve(text.size() + 8);
    for (const QChar c : text) {
        if (!isControl(c.unicode()) || (lineBreaks && (c == u'\n' || c == u'\t')))
            shown.append(c);
        else
            shown.append(QStringLiteral("\\x") + QString::number(c.unicode(), 16).toUpper().rightJustified(2, u'0'));
    }
    return shown;
}

bool hasControl(const QString &text)
{
    return std::any_of(text.begin(), text.end(), [](QChar c) { return isControl(c.unicode()); });
}

} // namespace Text
