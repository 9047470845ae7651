#include "core/jsonread.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QFile>
#include <algorithm>
#include <cmath>
#include <limits>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// What Qt's parser takes, measured with Qt 6.4 on x86-64 as the growth of the
// process's peak address space (MB = 10^6 bytes) while reading texts of one
// shape each:
//   10 M nested "[[…]]", 20 MB                      1599 MB, 160 per array
//   5 M "[0]", 20 MB                                  934 MB
//   10 M numbers "0," in one array, 20 MB             269 MB, 27 per value
//   5 M strings "\"ab\"," in one array, 25 MB         269 MB
//   1 M objects of four numbers, 26 MB                513 MB
//   5 M empty "{}", 15 MB                             134 MB, no container of their own
//   one array of long Korean strings, 17 MB            34 MB, twice the bytes
//   a plan of 60,000 screens with API paths such as
//   "/v1/gifts/{giftId}" and JSON examples in its
//   texts, 40 MB                                      240 MB
//   a design-service answer of 400,000 nodes, 62 MB   469 MB
// A container that holds something costs about 160 bytes, every value or
// key about 32 (its 16-byte element and the list's growth), every string 24
// more, and the bytes themselves up to twice over. Brackets inside strings
// are text, not structure. These costs give an estimate between 1.02 and
// 1.41 times what each of the texts above took (1.25 for the plan).
constexpr qint64 bytesPerContainer = 160;
constexpr qint64 bytesPerEntry = 32;
constexpr qint64 bytesPerString = 24;
constexpr qint64 bytesPerByte = 2;
// The most a byte can cost: "[[" opens a holding array every two bytes.
constexpr qint64 worstRatio = bytesPerContainer / 2 + bytesPerByte;
// Texts below this size cannot take enough to matter.
constexpr qsizetype alwaysAffordable = 4 * 1024 * 1024;

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The memory a parse of `json` takes at most, from its structure outside
// strings.
qint64 parseCost(const QByteArray &json)
{
    qint64 containers = 0;
    qint64 entries = 0;
    qint64 strings = 0;
    const char *const end = json.cend();
    for (const char *c = json.cbegin(); c != end; ++c) {
        switch (*c) {
        case '"':
            ++strings;
            for (++c; c != end && *c != '"'; ++c)
                if (*c == '\\' && c + 1 != end)
                    ++c;
            if (c == end)
                --c;
            break;
        case '{':
        case '[': {
            const char *next = c + 1;
            while (next != end && isSpace(*next))
                ++next;
            if (next != end && *next != '}' && *next != ']')
                ++containers;
            break;
        }
        case ',':
        case ':':
            ++entries;
            break;
        default:
            break;
        }
    }
    return containers * bytesPerContainer + entries * bytesPerEntry + strings * bytesPerString
        + qint64(json.size()) * bytesPerByte;
}

qint64 meminfoValue(const QByteArray &text, QByteArrayView key)
{
    const qsizetype at = text.indexOf(key);
    if (at < 0)
        return std::numeric_limits<qint64>::max();
    const QByteArray value = text.mid(at + key.size()).trimmed();
    return value.left(value.indexOf(' ')).toLongLong() * 1024;
}

// What this process can still allocate: the memory the system has free,
// and what its address-space limit leaves.
qint64 memoryHeadroom()
{
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    qint64 room = std::numeric_limits<qint64>::max();
    if (meminfo.open(QIODevice::ReadOnly))
        room = meminfoValue(meminfo.readAll(), "MemAvailable:");
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        QFile statm(QStringLiteral("/proc/self/statm"));
        qint64 used = 0;
        if (statm.open(QIODevice::ReadOnly))
            used = statm.readAll().split(' ').value(0).toLongLong() * ::sysconf(_SC_PAGESIZE);
        room = std::min(room, qint64(limit.rlim_cur) - used);
    }
    return room;
}

// The parser's own words are English; a person reads these.
QString parseProblem(QJsonParseError::ParseError error)
{
    switch (error) {
    case QJsonParseError::UnterminatedObject:
        return QStringLiteral("객체가 닫히지 않았어요");
    case QJsonParseError::MissingNameSeparator:
        return QStringLiteral("키 뒤에 ':' 가 없어요");
    case QJsonParseError::UnterminatedArray:
        return QStringLiteral("배열이 닫히지 않았어요");
    case QJsonParseError::MissingValueSeparator:
        return QStringLiteral("값 사이에 ',' 가 없어요");
    case QJsonParseError::IllegalValue:
        return QStringLiteral("JSON 값이 아닌 글자가 있어요");
    case QJsonParseError::TerminationByNumber:
        return QStringLiteral("숫자에서 글이 끝났어요");
    case QJsonParseError::IllegalNumber:
        return QStringLiteral("숫자를 읽지 못했어요");
    case QJsonParseError::IllegalEscapeSequence:
        return QStringLiteral("문자열에 잘못된 '\\' 표기가 있어요");
    case QJsonParseError::IllegalUTF8String:
        return QStringLiteral("UTF-8 이 아닌 글자가 있어요");
    case QJsonParseError::UnterminatedString:
        return QStringLiteral("문자열이 닫히지 않았어요");
    case QJsonParseError::MissingObject:
        return QStringLiteral("객체나 배열로 시작하지 않아요");
    case QJsonParseError::DeepNesting:
        return QStringLiteral("너무 깊이 겹쳐 있어요");
    case QJsonParseError::DocumentTooLarge:
        return QStringLiteral("문서가 너무 커요");
    case QJsonParseError::GarbageAtEnd:
        return QStringLiteral("끝난 뒤에 다른 글자가 있어요");
    case QJsonParseError::NoError:
        break;
    }
    return QStringLiteral("JSON 을 읽지 못했어요");
}

} // namespace

