#include "support/chatplans.h"

#include "support/testfiles.h"

namespace ChatPlans {

const QByteArray cleanPlan = R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}]})";
const QByteArray editedPlan =
    R"({"meta": {"feature": "Chat", "title": "고친 제목"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}]})";
const QByteArray brokenMovePlan = R"({"meta": {"feature": "Chat"}, "screens": [{"id": "a", "name": "ChatA", "title": "A"}],
    "transitions": [{"from": "a", "to": "gone"}]})";

void writeFolder(const QString &dir)
{
    TestFiles::writeFile(dir + QStringLiteral("/plan.json"), cleanPlan);
    TestFiles::writeFile(dir + QStringLiteral("/plan.md"), "old md");
    TestFiles::writeFile(dir + QStringLiteral("/index.html"), "old html");
}

} // namespace ChatPlans
