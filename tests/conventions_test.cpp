#include "core/jsoncoding.h"
#include "model/conventions.h"
#include "settings/apppaths.h"
#include "support/qtprinters.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

Screen screen(const QString &key, const QString &name, const QString &kind = QStringLiteral("screen"))
{
    Screen s;
    s.key = key;
    s.name = name;
    s.kind = kind;
    return s;
}

Transition move(const QString &from, const QString &to, const QString &kind = QStringLiteral("push"))
{
    Transition t;
    t.from = from;
    t.to = to;
    t.kind = kind;
    return t;
}

Plan chatPlan()
{
    Plan plan;
    plan.meta.feature = QStringLiteral("Chat");
    plan.meta.module = Module{QStringLiteral("bazaar"), QString(), QStringLiteral("Bazaar"), QStringLiteral("Feed")};
    return plan;
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

const Conventions &builtIn()
{
    return Conventions::builtIn();
}

} // namespace

TEST(ConventionsNaming, BuiltInFoldersAndFilesOfAScreen)
{
    Plan plan = chatPlan();
    plan.screens = {screen("room", "ChatRoom")};
    const FileSet android = builtIn().fileSet(plan.screens[0], plan, &Conventions::android);
    EXPECT_EQ(android.dir, "presentation/bazaar/src/main/java/com/brenix/presentation/bazaar/screen/chat/room/");
    EXPECT_EQ(android.files, QStringList({"ChatRoomFragment.kt", "ChatRoomScreen.kt", "ChatRoomViewModel.kt", "ChatRoomContract.kt"}));
    EXPECT_TRUE(android.navigation.isEmpty());

    const FileSet ios = builtIn().fileSet(plan.screens[0], plan, &Conventions::ios);
    EXPECT_EQ(ios.dir, "Modules/Feature/Bazaar/Sources/Bazaar/Page/Feed/Chat/ChatRoom/");
    EXPECT_EQ(ios.files, QStringList({"ChatRoomPage.swift", "ChatRoomReducer.swift", "ChatRoomSideEffect.swift", "ChatRoomRouteBuilder.swift"}));

    plan.meta.module.androidFeatureDir = QStringLiteral("chatting");
    EXPECT_EQ(builtIn().fileSet(plan.screens[0], plan, &Conventions::android).dir,
              "presentation/bazaar/src/main/java/com/brenix/presentation/bazaar/screen/chatting/room/");
}

TEST(ConventionsNaming, EmptyModuleCollapsesTheDoubledSlashes)
{
    Plan plan = chatPlan();
    plan.meta.module.android.clear();
    plan.screens = {screen("room", "ChatRoom")};
    EXPECT_EQ(builtIn().fileSet(plan.screens[0], plan, &Conventions::android).dir,
              "presentation/src/main/java/com/brenix/presentation/screen/chat/room/");
}

TEST(ConventionsNaming, PlaceholderValuesOfAScreen)
{
    Plan plan = chatPlan();
    const QMap<QString, QString> vars = Conventions::vars(screen("k", "ChatRoomList"), plan);
    const QMap<QString, QString> expected{
        {"Name", "ChatRoomList"}, {"name", "chatRoomList"}, {"nameLower", "chatroomlist"},
        {"Short", "RoomList"}, {"shortLower", "roomlist"}, {"Feature", "Chat"},
        {"featureLower", "chat"}, {"featureDir", "chat"}, {"module", "bazaar"},
        {"Module", "Bazaar"}, {"iosGroup", "Feed"},
    };
    EXPECT_EQ(vars, expected);

    EXPECT_EQ(Conventions::vars(screen("k", "Chat"), plan).value("Short"), "Chat") << "a name equal to the feature keeps it";
    EXPECT_EQ(Conventions::vars(screen("k", "Chatter"), plan).value("Short"), "ter");
    EXPECT_EQ(Conventions::vars(screen("k", "ChRoom"), plan).value("Short"), "ChRoom");
    EXPECT_EQ(Conventions::vars(screen("k", QString::fromUtf8("Écran")), plan).value("name"), QString::fromUtf8("écran"));

    plan.meta.feature = QString::fromUtf8("Caf\u00E9");
    EXPECT_EQ(Conventions::vars(screen("k", QString::fromUtf8("Cafe\u0301Menu")), plan).value("Short"), "Menu")
        << "the feature prefix is compared canonically";
    plan.meta.feature = QStringLiteral("Cafe");
    EXPECT_EQ(Conventions::vars(screen("k", QString::fromUtf8("Cafe\u0301Menu")), plan).value("Short"),
              QString::fromUtf8("Cafe\u0301Menu"))
        << "an accent on the last letter makes it another character";
    plan.meta.feature.clear();
    EXPECT_EQ(Conventions::vars(screen("k", "Home"), plan).value("Short"), "Home");
}