QJsonDocument parseDocument(const QByteArray &json)
{
    // The parser cannot report running out of memory (the process would
    // abort), so a text it could not hold is refused before it starts.
    if (json.size() > alwaysAffordable && qint64(json.size()) * worstRatio > memoryHeadroom()
        && parseCost(json) > memoryHeadroom())
        throw JSONDecodeError{QStringLiteral("JSON %1바이트를 읽을 메모리가 모자라요").arg(json.size())};
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError)
        throw JSONDecodeError{QStringLiteral("%1 (%2바이트째)").arg(parseProblem(error.error), QString::number(error.offset))};
    return doc;
}

QJsonObject parseObject(const QByteArray &json)
{
    const QJsonDocument doc = parseDocument(json);
    if (!doc.isObject())
        throw JSONDecodeError{QStringLiteral("맨 바깥이 JSON 객체가 아니에요")};
    return doc.object();
}

namespace JsonRead {

QString string(const QJsonObject &o, const QString &key, const QString &fallback)
{
    const QJsonValue v = o.value(key);
    return v.isString() ? v.toString() : fallback;
}

bool boolean(const QJsonObject &o, const QString &key, bool fallback)
{
    const QJsonValue v = o.value(key);
    return v.isBool() ? v.toBool() : fallback;
}

bool isWholeNumber(const QJsonValue &v)
{
    if (!v.isDouble())
        return false;
    const double d = v.toDouble();
    return std::isfinite(d) && std::floor(d) == d && std::fabs(d) <= 9007199254740992.0;
}

qint64 integer(const QJsonObject &o, const QString &key, qint64 fallback)
{
    const QJsonValue v = o.value(key);
    return isWholeNumber(v) ? static_cast<qint64>(v.toDouble()) : fallback;
}

std::optional<QString> optString(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    if (v.isString())
        return v.toString();
    return std::nullopt;
}

QStringList stringList(const QJsonObject &o, const QString &key)
{
    return list(o, key, [](const QJsonValue &v) -> std::optional<QString> {
        if (v.isString())
            return v.toString();
        return std::nullopt;
    });
}

QMap<QString, QString> stringMap(const QJsonObject &o, const QString &key)
{
    // Each text stands for itself: one entry of another type is left out,
    // not the texts beside it.
    QMap<QString, QString> out;
    const QJsonObject object = o.value(key).toObject();
    for (auto it = object.begin(); it != object.end(); ++it)
        if (it.value().isString())
            out.insert(it.key(), it.value().toString());
    return out;
}

} // namespace JsonRead

namespace JsonStrict {

namespace {

const QString notString = QStringLiteral("문자열이어야 해요");
const QString notArray = QStringLiteral("배열이어야 해요");
const QString notObject = QStringLiteral("객체여야 해요");

[[noreturn]] void fail(const QString &key, const QString &expected)
{
    throw Error{QStringLiteral("\"%1\": %2").arg(key, expected)};
}

QJsonValue required(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        fail(key, QStringLiteral("값이 없어요"));
    return v;
}

} // namespace

QString string(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = required(o, key);
    if (!v.isString())
        fail(key, notString);
    return v.toString();
}

double number(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = required(o, key);
    if (!v.isDouble())
        fail(key, QStringLiteral("숫자여야 해요"));
    return v.toDouble();
}

QJsonArray array(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = required(o, key);
    if (!v.isArray())
        fail(key, notArray);
    return v.toArray();
}

QStringList stringList(const QJsonObject &o, const QString &key)
{
    QStringList out;
    for (const QJsonValue &v : array(o, key)) {
        if (!v.isString())
            fail(key, QStringLiteral("문자열 배열이어야 해요"));
        out.append(v.toString());
    }
    return out;
}

QJsonObject object(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = required(o, key);
    if (!v.isObject())
        fail(key, notObject);
    return v.toObject();
}

QJsonObject object(const QJsonValue &v, const QString &what)
{
    if (!v.isObject())
        fail(what, notObject);
    return v.toObject();
}

std::optional<QString> optString(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    if (!v.isString())
        fail(key, notString);
    return v.toString();
}

std::optional<QJsonArray> optArray(const QJsonObject &o, const QString &key)
{
    const QJsonValue v = o.value(key);
    if (v.isUndefined() || v.isNull())
        return std::nullopt;
    if (!v.isArray())
        fail(key, notArray);
    return v.toArray();
}

std::optional<QStringList> optStringList(const QJsonObject &o, const QString &key)
{
    if (!optArray(o, key))
        return std::nullopt;
    return stringList(o, key);
}

} // namespace JsonStrict
