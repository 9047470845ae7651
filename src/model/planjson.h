#pragma once

#include <QByteArray>

#include "model/plan.h"

// plan.json's text straight from and to the plan's own records: no
// QJsonObject of the whole plan is built on the way, either way.
namespace PlanJson {

// A plan read from plan.json's text, and whether writing it back would lose
// something the text holds (as PlanHistory::writeWouldDrop judges it).
struct Read {
    Plan plan;
    bool wouldDrop = false;
};

// Reads plan.json text; throws JSONDecodeError as Plan::decode does. A
// text of the plan's own keys and types is read in one pass; any other
// (an unknown key, a mistyped value, a text the parser would refuse) goes
// through the tolerant reader of the whole JSON object, which says what a
// write would lose and why a text cannot be read.
Read read(const QByteArray &json);
// The same without judging what a write would lose.
Plan plan(const QByteArray &json);

// The writer's indented form, byte for byte what JSONCoding::pretty makes
// of Plan::toJson(). Throws JSONCoding::EncodeError for a number that is
// not finite.
QByteArray pretty(const Plan &plan);

} // namespace PlanJson