TEST(ConventionsNaming, TemplatesKeepUnknownBracesAndCollapseSlashesOnce)
{
    Conventions c = builtIn();
    c.android.screenDir = QStringLiteral("a///b/{Unknown}/{Name}{/{module}}/{iosGroup}//");
    c.android.files = {QStringLiteral("{{Name}}.kt"), QStringLiteral("{Name")};
    Plan plan = chatPlan();
    plan.meta.module.iosGroup.clear();
    plan.screens = {screen("room", "ChatRoom")};
    const FileSet set = c.fileSet(plan.screens[0], plan, &Conventions::android);
    EXPECT_EQ(set.dir, "a//b/{Unknown}/ChatRoom{/bazaar}//");
    EXPECT_EQ(set.files, QStringList({"{ChatRoom}.kt", "{Name"}));
}

TEST(ConventionsNavigation, MovesBetweenScreensOnBothPlatforms)
{
    Plan plan = chatPlan();
    plan.screens = {screen("home", "ChatHome"), screen("detail", "ChatDetail"), screen("sheet", "ChatMenu", "sheet")};
    const Transition push = move("home", "detail");
    EXPECT_EQ(builtIn().navigation(push, plan, &Conventions::android), "action_chatHomeFragment_to_chatDetailFragment");
    EXPECT_EQ(builtIn().navigation(push, plan, &Conventions::ios), "ChatHomeSideEffect.routeToDetail()");

    EXPECT_EQ(builtIn().navigation(move("home", "detail", "pop"), plan, &Conventions::ios), std::nullopt);
    EXPECT_EQ(builtIn().navigation(move("detail", "home", "dismiss"), plan, &Conventions::ios), std::nullopt);
    EXPECT_EQ(builtIn().navigation(move("home", "sheet"), plan, &Conventions::android), std::nullopt);
    EXPECT_EQ(builtIn().navigation(move("home", "@Main"), plan, &Conventions::android), std::nullopt);
    EXPECT_EQ(builtIn().navigation(move("gone", "detail"), plan, &Conventions::android), std::nullopt);
    EXPECT_NE(builtIn().navigation(move("sheet", "detail", "replace"), plan, &Conventions::android), std::nullopt)
        << "the source may be of any kind";
}

TEST(ConventionsNavigation, EmptyTemplateResultIsStillACode)
{
    Conventions c = builtIn();
    c.ios.navigation = QStringLiteral("{module}");
    Plan plan = chatPlan();
    plan.meta.module.android.clear();
    plan.screens = {screen("a", "ChatA"), screen("b", "ChatB")};
    EXPECT_EQ(c.navigation(move("a", "b"), plan, &Conventions::ios), QString());
}

TEST(ConventionsNavigation, ScreenNavigationListIsUniqueAndSorted)
{
    Conventions c = builtIn();
    c.android.navigation = QStringLiteral("go{To}");
    Plan plan = chatPlan();
    plan.screens = {screen("home", "ChatHome"), screen("zeta", "Zeta"), screen("alpha", "Alpha"),
                    screen("home", "Shadow"), screen("other", "Other")};
    plan.transitions = {move("home", "zeta"), move("home", "alpha"), move("home", "zeta", "replace"),
                        move("home", "zeta", "pop"), move("other", "home"), move("home", "@Web")};
    const FileSet set = c.fileSet(plan.screens[0], plan, &Conventions::android);
    EXPECT_EQ(set.navigation, QStringList({"goAlpha", "goZeta"}));

    c.android.navigation = QStringLiteral("{From}>{To}");
    EXPECT_EQ(c.fileSet(plan.screens[3], plan, &Conventions::android).navigation,
              QStringList({"ChatHome>Alpha", "ChatHome>Zeta"}))
        << "a move's source is the first screen with its key";
    EXPECT_EQ(c.fileSet(plan.screens[3], plan, &Conventions::android).files.first(), "ShadowFragment.kt");
}

