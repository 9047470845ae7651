// A conventions.json from an app repository or the support folder, applied
// to a plan that uses every kind of screen and move.
#include "fuzzsupport.h"


namespace {

const char *const samplePlan = R"({
  "meta": {"feature": "Chat", "title": "채팅"},
  "screens": [
    {"id": "list", "name": "ChatListScreen", "title": "목록", "kind": "screen", "args": [{"name": "room", "model": "Room"}]},
    {"id": "detail", "name": "ChatDetailScreen", "title": "상세", "kind": "screen"},
    {"id": "menu", "name": "ChatMenuSheet", "title": "메뉴", "kind": "sheet"},
    {"id": "ask", "name": "LeaveDialog", "title": "나가기", "kind": "dialog"}
  ],
  "transitions": [
    {"from": "@home", "to": "list"}, {"from": "list", "to": "detail", "args": ["room"]},
    {"from": "detail", "to": "menu"}, {"from": "menu", "to": "ask"},
    {"from": "ask", "to": "@back", "popUpTo": "list"}, {"from": "detail", "to": "@back"}
  ],
  "models": [{"name": "Room", "fields": [{"name": "id", "type": "String"}]}]
})";

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Plan plan = Plan::decode(samplePlan);
    const std::optional<Conventions> conventions = Conventions::decode(Fuzz::bytes(data, size));
    if (!conventions)
        return 0;
    (void)conventions->platformMap(plan);
    for (const Screen &screen : plan.screens) {
        (void)Conventions::vars(screen, plan);
        (void)conventions->fileSet(screen, plan, &Conventions::android);
        (void)conventions->fileSet(screen, plan, &Conventions::ios);
    }
    for (const Transition &move : plan.transitions) {
        (void)conventions->navigation(move, plan, &Conventions::android);
        (void)conventions->navigation(move, plan, &Conventions::ios);
    }
    (void)HTMLPage::render(plan, *conventions, {});
    (void)Fuzz::written(plan);
    try {
        (void)JSONCoding::pretty(conventions->toJson());
    } catch (const JSONCoding::EncodeError &) {
    }
    return 0;
}
