#pragma once

#include <QString>

#include "figma/figmasection.h"
#include "model/plan.h"

// Puts each plan string on the design image of its screen: the section's
// frames get their text boxes from the design metadata saved in the plan
// folder, and every string gets the frame it sits on and its box there as
// fractions of the frame's size.
namespace TextBoxPlacement {

// Fills the frames that have no text boxes yet from the folder's
// figma-metadata.xml; true when at least one frame received a list. A frame
// that already has a list, even an empty one, keeps it. Never fails: a
// missing, unreadable or malformed metadata file changes nothing.
bool attachTextBoxes(FigmaSection &section, const QString &dir);

// Sets every string's frame and box anew from the section's text boxes. A
// string whose node names no box, whose node is empty, or whose frame has no
// usable size is left unplaced: an empty frame and no box.
void placeStrings(Plan &plan, const FigmaSection &section);

} // namespace TextBoxPlacement
