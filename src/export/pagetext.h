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
// The same with the screen `entry` names already found (nullptr when none).
QString placeName(const QString &entry, const Screen *screen);

// A screen image source the page may load: a relative path that stays
// inside the plan folder (the image script swaps it for the embedded image)
// or an http(s) address. Anything else from plan data (javascript:, file:,
// data:…, "/…", "../…", a path with spaces or control characters at its ends
// or tabs or line breaks inside, which a browser drops before it reads the
// address) counts as no image: a page sent on its own could never show it,
// and it would name places outside the plan.
std::optional<QString> imageSource(const std::optional<QString> &source);

// The attribute that carries an image source: "src" for a web address,
// "data-src" for a path in the plan folder, which the image script loads
// from the embedded copy (or, when there is none, from the path itself), so
// that a page sent on its own never asks for files it does not have.
QString imageAttribute(const QString &source);

// For a path in the plan folder, the same picture as a viewer without
// scripts (a mail or file preview) shows it: a noscript element holding an
// image whose source is the path itself. "" for a web address, which the
// image carries already. The label is shown as the image's alternative.
QString withoutScripts(const QString &source, const QString &cls, const QString &label);

} // namespace PageText
