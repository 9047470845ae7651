#pragma once

#include <QByteArray>
#include <QFuture>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <optional>
#include <utility>

#include "model/conventions.h"
#include "model/plan.h"

// The single-file plan page. Every function is pure and cannot fail: a
// missing plan field leaves a piece out or empty. Plan texts placed in the
// page are escaped with HTMLPage::escape.
namespace HTMLPage {

// Image path as written in the plan → "data:<mime>;base64,<bytes>".
using Assets = QMap<QString, QByteArray>;

// The page-wide index that links model names inside type texts to the
// model cards.
class ModelLinks
{
public:
    explicit ModelLinks(const Plan &plan);

    // `<a class="m" href="#m-M">T</a>` with both texts escaped.
    QString link(const QString &text, const QString &model) const;
    // The escaped type text with every model name in it made a link.
    QString type(const QString &text) const;

    // Whether a model of the plan bears the name (canonically equal).
    bool isModel(const QString &name) const;
    // The model of the first screen argument of that name, in plan order,
    // whose model is one of the plan's models.
    std::optional<QString> argModel(const QString &argName) const;

private:
    // type() for any text, a grapheme at a time.
    QString typeByGraphemes(const QString &text) const;

    // Keyed by canonical form, so names that differ only in normalisation
    // find each other.
    QSet<QString> m_modelNames;
    QHash<QString, QString> m_argModels;
};

// "" for an empty text, else the escaped text inside <code></code>.
QString code(const QString &text);
// The image(s) of one screen, each carrying `cls` in its class attribute.
QString shot(const Screen &screen, const QString &cls);
// The screen's class name on Android and on iOS, not escaped.
std::pair<QString, QString> mainClass(const Screen &screen, const Plan &plan);
// The same given the screen's files (nullptr when the plan's file map has
// no entry for it).
std::pair<QString, QString> mainClass(const Screen &screen, const PlatformFiles *files);
// The screen's entry in the plan's file map, or nullptr.
const PlatformFiles *platformFiles(const Screen &screen, const Plan &plan);
// Both platforms' navigation calls of one move, or "" when either has none.
QString navNames(const Transition &transition, const Plan &plan, const Conventions &conventions);
// The same for the many moves of one plan, with what they share made once:
// appends the calls of a move whose ends are already found (the first
// screen of each key, or nullptr). One thread at a time.
class MoveNames
{
public:
    MoveNames(const Plan &plan, const Conventions &conventions, const Conventions::ScreenValuesOf &values);
    void append(QString &out, const Transition &transition, const Screen *source, const Screen *target);

private:
    const Conventions &m_conventions;
    const Conventions::ScreenValuesOf &m_values;
    QString m_feature;
    QString m_lowered; // the feature with its first character lower-cased
    QString m_scratch; // room for a short call, kept from move to move
};
// The card of one data model in the models tabs.
QString modelCard(const DataModel &model, const QSet<QString> &apiModels, const Plan &plan, const ModelLinks &links);
// The card of one screen.
QString screenCard(const Screen &screen, const Plan &plan, const ModelLinks &links, const Conventions &conventions);
// The numbered callouts of a screen's strings over its image.
QString callouts(const Screen &screen, const QList<StringKey> &strings);
// The same for strings held elsewhere, in the same order.
QString callouts(const Screen &screen, const QList<const StringKey *> &strings);
// The card of one API.
QString apiCard(const Api &api, const Plan &plan, const ModelLinks &links);

// The whole page as UTF-8 bytes.
QByteArray render(const Plan &plan, const Conventions &conventions, const Assets &assets);

// The page's embedded plan block (the JSON between its script tags).
QByteArray planBlock(const Plan &plan);
// The same made from the plan's plan.json text (empty when the plan could
// not be written), which costs less than writing the plan again.
QByteArray planBlockOf(const QByteArray &planJson);

// The page without its image block, split where the block goes, so that a
// writer can stream the images in between without holding them all: the
// page is the pieces of `before` in order, the image block, `after`. The
// plan block may still be in the making (beside plan.json's text); it is
// waited for once the page's body is done, and
// is one of the pieces, not copied into another.
struct Parts {
    QList<QByteArray> before;
    QByteArray after;
};
Parts parts(const Plan &plan, const Conventions &conventions, QFuture<QByteArray> planBlock);

// The image block of a non-empty image map: the opening, the entries
// joined by ",", the closing. An entry is `"path":"data URL"` written for a
// script element; the map's entries go in code-point order of their paths.
QByteArray imageBlockOpening();
QByteArray imageBlockClosing();
QByteArray imageEntry(const QString &path, const QByteArray &dataUrl);
// The same entry for the image bytes themselves: the data URL of `mime`
// and their base64 text, encoded straight into the entry.
QByteArray imageEntry(const QString &path, const QByteArray &mime, const QByteArray &image);
// The same entry in pieces, for a picture whose text is not to be held
// whole: the head up to the picture's text, then the text of each piece of
// the picture (each a multiple of three bytes long but the last) appended
// to a text of its own, then a closing quote.
QByteArray imageEntryHead(const QString &path, const QByteArray &mime);
void appendImageText(QByteArray &text, QByteArrayView piece);

} // namespace HTMLPage
