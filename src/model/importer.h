#pragma once

#include <QByteArray>
#include <QMap>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <functional>

#include "core/canceltoken.h"
#include "model/plan.h"

class PageFile;

// Turning a shared plan page back into a plan and its image files, and
// telling in Korean what an incoming plan would change. No state.
namespace Importer {

// The import's error: one Korean message, shown or printed as it stands.
struct Failure {
    QString message;
};

// Image path as the page names it (under "img/") → "data:<mime>;base64,<bytes>".
using Assets = QMap<QString, QByteArray>;

// What an import takes at most: a page is refused beyond its ceiling; a
// picture beyond its own, and the pictures beyond the count, are skipped.
constexpr qint64 maxPageBytes = qint64(2) << 30;
constexpr qint64 maxPictureBytes = qint64(64) << 20;
constexpr qsizetype maxPictures = 100000;

// The line that says a picture was skipped for its size.
QString pictureTooLarge(const QString &key, qint64 bytes);

} // namespace Importer

// One page read for import.
struct ImportedPlan {
    QUuid id = QUuid::createUuid();
    QString source;
    Plan plan;
    Importer::Assets assets;
    // One line for each picture of the page that was left out, and why.
    QStringList skipped;
    // Where the page's image map begins when its pictures were left in the
    // page to be written from there; -1 otherwise or when it has none.
    qint64 picturesAt = -1;
    // Kept empty; nothing reads it.
    QStringList candidates;
};

namespace Importer {

// Whether the file is a plan page of this system: the generator marker in
// its first 4,096 bytes, or else (below 30,000,000 bytes) the plan block
// anywhere. Only regular files are looked at. Never fails.
bool isPlanHTML(const QString &path);

// The plan and the image map embedded in the page; throws Failure. The plan
// is not checked for problems. Throws Cancelled once `stop` is cancelled,
// between the reading of the page and each decoding.
ImportedPlan read(const QString &path, const CancelToken &stop = CancelToken());

// Whether a read takes the pictures out of the page or leaves them there
// to be written from it by writePictures().
enum class Pictures { taken, leftInPage };
// The same from a page opened already, named `path`.
ImportedPlan read(const PageFile &page, const QString &path, const CancelToken &stop, Pictures pictures);

// The pictures the plan's screens show, by the paths it gives.
QSet<QString> shownPictures(const Plan &plan);

// Writes every image of the map that has a safe path under "img/" and a
// strict base64 payload into the plan folder, each file replaced whole (a
// file that already holds those bytes is left as it is). Entries that cannot
// be used or written are skipped; so are those that are no picture (PNG,
// JPEG, GIF or WebP, of sides the header allows), larger than
// maxPictureBytes, or beyond maxPictures, each with a line in `skipped`
// when given: the pictures in `shown` (the plan's own) are taken first,
// then the others in the map's order. Gives the number of images in place;
// `failures`, when given, gets the reason of each usable image that could
// not be written, one whose place a link leads out of the folder included.
int writeAssets(const Assets &assets, const QString &dir, QStringList *failures = nullptr,
                QStringList *skipped = nullptr, const QSet<QString> &shown = {});
// Writes the pictures of the page's image map that begins at `at` as
// writeAssets() writes those of a map, decoded and written as the page is
// read, a piece at a time: the pictures are never all held at once. Each
// goes to a file beside its target, and `beforePlacing` hears every key
// written before any file is replaced. A map spelled otherwise than the
// page's writer spells it is read whole first.
int writePictures(const PageFile &page, qint64 at, const QString &dir, QStringList *failures, QStringList *skipped,
                  const std::function<void(const QStringList &keys)> &beforePlacing, const QSet<QString> &shown);
// Why an import whose pictures could not all be written was not made, from
// those failures (at least one).
QString picturesNotWritten(const QStringList &failures);

// What replacing `from` by `to` changes, as Korean lines in a fixed order;
// "바뀐 곳이 없어요" when nothing compared differs. Header, naming and schema
// version are not compared.
QStringList changes(const Plan &from, const Plan &to);

} // namespace Importer
