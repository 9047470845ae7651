#pragma once

#include <QString>
#include <optional>

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

// A screen image source the page may load: a relative path (the image
// script swaps it for the embedded image) or an http(s) address. Anything
// else from plan data (javascript:, file:, data:…) counts as no image.
std::optional<QString> imageSource(const std::optional<QString> &source);

} // namespace PageText
