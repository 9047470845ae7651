#pragma once

#include "model/plan.h"

// A hand-written plan that exercises most of what the documents show:
// Korean titles, an outside entry point, back moves with and without
// popUpTo, one action whose moves are told apart by conditions, API and
// shared models, strings in every key state, open and decided decisions.
namespace RichPlan {

Plan make();

} // namespace RichPlan
