// plan.json as a person or a tool may leave it: read tolerantly, checked,
// and rendered into every derived document.
#include "fuzzsupport.h"

#include "model/planhistory.h"
#include "model/planjson.h"

// The one-pass reader gives the plan, and the judgment of what a write
// would drop, that the whole-object reader gives.
void readOnePassAsWhole(const QByteArray &json, const Plan &plan)
{
    const QJsonObject object = parseObject(json);
    const PlanJson::Read read = PlanJson::read(json);
    if (PlanJson::pretty(read.plan) != PlanJson::pretty(plan)
        || read.wouldDrop != PlanHistory::writeWouldDrop(object, plan))
        Fuzz::broken("the one-pass reader and the whole-object reader differ", json);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray json = Fuzz::bytes(data, size);
    Plan plan;
    try {
        plan = *Plan::read(parseObject(json));
    } catch (const JSONDecodeError &) {
        return 0;
    }
    readOnePassAsWhole(json, plan);
    Fuzz::renderAll(plan);
    for (const Screen &screen : plan.screens) {
        (void)plan.screen(screen.key);
        (void)plan.screenTitle(screen.key);
        (void)Exporter::sharedStates(screen, plan);
    }
    for (const DataModel &model : plan.models)
        (void)Exporter::screensUsing(model.name, plan);
    return 0;
}
