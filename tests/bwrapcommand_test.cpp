#include "process/bwrapcommand.h"

#include <gtest/gtest.h>

namespace {

// Where `words` start in `list`, one after the other; -1 when they don't.
qsizetype indexOf(const QStringList &list, const QStringList &words)
{
    for (qsizetype at = 0; at + words.size() <= list.size(); ++at)
        if (list.mid(at, words.size()) == words)
            return at;
    return -1;
}

} // namespace

TEST(BwrapCommand, ConfinedMountsShowTheTreeReadOnlyAndEachPlaceAfterTheFolderAroundIt)
{
    Spawn::Confinement confinement{};
    // Given inside-out: the mounts come folder first whatever the order.
    confinement.readOnly = {"/work/tree/.git", "/home/person"};
    confinement.writable = {"/work/tree/build/homes", "/work/tree"};
    confinement.hidden = {"/home/person/.claude/.credentials.json"};
    confinement.temporary = "/var/tmp/run-own";
    confinement.environment = {{"GRADLE_USER_HOME", "/work/tree/build/homes/gradle"}};
    const QStringList mounts = BwrapCommand::confinedMounts(confinement);

    EXPECT_EQ(mounts.mid(0, 7), (QStringList{"--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc"}));
    EXPECT_EQ(mounts.mid(7, 3), (QStringList{"--bind", "/var/tmp/run-own", "/tmp"}));
    const qsizetype tree = indexOf(mounts, {"--bind", "/work/tree", "/work/tree"});
    const qsizetype git = indexOf(mounts, {"--ro-bind", "/work/tree/.git", "/work/tree/.git"});
    const qsizetype homes = indexOf(mounts, {"--bind", "/work/tree/build/homes", "/work/tree/build/homes"});
    const qsizetype home = indexOf(mounts, {"--ro-bind", "/home/person", "/home/person"});
    const qsizetype hidden =
        indexOf(mounts, {"--ro-bind", "/dev/null", "/home/person/.claude/.credentials.json"});
    for (const qsizetype at : {tree, git, homes, home, hidden})
        EXPECT_GE(at, 10);
    EXPECT_LT(tree, git);
    EXPECT_LT(tree, homes);
    EXPECT_LT(home, hidden);
    EXPECT_GE(indexOf(mounts, {"--setenv", "TMPDIR", "/tmp"}), 0);
    EXPECT_GE(indexOf(mounts, {"--setenv", "GRADLE_USER_HOME", "/work/tree/build/homes/gradle"}), 0);
    for (const char *desktop : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XAUTHORITY"})
        EXPECT_GE(indexOf(mounts, {"--unsetenv", QString::fromLatin1(desktop)}), 0) << desktop;
    EXPECT_EQ(mounts.mid(mounts.size() - 3), (QStringList{"--cap-drop", "ALL", "--new-session"}));
}

TEST(BwrapCommand, WithoutAPrivateTemporaryFolderTheSharedTmpStaysUnbound)
{
    const QStringList mounts = BwrapCommand::confinedMounts({});
    EXPECT_EQ(indexOf(mounts, {"--setenv", "TMPDIR", "/tmp"}), -1);
    EXPECT_FALSE(mounts.contains("/var/tmp/run-own"));
    EXPECT_NE(mounts.value(7), "--bind");
}

TEST(BwrapCommand, TheGatePutsBackTheCallersWorkingFolderOrTakesItAway)
{
    const struct {
        Spawn::Environment env;
        QString pwd;
    } cases[] = {
        {{{"PWD", "/work/a folder"}}, "=/work/a folder"},
        {{{"PWD", ""}}, "="},
        {{{"HOME", "/home/person"}}, "-"},
    };
    for (const auto &c : cases) {
        const QStringList gated = BwrapCommand::gated(c.env, "/usr/bin/git");
        ASSERT_EQ(gated.size(), 6);
        EXPECT_EQ(gated.mid(0, 2), (QStringList{"/bin/sh", "-c"}));
        EXPECT_EQ(gated.at(3), "sh");
        EXPECT_EQ(gated.at(4), c.pwd);
        EXPECT_EQ(gated.at(5), "/usr/bin/git");
    }
}

TEST(BwrapCommand, EveryRunGetsItsOwnPidNamespaceTiedToBwrapAndToldOnDescriptorThree)
{
    EXPECT_EQ(BwrapCommand::namespaceOptions(), (QStringList{"--unshare-pid", "--die-with-parent"}));
    EXPECT_EQ(BwrapCommand::runOptions(), (BwrapCommand::namespaceOptions() + QStringList{"--info-fd", "3"}));
}
