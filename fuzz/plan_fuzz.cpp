// plan.json as a person or a tool may leave it: read tolerantly, checked,
// and rendered into every derived document.
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Plan plan;
    try {
        plan = Plan::decode(Fuzz::bytes(data, size));
    } catch (const JSONDecodeError &) {
        return 0;
    }
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
