#include "core/jsoncoding.h"

#include "core/bytewords.h"
#include "core/parallel.h"
#include "core/text.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QStringList>
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <utility>

namespace JSONCoding {

namespace {

// Which bytes a string literal cannot hold as they are: control characters,
// '"' and '\\', and '/' too when slashes are escaped.
struct EscapedBytes {
    bool plain[256];
    bool slashes[256];

    constexpr EscapedBytes() : plain(), slashes()
    {
        for (int u = 0; u < 256; ++u)
            plain[u] = u < 0x20 || u == '"' || u == '\\';
        for (int u = 0; u < 256; ++u)
            slashes[u] = plain[u] || u == '/';
    }
};

constexpr EscapedBytes escapedBytes;

char *writeEscape(char *out, unsigned char u)
{
    static const char hex[] = "0123456789abcdef";
    *out++ = '\\';
    switch (u) {
    case '"': *out++ = '"'; break;
    case '\\': *out++ = '\\'; break;
    case '/': *out++ = '/'; break;
    case '\n': *out++ = 'n'; break;
    case '\r': *out++ = 'r'; break;
    case '\t': *out++ = 't'; break;
    case '\b': *out++ = 'b'; break;
    case '\f': *out++ = 'f'; break;
    default:
        *out++ = 'u';
        *out++ = '0';
        *out++ = '0';
        *out++ = hex[u >> 4];
        *out++ = hex[u & 0xF];
    }
    return out;
}

// Appends the string literal of UTF-8 text. The text goes through in slices
// written by pointer into room made for the worst case ("\u00XX" for every
// byte), so that megabytes of embedded image text cost one pass and no
// per-byte append.
// Whether any byte of the eight in `word` must be escaped: a control
// character, '"', '\\', or '/' when slashes are escaped. Embedded images are
// megabytes of base64 with a '/' every few dozen bytes, so runs between
// escapes are found eight bytes at a time and copied whole.
bool wordNeedsEscape(quint64 word, bool escapeSlashes)
{
    constexpr quint64 ones = 0x0101010101010101ULL;
    constexpr quint64 highs = 0x8080808080808080ULL;
    auto hasZero = [](quint64 v) { return ((v - ones) & ~v & highs) != 0; };
    auto hasByte = [&](quint64 v, unsigned char b) { return hasZero(v ^ (ones * b)); };
    const bool control = ((word - ones * 0x20) & ~word & highs) != 0;
    return control || hasByte(word, '"') || hasByte(word, '\\') || (escapeSlashes && hasByte(word, '/'));
}

void appendQuotedBody(QByteArray &out, QByteArrayView utf8, bool escapeSlashes)
{
    constexpr qsizetype slice = 16 * 1024;
    const bool *escaped = escapeSlashes ? escapedBytes.slashes : escapedBytes.plain;
    for (qsizetype from = 0; from < utf8.size(); from += slice) {
        const QByteArrayView part = utf8.sliced(from, std::min(slice, utf8.size() - from));
        const qsizetype at = out.size();
        out.resize(at + part.size() * 6);
        char *write = out.data() + at;
        const char *read = part.data();
        const char *const end = read + part.size();
        while (read < end) {
            const char *run = read;
            while (end - read >= 8) {
                quint64 word;
                std::memcpy(&word, read, 8);
                if (wordNeedsEscape(word, escapeSlashes))
                    break;
                read += 8;
            }
            while (read < end && !escaped[static_cast<unsigned char>(*read)])
                ++read;
            std::memcpy(write, run, size_t(read - run));
            write += read - run;
            if (read < end)
                write = writeEscape(write, static_cast<unsigned char>(*read++));
        }
        out.resize(write - out.constData());
    }
}

void appendQuoted(QByteArray &out, QByteArrayView utf8, bool escapeSlashes)
{
    out += '"';
    appendQuotedBody(out, utf8, escapeSlashes);
    out += '"';
}

// Appends the string literal of a text. A surrogate without its partner has
// no UTF-8 form (the codec would write "?"); it is written as its escape,
// "\u" and four hex digits, which reads back as the same text.
void appendQuotedText(QByteArray &out, QStringView text, bool escapeSlashes)
{
    // UTF-16 goes straight to UTF-8 in the room made for the worst case (a
    // control character's six bytes), a slice at a time, with no copy of
    // the text on the way: most texts are a few words.
    constexpr qsizetype slice = 16 * 1024;
    static const char hex[] = "0123456789abcdef";
    const bool *escaped = escapeSlashes ? escapedBytes.slashes : escapedBytes.plain;
    out += '"';
    for (qsizetype from = 0, to = 0; from < text.size(); from = to) {
        to = std::min(from + slice, text.size());
        // A pair of surrogates is never split between two slices.
        if (to < text.size() && QChar::isHighSurrogate(text[to - 1].unicode()))
            ++to;
        const qsizetype at = out.size();
        out.resize(at + (to - from) * 6);
        auto *write = reinterpret_cast<uchar *>(out.data() + at);
        for (qsizetype i = from; i < to; ++i) {
            const char16_t u = text[i].unicode();
            if (u < 0x80) {
                if (escaped[u])
                    write = reinterpret_cast<uchar *>(writeEscape(reinterpret_cast<char *>(write), uchar(u)));
                else
                    *write++ = uchar(u);
            } else if (u < 0x800) {
                *write++ = uchar(0xC0 | u >> 6);
                *write++ = uchar(0x80 | (u & 0x3F));
            } else if (QChar::isHighSurrogate(u) && i + 1 < to && QChar::isLowSurrogate(text[i + 1].unicode())) {
                const char32_t c = QChar::surrogateToUcs4(u, text[++i].unicode());
                *write++ = uchar(0xF0 | c >> 18);
                *write++ = uchar(0x80 | (c >> 12 & 0x3F));
                *write++ = uchar(0x80 | (c >> 6 & 0x3F));
                *write++ = uchar(0x80 | (c & 0x3F));
            } else if (QChar::isSurrogate(u)) {
                *write++ = '\\';
                *write++ = 'u';
                for (int shift = 12; shift >= 0; shift -= 4)
                    *write++ = uchar(hex[(u >> shift) & 0xF]);
            } else {
                *write++ = uchar(0xE0 | u >> 12);
                *write++ = uchar(0x80 | (u >> 6 & 0x3F));
                *write++ = uchar(0x80 | (u & 0x3F));
            }
        }
        out.resize(reinterpret_cast<char *>(write) - out.constData());
    }
    out += '"';
}

// A whole number as its digits, any other as its shortest form.
void appendNumber(QByteArray &out, double d)
{
    if (!std::isfinite(d))
        throw EncodeError{QStringLiteral("Unable to encode %1 directly in JSON.").arg(Text::shortest(d))};
    if (std::floor(d) == d && std::fabs(d) < 9007199254740992.0) {
        out += QByteArray::number(static_cast<qint64>(d));
        return;
    }
    out += Text::shortest(d).toLatin1();
}

// An object's members by their keys in code-point order. The object keeps
// them in UTF-16 order, which is the same unless a key holds a character
// above U+FFFF: they are taken in its order and sorted only then.
QList<std::pair<QString, QJsonValue>> inCodePointOrder(const QJsonObject &o)
{
    QList<std::pair<QString, QJsonValue>> members;
    members.reserve(o.size());
    bool sorted = true;
    for (auto it = o.begin(); it != o.end(); ++it) {
        if (!members.isEmpty() && !Text::codePointLess(members.last().first, it.key()))
            sorted = false;
        members.append({it.key(), it.value()});
    }
    if (!sorted) {
        std::sort(members.begin(), members.end(),
                  [](const auto &a, const auto &b) { return Text::codePointLess(a.first, b.first); });
    }
    return members;
}

// Arrays longer than this are written in slices of this many elements.
constexpr qsizetype sliceLength = 64;

class Writer
{
public:
    Writer(bool indent, bool escapeSlashes) : m_indent(indent), m_escapeSlashes(escapeSlashes) {}

