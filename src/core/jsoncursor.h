#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QChar>
#include <QString>
#include <QStringDecoder>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

// The one-pass readers of JSON texts this program writes itself (plan.json,
// figma-section.json): the text is read straight into the records, with no
// document in between. Such a reader takes only the usual form, which the
// document reader would take the same way; at anything else it gives up
// (Unusual) and the text is read the slow way, which decides what that
// means.
namespace JsonCursor {

struct Unusual {
};

class Cursor
{
public:
    explicit Cursor(const QByteArray &json) : m_at(json.constData()), m_end(json.constData() + json.size()) {}

    [[noreturn]] static void unusual() { throw Unusual{}; }

    void space()
    {
        while (m_at < m_end && (*m_at == ' ' || *m_at == '\n' || *m_at == '\r' || *m_at == '\t'))
            ++m_at;
    }

    char peek()
    {
        space();
        return m_at < m_end ? *m_at : '\0';
    }

    bool take(char c)
    {
        if (peek() != c)
            return false;
        ++m_at;
        return true;
    }

    void expect(char c)
    {
        if (!take(c))
            unusual();
    }

    bool takeWord(QByteArrayView word)
    {
        space();
        if (m_end - m_at < word.size() || std::memcmp(m_at, word.data(), size_t(word.size())) != 0)
            return false;
        m_at += word.size();
        return true;
    }

    bool takeNull() { return takeWord("null"); }

    bool atEnd()
    {
        space();
        return m_at == m_end;
    }

    // A key as its bytes: the records' keys are plain ASCII, so one spelled
    // with an escape is not one of them as it stands.
    QByteArrayView key()
    {
        expect('"');
        const char *from = m_at;
        while (m_at < m_end && *m_at != '"' && *m_at != '\\' && uchar(*m_at) >= 0x20)
            ++m_at;
        if (m_at == m_end || *m_at != '"')
            unusual();
        const QByteArrayView key(from, m_at - from);
        ++m_at;
        expect(':');
        return key;
    }

    QString string()
    {
        expect('"');
        const char *from = m_at;
        bool ascii = true;
        while (m_at < m_end && *m_at != '"' && *m_at != '\\') {
            const uchar c = uchar(*m_at);
            if (c < 0x20)
                unusual();
            ascii = ascii && c < 0x80;
            ++m_at;
        }
        if (m_at == m_end)
            unusual();
        if (*m_at == '"') {
            const QByteArrayView bytes(from, m_at - from);
            ++m_at;
            return ascii ? QString::fromLatin1(bytes) : utf8(bytes);
        }
        return escaped(from);
    }

    double number()
    {
        space();
        const char *from = m_at;
        if (m_at < m_end && *m_at == '-')
            ++m_at;
        if (m_at < m_end && *m_at == '0')
            ++m_at;
        else if (!digits())
            unusual();
        if (m_at < m_end && *m_at == '.') {
            ++m_at;
            if (!digits())
                unusual();
        }
        if (m_at < m_end && (*m_at == 'e' || *m_at == 'E')) {
            ++m_at;
            if (m_at < m_end && (*m_at == '+' || *m_at == '-'))
                ++m_at;
            if (!digits())
                unusual();
        }
        double value = 0;
        const auto [end, error] = std::from_chars(from, m_at, value);
        if (error != std::errc() || end != m_at || !std::isfinite(value))
            unusual();
        return value;
    }

private:
    bool digits()
    {
        const char *from = m_at;
        while (m_at < m_end && *m_at >= '0' && *m_at <= '9')
            ++m_at;
        return m_at > from;
    }

    // Only what the parser takes as UTF-8: anything else is its error to name.
    // A text's U+FEFF is its own character, not a mark to skip as
    // QString::fromUtf8 skips one at the start of its bytes.
    static QString utf8(QByteArrayView bytes)
    {
        if (!bytes.isValidUtf8())
            unusual();
        QStringDecoder decoder(QStringDecoder::Utf8,
                               QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
        return decoder(bytes);
    }

    static int hexValue(char c)
    {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        unusual();
    }

    char16_t unicodeEscape()
    {
        if (m_end - m_at < 4)
            unusual();
        char16_t unit = 0;
        for (int at = 0; at < 4; ++at)
            unit = char16_t(unit << 4 | hexValue(m_at[at]));
        m_at += 4;
        // Halves of a pair are left to the parser.
        if (QChar::isSurrogate(unit))
            unusual();
        return unit;
    }

    // The rest of a string that holds escapes, from its first byte on.
    QString escaped(const char *from)
    {
        QString text = utf8(QByteArrayView(from, m_at - from));
        for (;;) {
            if (m_at == m_end)
                unusual();
            if (*m_at == '"') {
                ++m_at;
                return text;
            }
            if (*m_at != '\\') {
                const char *run = m_at;
                while (m_at < m_end && *m_at != '"' && *m_at != '\\') {
                    if (uchar(*m_at) < 0x20)
                        unusual();
                    ++m_at;
                }
                text += utf8(QByteArrayView(run, m_at - run));
                continue;
            }
            if (++m_at == m_end)
                unusual();
            switch (*m_at++) {
            case '"': text += u'"'; break;
            case '\\': text += u'\\'; break;
            case '/': text += u'/'; break;
            case 'b': text += u'\b'; break;
            case 'f': text += u'\f'; break;
            case 'n': text += u'\n'; break;
            case 'r': text += u'\r'; break;
            case 't': text += u'\t'; break;
            case 'u': text += QChar(unicodeEscape()); break;
            default: unusual();
            }
        }
    }

    const char *m_at;
    const char *m_end;
};

// The keys of one object seen so far: a key met twice is left to the parser.
class Seen
{
public:
    void mark(int key)
    {
        if (m_keys & (quint64(1) << key))
            Cursor::unusual();
        m_keys |= quint64(1) << key;
    }

    quint64 keys() const { return m_keys; }

private:
    quint64 m_keys = 0;
};

// Reads an object's members: `member` takes each key (its index in `keys`)
// and reads the value. A key outside `keys` would be dropped by a write.
// Gives the keys met, a bit each by index.
template<size_t N, typename Member>
quint64 members(Cursor &in, const std::array<QByteArrayView, N> &keys, Member member)
{
    in.expect('{');
    if (in.take('}'))
        return 0;
    Seen seen;
    do {
        const QByteArrayView key = in.key();
        int at = 0;
        while (at < int(N) && keys[at] != key)
            ++at;
        if (at == int(N))
            Cursor::unusual();
        seen.mark(at);
        member(at);
    } while (in.take(','));
    in.expect('}');
    return seen.keys();
}

// A list's elements, each read by `element`.
template<typename Element>
void elements(Cursor &in, Element element)
{
    in.expect('[');
    if (in.take(']'))
        return;
    do
        element();
    while (in.take(','));
    in.expect(']');
}

template<typename... Keys>
std::array<QByteArrayView, sizeof...(Keys)> keys(Keys... names)
{
    return {QByteArrayView(names)...};
}

} // namespace JsonCursor
