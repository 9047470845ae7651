#include "model/importer.h"

#include "core/atomicfile.h"
#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/parallel.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "model/imageblock.h"
#include "model/pagefile.h"
#include "model/planfolder.h"
#include "model/planjson.h"

#include <QByteArrayView>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <sys/stat.h>
#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace Importer {

namespace {

constexpr qint64 headSize = 4096;
constexpr qint64 searchLimit = 30'000'000;
constexpr qint64 searchChunk = 1 << 20;

constexpr QByteArrayView headMarker = "content=\"quarrystone\"";
constexpr QByteArrayView planMarker = "id=\"quarrystone-plan\"";
// The plan's and the images' script blocks: the JSON begins after the
// opening tag and ends at the first "</script>".
constexpr QByteArrayView planOpen = "id=\"quarrystone-plan\">";
constexpr QByteArrayView imagesOpen = "id=\"quarrystone-img\">";
constexpr QByteArrayView blockEnd = "</script>";

QString unreadablePage()
{
    return u"파일을 읽지 못했어요"_s;
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

// The value of each base64 character; -1 for any other byte.
constexpr std::array<qint8, 256> base64Values = [] {
    std::array<qint8, 256> values{};
    values.fill(-1);
    for (int at = 0; at < 26; ++at) {
        values['A' + at] = qint8(at);
        values['a' + at] = qint8(26 + at);
    }
    for (int at = 0; at < 10; ++at)
        values['0' + at] = qint8(52 + at);
    values['+'] = 62;
    values['/'] = 63;
    return values;
}();

// How many "=" end a payload of whole groups of four.
qsizetype base64Padding(QByteArrayView payload)
{
    const qsizetype size = payload.size();
    return size == 0 || payload[size - 1] != '=' ? 0 : payload[size - 2] == '=' ? 2 : 1;
}

// Decodes base64 of whole groups of four to `out`, which may be where the
// payload itself lies, from its start on: the bytes are shorter than their
// text, and each group is read before its bytes are written. False when a
// character is outside the alphabet ("=" anywhere but in the last one or
// two places included); `leftover` says whether bits were left over, which
// Qt's decoder ignores. Qt's decoder takes a character at a time, slower by
// ten than this on a page's hundreds of megabytes.
bool decodeBase64(QByteArrayView payload, uchar *out, bool &leftover)
{
    const auto *in = reinterpret_cast<const uchar *>(payload.data());
    const qsizetype padding = base64Padding(payload);
    const qsizetype whole = payload.size() / 4 - (padding > 0 ? 1 : 0);
    // Negative once any character is outside the alphabet.
    int invalid = 0;
    for (qsizetype group = 0; group < whole; ++group, in += 4, out += 3) {
        const int a = base64Values[in[0]], b = base64Values[in[1]], c = base64Values[in[2]], d = base64Values[in[3]];
        invalid |= a | b | c | d;
        const uint value = uint(a) << 18 | uint(b) << 12 | uint(c) << 6 | uint(d);
        out[0] = uchar(value >> 16);
        out[1] = uchar(value >> 8);
        out[2] = uchar(value);
    }
    int left = 0;
    if (padding > 0) {
        const int a = base64Values[in[0]], b = base64Values[in[1]];
        const int c = padding == 1 ? base64Values[in[2]] : 0;
        invalid |= a | b | c;
        left = padding == 1 ? c & 3 : b & 15;
        out[0] = uchar(a << 2 | b >> 4);
        if (padding == 1)
            out[1] = uchar(b << 4 | c >> 2);
    }
    leftover = left != 0;
    return invalid >= 0;
}

// The bytes of base64 as the page's writer spells it: whole groups of four
// of the alphabet, "=" only as the last one or two characters, no bits
// left over. Nothing for any other spelling.
std::optional<QByteArray> canonicalBase64(QByteArrayView payload)
{
    QByteArray bytes(payload.size() / 4 * 3 - base64Padding(payload), Qt::Uninitialized);
    bool leftover = false;
    if (!decodeBase64(payload, reinterpret_cast<uchar *>(bytes.data()), leftover) || leftover)
        return std::nullopt;
    return bytes;
}

// Only the base64 alphabet, padded to whole groups of four: a line break, a
// space or a missing "=" makes the payload unusable.
std::optional<QByteArray> strictBase64(QByteArrayView payload)
{
    if (payload.size() % 4 != 0)
        return std::nullopt;
    if (std::optional<QByteArray> bytes = canonicalBase64(payload))
        return bytes;
    auto decoded = QByteArray::fromBase64Encoding(payload.toByteArray(),
                                                  QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (decoded.decodingStatus != QByteArray::Base64DecodingStatus::Ok)
        return std::nullopt;
    return std::move(decoded.decoded);
}

// The payload from `at` on of a data URL that the caller alone holds,
// decoded as strictBase64() decodes it, where it lies: a picture's text
// and its bytes are not held side by side.
std::optional<QByteArray> strictBase64Taking(QByteArray &&url, qsizetype at)
{
    if (!url.isDetached() || (url.size() - at) % 4 != 0)
        return strictBase64(QByteArrayView(url).sliced(at));
    char *const start = url.data();
    const QByteArrayView payload(start + at, url.size() - at);
    const qsizetype size = payload.size() / 4 * 3 - base64Padding(payload);
    bool leftover = false;
    if (!decodeBase64(payload, reinterpret_cast<uchar *>(start), leftover))
        return std::nullopt;
    url.truncate(size);
    return std::move(url);
}

// The file an image key names inside the plan folder, or nothing when the
// key could address anything but a file below the folder's "img".
std::optional<QString> targetOf(const QString &root, const QString &key)
{
    if (!key.startsWith(u"img/"_s) || key.contains(u".."_s) || key.contains(u'\\') || Text::hasControl(key))
        return std::nullopt;
    const QString target = QDir::cleanPath(root + u'/' + key);
    if (!target.startsWith(root + u"/img/"_s))
        return std::nullopt;
    return target;
}

// A picture already in place byte for byte, as `there` (its lstat) shows
// it: a page imported again into its folder need not replace every image
// file with the same bytes.
bool alreadyThere(const QString &path, const struct stat &there, const QByteArray &bytes)
{
    if (!S_ISREG(there.st_mode) || there.st_size != bytes.size())
        return false;
    return RegularFile::read(path, bytes.size()) == bytes;
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

Plan decodePlan(const QByteArray &json)
{
    try {
        // A plan that holds anything is read in one pass; only one that
        // reads as an empty plan is looked at for its keys.
        if (Plan plan = PlanJson::plan(json); !(plan == Plan()))
            return plan;
        const QJsonObject object = parseObject(json);
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

// What became of one image of the map: whether it is in place or added to
// the batch, the target it was added for, and why it could not be written.
struct Placed {
    bool added = false;
    std::optional<QString> target;
    QString failure;
    QString skipped;
};

// Whether a folder pictures go to leads inside the plan folder, made when
// missing. Checked before it is made, so that a linked folder cannot lead
// the write, or the folders made for it, out of the plan folder; and once
// for all the pictures it takes.
bool folderInside(const QString &folder, const QString &realRoot)
{
    if (realRoot.isEmpty() || !realPlace(folder).startsWith(realRoot + u'/'))
        return false;
    QDir().mkpath(folder);
    return true;
}

QString folderOf(const QString &path)
{
    return path.left(path.lastIndexOf(u'/'));
}

quint32 bigEndian(const QByteArray &bytes, qsizetype at)
{
    return quint32(uchar(bytes[at])) << 24 | quint32(uchar(bytes[at + 1])) << 16 | quint32(uchar(bytes[at + 2])) << 8
        | quint32(uchar(bytes[at + 3]));
}

// Whether the bytes begin as a picture the page can show does: PNG (its
// header's sides within what a screen could need, when it has a header),
// JPEG, GIF or WebP.
bool looksLikePicture(const QByteArray &bytes)
{
    constexpr quint32 maxSide = 1 << 15;
    if (bytes.startsWith("\x89PNG\r\n\x1a\n")) {
        if (bytes.size() < 24 || bytes.sliced(12, 4) != "IHDR")
            return true;
        const quint32 width = bigEndian(bytes, 16);
        const quint32 height = bigEndian(bytes, 20);
        return width > 0 && height > 0 && width <= maxSide && height <= maxSide;
    }
    return bytes.startsWith("\xFF\xD8\xFF") || bytes.startsWith("GIF87a") || bytes.startsWith("GIF89a")
        || (bytes.startsWith("RIFF") && bytes.size() >= 12 && bytes.sliced(8, 4) == "WEBP");
}

// `folders`: each folder pictures go to, held open beneath the plan
// folder; -1 for one that leads out of it.
Placed place(const QString &key, QByteArray &&url, const QString &root, const QString &realRoot,
             const QHash<QString, int> &folders, AtomicFile::Batch &batch)
{
    Placed placed;
    const auto target = targetOf(root, key);
    if (!target)
        return placed;
    const qsizetype comma = url.indexOf(',');
    if (comma < 0)
        return placed;
    const QByteArrayView payload = QByteArrayView(url).sliced(comma + 1);
    if (payload.size() / 4 * 3 > maxPictureBytes) {
        placed.skipped = pictureTooLarge(key, payload.size() / 4 * 3);
        return placed;
    }
    const auto bytes = strictBase64Taking(std::move(url), comma + 1);
    if (!bytes)
        return placed;
    if (!looksLikePicture(*bytes)) {
        placed.skipped = key + u": 그림 파일이 아니라 건너뛰었어요"_s;
        return placed;
    }
    const QString name = QDir(root).relativeFilePath(*target);
    // A link at the picture's own name is followed by the write: it must
    // lead inside the plan folder too.
    struct stat there {};
    const bool present = ::lstat(QFile::encodeName(*target).constData(), &there) == 0;
    const int folder = folders.value(folderOf(*target), -1);
    if (folder < 0 || (present && S_ISLNK(there.st_mode) && !realPlace(*target).startsWith(realRoot + u'/'))) {
        placed.failure = name + u": 계획서 폴더 밖으로 이어진 링크라 쓰지 않았어요"_s;
        return placed;
    }
    if (present && alreadyThere(*target, there, *bytes)) {
        placed.added = true;
        return placed;
    }
    QString error;
    // Into the folder as it was found: one swapped for a link meanwhile
    // takes no picture elsewhere.
    placed.added = batch.addAt(folder, QFile::encodeName(QFileInfo(*target).fileName()), *target, *bytes, &error);
    if (placed.added)
        placed.target = *target;
    else
        placed.failure = name + u": "_s + error;
    return placed;
}

} // namespace

QString pictureTooLarge(const QString &key, qint64 bytes)
{
    return key + u": 그림이 너무 커서 건너뛰었어요 (%1바이트, 최대 %2바이트)"_s.arg(bytes).arg(maxPictureBytes);
}

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
    const PageFile page(path);
    return read(page, path, stop, Pictures::taken);
}

ImportedPlan read(const PageFile &page, const QString &path, const CancelToken &stop, Pictures pictures)
{
    const Failure unreadable{unreadablePage()};
    // A pipe or a device would wait for a writer or never end.
    if (!page.isOpen())
        throw unreadable;
    if (page.size() > maxPageBytes)
        throw Failure{u"페이지가 너무 커서 가져오지 않았어요: %1바이트 (최대 %2바이트)"_s.arg(page.size()).arg(maxPageBytes)};
    try {
        // Checked without decoding: the text of a page of many megabytes is
        // never held whole. The check refuses what the strict decoder refuses.
        const PageFile::Survey survey = page.survey({planOpen, imagesOpen});
        if (!survey.utf8)
            throw unreadable;
        stop.throwIfCancelled();
        const qint64 planAt = survey.first[0];
        const std::optional<QByteArray> planJson =
            planAt < 0 ? std::nullopt : page.textUntil(planAt + planOpen.size(), blockEnd);
        // A page that ends inside its plan block was this app's page, cut
        // short on its way.
        if (!planJson && planAt >= 0)
            throw Failure{u"“"_s + QFileInfo(path).fileName()
                          + u"” 은(는) 계획서 데이터 중간에서 잘려 있어요. 파일을 다시 받아 주세요."_s};
        if (!planJson)
            throw Failure{u"“"_s + QFileInfo(path).fileName()
                          + u"” 은(는) 이 앱에서 내보낸 계획서 HTML 이 아니라 가져올 수 없어요. "
                            "다른 사람에게 받을 때는 앱의 “내보내기”로 만든 파일을 받아 주세요."_s};
        ImportedPlan imported;
        imported.source = path;
        const qint64 imagesAt = survey.first[1];
        // The plan and the images do not depend on each other; a plan that
        // cannot be read is the failure even when the images were read.
        std::exception_ptr failed[2];
        Parallel::forEach(2, [&](qsizetype part) {
            try {
                if (part == 0)
                    imported.plan = decodePlan(*planJson);
                else if (imagesAt >= 0 && pictures == Pictures::taken)
                    imported.assets = ImageBlock::read(page, imagesAt + imagesOpen.size(), &imported.skipped);
            } catch (...) {
                failed[part] = std::current_exception();
            }
        });
        for (const std::exception_ptr &failure : failed)
            if (failure)
                std::rethrow_exception(failure);
        stop.throwIfCancelled();
        if (imagesAt >= 0 && pictures == Pictures::leftInPage)
            imported.picturesAt = imagesAt + imagesOpen.size();
        return imported;
    } catch (const PageFile::Unreadable &) {
        throw unreadable;
    }
}

namespace {

// The pictures of one import on their way: decoded and written beside
// their targets a share at a time on every core, as they come, and made
// lasting together, not each on its own.
class Placing
{
public:
    explicit Placing(const QString &dir)
        : m_root(QDir(dir).absolutePath()), m_realRoot(realPlace(m_root))
    {
    }

    qsizetype count() const { return m_keys.size(); }
    const QStringList &keys() const { return m_keys; }

    // Each URL is let go as its picture is taken out of it.
    void add(const QStringList &keys, QList<QByteArray> urls)
    {
        for (const QString &key : keys)
            if (const std::optional<QString> target = targetOf(m_root, key);
                target && !m_folders.contains(folderOf(*target)))
                m_folders.insert(folderOf(*target), held(folderOf(*target)));
        const qsizetype from = m_keys.size();
        m_keys += keys;
        // Detached here, once: the cores then each take a URL of their own.
        urls.detach();
        m_placed += Parallel::map<Placed>(keys.size(), [&](qsizetype at) {
            return place(keys[at], std::move(urls[at]), m_root, m_realRoot, m_folders, m_batch);
        });
        for (qsizetype at = from; at < m_placed.size(); ++at)
            if (m_placed[at].target)
                m_order.insert(*m_placed[at].target, at);
    }

    // Puts every picture added in place; gives the number in place.
    int commit(QStringList *failures, QStringList *skipped)
    {
        int written = 0;
        QStringList reasons;
        for (const Placed &placed : std::as_const(m_placed)) {
            written += placed.added ? 1 : 0;
            if (!placed.failure.isEmpty())
                reasons.append(placed.failure);
            if (skipped && !placed.skipped.isEmpty())
                skipped->append(placed.skipped);
        }
        QList<AtomicFile::Batch::Failure> notPlaced = m_batch.commit();
        // Named in the map's order, whichever core wrote them.
        std::stable_sort(notPlaced.begin(), notPlaced.end(), [&](const auto &a, const auto &b) {
            return m_order.value(a.path) < m_order.value(b.path);
        });
        for (const AtomicFile::Batch::Failure &failure : notPlaced)
            reasons.append(QDir(m_root).relativeFilePath(failure.path) + u": "_s + failure.error);
        if (failures)
            *failures += reasons;
        return written - int(notPlaced.size());
    }

private:
    // The folder `folder` opened where it really is, beneath the plan
    // folder and through no link, once it is found to be inside it; -1
    // when it is not.
    int held(const QString &folder)
    {
        if (!folderInside(folder, m_realRoot))
            return -1;
        // Opened once the first folder is made: a new plan folder is made
        // with it.
        if (!m_realFolder.isOpen())
            m_realFolder = PlanFolder(m_realRoot);
        PlanFolder::Descriptor opened = m_realFolder.openFolder(QDir(m_realRoot).relativeFilePath(realPlace(folder)));
        const int fd = opened.get();
        if (opened.isOpen())
            m_held.push_back(std::move(opened));
        return fd;
    }

    QString m_root;
    QString m_realRoot;
    PlanFolder m_realFolder;
    // Declared before the batch, so that they outlive it.
    std::vector<PlanFolder::Descriptor> m_held;
    QHash<QString, int> m_folders;
    AtomicFile::Batch m_batch;
    QStringList m_keys;
    QList<Placed> m_placed;
    QHash<QString, qsizetype> m_order;
};

// Which pictures of a map are taken, in the map's order: every one the
// plan shows, however many others come before them, and of the others as
// many as the count leaves room for.
class Admission
{
public:
    explicit Admission(const QSet<QString> &shown)
        : m_shown(shown), m_room(maxPictures - std::min(qsizetype(shown.size()), maxPictures))
    {
    }

    bool admit(const QString &key)
    {
        const bool taken = m_shown.contains(key) ? m_shownTaken++ < maxPictures : m_othersTaken++ < m_room;
        m_left += taken ? 0 : 1;
        return taken;
    }

    // The line that says how many were left out, when any were.
    void tell(QStringList *skipped) const
    {
        if (skipped && m_left > 0)
            skipped->append(u"그림이 너무 많아 %1개는 건너뛰었어요 (최대 %2개)"_s.arg(m_left).arg(maxPictures));
    }

private:
    const QSet<QString> &m_shown;
    qsizetype m_room;
    qsizetype m_shownTaken = 0;
    qsizetype m_othersTaken = 0;
    qsizetype m_left = 0;
};

} // namespace

QSet<QString> shownPictures(const Plan &plan)
{
    QSet<QString> paths;
    for (const Screen &screen : plan.screens) {
        for (const std::optional<QString> &path : {screen.image.before, screen.image.android, screen.image.ios}) {
            if (path)
                paths.insert(*path);
        }
    }
    return paths;
}

int writeAssets(const Assets &assets, const QString &dir, QStringList *failures, QStringList *skipped,
                const QSet<QString> &shown)
{
    Admission admission(shown);
    QStringList keys;
    QList<QByteArray> urls;
    for (auto it = assets.cbegin(); it != assets.cend(); ++it) {
        if (admission.admit(it.key())) {
            keys.append(it.key());
            urls.append(it.value());
        }
    }
    admission.tell(skipped);
    Placing placing(dir);
    placing.add(keys, std::move(urls));
    return placing.commit(failures, skipped);
}

namespace {

int writeFromPage(const PageFile &page, qint64 at, const QString &dir, QStringList *failures, QStringList *skipped,
                  const std::function<void(const QStringList &keys)> &beforePlacing, const QSet<QString> &shown)
{
    {
        Placing placing(dir);
        QSet<QString> seen;
        Admission admission(shown);
        QStringList passed;
        // A key met twice is for the parser to judge, as when the map is
        // read whole; what was written so far is dropped with `placing`.
        const bool streamed = ImageBlock::stream(page, at, &passed, [&](QList<ImageBlock::Entry> &entries) {
            QStringList keys;
            QList<QByteArray> urls;
            for (ImageBlock::Entry &entry : entries) {
                if (seen.contains(entry.key))
                    return false;
                seen.insert(entry.key);
                if (!admission.admit(entry.key))
                    continue;
                keys.append(entry.key);
                urls.append(std::exchange(entry.url, {}));
            }
            entries.clear();
            placing.add(keys, std::move(urls));
            return true;
        });
        if (streamed) {
            if (skipped)
                *skipped += passed;
            admission.tell(skipped);
            beforePlacing(placing.keys());
            return placing.commit(failures, skipped);
        }
    }
    const Assets assets = ImageBlock::read(page, at, skipped);
    Admission admission(shown);
    QStringList keys = assets.keys();
    keys.removeIf([&admission](const QString &key) { return !admission.admit(key); });
    beforePlacing(keys);
    return writeAssets(assets, dir, failures, skipped, shown);
}

} // namespace

int writePictures(const PageFile &page, qint64 at, const QString &dir, QStringList *failures, QStringList *skipped,
                  const std::function<void(const QStringList &keys)> &beforePlacing, const QSet<QString> &shown)
{
    // A page that shrank or went away meanwhile: nothing of it is placed.
    try {
        return writeFromPage(page, at, dir, failures, skipped, beforePlacing, shown);
    } catch (const PageFile::Unreadable &) {
        if (failures)
            failures->append(unreadablePage());
        return 0;
    }
}

QString picturesNotWritten(const QStringList &failures)
{
    return u"그림을 쓰지 못해 가져오지 않았어요: "_s + failures.first();
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
