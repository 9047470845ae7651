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

// What a look at the map found: more text is needed, an entry (its head),
// the map's end, or a spelling the parser must judge.
enum class Scan { more, entry, closed, unusual };

// Where the white space JSON allows between tokens ends from `at` on: a
// tool that saves the page again may put it anywhere in the map.
qsizetype afterSpace(QByteArrayView text, qsizetype at)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\n' || text[at] == '\r' || text[at] == '\t'))
        ++at;
    return at;
}

// An entry's head from `at` on: the comma before any but the first, its
// key, the colon and its value's opening quote, with white space anywhere
// between. Gives the key's place and `value` where the value begins.
Scan head(QByteArrayView text, qsizetype at, bool first, Span &span)
{
    qsizetype place = afterSpace(text, at);
    if (!first) {
        if (place >= text.size())
            return Scan::more;
        if (text[place] != ',')
            return Scan::unusual;
        place = afterSpace(text, place + 1);
    }
    if (place >= text.size())
        return Scan::more;
    if (text[place] != '"')
        return Scan::unusual;
    const qsizetype keyEnd = text.indexOf('"', place + 1);
    if (keyEnd < 0)
        return Scan::more;
    if (text[keyEnd - 1] == '\\')
        return Scan::unusual;
    const qsizetype colon = afterSpace(text, keyEnd + 1);
    const qsizetype quote = colon < text.size() ? afterSpace(text, colon + 1) : colon;
    if (quote >= text.size())
        return Scan::more;
    if (text[colon] != ':' || text[quote] != '"')
        return Scan::unusual;
    span = {place + 1, keyEnd, quote + 1, 0};
    return Scan::entry;
}

// Finds the whole entries from `at` on, as the writer spells them, or with
// white space between their parts: every string in quotes, no escape
// before a closing quote. Stops where the text read ends within an entry
// (`at` is then where it begins), at the map's end followed by its block's
// end, or at anything else, which the parser must judge.
Scan entries(QByteArrayView text, qsizetype &at, bool &first, QList<Span> &spans)
{
    for (;;) {
        const qsizetype place = afterSpace(text, at);
        if (place >= text.size())
            return Scan::more;
        if (text[place] == '}') {
            const qsizetype end = afterSpace(text, place + 1);
            if (text.size() - end < closing.size())
                return Scan::more;
            return text.sliced(end, closing.size()) == closing ? Scan::closed : Scan::unusual;
        }
        Span span;
        if (const Scan found = head(text, at, first, span); found != Scan::entry)
            return found;
        const qsizetype valueEnd = text.indexOf('"', span.value);
        if (valueEnd < 0)
            return Scan::more;
        if (text[valueEnd - 1] == '\\')
            return Scan::unusual;
        span.valueEnd = valueEnd;
        spans.append(span);
        at = valueEnd + 1;
        first = false;
        // A large entry is the last one found: it is taken where it lies.
        if (valueEnd - span.value > piece)
            return Scan::more;
    }
}

// Whether any of the eight bytes in `word` is a control character, a "<"
// or a backslash: the bytes plainText must look at one by one.
inline bool anySpecial(quint64 word)
{
    return ByteWords::below(word, 0x20) | ByteWords::equalTo(word, '<') | ByteWords::equalTo(word, '\\');
}

// A string's text with each "\/" made "/", written from `into` on (which
// may be where the text itself lies, or before: the text only shrinks);
// its length, or nothing when it holds any other escape, a control
// character, a "<" (the block's end could be inside) or no UTF-8. A page's
// pictures are hundreds of megabytes of such text, so it is gone through
// eight bytes at a time, and only what stands out byte by byte.
std::optional<qsizetype> plainTextInto(QByteArrayView text, char *into)
{
    char *out = into;
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
    if ((high & 0x8080808080808080ULL) && !QByteArrayView(into, out - into).isValidUtf8())
        return std::nullopt;
    return out - into;
}

std::optional<QByteArray> plainText(QByteArrayView text)
{
    QByteArray plain(text.size(), Qt::Uninitialized);
    const std::optional<qsizetype> length = plainTextInto(text, plain.data());
    if (!length)
        return std::nullopt;
    plain.truncate(*length);
    return plain;
}

// The text of one large entry read (`text`, which holds nothing else the
// map still needs) made its entry where it lies: a picture of many
// megabytes is not copied to be taken.
std::optional<Entry> takenWhereItLies(QByteArray &&text, const Span &span)
{
    const std::optional<QByteArray> key = plainText(QByteArrayView(text).sliced(span.key, span.keyEnd - span.key));
    char *const start = text.data();
    const std::optional<qsizetype> length =
        plainTextInto(QByteArrayView(start + span.value, span.valueEnd - span.value), start);
    if (!key || !length)
        return std::nullopt;
    text.truncate(*length);
    return Entry{QString::fromUtf8(*key), std::move(text)};
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
    Span span;
    if (head(text, at, first, span) != Scan::entry)
        return false;
    const std::optional<QByteArray> key = plainText(QByteArrayView(text).sliced(span.key, span.keyEnd - span.key));
    if (!key)
        return false;
    qint64 length = 0;
    qsizetype from = span.value;
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
    qsizetype at = afterSpace(text, 0);
    if (at >= text.size() || text[at] != '{')
        return false;
    ++at;
    bool first = true;
    for (;;) {
        QList<Span> spans;
        const Scan scan = entries(text, at, first, spans);
        if (scan == Scan::unusual)
            return false;
        if (!spans.isEmpty() && spans.last().valueEnd - spans.last().value > piece) {
            const Span large = spans.takeLast();
            if (!take(text, spans, sink))
                return false;
            QByteArray rest = text.sliced(at);
            std::optional<Entry> entry = takenWhereItLies(std::move(text), large);
            text = std::move(rest);
            at = 0;
            QList<Entry> one;
            if (entry)
                one.append(std::move(*entry));
            if (!entry || !sink(one))
                return false;
            continue;
        }
        if (!take(text, spans, sink))
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
        // The text read grows where it lies (the system moves a large block's
        // pages rather than copy them): an entry of many pieces is not held
        // twice while it grows.
        if (at > 0)
            text = text.sliced(at);
        at = 0;
        const QByteArray more = page.read(next, piece);
        next += more.size();
        text.reserve(text.size() + more.size());
        text += more;
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