TEST(ConventionsNavigation, KeysAreComparedCanonically)
{
    Plan plan = chatPlan();
    plan.screens = {screen(QString::fromUtf8("caf\u00E9"), "ChatHome"), screen("detail", "ChatDetail")};
    plan.transitions = {move(QString::fromUtf8("cafe\u0301"), "detail")};
    EXPECT_EQ(builtIn().navigation(plan.transitions[0], plan, &Conventions::ios), "ChatHomeSideEffect.routeToDetail()");
    EXPECT_EQ(builtIn().fileSet(plan.screens[0], plan, &Conventions::ios).navigation,
              QStringList({"ChatHomeSideEffect.routeToDetail()"}));

    plan.screens.append(screen(QString::fromUtf8("cafe\u0301"), "ChatLater"));
    const QMap<QString, PlatformFiles> map = builtIn().platformMap(plan);
    EXPECT_EQ(map.keys(), QStringList({QString::fromUtf8("caf\u00E9"), "detail"})) << "one entry, first spelling";
    EXPECT_EQ(map.first().ios.files.first(), "ChatLaterPage.swift");
    EXPECT_EQ(map.first().ios.navigation, QStringList({"ChatHomeSideEffect.routeToDetail()"}));
    EXPECT_EQ(map.last().ios.files.first(), "ChatDetailPage.swift");
}

TEST(ConventionsPlatformMap, ScreensSheetsAndDialogsOnlyLaterKeyWins)
{
    Plan plan = chatPlan();
    plan.screens = {screen("home", "ChatHome"), screen("menu", "ChatMenu", "sheet"),
                    screen("ask", "ChatAsk", "dialog"), screen("toast", "ChatToast", "toast"),
                    screen("upper", "ChatUpper", "Screen"), screen("home", "ChatHomeAgain"),
                    screen("detail", "ChatDetail")};
    plan.transitions = {move("home", "detail")};
    const QMap<QString, PlatformFiles> map = builtIn().platformMap(plan);
    EXPECT_EQ(map.keys(), QStringList({"ask", "detail", "home", "menu"}));
    EXPECT_EQ(map.value("home").android.files.first(), "ChatHomeAgainFragment.kt");
    EXPECT_EQ(map.value("home").ios.dir, "Modules/Feature/Bazaar/Sources/Bazaar/Page/Feed/Chat/ChatHomeAgain/");
    EXPECT_EQ(map.value("home").android.navigation, QStringList({"action_chatHomeFragment_to_chatDetailFragment"}));
    EXPECT_EQ(map.value("menu").android, builtIn().fileSet(plan.screens[1], plan, &Conventions::android));
    EXPECT_EQ(map.value("ask").ios, builtIn().fileSet(plan.screens[2], plan, &Conventions::ios));
}

TEST(ConventionsFormat, WrittenFormHasEveryKeySorted)
{
    Conventions c = builtIn();
    c.version = 7;
    c.ios.files = {QStringLiteral("{Name}.swift")};
    const QByteArray expected =
        "{\n"
        "  \"android\" : {\n"
        "    \"files\" : [\n"
        "      \"{Name}Fragment.kt\",\n"
        "      \"{Name}Screen.kt\",\n"
        "      \"{Name}ViewModel.kt\",\n"
        "      \"{Name}Contract.kt\"\n"
        "    ],\n"
        "    \"navigation\" : \"action_{from}Fragment_to_{to}Fragment\",\n"
        "    \"screenDir\" : \"presentation/{module}/src/main/java/com/brenix/presentation/{module}/screen/{featureDir}/{shortLower}/\"\n"
        "  },\n"
        "  \"ios\" : {\n"
        "    \"files\" : [\n"
        "      \"{Name}.swift\"\n"
        "    ],\n"
        "    \"navigation\" : \"{From}SideEffect.routeTo{ToShort}()\",\n"
        "    \"screenDir\" : \"Modules/Feature/{Module}/Sources/{Module}/Page/{iosGroup}/{Feature}/{Name}/\"\n"
        "  },\n"
        "  \"version\" : 7\n"
        "}";
    EXPECT_EQ(JSONCoding::pretty(c), expected);
}

