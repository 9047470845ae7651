#pragma once

#include <QString>

#include "model/plan.h"

// Small pieces of markup that several cards of the plan page write alike.
namespace PageText {

// A space and the provenance tag of "inferred", "api" or "spec"; "" for any
// other source.
QString sourceTag(const QString &source);

// The name shown for a screen reference, escaped: the text after a leading
// "@" (a place outside the feature), else the title of the screen with that
// key, else the reference itself.
QString placeName(const QString &entry, const Plan &plan);

} // namespace PageText
