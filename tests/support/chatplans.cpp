#include "support/chatplans.h"

#include "support/testfiles.h"

#include "export/exporter.h"
#include "model/conventions.h"
#include "model/plan.h"

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

QString writeSharedPage(const QString &dir, const QString &feature, const QString &title, const QByteArray &firstImage,
                        const QByteArray &secondImage)
{
    Plan plan;
    plan.meta.feature = feature;
    plan.meta.title = title;
    for (const char *id : {"a", "b"}) {
        Screen screen;
        screen.key = QString::fromLatin1(id);
        screen.name = "Chat" + screen.key.toUpper();
        screen.title = "화면 " + screen.key.toUpper();
        screen.image.before = "img/" + screen.key + ".png";
        plan.screens.append(screen);
    }
    TestFiles::writeFile(dir + "/img/a.png", firstImage);
    TestFiles::writeFile(dir + "/img/b.png", secondImage);
    Exporter::writeAll(plan, dir, Conventions::builtIn());
    return dir + "/index.html";
}

} // namespace ChatPlans