TEST(ConventionsFormat, EachKeyFallsBackOnItsOwn)
{
    auto decode = [](const char *json) { return Conventions::decode(json); };

    const std::optional<Conventions> empty = decode("{}");
    ASSERT_TRUE(empty);
    EXPECT_EQ(*empty, builtIn());

    const std::optional<Conventions> mixed = decode(R"({
        "version": 3,
        "android": {"files": [], "screenDir": "", "navigation": "nav{To}", "extra": 1},
        "ios": "Modules"
    })");
    ASSERT_TRUE(mixed);
    EXPECT_EQ(mixed->version, 3);
    EXPECT_EQ(mixed->android.files, builtIn().android.files);
    EXPECT_EQ(mixed->android.screenDir, builtIn().android.screenDir);
    EXPECT_EQ(mixed->android.navigation, "nav{To}");
    EXPECT_EQ(mixed->ios, builtIn().ios);

    const std::optional<Conventions> typed = decode(R"({
        "version": "2",
        "android": {"files": ["A.kt", 1], "screenDir": 4, "navigation": null},
        "ios": {"files": ["{Name}.swift"], "screenDir": "ios/{Name}/"}
    })");
    ASSERT_TRUE(typed);
    EXPECT_EQ(typed->version, 1);
    EXPECT_EQ(typed->android, builtIn().android);
    EXPECT_EQ(typed->ios.files, QStringList({"{Name}.swift"}));
    EXPECT_EQ(typed->ios.screenDir, "ios/{Name}/");
    EXPECT_EQ(typed->ios.navigation, builtIn().ios.navigation);

    EXPECT_EQ(decode(R"({"version": 2.5})")->version, 1);
    EXPECT_EQ(decode(R"({"version": 2.0})")->version, 2);
    EXPECT_EQ(decode("[]"), std::nullopt);
    EXPECT_EQ(decode("null"), std::nullopt);
    EXPECT_EQ(decode("{\"android\": "), std::nullopt);
}

class ConventionsLoad : public testing::Test
{
protected:
    void TearDown() override
    {
        QFile::remove(supportFile());
        QDir(home.filePath("repo")).removeRecursively();
    }

    static QString supportFile() { return QDir(AppPaths::support()).filePath("conventions.json"); }

    QString repo(const QString &name, const QByteArray *contents = nullptr)
    {
        const QString path = dir.filePath(name);
        QDir().mkpath(path);
        if (contents)
            writeFile(path + "/.cairn/conventions.json", *contents);
        return path;
    }

    QTemporaryDir dir;
    QDir home{QDir::homePath()};
};

TEST_F(ConventionsLoad, NothingReadableGivesTheBuiltInConventions)
{
    const auto [conventions, origin] = Conventions::load({"", repo("plain"), dir.filePath("missing")});
    EXPECT_EQ(conventions, builtIn());
    EXPECT_EQ(origin, Conventions::Origin{});
    EXPECT_EQ(Conventions::describe(origin), "기본값");
}

TEST_F(ConventionsLoad, RepositoryFileComesFirstThenTheSupportFolder)
{
    const QByteArray android = R"({"version": 2})";
    const QByteArray ios = R"({"version": 3})";
    writeFile(supportFile(), R"({"version": 4})");

    const QString androidRepo = repo("android", &android);
    auto [first, firstOrigin] = Conventions::load({androidRepo, repo("ios", &ios)});
    EXPECT_EQ(first.version, 2);
    EXPECT_EQ(firstOrigin.kind, Conventions::Origin::Kind::repo);
    EXPECT_EQ(firstOrigin.path, androidRepo + "/.cairn/conventions.json");
    EXPECT_EQ(Conventions::describe(firstOrigin), androidRepo + "/.cairn/conventions.json");

    auto [second, secondOrigin] = Conventions::load({"", repo("ios", &ios)});
    EXPECT_EQ(second.version, 3);

    auto [user, userOrigin] = Conventions::load({"", repo("plain")});
    EXPECT_EQ(user.version, 4);
    EXPECT_EQ(userOrigin.kind, Conventions::Origin::Kind::user);
    EXPECT_EQ(userOrigin.path, QDir::cleanPath(QFileInfo(supportFile()).absoluteFilePath()));
}