    QByteArray take() { return std::move(m_out); }

    void value(const QJsonValue &v, int depth)
    {
        switch (v.type()) {
        case QJsonValue::Null:
            m_out += "null";
            break;
        case QJsonValue::Bool:
            m_out += v.toBool() ? "true" : "false";
            break;
        case QJsonValue::Double:
            number(v);
            break;
        case QJsonValue::String:
            appendQuotedText(m_out, v.toString(), m_escapeSlashes);
            break;
        case QJsonValue::Array:
            array(v.toArray(), depth);
            break;
        case QJsonValue::Object:
            object(v.toObject(), depth);
            break;
        case QJsonValue::Undefined:
            throw EncodeError{QStringLiteral("undefined JSON value")};
        }
    }

private:
    void number(const QJsonValue &v) { appendNumber(m_out, v.toDouble()); }

    void newline(int depth)
    {
        if (!m_indent)
            return;
        m_out += '\n';
        m_out += QByteArray(depth * 2, ' ');
    }

    void array(const QJsonArray &a, int depth)
    {
        if (a.isEmpty()) {
            m_out += "[]";
            return;
        }
        m_out += '[';
        if (a.size() > sliceLength)
            slices(a, depth);
        else
            elements(a, 0, a.size(), depth);
        newline(depth);
        m_out += ']';
    }

