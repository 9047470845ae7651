#include "model/importer.h"

#include "core/atomicfile.h"
#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/text.h"

#include <QByteArrayView>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <optional>
#include <utility>

using namespace Qt::StringLiterals;

namespace Importer {

namespace {

constexpr qint64 headSize = 4096;
constexpr qint64 searchLimit = 30'000'000;
constexpr qint64 searchChunk = 1 << 20;

constexpr QByteArrayView headMarker = "content=\"quarrystone\"";
constexpr QByteArrayView planMarker = "id=\"quarrystone-plan\"";

// The text of the script block whose opening tag ends in `id="ID">`, as it
// stands, or nothing.
std::optional<QByteArrayView> block(QByteArrayView page, QByteArrayView id)
{
    const QByteArray open = "id=\"" + id.toByteArray() + "\">";
    const qsizetype at = page.indexOf(open);
    if (at < 0)
        return std::nullopt;
    const qsizetype start = at + open.size();
    const qsizetype end = page.indexOf("</script>", start);
    if (end < 0)
        return std::nullopt;
    return page.sliced(start, end - start);
}

// Goes on from the head already read, in pieces and never past the search
// limit, so a file that grows while it is read cannot keep the test going.
bool containsPlanMarker(QFile &file, QByteArray window)
{
    qint64 total = window.size();
    while (!window.contains(planMarker)) {
        if (total >= searchLimit)
            return false;
        window = window.right(planMarker.size() - 1);
        const QByteArray chunk = file.read(std::min(searchChunk, searchLimit - total));
        if (chunk.isEmpty())
            return false;
        total += chunk.size();
        window += chunk;
    }
    return true;
}

// Only the base64 alphabet, padded to whole groups of four: a line break, a
// space or a missing "=" makes the payload unusable.
std::optional<QByteArray> strictBase64(QByteArrayView payload)
{
    if (payload.size() % 4 != 0)
        return std::nullopt;
    auto decoded = QByteArray::fromBase64Encoding(payload.toByteArray(),
                                                  QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return std::nullopt;
    return std::move(decoded.decoded);
}

// The file an image key names inside the plan folder, or nothing when the
// key could address anything but a file below the folder's "img".
std::optional<QString> targetOf(const QString &root, const QString &key)
{
    if (!key.startsWith(u"img/"_s) || key.contains(u".."_s) || key.contains(u'\\') || key.contains(QChar(0)))
        return std::nullopt;
    const QString target = QDir::cleanPath(root + u'/' + key);
    if (!target.startsWith(root + u"/img/"_s))
        return std::nullopt;
    return target;
}

// A picture already in place byte for byte: a page imported again into its
// folder need not replace every image file with the same bytes.
bool alreadyThere(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    if (!info.isFile() || info.isSymLink() || info.size() != bytes.size())
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.readAll() == bytes;
}

// Where a path really leads: the nearest existing place with its links
// resolved, followed by the part still to be made. Empty when a link on the
// way leads nowhere, since the file writer would follow it wherever it points.
QString realPlace(const QString &path)
{
    QString rest;
    QFileInfo info(path);
    while (!info.exists()) {
        if (info.isSymLink())
            return {};
        rest.prepend(u'/' + info.fileName());
        info.setFile(info.absolutePath());
    }
    const QString real = info.canonicalFilePath();
    return real.isEmpty() ? QString() : real + rest;
}

Plan decodePlan(QByteArrayView json)
{
    try {
        const QJsonObject object = parseObject(json.toByteArray());
        // An empty object is what the page holds when its plan could not be
        // encoded; importing it would replace a real plan with nothing.
        const QStringList planKeys = Plan().toJson().keys();
        const bool hasPlanKey = std::any_of(planKeys.begin(), planKeys.end(),
                                            [&](const QString &key) { return object.contains(key); });
        if (!hasPlanKey)
            throw JSONDecodeError{u"계획서의 키가 하나도 없어요"_s};
        return *Plan::read(object);
    } catch (const JSONDecodeError &error) {
        throw Failure{u"계획서 데이터를 읽지 못했어요: "_s + error.message};
    }
}

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
Assets decodeAssets(QByteArray json)
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
    Assets assets;
    for (auto it = object.begin(); it != object.end(); ++it) {
        if (!it.value().isString())
            return {};
        // The conversion leaves room for three bytes a character, kept
        // for as long as the image's text unless it is given back.
        QByteArray url = it.value().toString().toUtf8();
        url.squeeze();
        assets.insert(it.key(), url);
    }
    return assets;
}


// The key-sorted compact encoding, which leaves element identities out; nothing
// when a value cannot be encoded.
std::optional<QByteArray> encoding(const QJsonValue &value)
{
    try {
        return JSONCoding::compact(value);
    } catch (const JSONCoding::EncodeError &) {
        return std::nullopt;
    }
}

template<typename T>
QJsonValue jsonOf(const T &record)
{
    return record.toJson();
}

template<typename T>
QJsonValue jsonOf(const QList<T> &records)
{
    return JSONCoding::arrayOf(records);
}

// Two values that both fail to encode count as the same.
template<typename T>
bool same(const T &a, const T &b)
{
    return encoding(jsonOf(a)) == encoding(jsonOf(b));
}

// Elements by canonical key; of several with one key the first is kept.
template<typename T>
QHash<QString, const T *> firstByKey(const QList<T> &items)
{
    QHash<QString, const T *> index;
    for (const T &item : items) {
        const QString key = Text::canonicalKey(item.key);
        if (!index.contains(key))
            index.insert(key, &item);
    }
    return index;
}

QStringList screenLines(const Plan &from, const Plan &to)
{
    const auto oldScreens = firstByKey(from.screens);
    const auto newScreens = firstByKey(to.screens);
    QStringList added;
    QStringList changed;
    for (const Screen &screen : to.screens) {
        const Screen *old = oldScreens.value(Text::canonicalKey(screen.key));
        if (!old)
            added.append(screen.title);
        else if (!same(screen, *old))
            changed.append(screen.title);
    }
    QStringList removed;
    for (const Screen &screen : from.screens)
        if (!newScreens.contains(Text::canonicalKey(screen.key)))
            removed.append(screen.title);

    QStringList lines;
    if (!added.isEmpty())
        lines.append(u"화면 추가: "_s + added.join(u", "_s));
    if (!removed.isEmpty())
        lines.append(u"화면 삭제: "_s + removed.join(u", "_s));
    if (!changed.isEmpty())
        lines.append(u"내용이 바뀐 화면: "_s + changed.join(u", "_s));
    return lines;
}

// Only new decisions and decisions that became decided are worth a line.
QStringList decisionLines(const Plan &from, const Plan &to)
{
    const auto oldDecisions = firstByKey(from.decisions);
    const QString decided = u"decided"_s;
    QStringList lines;
    for (const Decision &decision : to.decisions) {
        const Decision *old = oldDecisions.value(Text::canonicalKey(decision.key));
        if (!old) {
            lines.append(u"새 결정 "_s + decision.key + u": "_s + decision.question);
        } else if (old->status != decided && decision.status == decided) {
            QString line = u"결정 "_s + decision.key + u" 확정: "_s + decision.result.value_or(QString());
            if (decision.decidedBy)
                line += u" ("_s + *decision.decidedBy + u')';
            lines.append(line);
        }
    }
    return lines;
}

} // namespace

bool isPlanHTML(const QString &path)
{
    // Opening a FIFO or a device would wait for a writer or read without end.
    if (!QFileInfo(path).isFile())
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray head = file.read(headSize);
    const auto headText = Text::decodeUtf8Strict(head);
    if (headText && headText->contains(QLatin1StringView(headMarker)))
        return true;
    if (file.size() >= searchLimit)
        return false;
    return containsPlanMarker(file, head);
}

ImportedPlan read(const QString &path, const CancelToken &stop)
{
    const Failure unreadable{u"파일을 읽지 못했어요"_s};
    // A pipe or a device would wait for a writer or never end.
    if (!QFileInfo(path).isFile())
        throw unreadable;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw unreadable;
    QByteArray page = file.readAll();
    // Checked without decoding: the text of a page of many megabytes is
    // never held whole. The check refuses what the strict decoder refuses.
    if (file.error() != QFileDevice::NoError || !QByteArrayView(page).isValidUtf8())
        throw unreadable;
    stop.throwIfCancelled();

    const auto planJson = block(page, "quarrystone-plan");
    if (!planJson)
        throw Failure{u"“"_s + QFileInfo(path).fileName()
                      + u"” 은(는) 이 앱에서 내보낸 계획서 HTML 이 아니라 가져올 수 없어요. "
                        "다른 사람에게 받을 때는 앱의 “내보내기”로 만든 파일을 받아 주세요."_s};

    ImportedPlan imported;
    imported.source = path;
    imported.plan = decodePlan(*planJson);
    stop.throwIfCancelled();
    // The page goes once the image map's text is copied out of it.
    const std::optional<QByteArrayView> images = block(page, "quarrystone-img");
    QByteArray imagesJson = images ? withPlainSlashes(*images) : QByteArray();
    page = QByteArray();
    imported.assets = decodeAssets(std::move(imagesJson));
    return imported;
}

int writeAssets(const Assets &assets, const QString &dir, QStringList *failures)
{
    const QString root = QDir(dir).absolutePath();
    const QString realRoot = realPlace(root);
    const auto failed = [&](const QString &target, const QString &error) {
        if (failures)
            failures->append(QDir(root).relativeFilePath(target) + QStringLiteral(": ") + error);
    };
    // The pictures of a page may be thousands of small files: they are made
    // lasting together, not each on its own.
    AtomicFile::Batch batch;
    int written = 0;
    for (auto it = assets.begin(); it != assets.end(); ++it) {
        const auto target = targetOf(root, it.key());
        if (!target)
            continue;
        const qsizetype comma = it.value().indexOf(',');
        if (comma < 0)
            continue;
        const auto bytes = strictBase64(QByteArrayView(it.value()).sliced(comma + 1));
        if (!bytes)
            continue;
        // Checked before any folder is made, so that a linked folder cannot
        // lead the write, or the folders made for it, out of the plan folder.
        if (realRoot.isEmpty() || !realPlace(*target).startsWith(realRoot + u'/')) {
            if (failures)
                failures->append(QDir(root).relativeFilePath(*target) + u": 계획서 폴더 밖으로 이어진 링크라 쓰지 않았어요"_s);
            continue;
        }
        if (alreadyThere(*target, *bytes)) {
            ++written;
            continue;
        }
        QDir().mkpath(QFileInfo(*target).absolutePath());
        QString error;
        if (batch.add(*target, *bytes, &error))
            ++written;
        else
            failed(*target, error);
    }
    const QList<AtomicFile::Batch::Failure> notPlaced = batch.commit();
    for (const AtomicFile::Batch::Failure &failure : notPlaced)
        failed(failure.path, failure.error);
    return written - int(notPlaced.size());
}

QStringList changes(const Plan &from, const Plan &to)
{
    QStringList lines = screenLines(from, to);
    if (!same(from.transitions, to.transitions))
        lines.append(u"이동 "_s + QString::number(from.transitions.size()) + u"개 → "_s
                     + QString::number(to.transitions.size()) + u"개(바뀐 곳 있음)"_s);
    lines += decisionLines(from, to);
    if (!same(from.models, to.models))
        lines.append(u"모델이 바뀜"_s);
    if (!same(from.apis, to.apis))
        lines.append(u"API 가 바뀜"_s);
    if (!same(from.strings, to.strings))
        lines.append(u"문구·워드민트이 바뀜"_s);
    if (lines.isEmpty())
        lines.append(u"바뀐 곳이 없어요"_s);
    return lines;
}

} // namespace Importer
