#include "library.h"
#include "support/qtprinters.h"

#include <QSignalSpy>

namespace {

QStringList urls(const QList<PlanRef> &plans)
{
    QStringList out;
    for (const PlanRef &ref : plans)
        out.append(ref.url);
    return out;
}

} // namespace

using AppStateScan = Library;

TEST_F(AppStateScan, ListsPlansNewestFirstWithExtraFoldersAndTwinsOnce)
{
    const QString a = makePlan(output + "/a", "가 계획", "Alpha", 30, {"open", "decided", "asked"});
    const QString b = makePlan(output + "/.hidden", "", "Beta", 60);
    // Equal dates keep the scan's order: output children, then remembered.
    const QString c = makePlan(output + "/c", "다", "Gamma", 10);
    const QString extra = makePlan(root.path() + "/elsewhere/x", "바깥", "Extra", 10);
    const QString twin = makePlan(root.path() + "/elsewhere/y", "쌍둥이", "Twin", 5);
    write(output + "/unfinished/request.json", "{}");
    write(output + "/both/request.json", "{}");
    makePlan(output + "/both", "둘 다", "Both", 0);
    write(output + "/broken/plan.json", "[1, 2]");
    write(output + "/loose.json", "{}");

    AppSettings settings = stored();
    settings.extraDirs = {extra, twin + "/", root.path() + "/elsewhere/z/../y", output + "/a/",
                          root.path() + "/missing"};
    settings.save();

    AppState state;
    // c and the first remembered folder share a date: the output child
    // comes first; the twins of y are listed once.
    EXPECT_EQ(urls(state.plans()), (QStringList{output + "/.hidden/", output + "/a/", output + "/c/", extra + "/",
                                                twin + "/", output + "/both/"}));
    const PlanRef &hidden = state.plans()[0];
    EXPECT_EQ(hidden.title, ".hidden");
    EXPECT_EQ(hidden.feature, "Beta");
    const PlanRef &alpha = state.plans()[1];
    EXPECT_EQ(alpha.title, "가 계획");
    EXPECT_EQ(alpha.openDecisions, 2);
    EXPECT_EQ(alpha.modified, QDateTime(QDate(2026, 3, 1), QTime(9, 0, 30), Qt::UTC));

    EXPECT_EQ(state.unfinished(), QStringList{output + "/unfinished/"});
    // The scan never changes the settings.
    EXPECT_EQ(stored().extraDirs.size(), 5);
}

TEST_F(AppStateScan, MissingOutputFolderListsRememberedFoldersOnly)
{
    const QString extra = makePlan(root.path() + "/outside", "바깥", "Out");
    AppSettings settings = stored();
    settings.outputDir = root.path() + "/nowhere";
    settings.extraDirs = {extra};
    settings.save();
    AppState state;
    EXPECT_EQ(urls(state.plans()), QStringList{extra + "/"});
    EXPECT_TRUE(state.unfinished().isEmpty());
}