    void elements(const QJsonArray &a, qsizetype from, qsizetype to, int depth)
    {
        for (qsizetype at = from; at < to; ++at) {
            if (at > 0)
                m_out += ',';
            newline(depth + 1);
            value(a.at(at), depth + 1);
        }
    }

    // One slice of a long array's elements as text, or the first error in it.
    struct Slice {
        QByteArray text;
        std::optional<EncodeError> error;
    };

    // A long array (the screens of a large plan) is written a slice at a
    // time on every core and joined in order: an element's text depends only
    // on it and its depth. Of several errors, the first in the array's order
    // is the one thrown, as a single pass would.
    void slices(const QJsonArray &a, int depth)
    {
        const qsizetype count = (a.size() + sliceLength - 1) / sliceLength;
        QList<Slice> done = Parallel::map<Slice>(count, [&](qsizetype at) {
            Writer part(m_indent, m_escapeSlashes);
            try {
                part.elements(a, at * sliceLength, std::min(a.size(), (at + 1) * sliceLength), depth);
            } catch (const EncodeError &error) {
                return Slice{{}, error};
            }
            return Slice{part.take(), std::nullopt};
        });
        qsizetype total = m_out.size();
        for (const Slice &slice : std::as_const(done)) {
            if (slice.error)
                throw *slice.error;
            total += slice.text.size();
        }
        m_out.reserve(total + depth * 2 + 2);
        for (Slice &slice : done)
            m_out += std::exchange(slice.text, {});
    }

    void object(const QJsonObject &o, int depth)
    {
        if (o.isEmpty()) {
            m_out += "{}";
            return;
        }
        m_out += '{';
        bool first = true;
        for (const auto &[key, member] : inCodePointOrder(o)) {
            if (!first)
                m_out += ',';
            first = false;
            newline(depth + 1);
            appendQuotedText(m_out, key, m_escapeSlashes);
            m_out += m_indent ? " : " : ":";
            value(member, depth + 1);
        }
        newline(depth);
        m_out += '}';
    }

