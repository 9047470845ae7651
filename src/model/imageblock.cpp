#include "model/imageblock.h"

#include "core/bytewords.h"
#include "core/jsonread.h"
#include "core/parallel.h"
#include "core/text.h"
#include "model/pagefile.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <cstring>
#include <utility>

namespace ImageBlock {

namespace {

constexpr QByteArrayView closing = "</script>";
// The map is read this much at a time: some entries to share out, and no
// more of the page held than that.
constexpr qint64 piece = 8 << 20;

// The page writes every "/" as "\/", and the JSON parser builds any string
// holding an escape one character at a time, ten times slower on a page's
// megabytes of image data. Both spellings mean the same; every other escape
// is copied as it stands, so a text that was no JSON stays no JSON.
QByteArray withPlainSlashes(QByteArrayView json)
{
    QByteArray out;
    out.reserve(json.size());
    qsizetype from = 0;
    for (qsizetype at = json.indexOf('\\'); at >= 0 && at + 1 < json.size(); at = json.indexOf('\\', from)) {
        if (json[at + 1] == '/') {
            out += json.sliced(from, at - from);
            from = at + 1;
        } else {
            out += json.sliced(from, at + 2 - from);
            from = at + 2;
        }
    }
    out += json.sliced(from);
    return out;
}

// A broken or partly unreadable map counts as no images at all. The map's
// text is read from `json`, which is let go before the images are taken out.
Importer::Assets decodeAssets(QByteArray json)
{
    if (json.isNull())
        return {};
    QJsonDocument doc;
    try {
        doc = parseDocument(std::exchange(json, {}));
    } catch (const JSONDecodeError &) {
        return {};
    }
    if (!doc.isObject())
        return {};
    const QJsonObject object = doc.object();
    Importer::Assets assets;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return {};
        assets.insert(it.key(), Text::utf8(it.value().toString()));
    }
    return assets;
}

// The map of any spelling, parsed whole.
Importer::Assets parsedWhole(const PageFile &page, qint64 from)
{
    std::optional<QByteArray> text = page.textUntil(from, closing);
    return text ? decodeAssets(withPlainSlashes(*text)) : Importer::Assets();
}

// Where one entry's key and value lie in the text read, quotes left out.
struct Span {
    qsizetype key = 0;
    qsizetype keyEnd = 0;
    qsizetype value = 0;
    qsizetype valueEnd = 0;
};

enum class Scan { more, closed, unusual };

// Finds the whole entries from `at` on, as the writer spells them: no
// space, every string in quotes, no escape before a closing quote. Stops
// where the text read ends within an entry (`at` is then where it
// begins), at the map's end followed at once by its block's end, or at
// anything else, which the parser must judge.
Scan entries(QByteArrayView text, qsizetype &at, bool &first, QList<Span> &spans)
{
    for (;;) {
        qsizetype place = at;
        if (place >= text.size())
            return Scan::more;
        if (text[place] == '}') {
            if (text.size() - place - 1 < closing.size())
                return Scan::more;
            return text.sliced(place + 1, closing.size()) == closing ? Scan::closed : Scan::unusual;
        }
        if (!first && text[place++] != ',')
            return Scan::unusual;
        if (place >= text.size())
            return Scan::more;
        if (text[place] != '"')
            return Scan::unusual;
        const qsizetype keyEnd = text.indexOf('"', place + 1);
        if (keyEnd < 0 || keyEnd + 2 >= text.size())
            return Scan::more;
        if (text[keyEnd - 1] == '\\' || text[keyEnd + 1] != ':' || text[keyEnd + 2] != '"')
            return Scan::unusual;
        const qsizetype valueEnd = text.indexOf('"', keyEnd + 3);
        if (valueEnd < 0)
            return Scan::more;
        if (text[valueEnd - 1] == '\\')
            return Scan::unusual;
        spans.append({place + 1, keyEnd, keyEnd + 3, valueEnd});
        at = valueEnd + 1;
        first = false;
    }
}

// Whether any of the eight bytes in `word` is a control character, a "<"
// or a backslash: the bytes plainText must look at one by one.
inline bool anySpecial(quint64 word)
{
    return ByteWords::below(word, 0x20) | ByteWords::equalTo(word, '<') | ByteWords::equalTo(word, '\\');
}

// A string's text with each "\/" made "/"; nothing when it holds any other
// escape, a control character, a "<" (the block's end could be inside) or
// no UTF-8. A page's pictures are hundreds of megabytes of such text, so it
// is gone through eight bytes at a time, and only what stands out byte by byte.
std::optional<QByteArray> plainText(QByteArrayView text)
{
    QByteArray plain(text.size(), Qt::Uninitialized);
    char *out = plain.data();
    const char *in = text.data();
    const char *const end = in + text.size();
    quint64 high = 0;
    while (in < end) {
        while (end - in >= 8) {
            const quint64 word = ByteWords::load(in);
            if (anySpecial(word))
                break;
            std::memcpy(out, &word, sizeof word);
            high |= word;
            in += 8;
            out += 8;
        }
        if (in == end)
            break;
        const uchar c = uchar(*in);
        if (c == '\\') {
            if (end - in < 2 || in[1] != '/')
                return std::nullopt;
            *out++ = '/';
            in += 2;
            continue;
        }
        if (c < 0x20 || c == '<')
            return std::nullopt;
        high |= c;
        *out++ = char(c);
        ++in;
    }
    plain.truncate(out - plain.data());
    if ((high & 0x8080808080808080ULL) && !QByteArrayView(plain).isValidUtf8())
        return std::nullopt;
    return plain;
}

// Hands the entries found on; false when one cannot be read in place or
// `sink` refuses them, which the parser must judge.
bool take(QByteArrayView text, const QList<Span> &spans, const Sink &sink)
{
    const QList<std::optional<Entry>> found = Parallel::map<std::optional<Entry>>(spans.size(), [&](qsizetype at) {
        const Span &span = spans[at];
        std::optional<QByteArray> key = plainText(text.sliced(span.key, span.keyEnd - span.key));
        std::optional<QByteArray> url = plainText(text.sliced(span.value, span.valueEnd - span.value));
        if (!key || !url)
            return std::optional<Entry>();
        return std::optional<Entry>(Entry{QString::fromUtf8(*key), std::move(*url)});
    });
    QList<Entry> entries;
    entries.reserve(found.size());
    for (const std::optional<Entry> &entry : found) {
        if (!entry)
            return false;
        entries.append(*entry);
    }
    return entries.isEmpty() || sink(entries);
}

// The longest entry text a picture of the largest size allowed can take:
// its base64, every "/" of it escaped, and the data URL's head.
constexpr qsizetype longestEntry = qsizetype(Importer::maxPictureBytes / 3 * 4 * 2 + 4096);

// Passes over the entry that begins at `at` of `text` without holding it,
// reading on from `next` until its value's closing quote; `text` is then
// what follows it. False when the entry is not in the writer's spelling.
bool passOver(const PageFile &page, QByteArray &text, qsizetype &at, bool &first, qint64 &next,
              QStringList *skipped)
{
    qsizetype place = at + (first ? 0 : 1);
    if ((!first && text[at] != ',') || text[place] != '"')
        return false;
    const qsizetype keyEnd = text.indexOf('"', place + 1);
    if (keyEnd < 0 || keyEnd + 2 >= text.size() || text[keyEnd - 1] == '\\' || text[keyEnd + 1] != ':'
        || text[keyEnd + 2] != '"')
        return false;
    const std::optional<QByteArray> key = plainText(QByteArrayView(text).sliced(place + 1, keyEnd - place - 1));
    if (!key)
        return false;
    qint64 length = 0;
    qsizetype from = keyEnd + 3;
    for (;;) {
        const qsizetype quote = text.indexOf('"', from);
        if (quote > from && text[quote - 1] == '\\')
            return false;
        if (quote >= 0) {
            length += quote - from;
            text = text.sliced(quote + 1);
            break;
        }
        length += text.size() - from;
        if (next >= page.size())
            return false;
        text = page.read(next, piece);
        next += text.size();
        from = 0;
    }
    at = 0;
    first = false;
    if (skipped)
        skipped->append(Importer::pictureTooLarge(QString::fromUtf8(*key), length / 4 * 3));
    return true;
}

// The map as the writer spells it, read a piece at a time; false when it
// is spelled otherwise.
bool readInPlace(const PageFile &page, qint64 from, QStringList *skipped, const Sink &sink)
{
    QByteArray text = page.read(from, piece);
    qint64 next = from + text.size();
    if (!text.startsWith('{'))
        return false;
    qsizetype at = 1;
    bool first = true;
    for (;;) {
        QList<Span> spans;
        const Scan scan = entries(text, at, first, spans);
        if (scan == Scan::unusual || !take(text, spans, sink))
            return false;
        if (scan == Scan::closed)
            return true;
        if (next >= page.size())
            return false;
        if (text.size() - at > longestEntry) {
            if (!passOver(page, text, at, first, next, skipped))
                return false;
            continue;
        }
        const QByteArray more = page.read(next, piece);
        next += more.size();
        text = text.sliced(at) + more;
        at = 0;
    }
}

} // namespace

Importer::Assets read(const PageFile &page, qint64 from, QStringList *skipped)
{
    Importer::Assets assets;
    // A key met twice is for the parser to judge.
    const bool read = stream(page, from, skipped, [&assets](QList<Entry> &entries) {
        for (Entry &entry : entries) {
            if (assets.contains(entry.key))
                return false;
            assets.insert(entry.key, std::move(entry.url));
        }
        return true;
    });
    return read ? assets : parsedWhole(page, from);
}

bool stream(const PageFile &page, qint64 from, QStringList *skipped, const Sink &sink)
{
    QStringList passed;
    if (!readInPlace(page, from, &passed, sink))
        return false;
    if (skipped)
        *skipped += passed;
    return true;
}

} // namespace ImageBlock
