#pragma once

#include <QList>
#include <QSet>
#include <QString>
#include <optional>

#include "model/plan.h"

// Turns a plan into the words and documents derived from it. Every function
// is pure: no state, no files, no failures.
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

// "키 필요", or the key followed by whether it still needs checking.
QString statusText(const StringKey &string);
// The whole plan.md text, ending in exactly one line feed.
QString markdown(const Plan &plan);
// The Mermaid flowchart of screens and moves. With `links` the graph is for
// the page: thumbnails, links to the screen cards and HTML-escaped labels.
QString mermaid(const Plan &plan, bool links);

} // namespace Exporter