    bool m_indent;
    bool m_escapeSlashes;
    QByteArray m_out;
};

QByteArray write(const QJsonValue &value, bool indent, bool escapeSlashes = false)
{
    Writer writer(indent, escapeSlashes);
    writer.value(value, 0);
    return writer.take();
}

} // namespace

QByteArray quoted(const QString &text)
{
    QByteArray out;
    out.reserve(text.size() + 2);
    appendQuotedText(out, text, false);
    return out;
}

Stream::Stream(bool indent, bool escapeSlashes) : m_indent(indent), m_escapeSlashes(escapeSlashes)
{
}

// The line break and its indentation in one step: most of an indented
// plan.json's writes are these.
void Stream::newline(int depth)
{
    if (!m_indent)
        return;
    const qsizetype at = m_out.size();
    m_out.resize(at + 1 + depth * 2);
    char *to = m_out.data() + at;
    *to = '\n';
    std::memset(to + 1, ' ', size_t(depth) * 2);
}

// A value in an object follows its key; in an array it follows a comma and
// its own line, as the whole-value writer spaces them.
void Stream::beforeValue()
{
    if (m_afterKey) {
        m_afterKey = false;
        return;
    }
    if (m_filled.isEmpty())
        return;
    if (m_filled.last())
        m_out += ',';
    m_filled.last() = true;
    newline(int(m_filled.size()));
}

void Stream::open(char bracket)
{
    beforeValue();
    m_out += bracket;
    m_filled.append(false);
}

// An empty container closes right after its opening; a filled one on a
// line of its own, at its opening's depth.
void Stream::close(char bracket)
{
    if (m_filled.takeLast())
        newline(int(m_filled.size()));
    m_out += bracket;
}

void Stream::key(QByteArrayView plain)
{
    beforeValue();
    m_out += '"';
    m_out += plain;
    m_out += m_indent ? "\" : " : "\":";
    m_afterKey = true;
}

void Stream::key(QStringView text)
{
    beforeValue();
    appendQuotedText(m_out, text, m_escapeSlashes);
    m_out += m_indent ? " : " : ":";
    m_afterKey = true;
}

void Stream::string(QStringView text)
{
    beforeValue();
    appendQuotedText(m_out, text, m_escapeSlashes);
}

void Stream::number(double value)
{
    beforeValue();
    appendNumber(m_out, value);
}

void Stream::boolean(bool value)
{
    beforeValue();
    m_out += value ? "true" : "false";
}

void insertIfPresent(QJsonObject &object, const QString &key, const std::optional<QString> &value)
{
    if (value)
        object.insert(key, *value);
}

QByteArray pretty(const QJsonValue &value)
{
    return write(value, true);
}

QByteArray compact(const QJsonValue &value)
{
    return write(value, false);
}

QByteArray compactEscapingSlashes(const QJsonValue &value)
{
    return write(value, false, true);
}

void appendEscapingSlashes(QByteArray &out, QByteArrayView utf8)
{
    appendQuotedBody(out, utf8, true);
}

namespace {

// The bytes of `word` that end a run inside a string of the indented text
// (a quote, a backslash or a slash), as the high bit of each: the lowest
// one set is the first such byte. Bits above it may be set by the borrow
// of the subtraction and mean nothing.
quint64 runEnds(quint64 word)
{
    return ByteWords::equalTo(word, '"') | ByteWords::equalTo(word, '\\') | ByteWords::equalTo(word, '/');
}

// How many slashes a text has, eight bytes at a time: each byte of the
// word that is a slash is marked, exactly, by its high bit.
qsizetype slashesIn(QByteArrayView text)
{
    constexpr quint64 lows = 0x7f7f7f7f7f7f7f7fULL;
    constexpr quint64 slashes = 0x2f2f2f2f2f2f2f2fULL;
    const char *at = text.data();
    const char *const end = at + text.size();
    qsizetype count = 0;
    for (; end - at >= 8; at += 8) {
        quint64 word;
        std::memcpy(&word, at, 8);
        const quint64 diff = word ^ slashes;
        const quint64 found = ~(((diff & lows) + lows) | diff | lows) >> 7;
        // One in each byte that is a slash, added up in the top byte.
        count += qsizetype(found * 0x0101010101010101ULL >> 56);
    }
    return count + std::count(at, end, '/');
}

} // namespace

QByteArray compactedEscapingSlashes(QByteArrayView indented)
{
    // Each slash, all inside strings, grows by its escape; nothing else grows.
    QByteArray out(indented.size() + slashesIn(indented), Qt::Uninitialized);
    char *to = out.data();
    const char *at = indented.data();
    const char *const end = at + indented.size();
    while (at < end) {
        const char c = *at++;
        if (c == '\n') {
            // A line's indentation, eight spaces at a time.
            constexpr quint64 spaces = 0x2020202020202020ULL;
            quint64 word;
            while (end - at >= 8 && (std::memcpy(&word, at, 8), word == spaces))
                at += 8;
            continue;
        }
        if (c == ' ')
            continue;
        *to++ = c;
        if (c != '"')
            continue;
        // A string's text is copied eight bytes at a time up to the first
        // byte that ends a run, which is then taken alone.
        for (;;) {
            while (end - at >= 8) {
                quint64 word;
                std::memcpy(&word, at, 8);
                const quint64 ends = runEnds(word);
                const qsizetype plain = ends ? std::countr_zero(ends) / 8 : 8;
                std::memcpy(to, at, 8);
                to += plain;
                at += plain;
                if (ends)
                    break;
            }
            if (at == end)
                break;
            const char s = *at++;
            if (s == '\\') {
                // An escape is kept whole, so its second byte ends nothing.
                *to++ = s;
                if (at < end)
                    *to++ = *at++;
                continue;
            }
            if (s == '/')
                *to++ = '\\';
            *to++ = s;
            if (s == '"')
                break;
        }
    }
    out.truncate(to - out.constData());
    return out;
}

void appendCompactEscapingSlashes(QByteArray &out, const QMap<QString, QByteArray> &texts)
{
    QStringList keys = texts.keys();
    Text::sortByCodePoint(keys);
    out += '{';
    bool first = true;
    for (const QString &key : keys) {
        if (!first)
            out += ',';
        first = false;
        appendQuotedText(out, key, true);
        out += ':';
        appendQuoted(out, texts.value(key), true);
    }
    out += '}';
}

} // namespace JSONCoding
