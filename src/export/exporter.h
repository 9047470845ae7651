#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QString>
#include <functional>
#include <optional>

#include "model/conventions.h"
#include "model/plan.h"
#include "model/planexport.h"

// Turns a plan into the words and documents derived from it. Every function
// is pure (no state, no files, no failures) except the folder writer at the
// end.
namespace Exporter {

// The Korean word for an icon-like action key ("onBack" gives "뒤로").
std::optional<QString> iconFallback(const QString &key);
// A label of two or more characters as written, else the icon word of the
// key, else the key when the label is empty, else the one-character label.
QString actionLabel(const UserAction &action);
// The label of the source screen's action the trigger names, "진입" for a
// move from an outside entry point, else the trigger's icon word or itself.
QString triggerLabel(const Transition &transition, const Plan &plan);
// The plan's models, in plan order, that list the screen in `sharedIn`.
QList<DataModel> sharedStates(const Screen &screen, const Plan &plan);
// The models the APIs deliver, directly or through their fields' types.
QSet<QString> apiModelNames(const Plan &plan);
// The screens, in plan order, that share the model or take it as argument.
QList<Screen> screensUsing(const QString &model, const Plan &plan);
// A model name without the "?" marks of optionality around it.
QString withoutQuestionMarks(const QString &model);

// An API's status as the documents show it: "있음", "필요", "완료", or the
// stored text for any other status.
QString apiStatusText(const QString &status);
// "키 필요", or the key followed by whether it still needs checking.
QString statusText(const StringKey &string);
// The whole plan.md text, ending in exactly one line feed.
QString markdown(const Plan &plan);
// The same text as UTF-8, in pieces that join into it.
QList<QByteArray> markdownUtf8(const Plan &plan);
// The Mermaid flowchart of screens and moves. With `links` the graph is for
// the page: thumbnails, links to the screen cards and HTML-escaped labels.
QString mermaid(const Plan &plan, bool links);

// Brings the plan's derived fields up to date (platform map, string frames
// and boxes) as writeAll does, writing nothing.
void derive(Plan &plan, const QString &dir, const Conventions &conventions);

// Brings the plan's derived fields up to date (platform map, string frames
// and boxes), then writes plan.json, plan.md and index.html in that order,
// each replaced atomically, and then marks them as made from that plan.json
// (MadeFrom). Throws ExportFailure at the first file that
// cannot be written; files written before it stay, and the plan keeps its
// updated fields.
void writeAll(Plan &plan, const QString &dir, const Conventions &conventions);

// The plan folder's screen images as data URLs ("data:<mime>;base64,...") by
// the path the plan gives. Web addresses, paths that leave the folder and
// unreadable files are left out. Never fails.
QMap<QString, QByteArray> assets(const Plan &plan, const QString &dir);

// The screen images the plan names by a path in its folder that the page
// cannot carry: no regular file inside the folder, or one larger than a
// picture may be; in code-point order. Web addresses are not looked at.
QStringList missingPictures(const Plan &plan, const QString &dir);

} // namespace Exporter
