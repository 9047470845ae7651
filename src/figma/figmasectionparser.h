#pragma once

#include <QJsonObject>
#include <QString>

#include "figma/figmasection.h"

// Turns the node tree of one design section, as the design service's REST
// API answers it, into the section model: screen frames in reading order
// with their label chips matched, their texts and text boxes, and the
// section's loose texts as notes.
namespace FigmaSectionParser {

// Pure and total: a missing or mistyped value reads as its default (empty
// text, 0, no children). Safe to call from any thread; large answers
// should be parsed off the event loop's thread.
FigmaSection parse(const QJsonObject &section, const QString &fileKey);

} // namespace FigmaSectionParser