TEST_F(ConventionsLoad, UndecodableFirstFileStopsTheSearch)
{
    const QByteArray broken = "{\"android\": ";
    const QByteArray valid = R"({"version": 9})";
    writeFile(supportFile(), valid);
    const QString androidRepo = repo("android", &broken);
    auto [conventions, origin] = Conventions::load({androidRepo, repo("ios", &valid)});
    EXPECT_EQ(conventions, builtIn());
    const QString path = androidRepo + "/.cairn/conventions.json";
    EXPECT_EQ(origin, (Conventions::Origin{Conventions::Origin::Kind::broken, path, "JSON 을 읽지 못함"}));
    EXPECT_EQ(Conventions::describe(origin),
              QString::fromUtf8("\xE2\x9A\xA0\xEF\xB8\x8F ") + path
                  + QString::fromUtf8(" (JSON 을 읽지 못함) \xE2\x80\x94 기본값을 씀"));

    const QByteArray array = "[1]";
    EXPECT_EQ(Conventions::load({repo("array", &array)}).second.kind, Conventions::Origin::Kind::broken);
    const QByteArray null = "null";
    EXPECT_EQ(Conventions::load({repo("null", &null)}).second.kind, Conventions::Origin::Kind::broken);

    writeFile(supportFile(), "not json");
    auto [fallback, supportOrigin] = Conventions::load({});
    EXPECT_EQ(fallback, builtIn());
    EXPECT_EQ(supportOrigin.kind, Conventions::Origin::Kind::broken);
}

TEST_F(ConventionsLoad, AFolderInPlaceOfTheFileIsSkippedAPipeOrAHugeFileNamed)
{
    const QString folder = repo("folder");
    QDir().mkpath(folder + "/.cairn/conventions.json");
    const QByteArray valid = R"({"version": 5})";
    auto [conventions, origin] = Conventions::load({folder, repo("ios", &valid)});
    EXPECT_EQ(conventions.version, 5);
    EXPECT_EQ(origin.kind, Conventions::Origin::Kind::repo);

    // A pipe or 64 GB at the name is neither waited on nor read: the
    // defaults stand, and why is said.
    const QString piped = repo("piped");
    QDir().mkpath(piped + "/.cairn");
    ASSERT_EQ(::mkfifo(QFile::encodeName(piped + "/.cairn/conventions.json").constData(), 0600), 0);
    const QString huge = repo("huge");
    QDir().mkpath(huge + "/.cairn");
    {
        QFile file(huge + "/.cairn/conventions.json");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_TRUE(file.resize(qint64(64) << 30));
    }
    for (const auto &[repository, reason] : {std::pair{piped, QString("보통 파일이 아니에요")},
                                             std::pair{huge, QString("파일이 너무 커요: conventions.json (64GB, 많아야 1MB)")}}) {
        const auto [fallback, refused] = Conventions::load({repository});
        EXPECT_EQ(fallback, builtIn());
        EXPECT_EQ(refused.kind, Conventions::Origin::Kind::broken);
        EXPECT_EQ(refused.reason, reason);
    }
}

TEST_F(ConventionsLoad, HomeAndRelativeRepositoryPaths)
{
    writeFile(home.filePath("repo/.cairn/conventions.json"), R"({"version": 6})");
    auto [fromHome, homeOrigin] = Conventions::load({"~/repo"});
    EXPECT_EQ(fromHome.version, 6);
    EXPECT_EQ(homeOrigin.path, home.filePath("repo/.cairn/conventions.json"));

    const QString before = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(QDir::homePath()));
    auto [relative, relativeOrigin] = Conventions::load({"repo"});
    QDir::setCurrent(before);
    EXPECT_EQ(relative.version, 6);
    EXPECT_EQ(relativeOrigin.path, home.filePath("repo/.cairn/conventions.json")) << "reported as an absolute path";
}
