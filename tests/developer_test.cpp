#include "core/folderlock.h"
#include "core/madefrom.h"
#include "model/developer.h"
#include "process/ownnetwork.h"
#include "process/spawn.h"
#include "model/plan.h"
#include "model/reviser.h"
#include "settings/apppaths.h"
#include "settings/keychain.h"
#include "platform/secretstore.h"
#include "support/commandline.h"
#include "support/fakeclaude.h"
#include "support/httpserver.h"
#include "support/memorysecretstore.h"
#include "support/qtprinters.h"
#include "support/testfiles.h"
#include "support/testrepo.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>
#include <unistd.h>

namespace {

using Kind = Developer::PlatformKind;
using Phase = Developer::Run::Phase;
using TestFiles::readFile;
using TestFiles::writeFile;
using TestRepo::sh;
using TestRepo::tree;

const QString stopMessage = QStringLiteral("멈췄어요. 그때까지 쓴 코드는 작업 폴더에 남아 있어요.");

QString golden(const QString &name)
{
    return QString::fromUtf8(readFile(QStringLiteral(QUARRYSTONE_FIXTURES "/prompts/") + name));
}

bool gone(qint64 pid)
{
    return ::kill(static_cast<pid_t>(pid), 0) == -1 && errno == ESRCH;
}

// An app repository with a tracked source file, ignored properties files
// beside it (as Android checkouts keep them) and a second branch.
QString makeRepo(const QString &dir)
{
    QDir().mkpath(dir);
    sh(dir, {"init", "-q", "-b", "main"});
    writeFile(dir + "/src/Main.kt", "fun main() {}\n");
    writeFile(dir + "/.gitignore", "*.properties\n");
    sh(dir, {"add", "-A"});
    sh(dir, {"commit", "-q", "-m", "init"});
    sh(dir, {"branch", "develop"});
    writeFile(dir + "/src/Later.kt", "// on main only\n");
    sh(dir, {"add", "-A"});
    sh(dir, {"commit", "-q", "-m", "later"});
    writeFile(dir + "/local.properties", "sdk.dir=/sdk\n");
    writeFile(dir + "/secrets.properties", "key=s3cret\n");
    return dir;
}

QJsonObject toolUse(const QString &id, const QString &name, const QJsonObject &input)
{
    return {{"type", "tool_use"}, {"id", id}, {"name", name}, {"input", input}};
}

QJsonObject assistant(const QJsonArray &content)
{
    return FakeClaude::event({{"type", "assistant"}, {"message", QJsonObject{{"content", content}}}});
}

QStringList valuesAfter(const QJsonObject &start, const QString &flag)
{
    const QJsonArray args = start.value("args").toArray();
    QStringList values;
    for (qsizetype i = 0; i + 1 < args.size(); ++i)
        if (args[i].toString() == flag)
            values.append(args[i + 1].toString());
    return values;
}

// What an unconfined run says first, in its card and its record.
const QString unconfined = QStringLiteral(
    "이 시스템에서는 bwrap 격리를 시작할 수 없어서, 빌드가 작업 폴더 밖에도 쓸 수 있는 채로 실행했어요.\n");

// A finished run's record: its heading, Claude's answer, the paths the run
// changed and what was put back of the plan folder.
QByteArray record(const QString &heading, const QString &answer, const QStringList &changed,
                  const QString &putBack = QString())
{
    QString text = heading + "\n\n" + unconfined + answer + "\n\n바뀐 파일 " + QString::number(changed.size()) + "개";
    for (const QString &path : changed)
        text += "\n- " + path;
    if (!putBack.isEmpty())
        text += "\n\n" + putBack;
    return text.toUtf8();
}

class DeveloperTest : public testing::Test
{
protected:
    void SetUp() override
    {
        // The runs as on a system without namespaces, unconfined: the stand-in
        // writes its log, and these runs write, where a confined run could not.
        qputenv("QUARRYSTONE_BWRAP", "/nonexistent/bwrap");
        root = QDir(tmp.path()).canonicalPath();
        planDir = root + "/plans/HarborClips";
        QDir().mkpath(planDir + "/history");
        Plan plan;
        plan.meta.feature = "HarborClips";
        plan.meta.module.android = "bazaar";
        plan.meta.module.ios = "Bazaar";
        writeFile(planDir + "/plan.json", QJsonDocument(plan.toJson()).toJson());
        settings.claudePath = FakeClaude::path();
        QObject::connect(&dev, &Developer::runsChanged, [this] {
            const Developer::Runs runs = dev.runs();
            for (auto it = runs.begin(); it != runs.end(); ++it) {
                QStringList &seen = details[it.key()];
                if (seen.isEmpty() || seen.last() != it->detail)
                    seen.append(it->detail);
            }
        });
    }

    void startAndWait(const QList<Kind> &platforms, const QMap<Kind, QString> &base, const QString &branch)
    {
        dev.start(platforms, base, branch, planDir, settings);
        ASSERT_TRUE(QTest::qWaitFor([this] { return !dev.isRunning(); }, 60000));
    }

    Developer::Run run(Kind kind) const { return dev.runs().value(kind); }

    QTemporaryDir tmp;
    QString root;
    QString planDir;
    AppSettings settings;
    FakeClaude fake;
    Developer dev;
    QMap<Kind, QStringList> details;
};

} // namespace

TEST(DeveloperNames, PathsPlatformsAndTools)
{
    const struct {
        QString repo;
        QString branch;
        QString worktree;
    } cases[] = {
        {"/a/b/app", "feat/x", "/a/b/app-worktrees/feat-x"},
        {"/w/app", "feat/login/v2", "/w/app-worktrees/feat-login-v2"},
        // A trailing "/" must not put the worktrees inside the checkout.
        {"/w/app/", "feat/x", "/w/app-worktrees/feat-x"},
        {"/w//app/./", "x", "/w/app-worktrees/x"},
        {"/w/app-android", "feat/harbor_clips", "/w/app-android-worktrees/feat-harbor_clips"},
        {"~/dev/app", "한글", QDir::homePath() + "/dev/app-worktrees/한글"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(Developer::worktreePath(c.repo, c.branch), c.worktree) << c.repo.toStdString();

    EXPECT_EQ(Developer::platformKind("ios"), Kind::ios);
    EXPECT_EQ(Developer::platformKind("iOS"), std::nullopt);
    EXPECT_EQ(Developer::allowedTools(Kind::ios),
              (QStringList{"Read(./**)", "Edit(./**)", "Write(./**)", "Glob(./**)", "Grep(./**)", "Bash(xcodebuild:*)",
                           "Bash(git status:*)", "Bash(git diff:*)", "Bash(ls:*)"}));
    // An empty plan fills the prompt with empty feature and module names.
    EXPECT_EQ(Developer::prompt(Kind::ios, "", "feat/login", "/plans/x/", Plan()),
              golden("develop-ios-empty-plan.txt").replace("{PLAN}", "/plans/x"));
}

// The branch name is judged without running git, as git 2.39's
// `check-ref-format --branch` judges it outside any repository.
TEST(DeveloperNames, BranchNamesAreJudgedAsGitJudgesThem)
{
    const QStringList names{"feat/x", "한글/작업", "@", "a@b", "x.y", "v1.2/z", "feat-x_1", "", "-x", "HEAD",
                            "head", "..", ".", "a..b", "a/.b", ".a", "a.", "a/", "/a", "a//b", "a.lock",
                            "a.lock/b", "a.locked", "@{-1}", "a@{b", "a b", "a\tb", "a~1", "a^", "a:b", "a?",
                            "a*", "a[b", "a\\b", QString::fromLatin1("a\x7f" "b"), "refs/heads/x", "a/b.", "{x}"};
    for (const QString &name : names) {
        QProcess git;
        git.setWorkingDirectory("/");
        git.start("/usr/bin/git", {"check-ref-format", "--branch", name});
        ASSERT_TRUE(git.waitForFinished(10000));
        const bool gitTakes = git.exitStatus() == QProcess::NormalExit && git.exitCode() == 0
            && git.readAllStandardOutput().trimmed() == name.toUtf8();
        EXPECT_EQ(Developer::isBranchName(name), gitTakes) << name.toStdString();
    }
}

TEST(DeveloperObserve, UpdatesAWritingRunFromProgressLines)
{
    const QString path80 = "app/src/main/java/com/brenix/bazaar/harborclips/screens/HarborClipsTrimScreen.kt";
    ASSERT_EQ(path80.size(), 80);
    const auto writing = [](double cost) {
        Developer::Run run;
        run.phase = Phase::writing;
        run.edits = 3;
        run.cost = cost;
        run.detail = "before";
        return run;
    };
    // Each line starts from a run with 3 edits, cost 0.5 and detail "before".
    const struct {
        QString line;
        int edits;
        double cost;
        QString detail;
    } cases[] = {
        {"도구: Edit " + path80, 4, 0.5, "코드를 쓰는 중 · " + path80.right(60)},
        {"도구: Write  my  file.kt ", 4, 0.5, "코드를 쓰는 중 · my file.kt"},
        {"도구: Write", 4, 0.5, "코드를 쓰는 중 · "},
        // Sixty user-perceived characters, not UTF-16 units.
        {"도구: Edit " + QString("e\u0301").repeated(70), 4, 0.5, "코드를 쓰는 중 · " + QString("e\u0301").repeated(60)},
        {"도구: Read /a/b.kt", 3, 0.5, "기존 코드를 읽는 중"},
        {"도구: Grep foo", 3, 0.5, "기존 코드를 읽는 중"},
        {"도구: Glob", 3, 0.5, "기존 코드를 읽는 중"},
        {"도구: Bash", 3, 0.5, "빌드·확인하는 중"},
        {"도구: TodoWrite", 3, 0.5, "before"},
        {"끝 (95초, $1.23)", 3, 1.23, "before"},
        {"끝 (95초)", 3, 0.5, "before"},
        {"끝 (1초, $1.2.3)", 3, 0.5, "before"},
        {"계획서를 읽었어요", 3, 0.5, "before"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line.left(20).toStdString());
        Developer dev;
        dev.setRuns({{Kind::android, writing(0.5)}});
        dev.observe(Kind::android, c.line);
        EXPECT_EQ(dev.runs().value(Kind::android).edits, c.edits);
        EXPECT_DOUBLE_EQ(dev.runs().value(Kind::android).cost, c.cost);
        EXPECT_EQ(dev.runs().value(Kind::android).detail, c.detail);
    }

    // The cost is set, not added; a German locale changes nothing.
    QLocale::setDefault(QLocale(QLocale::German));
    Developer dev;
    dev.setRuns({{Kind::ios, writing(0)}});
    dev.observe(Kind::ios, "끝 (3초, $0.40)");
    dev.observe(Kind::ios, "끝 (9초, $2.05)");
    EXPECT_DOUBLE_EQ(dev.runs().value(Kind::ios).cost, 2.05);
    QLocale::setDefault(QLocale::c());

    // Only a writing run of that platform takes lines.
    Developer::Run preparing;
    dev.setRuns({{Kind::ios, preparing}});
    dev.observe(Kind::ios, "도구: Edit a.kt");
    dev.observe(Kind::android, "도구: Edit a.kt");
    EXPECT_EQ(dev.runs(), (Developer::Runs{{Kind::ios, preparing}}));
}

TEST(DeveloperGit, ListsBranchesOfACloneAndOfAPlainFolder)
{
    QTemporaryDir tmp;
    const QString origin = makeRepo(tmp.path() + "/origin");
    sh(origin, {"branch", "feat/a"});
    sh(tmp.path(), {"clone", "-q", origin, "clone"});
    const QString clone = tmp.path() + "/clone";
    sh(clone, {"branch", "local/x"});

    const Developer::Branches branches = Developer::branches(clone);
    EXPECT_EQ(branches.current, "main");
    EXPECT_EQ(branches.all, (QStringList{"main", "local/x", "origin/develop", "origin/feat/a", "origin/main"}));
    EXPECT_TRUE(Developer::branchExists(clone, "local/x"));
    EXPECT_FALSE(Developer::branchExists(clone, "feat/a"));
    EXPECT_EQ(Developer::git(clone, {"rev-parse", "--abbrev-ref", "HEAD"}), "main");

    // On a detached head the current name is "HEAD", listed once.
    sh(clone, {"checkout", "-q", "--detach"});
    EXPECT_EQ(Developer::branches(clone).all.first(), "HEAD");

    const QString plain = tmp.path() + "/plain";
    QDir().mkpath(plain);
    EXPECT_EQ(Developer::branches(plain), (Developer::Branches{"", {""}}));
    EXPECT_FALSE(Developer::branchExists(plain, "main"));
}

TEST_F(DeveloperTest, DevelopsInANewWorktreeThenReusesIt)
{
    const QString repo = makeRepo(root + "/repos/app");
    // A trailing "/" places the worktree beside the checkout all the same.
    settings.androidRepo = repo + "/";
    const QString answer = "\n  - feature/login/A.kt 만듦\n- src/Main.kt 고침  \n";
    fake.setScenario(
        {{"steps",
          QJsonArray{assistant({toolUse("t1", "Read", {{"file_path", planDir + "/plan.md"}})}),
                     assistant({toolUse("t2", "Edit", {{"file_path", "src/Main.kt"}}),
                                toolUse("t3", "Write", {{"file_path", "feature/login/A.kt"}})}),
                     QJsonObject{{"writeFile", "feature/login/A.kt"}, {"content", "class A\n"}},
                     QJsonObject{{"writeFile", "feature/login/B.kt"}, {"content", "class B\n"}},
                     QJsonObject{{"writeFile", "src/Main.kt"}, {"content", "fun main() { login() }\n"}},
                     assistant({toolUse("t4", "Bash", {{"command", "./gradlew :presentation:bazaar:build"}})}),
                     FakeClaude::resultEvent("중간", 1000, 0.25),
                     FakeClaude::resultEvent(answer, 95000, 1.234)}}});

    startAndWait({Kind::android}, {{Kind::android, "develop"}}, "feat/login");

    const QString worktree = root + "/repos/app-worktrees/feat-login";
    const Developer::Run done = run(Kind::android);
    EXPECT_EQ(done.phase, Phase::done);
    EXPECT_EQ(done.worktree, worktree);
    EXPECT_EQ(done.branch, "feat/login");
    EXPECT_EQ(done.edits, 2);
    EXPECT_DOUBLE_EQ(done.cost, 1.23);
    EXPECT_EQ(done.summary, unconfined + "- feature/login/A.kt 만듦\n- src/Main.kt 고침");
    EXPECT_EQ(done.changed, (QStringList{"src/Main.kt", "feature/login/A.kt", "feature/login/B.kt"}));
    EXPECT_EQ(done.detail, "바뀐 파일 3개");
    ASSERT_TRUE(done.ended.has_value());
    EXPECT_LE(done.started, *done.ended);
    EXPECT_EQ(details.value(Kind::android).first(), "작업 폴더를 만드는 중");
    EXPECT_TRUE(details.value(Kind::android).contains("Claude 가 계획서를 읽는 중"));
    EXPECT_TRUE(details.value(Kind::android).contains("빌드·확인하는 중"));

    // A worktree on a new branch made from the base.
    EXPECT_TRUE(sh(repo, {"worktree", "list", "--porcelain"})
                    .contains("worktree " + worktree + "\nHEAD " + sh(repo, {"rev-parse", "develop"})
                              + "\nbranch refs/heads/feat/login"));
    EXPECT_FALSE(QFile::exists(worktree + "/src/Later.kt"));
    EXPECT_EQ(readFile(worktree + "/local.properties"), "sdk.dir=/sdk\n");
    EXPECT_EQ(readFile(worktree + "/secrets.properties"), "key=s3cret\n");
    EXPECT_FALSE(QFile::exists(worktree + "/keystore.properties"));
    EXPECT_EQ(QDir(root + "/repos").entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
              (QStringList{"app", "app-worktrees"}));

    // The user's checkout is untouched.
    EXPECT_EQ(sh(repo, {"status", "--porcelain", "--untracked-files=all"}), "");
    EXPECT_EQ(sh(repo, {"rev-parse", "--abbrev-ref", "HEAD"}), "main");
    EXPECT_EQ(readFile(repo + "/src/Main.kt"), "fun main() {}\n");

    EXPECT_EQ(readFile(planDir + "/history/develop-android.md"),
              record("# Android 개발 (feat/login)", answer, done.changed));
    EXPECT_EQ(tree(planDir + "/history"), QStringList{"develop-android.md"});

    const QList<QJsonObject> starts = fake.records("start");
    ASSERT_EQ(starts.size(), 1);
    EXPECT_EQ(starts.first().value("cwd").toString(), worktree);
    EXPECT_EQ(valuesAfter(starts.first(), "--add-dir"), (QStringList{worktree, planDir}));
    EXPECT_EQ(valuesAfter(starts.first(), "--tools"), QStringList{"Bash,Edit,Glob,Grep,Read,ToolSearch,Write"});
    // Writes stay inside the worktree: the real claude tool lets a Write deep
    // below "./**" of the working folder through and refuses an Edit of the
    // plan folder's plan.json, although that folder is passed with --add-dir.
    // fake-claude enforces no permissions, so the arguments are what is checked.
    // Reads: with no bare Read, Grep or Glob the real tool (2.1.337) keeps
    // them to the worktree and the --add-dir folders and refuses any other
    // file.
    EXPECT_EQ(valuesAfter(starts.first(), "--allowedTools"),
              QStringList{"Read(./**),Edit(./**),Write(./**),Glob(./**),Grep(./**),Bash(./gradlew:*),Bash(git status:*),"
                          "Bash(git diff:*),Bash(ls:*)"});
    // "git diff --output=<file>" writes any file, "git diff --no-index <file>
    // /dev/null" prints one. The real tool (2.1.337) refuses
    // "git diff --output=x", "git diff HEAD --output=x", "git diff --output x"
    // and "git diff [HEAD] --no-index a /dev/null" through these patterns,
    // given joined by a comma as here, and still runs "git diff --stat".
    EXPECT_EQ(valuesAfter(starts.first(), "--disallowedTools"),
              QStringList{"Bash(git diff *--output*),Bash(git diff *--no-index*)"});
    EXPECT_FALSE(starts.first().value("args").toArray().contains(QJsonValue("--continue")));
    EXPECT_EQ(starts.first().value("stdin").toString(), golden("develop-android.txt").replace("{PLAN}", planDir));

    // Second start with the same name: the folder is that branch's worktree,
    // so no branch check, no `worktree add`, no properties copy; the run goes
    // on in the folder as it is.
    sh(worktree, {"reset", "-q", "--hard"});
    sh(worktree, {"clean", "-fdq"});
    QFile::remove(worktree + "/local.properties");
    sh(worktree, {"mv", "src/Main.kt", "src/Moved.kt"});
    // A name that is not UTF-8 still counts and shows.
    const QByteArray strayName = QFile::encodeName(worktree) + "/bad\xffname.kt";
    const int fd = ::open(strayName.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
    ASSERT_GE(fd, 0);
    ::close(fd);
    const QString worktrees = sh(repo, {"worktree", "list", "--porcelain"});
    details.clear();
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"writeFile", "새 화면.swift"}, {"content", "x"}},
                                          FakeClaude::resultEvent("두 번째")}}});
    settings.iosRepo = repo;
    startAndWait({Kind::ios}, {{Kind::ios, "main"}}, "feat/login");
    EXPECT_EQ(run(Kind::ios).phase, Phase::done) << run(Kind::ios).detail.toStdString();
    EXPECT_EQ(run(Kind::ios).worktree, worktree);
    EXPECT_EQ(run(Kind::ios).summary, unconfined + "두 번째");
    // Named as they are, neither quoted nor escaped; a rename counts once.
    EXPECT_EQ(run(Kind::ios).changed, (QStringList{"src/Moved.kt", "bad\uFFFDname.kt", "새 화면.swift"}));
    EXPECT_EQ(run(Kind::ios).detail, "바뀐 파일 3개");
    EXPECT_EQ(details.value(Kind::ios).mid(0, 3),
              (QStringList{"작업 폴더를 만드는 중", "이미 있는 작업 폴더를 이어서 써요", "Claude 가 계획서를 읽는 중"}));
    EXPECT_FALSE(QFile::exists(worktree + "/local.properties"));
    EXPECT_EQ(sh(repo, {"worktree", "list", "--porcelain"}), worktrees);
    EXPECT_EQ(sh(worktree, {"rev-parse", "--abbrev-ref", "HEAD"}), "feat/login");
    EXPECT_EQ(fake.records("start").size(), 2);
    EXPECT_EQ(readFile(planDir + "/history/develop-ios.md"),
              record("# iOS 개발 (feat/login)", "두 번째", run(Kind::ios).changed));
}

TEST_F(DeveloperTest, RefusedNamesBasesAndRepositoriesMakeNothing)
{
    const QString repo = makeRepo(root + "/repos/app");
    // The worktrees folder exists, as after an earlier run: ".." there is
    // the folder holding the repositories.
    QDir().mkpath(root + "/repos/app-worktrees");
    // Neither an unset nor a missing repository makes anything, here or
    // beside the test's working folder.
    const QString saved = QDir::currentPath();
    QDir().mkpath(root + "/cwd");
    ASSERT_TRUE(QDir::setCurrent(root + "/cwd"));
    const QString refusedName = "” 은(는) 브랜치 이름으로 쓸 수 없어요. 다른 작업 이름을 쓰세요.";
    const QString notMade = "작업 폴더를 만들지 못했어요: ";
    const struct {
        QString branch;
        QString base;
        QString detail;
        QString repo;
    } cases[] = {
        {"develop", "main", "“develop” 브랜치가 이미 있어요. 다른 작업 이름을 쓰세요.", repo},
        {"..", "main", "“.." + refusedName, repo},
        {".", "main", "“." + refusedName, repo},
        {"-x", "main", "“-x" + refusedName, repo},
        {"HEAD", "main", "“HEAD" + refusedName, repo},
        {"a b", "main", "“a b" + refusedName, repo},
        {"@{-1}", "main", "“@{-1}" + refusedName, repo},
        {"", "main", "“" + refusedName, repo},
        {"feat/force", "--force", "“--force” 은(는) base 브랜치로 쓸 수 없어요.", repo},
        {"feat/opt", "-b", "“-b” 은(는) base 브랜치로 쓸 수 없어요.", repo},
        {"feat/nobase", "", notMade, repo},
        {"feat/nobranch", "no-such-branch", notMade, repo},
        {"feat/norepo", "main", notMade, ""},
        {"feat/norepo", "main", notMade, "  "},
        {"feat/norepo", "main", notMade, root + "/repos/gone"},
    };
    const QStringList before = tree(root);
    const QString branchesBefore = sh(repo, {"branch", "--list"});
    for (const auto &c : cases) {
        SCOPED_TRACE(c.branch.toStdString() + " from " + c.base.toStdString() + " in " + c.repo.toStdString());
        settings.androidRepo = c.repo;
        startAndWait({Kind::android}, {{Kind::android, c.base}}, c.branch);
        const Developer::Run failed = run(Kind::android);
        EXPECT_EQ(failed.phase, Phase::failed);
        EXPECT_EQ(failed.detail, c.detail);
        EXPECT_EQ(failed.worktree, std::nullopt);
        EXPECT_TRUE(failed.ended.has_value());
        EXPECT_EQ(tree(root), before);
        EXPECT_EQ(sh(repo, {"branch", "--list"}), branchesBefore);
        EXPECT_TRUE(fake.records("start").isEmpty());
    }
    QDir::setCurrent(saved);
    EXPECT_FALSE(QFile::exists(planDir + "/history/develop-android.md"));

    // A plan folder another operation holds refuses the start, after a
    // short wait for a write to end.
    const FolderLock held = FolderLock::take(planDir);
    settings.androidRepo = repo;
    startAndWait({Kind::android}, {{Kind::android, "main"}}, "feat/held");
    EXPECT_EQ(run(Kind::android).phase, Phase::failed);
    EXPECT_EQ(run(Kind::android).detail,
              "다른 작업이 이 계획서 폴더를 쓰고 있어요. 그 작업이 끝난 뒤에 다시 해 주세요: " + planDir);
    EXPECT_EQ(tree(root), before);
    EXPECT_TRUE(fake.records("start").isEmpty());
}

// The program's git goes where the settings say and follows nothing the
// run could write. A GIT_DIR and GIT_WORK_TREE inherited from a hook or an
// editor that started the application name another repository: the branch
// and worktree are made in the configured one all the same. An unconfined
// build that points the worktree's .git at a repository of its own, whose
// configuration names a file system monitor, has that repository neither
// read nor its monitor run by the status after the run.
TEST_F(DeveloperTest, TheProgramsGitFollowsNeitherTheEnvironmentNorWhatTheRunWrote)
{
    const QString repo = makeRepo(root + "/repos/app");
    const QString other = makeRepo(root + "/repos/other");
    const QString otherBranches = sh(other, {"branch", "--list"});
    settings.androidRepo = repo;
    const QString monitor = root + "/monitor.sh";
    const QString ran = root + "/monitor-ran";
    writeFile(monitor, ("#!/bin/sh\necho ran > '" + ran + "'\n").toUtf8());
    QFile::setPermissions(monitor, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QString planted = root + "/planted";
    QDir().mkpath(planted);
    sh(planted, {"init", "-q"});
    sh(planted, {"config", "core.fsmonitor", monitor});
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"writeFile", "src/New.kt"}, {"content", "class New\n"}},
                                           QJsonObject{{"writeFile", ".git"}, {"content", "gitdir: " + planted + "/.git\n"}},
                                           FakeClaude::resultEvent("다 했어요")}}});
    qputenv("GIT_DIR", (other + "/.git").toUtf8());
    qputenv("GIT_WORK_TREE", other.toUtf8());
    startAndWait({Kind::android}, {{Kind::android, "main"}}, "feat/pointer");
    qunsetenv("GIT_DIR");
    qunsetenv("GIT_WORK_TREE");

    const QString worktree = root + "/repos/app-worktrees/feat-pointer";
    const Developer::Run done = run(Kind::android);
    EXPECT_EQ(done.phase, Phase::done) << done.detail.toStdString();
    // The .git the unconfined run rewrote is named with what it wrote.
    EXPECT_EQ(done.changed, (QStringList{"src/New.kt", ".git"}));
    EXPECT_FALSE(QFileInfo::exists(ran));
    EXPECT_EQ(sh(repo, {"rev-parse", "feat/pointer"}), sh(repo, {"rev-parse", "main"}));
    EXPECT_EQ(sh(other, {"branch", "--list"}), otherBranches);
    EXPECT_EQ(sh(other, {"worktree", "list", "--porcelain"}).count("worktree "), 1);
}

TEST_F(DeveloperTest, OnePlatformFailingLeavesTheOtherToFinish)
{
    // Both platforms in one repository: set-ups go one after the other, so
    // iOS finds the worktree Android has just made and reuses it.
    const QString repo = makeRepo(root + "/repos/app");
    settings.androidRepo = repo;
    settings.iosRepo = repo;
    QDir(planDir + "/history").removeRecursively();
    fake.setScenario({{"responses",
                       QJsonArray{QJsonObject{{"stdinContains", "너는 Brenix Android"},
                                              {"steps", QJsonArray{QJsonObject{{"err", "boom\n"}}}},
                                              {"exit", 1}}}},
                      {"steps", QJsonArray{FakeClaude::resultEvent("iOS 끝")}}});
    startAndWait({Kind::android, Kind::ios}, {{Kind::android, "develop"}}, "feat/both");

    const QString worktree = root + "/repos/app-worktrees/feat-both";
    EXPECT_EQ(run(Kind::android).phase, Phase::failed);
    EXPECT_EQ(run(Kind::android).detail, unconfined + "Claude 실행 실패(종료 코드 1): boom");
    EXPECT_EQ(run(Kind::android).worktree, worktree);
    EXPECT_EQ(run(Kind::ios).phase, Phase::done);
    EXPECT_EQ(run(Kind::ios).worktree, worktree);
    EXPECT_TRUE(details.value(Kind::ios).contains("이미 있는 작업 폴더를 이어서 써요"));
    EXPECT_EQ(sh(repo, {"rev-parse", "feat/both"}), sh(repo, {"rev-parse", "develop"}));
    // No history folder: no record, and none made.
    EXPECT_FALSE(QFile::exists(planDir + "/history"));
    EXPECT_EQ(fake.records("start").size(), 2);
}

TEST_F(DeveloperTest, ARunWhoseRecordGoesIsStoppedAndChangesNothingLater)
{
    settings.androidRepo = makeRepo(root + "/repos/android");
    settings.iosRepo = makeRepo(root + "/repos/ios");
    fake.setScenario(
        {{"responses",
          QJsonArray{QJsonObject{{"stdinContains", "`feat/one`"},
                                 {"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject()}},
                                                      FakeClaude::resultEvent("멈춘 뒤")}}},
                     QJsonObject{{"stdinContains", "`feat/two`"},
                                 {"steps", QJsonArray{QJsonObject{{"sleep", 300}}, FakeClaude::resultEvent("둘")}}}}}});
    const QMap<Kind, QString> base{{Kind::android, "main"}, {Kind::ios, "main"}};
    dev.start({Kind::android, Kind::ios}, base, "feat/one", planDir, settings);
    ASSERT_TRUE(QTest::qWaitFor([this] { return fake.records("start").size() == 2; }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([this] { return run(Kind::ios).phase == Phase::writing; }, 30000));
    const auto pidOf = [this](const QString &platform) {
        for (const QJsonObject &start : fake.records("start"))
            if (start.value("stdin").toString().contains("너는 Brenix " + platform))
                return start.value("pid").toInteger();
        return qint64(-1);
    };

    // The sheet keeps Android's record and puts another in place of iOS's:
    // iOS's Claude is stopped, and its end never lands on that record.
    Developer::Run other;
    other.phase = Phase::done;
    other.detail = "다른 기록";
    dev.setRuns({{Kind::android, run(Kind::android)}, {Kind::ios, other}});
    ASSERT_TRUE(QTest::qWaitFor([&] { return gone(pidOf("iOS")); }, 30000));
    QTest::qWait(200);
    EXPECT_EQ(fake.records("sigterm").size(), 1);
    EXPECT_EQ(run(Kind::ios), other);
    EXPECT_TRUE(dev.isRunning());
    EXPECT_EQ(::kill(static_cast<pid_t>(pidOf("Android")), 0), 0);

    // Dropping the records stops Android's run as well.
    dev.setRuns({});
    EXPECT_FALSE(dev.isRunning());
    ASSERT_TRUE(QTest::qWaitFor([&] { return gone(pidOf("Android")); }, 30000));
    EXPECT_EQ(fake.records("sigterm").size(), 2);
    EXPECT_FALSE(QFile::exists(planDir + "/history/develop-android.md"));
    EXPECT_FALSE(QFile::exists(planDir + "/history/develop-ios.md"));

    // A new start meanwhile is not touched by anything the stopped runs do.
    startAndWait({Kind::android}, base, "feat/two");
    QTest::qWait(200);
    const Developer::Run second = run(Kind::android);
    EXPECT_EQ(second.phase, Phase::done) << second.detail.toStdString();
    EXPECT_EQ(second.branch, "feat/two");
    EXPECT_EQ(second.summary, unconfined + "둘");
    EXPECT_EQ(second.worktree, root + "/repos/android-worktrees/feat-two");
    EXPECT_EQ(dev.runs().size(), 1);
    EXPECT_FALSE(details.value(Kind::android).contains(stopMessage));
}

TEST_F(DeveloperTest, AnUnreadableKeyEndsTheRunFailedOnceTheWorktreeExists)
{
    // A secret store with no key, or one that breaks in ways nothing else
    // reports.
    class BrokenStore final : public SecretStore
    {
    public:
        explicit BrokenStore(std::function<void()> raise)
            : m_raise(std::move(raise))
        {
        }
        std::optional<QByteArray> read(const QString &) override
        {
            if (m_raise)
                m_raise();
            return std::nullopt;
        }
        bool write(const QString &, const QString &) override { return false; }
        bool remove(const QString &) override { return false; }

    private:
        std::function<void()> m_raise;
    };
    settings.androidRepo = makeRepo(root + "/repos/android");
    settings.iosRepo = makeRepo(root + "/repos/ios");
    settings.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    const struct {
        const char *name;
        std::function<void()> raise;
        QString detail;
    } cases[] = {
        {"no key", nullptr, "Anthropic API 키가 없어요. 설정에서 넣거나 'Claude Code 로그인' 방식으로 바꿔 주세요."},
        {"standard exception", [] { throw std::runtime_error("store broke"); }, "store broke"},
        {"anything else", [] { throw 42; }, "알 수 없는 오류로 멈췄어요."},
    };
    int attempt = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        Keychain::useStore(std::make_shared<BrokenStore>(c.raise));
        const QString branch = "feat/broken-" + QString::number(++attempt);
        startAndWait({Kind::android, Kind::ios}, {{Kind::android, "main"}, {Kind::ios, "main"}}, branch);
        Keychain::useStore(nullptr);
        for (const Kind kind : Developer::platformKinds) {
            EXPECT_EQ(run(kind).phase, Phase::failed);
            EXPECT_EQ(run(kind).detail, c.detail);
            EXPECT_TRUE(run(kind).ended.has_value());
        }
        EXPECT_EQ(run(Kind::ios).worktree, root + "/repos/ios-worktrees/" + QString(branch).replace('/', '-'));
    }
    EXPECT_TRUE(fake.records("start").isEmpty());
}

// Two work names that make one folder name get a worktree each, and each
// later run of either finds its own; a folder that is no worktree of the
// branch (another's, a plain one) is never taken over.
TEST_F(DeveloperTest, AWorktreeFolderIsReusedOnlyForItsOwnBranch)
{
    const QString repo = makeRepo(root + "/repos/app");
    settings.androidRepo = repo;
    QDir().mkpath(root + "/repos/app-worktrees/feat-plain");
    fake.setScenario({{"steps", QJsonArray{FakeClaude::resultEvent("했어요")}}});
    const QString folders = root + "/repos/app-worktrees/";
    const struct {
        QString branch;
        QString worktree;
        QString firstDetail;
    } rows[] = {
        {"feat/probe", folders + "feat-probe", "작업 폴더를 만드는 중"},
        {"feat-probe", folders + "feat-probe-2", "작업 폴더를 만드는 중"},
        {"feat-probe", folders + "feat-probe-2", "이미 있는 작업 폴더를 이어서 써요"},
        {"feat/probe", folders + "feat-probe", "이미 있는 작업 폴더를 이어서 써요"},
        {"feat/plain", folders + "feat-plain-2", "작업 폴더를 만드는 중"},
    };
    for (const auto &row : rows) {
        details.clear();
        startAndWait({Kind::android}, {{Kind::android, "main"}}, row.branch);
        EXPECT_EQ(run(Kind::android).phase, Phase::done) << row.branch.toStdString() << run(Kind::android).detail.toStdString();
        EXPECT_EQ(run(Kind::android).worktree, row.worktree) << row.branch.toStdString();
        EXPECT_EQ(sh(row.worktree, {"rev-parse", "--abbrev-ref", "HEAD"}), row.branch);
        EXPECT_TRUE(details.value(Kind::android).contains(row.firstDetail)) << row.branch.toStdString();
    }
    EXPECT_EQ(QDir(folders).entryList(QDir::Dirs | QDir::NoDotAndDotDot),
              (QStringList{"feat-plain", "feat-plain-2", "feat-probe", "feat-probe-2"}));
}

TEST_F(DeveloperTest, DuplicateEmptyAndCancelledStarts)
{
    // A platform named twice runs once.
    settings.androidRepo = makeRepo(root + "/repos/android");
    fake.setScenario({{"steps", QJsonArray{FakeClaude::resultEvent("한 번")}}});
    startAndWait({Kind::android, Kind::android}, {{Kind::android, "main"}}, "feat/twice");
    EXPECT_EQ(dev.runs().keys(), QList<Kind>{Kind::android});
    EXPECT_EQ(run(Kind::android).phase, Phase::done) << run(Kind::android).detail.toStdString();
    EXPECT_EQ(fake.records("start").size(), 1);

    // No platforms only clears the runs.
    dev.start({}, {}, "feat/x", planDir, settings);
    EXPECT_TRUE(dev.runs().isEmpty());
    EXPECT_FALSE(dev.isRunning());
    EXPECT_EQ(dev.planDir(), planDir);

    // A cancel stops Claude and keeps the worktree and the earlier record.
    settings.iosRepo = root + "/repos/missing";
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"writeFile", "Half.kt"}, {"content", "class Half"}},
                                          QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    dev.start({Kind::android}, {{Kind::android, "main"}}, "feat/stop", planDir, settings);
    ASSERT_TRUE(QTest::qWaitFor([this] { return fake.records("start").size() == 2; }, 30000));
    ASSERT_TRUE(dev.isRunning());

    // A start while a run is writing changes nothing.
    const Developer::Runs running = dev.runs();
    dev.start({Kind::ios}, {}, "feat/other", planDir, settings);
    EXPECT_EQ(dev.runs(), running);

    dev.cancel();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !dev.isRunning(); }, 30000));
    const QString worktree = root + "/repos/android-worktrees/feat-stop";
    const Developer::Run stopped = run(Kind::android);
    EXPECT_EQ(stopped.phase, Phase::failed);
    EXPECT_EQ(stopped.detail, unconfined + stopMessage);
    EXPECT_EQ(stopped.worktree, worktree);
    EXPECT_EQ(readFile(worktree + "/Half.kt"), "class Half");
    EXPECT_EQ(fake.records("sigterm").size(), 1);
    EXPECT_TRUE(gone(fake.records("start").last().value("pid").toInteger()));
    EXPECT_EQ(readFile(planDir + "/history/develop-android.md"), record("# Android 개발 (feat/twice)", "한 번", {}));

    // Cancelling finished runs changes nothing.
    dev.cancel();
    EXPECT_EQ(run(Kind::android), stopped);

    // The second platform waits for the first one's set-up; a stop that
    // arrives meanwhile ends both without a Claude run.
    settings.iosRepo = makeRepo(root + "/repos/ios");
    dev.start({Kind::android, Kind::ios}, {}, "feat/late", planDir, settings);
    dev.cancel();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !dev.isRunning(); }, 30000));
    for (const Kind kind : Developer::platformKinds) {
        EXPECT_EQ(run(kind).phase, Phase::failed);
        EXPECT_EQ(run(kind).detail, stopMessage);
    }
    EXPECT_EQ(fake.records("start").size(), 2);

    // A stop while the repository's post-checkout hook waits, ignoring
    // SIGTERM and SIGHUP, ends the run (and so the application's quit, which
    // waits for it); the worktree it left half made goes with its branch.
    const QString hookFile = root + "/hook";
    writeFile(settings.iosRepo + "/.git/hooks/post-checkout",
              ("#!/bin/sh\ntrap '' TERM HUP\nsleep 300 &\nns=$(readlink /proc/self/ns/pid)\n"
               "printf '%s %s\\n' $$ \"$ns\" $! \"$ns\" > '" + hookFile + "'\nwait\n").toUtf8());
    QFile::setPermissions(settings.iosRepo + "/.git/hooks/post-checkout",
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    dev.start({Kind::ios}, {{Kind::ios, "main"}}, "feat/hooked", planDir, settings);
    QList<qint64> hook;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (hook = FakeClaude::numbersHere(readFile(hookFile))).size() == 2; }, 30000))
        << run(Kind::ios).detail.toStdString();
    dev.cancel();
    const bool ended = QTest::qWaitFor([this] { return !dev.isRunning(); }, 20000);
    for (const qint64 pid : hook)
        if (pid > 0)
            ::kill(pid_t(pid), SIGKILL);
    ASSERT_FALSE(hook.contains(0));
    ASSERT_TRUE(ended);
    EXPECT_EQ(run(Kind::ios).detail, stopMessage);
    EXPECT_FALSE(QFileInfo::exists(root + "/repos/ios-worktrees/feat-hooked"));
    EXPECT_FALSE(Developer::branchExists(settings.iosRepo, "feat/hooked"));
    EXPECT_EQ(fake.records("start").size(), 2);
}

// Whatever Claude's tools do to the plan folder during a development run is
// put back when the run ends, however it ends, and the run says so in its
// card and its record instead of ending done. "git diff --output" goes
// through a real git here, as the real tool's Bash step would run it were
// the option not refused.
TEST_F(DeveloperTest, APlanChangedDuringTheRunIsPutBack)
{
    settings.androidRepo = makeRepo(root + "/repos/app");
    writeFile(planDir + "/plan.md", "# 계획서\n");
    writeFile(planDir + "/index.html", "<html>계획서</html>");
    const QByteArray plan = readFile(planDir + "/plan.json");
    const QString putBack = "개발 중에 바뀐 계획서 파일을 원래대로 돌려 놨어요: ";

    // A run that ends with an answer: the plan emptied by git, plan.md
    // rewritten; what they held goes to a kept folder of history/.
    fake.setScenario(
        {{"steps",
          QJsonArray{QJsonObject{{"run", QJsonArray{"git", "diff", "--output=" + planDir + "/plan.json"}}},
                     QJsonObject{{"writeFile", planDir + "/plan.md"}, {"content", "바뀜"}},
                     QJsonObject{{"writeFile", "src/New.kt"}, {"content", "class New\n"}}, FakeClaude::resultEvent("다 했어요")}}});
    startAndWait({Kind::android}, {{Kind::android, "main"}}, "feat/guard");
    ASSERT_EQ(fake.records("start").size(), 1);
    Developer::Run ended = run(Kind::android);
    EXPECT_EQ(ended.phase, Phase::failed);
    QStringList kept = QDir(planDir + "/history").entryList({"kept-*"}, QDir::Dirs);
    ASSERT_EQ(kept.size(), 1);
    const QString keptFirst = planDir + "/history/" + kept.first();
    EXPECT_EQ(ended.detail, putBack + "plan.json, plan.md (바뀐 내용: " + keptFirst + ")");
    EXPECT_EQ(ended.summary, unconfined + "다 했어요");
    EXPECT_EQ(ended.changed, QStringList{"src/New.kt"});
    EXPECT_EQ(readFile(planDir + "/plan.json"), plan);
    EXPECT_EQ(readFile(planDir + "/plan.md"), "# 계획서\n");
    EXPECT_EQ(readFile(planDir + "/index.html"), "<html>계획서</html>");
    EXPECT_EQ(readFile(planDir + "/history/develop-android.md"),
              record("# Android 개발 (feat/guard)", "다 했어요", ended.changed, ended.detail));
    EXPECT_EQ(tree(planDir + "/history"),
              (QStringList{"develop-android.md", kept.first(), kept.first() + "/plan.json", kept.first() + "/plan.md"}));
    EXPECT_EQ(readFile(keptFirst + "/plan.md"), "바뀜");

    // A stopped run: what it wrote to plan.json is kept aside, then the
    // plan goes back.
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"writeFile", planDir + "/plan.json"}, {"content", "{}"}},
                                          QJsonObject{{"writeFile", planDir + "/index.html"}, {"content", ""}},
                                          QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    dev.start({Kind::android}, {{Kind::android, "main"}}, "feat/guard-stop", planDir, settings);
    ASSERT_TRUE(QTest::qWaitFor([this] { return fake.records("start").size() == 2; }, 30000));
    ASSERT_TRUE(QTest::qWaitFor([this] { return readFile(planDir + "/index.html").isEmpty(); }, 30000));
    dev.cancel();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !dev.isRunning(); }, 30000));
    ended = run(Kind::android);
    EXPECT_EQ(ended.phase, Phase::failed);
    kept = QDir(planDir + "/history").entryList({"kept-*"}, QDir::Dirs);
    kept.removeOne(QFileInfo(keptFirst).fileName());
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(readFile(planDir + "/history/" + kept.first() + "/plan.json"), "{}");
    const QString note = putBack + "index.html, plan.json (바뀐 내용: " + planDir + "/history/" + kept.first() + ")";
    EXPECT_EQ(ended.detail, unconfined + stopMessage + "\n" + note);
    EXPECT_EQ(readFile(planDir + "/plan.json"), plan);
    EXPECT_EQ(readFile(planDir + "/plan.md"), "# 계획서\n");
    EXPECT_EQ(readFile(planDir + "/index.html"), "<html>계획서</html>");
    EXPECT_EQ(readFile(planDir + "/history/develop-android.md"),
              ("# Android 개발 (feat/guard-stop)\n\n" + unconfined + stopMessage + "\n\n" + note).toUtf8());
}

// The guard trusts only what it took at the start, never a mark in the
// folder: a tool that deletes the made-from mark, changes the plan and then
// has the command line render it (which the run's hold on the folder
// refuses, so plan.md and index.html stay), and that changes the rest of the folder
// (history/, request.json, an attachment, a new folder), has all of it put
// back, what it wrote kept in one folder of history/, every path named in
// the card and the record.
TEST_F(DeveloperTest, TheWholePlanFolderIsPutBackFromWhatTheStartSaw)
{
    settings.androidRepo = makeRepo(root + "/repos/app");
    const QString mark = QFileInfo(MadeFrom::path(planDir)).fileName();
    // Exit 2: everything written, the plan of no screens has problems.
    ASSERT_EQ(CommandLine::run({"--render", planDir}, QDir::homePath()).code, 2);
    writeFile(planDir + "/request.json", R"({"feature":"HarborClips"})");
    writeFile(planDir + "/history/plan-200101-000000.json", "undo point");
    writeFile(planDir + "/history/attachments/a.png", "png");
    const QStringList files{mark, "history/attachments/a.png", "history/plan-200101-000000.json", "index.html",
                            "plan.json", "plan.md", "request.json"};
    QMap<QString, QByteArray> before;
    for (const QString &file : files)
        before.insert(file, readFile(planDir + "/" + file));
    Plan changed = Plan::decode(before.value("plan.json"));
    changed.meta.title = "바뀐 제목";
    const QByteArray changedPlan = QJsonDocument(changed.toJson()).toJson();

    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"remove", planDir + "/" + mark}},
                                          QJsonObject{{"writeFile", planDir + "/plan.json"}, {"content", QString::fromUtf8(changedPlan)}},
                                          QJsonObject{{"run", QJsonArray{QUARRYSTONE_BINARY, "--render", planDir}}},
                                          QJsonObject{{"remove", planDir + "/history/plan-200101-000000.json"}},
                                          QJsonObject{{"writeFile", planDir + "/request.json"}, {"content", "{}"}},
                                          QJsonObject{{"writeFile", planDir + "/history/attachments/a.png"}, {"content", "bad"}},
                                          QJsonObject{{"writeFile", planDir + "/img/added.png"}, {"content", "new"}},
                                          FakeClaude::resultEvent("다 했어요")}}});
    startAndWait({Kind::android}, {{Kind::android, "main"}}, "feat/whole");
    const Developer::Run ended = run(Kind::android);
    EXPECT_EQ(ended.phase, Phase::failed);
    for (const QString &file : files)
        EXPECT_EQ(readFile(planDir + "/" + file), before.value(file)) << file.toStdString();
    EXPECT_FALSE(QFileInfo::exists(planDir + "/img"));
    const QStringList kept = QDir(planDir + "/history").entryList({"kept-*"}, QDir::Dirs);
    ASSERT_EQ(kept.size(), 1);
    const QString keptDir = planDir + "/history/" + kept.first();
    EXPECT_EQ(Plan::decode(readFile(keptDir + "/plan.json")).meta.title, "바뀐 제목");
    EXPECT_EQ(readFile(keptDir + "/request.json"), "{}");
    EXPECT_EQ(readFile(keptDir + "/img/added.png"), "new");
    EXPECT_EQ(readFile(keptDir + "/history/attachments/a.png"), "bad");
    EXPECT_FALSE(QFileInfo::exists(keptDir + "/plan.md"));
    const QString line = "개발 중에 바뀐 계획서 파일을 원래대로 돌려 놨어요: " + mark
        + ", history/attachments/a.png, history/plan-200101-000000.json, img, plan.json, "
          "request.json (바뀐 내용: " + keptDir + ")";
    EXPECT_EQ(ended.detail, line);
    EXPECT_EQ(readFile(planDir + "/history/develop-android.md"),
              record("# Android 개발 (feat/whole)", "다 했어요", ended.changed, line));
}

// A development run holds the plan folder for its whole length: a revision
// meanwhile, from the window's reviser or the command line, is refused as
// busy instead of said done and then put back when the run ends. Once the
// run has ended, a revision may claim the folder again.
TEST_F(DeveloperTest, ARevisionWhileARunWorksIsRefusedAsBusy)
{
    settings.androidRepo = makeRepo(root + "/repos/app");
    const QByteArray plan = readFile(planDir + "/plan.json");
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    dev.start({Kind::android}, {{Kind::android, "main"}}, "feat/held", planDir, settings);
    ASSERT_TRUE(QTest::qWaitFor([this] { return fake.records("start").size() == 1; }, 30000));
    const QString busy = "다른 작업이 이 계획서 폴더를 쓰고 있어요. 그 작업이 끝난 뒤에 다시 해 주세요: " + planDir;

    const QString home = root + "/home";
    CommandLine::writeRevisionSettings(home, root + "/work");
    const CommandLine::Outcome revised = CommandLine::run({"--revise", planDir, "--request", "제목을 바꿔"}, home);
    EXPECT_NE(revised.code, 0);
    EXPECT_TRUE(revised.err.contains(busy)) << revised.err.toStdString();

    Reviser &reviser = Reviser::shared();
    ASSERT_TRUE(reviser.revise("제목을 바꿔", {}, planDir, settings));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !reviser.phase().isRunning(); }, 30000));
    EXPECT_EQ(reviser.phase(), Reviser::Phase::failed(busy));
    EXPECT_EQ(fake.records("start").size(), 1);

    dev.cancel();
    ASSERT_TRUE(QTest::qWaitFor([this] { return !dev.isRunning(); }, 30000));
    EXPECT_EQ(readFile(planDir + "/plan.json"), plan);
    EXPECT_EQ(QDir(planDir + "/history").entryList({"kept-*"}, QDir::Dirs), QStringList());
    EXPECT_NO_THROW(FolderLock::take(planDir));
}

// A plan folder whose history/ is a link to a folder elsewhere: the run's
// record is written beneath the plan folder or not at all, never through the
// link, and the card says it was not written.
TEST_F(DeveloperTest, TheRecordIsNeverWrittenThroughALinkedHistory)
{
    settings.androidRepo = makeRepo(root + "/repos/app");
    const QString elsewhere = root + "/elsewhere";
    QDir().mkpath(elsewhere);
    ASSERT_TRUE(QDir(planDir + "/history").removeRecursively());
    ASSERT_TRUE(QFile::link(elsewhere, planDir + "/history"));
    fake.setScenario({{"steps", QJsonArray{FakeClaude::resultEvent("다 했어요")}}});
    startAndWait({Kind::android}, {{Kind::android, "main"}}, "feat/linked-history");
    EXPECT_EQ(QDir(elsewhere).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    EXPECT_EQ(run(Kind::android).phase, Phase::done);
    EXPECT_TRUE(run(Kind::android).detail.endsWith(" · 개발 기록을 쓰지 못했어요: 폴더가 아니거나 링크라서 쓰지 않았어요: " + planDir + "/history"))
        << run(Kind::android).detail.toStdString();
}

// history/ replaced by a file while the name the guard once parked it under
// is taken: it is parked under a fresh name all the same, and everything is
// put back.
TEST_F(DeveloperTest, AHistoryReplacedWhileTheOldParkNameIsTakenIsPutBack)
{
    settings.androidRepo = makeRepo(root + "/repos/app");
    writeFile(planDir + "/history/plan-200101-000000.json", "undo point");
    const QByteArray plan = readFile(planDir + "/plan.json");
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"run", QJsonArray{"/bin/sh", "-c",
                                                                          "cd \"$0\" && echo taken > .quarrystone-guard-history"
                                                                          " && rm -r history && echo file > history"
                                                                          " && echo '{}' > plan.json",
                                                                          planDir}}},
                                          FakeClaude::resultEvent("다 했어요")}}});
    startAndWait({Kind::android}, {{Kind::android, "main"}}, "feat/park");
    const Developer::Run ended = run(Kind::android);
    EXPECT_EQ(ended.phase, Phase::failed);
    EXPECT_EQ(readFile(planDir + "/plan.json"), plan);
    EXPECT_EQ(readFile(planDir + "/history/plan-200101-000000.json"), "undo point");
    EXPECT_FALSE(QFileInfo::exists(planDir + "/.quarrystone-guard-history"));
    const QStringList kept = QDir(planDir + "/history").entryList({"kept-*"}, QDir::Dirs);
    ASSERT_EQ(kept.size(), 1);
    const QString keptDir = planDir + "/history/" + kept.first();
    EXPECT_EQ(readFile(keptDir + "/history"), "file\n");
    EXPECT_EQ(readFile(keptDir + "/.quarrystone-guard-history"), "taken\n");
    EXPECT_EQ(ended.detail, "개발 중에 바뀐 계획서 파일을 원래대로 돌려 놨어요: .quarrystone-guard-history, history, plan.json "
                            "(바뀐 내용: " + keptDir + ")");
    // Nothing of the guard stays once the run is over.
    EXPECT_EQ(QDir(planDir).entryList({".quarrystone-guard-*"}, QDir::AllEntries | QDir::Hidden), QStringList());

    // A large picture is kept by a second link, not a copy: one replaced
    // goes back, one changed where it lies is set aside and named.
    const QByteArray picture(3 << 20, 'p');
    writeFile(planDir + "/img/replaced.png", picture);
    writeFile(planDir + "/img/changed.png", picture);
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"run", QJsonArray{"/bin/sh", "-c",
                                                                          "cd \"$0\"/img && rm replaced.png && echo new > replaced.png"
                                                                          " && printf x | dd of=changed.png conv=notrunc 2>/dev/null",
                                                                          planDir}}},
                                          FakeClaude::resultEvent("다 했어요")}}});
    startAndWait({Kind::android}, {{Kind::android, "main"}}, "feat/pictures");
    QStringList keptNow = QDir(planDir + "/history").entryList({"kept-*"}, QDir::Dirs);
    keptNow.removeOne(kept.first());
    ASSERT_EQ(keptNow.size(), 1);
    const QString keptPictures = planDir + "/history/" + keptNow.first();
    EXPECT_EQ(run(Kind::android).detail, "개발 중에 계획서 파일이 바뀌었는데 원래대로 돌려 놓지 못했어요: 원본이 남아 있지 않아요: "
                                         "img/changed.png (바뀐 내용: " + keptPictures + ")");
    EXPECT_EQ(readFile(planDir + "/img/replaced.png"), picture);
    EXPECT_EQ(readFile(keptPictures + "/img/replaced.png"), "new\n");
    EXPECT_EQ(readFile(keptPictures + "/img/changed.png"), "x" + picture.mid(1));
    EXPECT_FALSE(QFileInfo::exists(planDir + "/img/changed.png"));
}

// The runs of one start put back the plan as the start found it: a run
// whose Claude starts after the other run's Claude changed the plan still
// puts back the plan from before, not that change.
TEST_F(DeveloperTest, BothPlatformsPutBackThePlanFromBeforeTheStart)
{
    // iOS reads its key, and so gets to its Claude, only once Android's
    // Claude has changed the plan.
    class LateStore final : public SecretStore
    {
    public:
        explicit LateStore(QString plan)
            : m_plan(std::move(plan))
        {
        }
        std::optional<QByteArray> read(const QString &) override
        {
            if (++m_reads > 1)
                while (readFile(m_plan) != "{}")
                    QThread::msleep(10);
            return QByteArray("sk-test");
        }
        bool write(const QString &, const QString &) override { return false; }
        bool remove(const QString &) override { return false; }

    private:
        QString m_plan;
        std::atomic<int> m_reads = 0;
    };
    settings.androidRepo = makeRepo(root + "/repos/android");
    settings.iosRepo = makeRepo(root + "/repos/ios");
    settings.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    Keychain::useStore(std::make_shared<LateStore>(planDir + "/plan.json"));
    const QByteArray plan = readFile(planDir + "/plan.json");
    // Android keeps the plan changed until iOS's Claude runs.
    const QString started = root + "/ios-started";
    fake.setScenario(
        {{"responses",
          QJsonArray{QJsonObject{{"stdinContains", "너는 Brenix Android"},
                                 {"steps", QJsonArray{QJsonObject{{"writeFile", planDir + "/plan.json"}, {"content", "{}"}},
                                                      QJsonObject{{"awaitFile", started}, {"content", "iOS"}},
                                                      FakeClaude::resultEvent("안드로이드")}}},
                     // iOS ends once Android's run has put the plan back.
                     QJsonObject{{"stdinContains", "너는 Brenix iOS"},
                                 {"steps", QJsonArray{QJsonObject{{"writeFile", started}, {"content", "iOS"}},
                                                      QJsonObject{{"awaitFile", planDir + "/plan.json"},
                                                                  {"content", QString::fromUtf8(plan)}},
                                                      FakeClaude::resultEvent("iOS")}}}}}});
    startAndWait({Kind::android, Kind::ios}, {{Kind::android, "main"}, {Kind::ios, "main"}}, "feat/both-guard");
    Keychain::useStore(nullptr);
    EXPECT_EQ(run(Kind::android).phase, Phase::failed);
    EXPECT_TRUE(run(Kind::android).detail.startsWith("개발 중에 바뀐 계획서 파일을 원래대로 돌려 놨어요: plan.json"));
    EXPECT_EQ(run(Kind::ios).phase, Phase::done) << run(Kind::ios).detail.toStdString();
    EXPECT_EQ(readFile(planDir + "/plan.json"), plan);
}

namespace {

// An IPv4 address of this host other than loopback, where it has one.
std::optional<QHostAddress> hostAddress()
{
    for (const QHostAddress &address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && !address.isLoopback())
            return address;
    return std::nullopt;
}

// Unix sockets listening at paths and abstract names ("@name"), as the
// person's agents and services do, which note each connection they accept.
class UnixListeners
{
public:
    UnixListeners(const QString &log, const QStringList &sockets)
        : m_log(log)
        , m_sockets(sockets)
    {
        m_process.start(QStringLiteral("/usr/bin/python3"),
                        QStringList{QStringLiteral("-c"), QString::fromLatin1(listener), log} + sockets);
    }
    ~UnixListeners()
    {
        m_process.kill();
        m_process.waitForFinished();
        for (const QString &socket : m_sockets)
            if (!socket.startsWith(u'@'))
                QFile::remove(socket);
    }

    bool ready()
    {
        return QTest::qWaitFor([this] { return m_process.canReadLine() || m_process.state() == QProcess::NotRunning; },
                               20000)
            && m_process.readLine() == "ready\n";
    }

    bool reachable(const QString &socket)
    {
        QProcess client;
        client.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), connectCommand(socket)});
        return client.waitForFinished(20000) && client.exitCode() == 0;
    }

    // The sockets that accepted a connection, once per connection, in order.
    QStringList accepted() const
    {
        return QString::fromUtf8(readFile(m_log)).split(u'\n', Qt::SkipEmptyParts);
    }

    // A shell command that connects to `socket` and fails when it cannot.
    static QString connectCommand(const QString &socket)
    {
        return QStringLiteral("python3 -c 'import socket, sys; n = sys.argv[1]; s = socket.socket(socket.AF_UNIX); "
                              "s.connect(\"\\0\" + n[1:] if n[0] == \"@\" else n)' '")
            + socket + QStringLiteral("' 2>/dev/null");
    }

private:
    static constexpr const char *listener = R"(import select, socket, sys
log = sys.argv[1]
listening = {}
for name in sys.argv[2:]:
    s = socket.socket(socket.AF_UNIX)
    s.bind("\0" + name[1:] if name[0] == "@" else name)
    s.listen()
    listening[s] = name
print("ready", flush=True)
while True:
    for s in select.select(list(listening), [], [])[0]:
        c = s.accept()[0]
        c.close()
        with open(log, "a") as f:
            f.write(listening[s] + "\n")
)";

    QString m_log;
    QStringList m_sockets;
    QProcess m_process;
};

} // namespace

// A development run confined as the tool (2.1.337) runs it, in the
// set-up of a person whose ~/.claude and ~/.gradle are links (a dotfile
// manager's), whose GRADLE_USER_HOME lies elsewhere through a link, whose
// repository is reached through a linked folder and whose session has a
// bus at $XDG_RUNTIME_DIR/bus. The build (the stand-in's script) may write
// its worktree, its own /tmp and Gradle caches, run git status and diff,
// and reach a server on 127.0.0.1; everything it tries beyond is refused
// and nothing it planted stands afterwards: hooks and an "env" in the
// tool's settings, a Gradle init script, a rewritten .git pointer and
// commondir, a moved branch, deleted objects, a commit, a remount of "/"
// (which root could do while it kept its capabilities), the session bus,
// and writes into the plan folder, the checkout and the home folder.
TEST(ConfinedDevelopment, TheBuildWritesItsOwnPlacesOnlyAndLeavesNothingBehind)
{
    if (!Spawn::confinementWorks())
        GTEST_SKIP() << "bwrap cannot make the namespaces and mounts a confined run needs on this system";
    QTemporaryDir tmp;
    const QString root = QDir(tmp.path()).canonicalPath();
    const QString home = QDir::homePath();
    const QByteArray claudeSettings = R"({"env":{"DISABLE_AUTOUPDATER":"1"}})";
    writeFile(root + "/dotfiles/claude/settings.json", claudeSettings);
    writeFile(root + "/dotfiles/gradle/caches/modules-2/files-2.1/lib.jar", "jar");
    writeFile(root + "/elsewhere/gradle/caches/modules-2/files-2.1/lib.jar", "jar");
    writeFile(root + "/elsewhere/gradle/gradle.properties", "systemProp.https.proxyHost=proxy.example\n");
    writeFile(root + "/elsewhere/gradle/init.d/mirror.gradle", "// mirror\n");
    // A distribution the person's wrapper unpacked, and one it left half
    // unpacked (no marker), which the build's wrapper must fetch itself.
    const QString dist = root + "/elsewhere/gradle/wrapper/dists/gradle-8.0-bin/h1";
    writeFile(dist + "/gradle-8.0/bin/gradle", "#!/bin/sh\necho gradle 8.0\n");
    QFile::setPermissions(dist + "/gradle-8.0/bin/gradle", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    writeFile(dist + "/gradle-8.0-bin.zip.ok", "");
    writeFile(root + "/elsewhere/gradle/wrapper/dists/gradle-8.1-bin/h2/gradle-8.1/bin/gradle", "half");
    QDir().mkpath(root + "/target");
    ASSERT_TRUE(QFile::link(root + "/dotfiles/claude", home + "/.claude"));
    ASSERT_TRUE(QFile::link(root + "/dotfiles/gradle", home + "/.gradle"));
    ASSERT_TRUE(QFile::link(root + "/elsewhere", root + "/elsewhere-link"));
    const QString personalGradle = root + "/elsewhere-link/gradle";
    qputenv("GRADLE_USER_HOME", personalGradle.toUtf8());
    const QString runtime = root + "/run";
    QDir().mkpath(runtime);
    qputenv("XDG_RUNTIME_DIR", runtime.toUtf8());
    qputenv("JAVA_TOOL_OPTIONS", "-Dhttps.proxyHost=proxy.example");
    QProcess bus;
    bus.start("/usr/bin/dbus-daemon", {"--session", "--nofork", "--address=unix:path=" + runtime + "/bus"});
    ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(runtime + "/bus"); }, 60000));
    const QStringList busCall{"--bus=unix:path=" + runtime + "/bus", "--print-reply", "--dest=org.freedesktop.DBus",
                              "/", "org.freedesktop.DBus.ListNames"};
    // Reached from outside, so that the build's failure to reach it counts.
    QProcess call;
    call.start("/usr/bin/dbus-send", busCall);
    ASSERT_TRUE(call.waitForFinished());
    ASSERT_EQ(call.exitCode(), 0);
    FakeClaude fake;

    const QString planDir = root + "/plans/Harbor";
    QDir().mkpath(planDir + "/history");
    writeFile(planDir + "/plan.json", "{\"meta\":{\"feature\":\"Harbor\"}}");
    const QString repo = makeRepo(root + "/repos/app");
    ASSERT_TRUE(QFile::link(root + "/repos", root + "/repos-link"));
    const QString main = sh(repo, {"rev-parse", "main"});
    const QStringList personal{"for-each-ref", "refs/heads/main", "refs/heads/develop"};
    const QString refs = sh(repo, personal);
    const QString gitDir = repo + "/.git/worktrees/feat-boxed";
    // The person's services: a server on the host's loopback, unix sockets
    // under the home and under /run (where this user may make one) and an
    // abstract one, each reached from outside first, so that the build's
    // failure to reach them counts. A download from an address of the
    // host's other than loopback still works, as any download does.
    HttpServer loopback;
    loopback.serve("/ping", HttpServer::Response::text(200, "mine"));
    const std::optional<QHostAddress> outer = hostAddress();
    std::optional<HttpServer> server;
    if (outer) {
        server.emplace(*outer);
        server->serve("/ping", HttpServer::Response::text(200, "pong"));
    }
    const QString tag = QString::number(::getpid());
    QStringList sockets{home + "/.qs-agent-" + tag + ".sock", "@quarrystone-test-" + tag};
    QTemporaryDir underRun(QStringLiteral("/run/quarrystone-test-XXXXXX"));
    if (underRun.isValid())
        sockets.append(underRun.path() + "/service.sock");
    UnixListeners listeners(root + "/accepted", sockets);
    ASSERT_TRUE(listeners.ready());
    for (const QString &socket : sockets)
        ASSERT_TRUE(listeners.reachable(socket)) << socket.toStdString();
    QStringList attemptsList{
        "echo in > inside.txt; mkdir tried",
        "mkdir buildSrc && printf '*\\n' > buildSrc/.gitignore && echo 'println 1' > buildSrc/build.gradle",
        "mkdir sub && echo 'gitdir: " + root + "/planted/.git' > sub/.git",
        "t=$(mktemp /tmp/jvm.XXXXXX) && echo temp > \"$t\" && cat \"$t\" > tried/jvm-temp.txt && echo \"$t\" > tried/jvm-temp-path",
        "mkdir -p \"$GRADLE_USER_HOME/caches/modules-2\" && echo own > \"$GRADLE_USER_HOME/caches/modules-2/own.jar\"; "
        "echo $? > tried/gradle-cache",
        "cat \"$GRADLE_USER_HOME/gradle.properties\" \"$GRADLE_USER_HOME/init.d/mirror.gradle\" > tried/gradle-properties; "
        "echo \"$GRADLE_RO_DEP_CACHE\" > tried/ro-cache",
        "rm -r \"$GRADLE_USER_HOME/init.d\" && ln -s '" + root + "/target' \"$GRADLE_USER_HOME/init.d\"",
        "d=\"$GRADLE_USER_HOME/wrapper/dists/gradle-8.0-bin/h1\"; test -f \"$d/gradle-8.0-bin.zip.ok\" && "
        "touch \"$d/gradle-8.0-bin.zip.lck\" && \"$d/gradle-8.0/bin/gradle\" > tried/distribution; "
        "echo x > \"$d/gradle-8.0/bin/gradle\"; echo $? > tried/distribution-write; "
        "ls \"$GRADLE_USER_HOME/wrapper/dists\" > tried/distributions",
        "echo key > \"$ANDROID_USER_HOME/adbkey\"; echo $? > tried/android-home; echo \"$JAVA_TOOL_OPTIONS\" > tried/java-options",
        "echo '{\"hooks\":{\"SessionStart\":[]},\"env\":{\"ANTHROPIC_BASE_URL\":\"http://x\"}}' > ~/.claude/settings.json; "
        "echo $? > tried/claude-settings",
        "echo planted > ~/.claude/CLAUDE.md; echo $? > tried/claude-md",
        "mkdir -p ~/.gradle/init.d; echo 'println 1' > ~/.gradle/init.d/planted.gradle; echo $? > tried/gradle-init",
        "echo own > \"$GRADLE_RO_DEP_CACHE/modules-2/own.jar\"; echo $? > tried/ro-cache-write",
        "echo 'gitdir: /elsewhere' > .git; echo $? > tried/git-pointer",
        "echo /elsewhere > '" + gitDir + "/commondir'; echo $? > tried/commondir",
        "git status --porcelain > /dev/null; echo $? > tried/git-status",
        "git diff --stat > /dev/null; echo $? > tried/git-diff",
        "git add inside.txt && git -c user.name=t -c user.email=t@t commit -qm in; echo $? > tried/commit",
        "echo 0000000000000000000000000000000000000000 > '" + repo + "/.git/refs/heads/main'; echo $? > tried/ref-write",
        "find '" + repo + "/.git/objects' -type f -delete; echo $? > tried/objects-delete",
        "mount -o remount,rw,bind / ; echo x > '" + repo + "/remounted'; echo $? > tried/remount",
        "/usr/bin/dbus-send " + busCall.join(' ') + "; echo $? > tried/bus",
        "echo x > '" + planDir + "/outside.txt'; echo $? > tried/plan-write",
        "echo x > '" + repo + "/outside.txt'; echo $? > tried/checkout-write",
        "echo x > \"$HOME/outside.txt\"; echo $? > tried/home-write",
        "exec 3<>/dev/tcp/127.0.0.1/" + QString::number(loopback.url("/").port())
            + " && printf 'GET /ping HTTP/1.0\\r\\n\\r\\n' >&3 && cat <&3; echo $? > tried/loopback",
        outer ? "exec 4<>/dev/tcp/" + outer->toString() + "/" + QString::number(server->url("/").port())
                + " && printf 'GET /ping HTTP/1.0\\r\\n\\r\\n' >&4 && cat <&4 > tried/reply.txt"
              : QString(),
        "python3 -c 'import socket; a, b = socket.socketpair(); a.send(b\"x\"); exit(b.recv(1) != b\"x\")'; "
        "echo $? > tried/socketpair",
        "python3 -c 'import http.server, threading, urllib.request\n"
        "s = http.server.HTTPServer((\"127.0.0.1\", 0), http.server.SimpleHTTPRequestHandler)\n"
        "threading.Thread(target=s.handle_request).start()\n"
        "urllib.request.urlopen(\"http://127.0.0.1:%d/inside.txt\" % s.server_port).read()' > /dev/null 2>&1; "
        "echo $? > tried/own-loopback"};
    for (const QString &socket : sockets)
        attemptsList << UnixListeners::connectCommand(socket) + "; echo $? >> tried/unix-sockets";
    const QString attempts = attemptsList.join("\n");
    // The key the tool is given stays with the tool: its Bash commands, the
    // build among them, run without it.
    const QString keyCheck = "echo \"${ANTHROPIC_API_KEY-none}\" >";
    fake.setScenario(
        {{"steps", QJsonArray{QJsonObject{{"run", QJsonArray{"bash", "-c", attempts + "\n" + keyCheck + " tried/tool-key"}}},
                              QJsonObject{{"bash", keyCheck + " tried/build-key; env > tried/build-env"}},
                              FakeClaude::resultEvent("다 했어요")}}});
    auto store = std::make_shared<MemorySecretStore>();
    Keychain::useStore(store);
    store->items.insert(Keychain::account(Keychain::Item::anthropicKey), "sk-ant-test-key");
    AppSettings settings;
    settings.claudePath = FakeClaude::path();
    settings.claudeAuth = AppSettings::ClaudeAuth::apiKey;
    settings.androidRepo = root + "/repos-link/app";
    Developer dev;
    dev.start({Developer::PlatformKind::android}, {{Developer::PlatformKind::android, "main"}}, "feat/boxed", planDir,
              settings);
    ASSERT_TRUE(QTest::qWaitFor([&dev] { return !dev.isRunning(); }, 60000));
    EXPECT_EQ(readFile(root + "/repos/app-worktrees/feat-boxed/tried/tool-key"), "sk-ant-test-key\n");
    EXPECT_EQ(readFile(root + "/repos/app-worktrees/feat-boxed/tried/build-key"), "none\n");
    EXPECT_FALSE(readFile(root + "/repos/app-worktrees/feat-boxed/tried/build-env").contains("sk-ant-test-key"));
    EXPECT_TRUE(readFile(root + "/repos/app-worktrees/feat-boxed/tried/build-env").contains("GRADLE_USER_HOME="));
    Keychain::useStore(nullptr);
    settings.claudeAuth = AppSettings::ClaudeAuth::login;
    bus.kill();
    bus.waitForFinished();
    qunsetenv("XDG_RUNTIME_DIR");
    qunsetenv("GRADLE_USER_HOME");
    qunsetenv("JAVA_TOOL_OPTIONS");
    const Developer::Run run = dev.runs().value(Developer::PlatformKind::android);
    const QString tree = root + "/repos/app-worktrees/feat-boxed";
    EXPECT_EQ(run.summary, "다 했어요") << run.detail.toStdString();
    QStringList written{"inside.txt"};
    for (const QString &tried : TestRepo::tree(tree + "/tried"))
        written.append("tried/" + tried);
    // What git does not list is named too: a folder that ignores itself,
    // as a whole, and a .git planted for a later git to follow.
    written << "buildSrc/" << "sub/" << "sub/.git";
    EXPECT_EQ(run.changed, written);
    EXPECT_EQ(readFile(planDir + "/history/develop-android.md"),
              "# Android 개발 (feat/boxed)\n\n다 했어요\n\n바뀐 파일 " + QByteArray::number(written.size()) + "개\n- "
                  + written.join("\n- ").toUtf8());
    EXPECT_EQ(readFile(tree + "/inside.txt"), "in\n");

    // Its own places work: a temporary file straight in /tmp, as Java
    // makes it whatever TMPDIR says, that no one else sees, Gradle and
    // Android homes of its own, with the person's settings, Java options and
    // dependency cache to read.
    EXPECT_EQ(readFile(tree + "/tried/jvm-temp.txt"), "temp\n");
    EXPECT_FALSE(QFileInfo::exists(QString::fromUtf8(readFile(tree + "/tried/jvm-temp-path").trimmed())));
    EXPECT_EQ(readFile(tree + "/tried/gradle-cache"), "0\n");
    EXPECT_EQ(readFile(tree + "/tried/gradle-properties"), "systemProp.https.proxyHost=proxy.example\n// mirror\n");
    EXPECT_EQ(readFile(tree + "/tried/ro-cache"), root + "/elsewhere/gradle/caches\n");
    EXPECT_EQ(readFile(tree + "/tried/android-home"), "0\n");
    EXPECT_EQ(readFile(tree + "/tried/java-options"), "-Dhttps.proxyHost=proxy.example\n");
    // The person's unpacked distribution runs from their Gradle home, read
    // only, with the wrapper's lock and marker in the build's own.
    EXPECT_EQ(readFile(tree + "/tried/distribution"), "gradle 8.0\n");
    EXPECT_NE(readFile(tree + "/tried/distribution-write"), "0\n");
    EXPECT_EQ(readFile(tree + "/tried/distributions"), "gradle-8.0-bin\n");
    EXPECT_EQ(readFile(dist + "/gradle-8.0/bin/gradle"), "#!/bin/sh\necho gradle 8.0\n");
    EXPECT_EQ(readFile(tree + "/tried/git-status"), "0\n");
    EXPECT_EQ(readFile(tree + "/tried/git-diff"), "0\n");
    if (outer) {
        EXPECT_TRUE(readFile(tree + "/tried/reply.txt").endsWith("pong"));
        EXPECT_EQ(server->requestsTo("/ping").size(), 1);
    }
    EXPECT_EQ(readFile(tree + "/tried/socketpair"), "0\n");
    EXPECT_EQ(readFile(tree + "/tried/own-loopback"), "0\n");
    // Nothing of the person's answered.
    EXPECT_NE(readFile(tree + "/tried/loopback"), "0\n");
    EXPECT_EQ(loopback.requestsTo("/ping").size(), 0);
    EXPECT_EQ(readFile(tree + "/tried/unix-sockets"), QByteArray("1\n").repeated(sockets.size()));
    EXPECT_EQ(listeners.accepted(), sockets);

    for (const char *refused : {"claude-settings", "claude-md", "gradle-init", "ro-cache-write", "git-pointer",
                                "commondir", "ref-write", "objects-delete", "remount", "plan-write",
                                "checkout-write", "home-write"})
        EXPECT_EQ(readFile(tree + "/tried/" + refused), "1\n") << refused;
    EXPECT_NE(readFile(tree + "/tried/bus"), "0\n");
    EXPECT_NE(readFile(tree + "/tried/commit"), "0\n");
    EXPECT_EQ(readFile(home + "/.claude/settings.json"), claudeSettings);
    EXPECT_EQ(TestRepo::tree(root + "/dotfiles"),
              (QStringList{"claude", "claude/settings.json", "gradle", "gradle/caches", "gradle/caches/modules-2",
                           "gradle/caches/modules-2/files-2.1", "gradle/caches/modules-2/files-2.1/lib.jar"}));
    EXPECT_EQ(TestRepo::tree(root + "/elsewhere"),
              (QStringList{"gradle", "gradle/caches", "gradle/caches/modules-2", "gradle/caches/modules-2/files-2.1",
                           "gradle/caches/modules-2/files-2.1/lib.jar", "gradle/gradle.properties", "gradle/init.d",
                           "gradle/init.d/mirror.gradle", "gradle/wrapper", "gradle/wrapper/dists",
                           "gradle/wrapper/dists/gradle-8.0-bin", "gradle/wrapper/dists/gradle-8.0-bin/h1",
                           "gradle/wrapper/dists/gradle-8.0-bin/h1/gradle-8.0",
                           "gradle/wrapper/dists/gradle-8.0-bin/h1/gradle-8.0-bin.zip.ok",
                           "gradle/wrapper/dists/gradle-8.0-bin/h1/gradle-8.0/bin",
                           "gradle/wrapper/dists/gradle-8.0-bin/h1/gradle-8.0/bin/gradle",
                           "gradle/wrapper/dists/gradle-8.1-bin", "gradle/wrapper/dists/gradle-8.1-bin/h2",
                           "gradle/wrapper/dists/gradle-8.1-bin/h2/gradle-8.1",
                           "gradle/wrapper/dists/gradle-8.1-bin/h2/gradle-8.1/bin",
                           "gradle/wrapper/dists/gradle-8.1-bin/h2/gradle-8.1/bin/gradle"}));
    EXPECT_EQ(readFile(tree + "/.git"), ("gitdir: " + gitDir + "\n").toUtf8());
    EXPECT_EQ(readFile(gitDir + "/commondir"), "../..\n");
    EXPECT_EQ(sh(repo, {"rev-parse", "main"}), main);
    EXPECT_EQ(sh(repo, personal), refs);
    EXPECT_EQ(sh(repo, {"log", "-1", "--format=%H", "feat/boxed"}), main);
    sh(repo, {"fsck", "--no-dangling"});
    EXPECT_EQ(sh(repo, {"status", "--porcelain"}), "");
    for (const QString &outside : {planDir + "/outside.txt", repo + "/outside.txt", repo + "/remounted",
                                   home + "/outside.txt"})
        EXPECT_FALSE(QFileInfo::exists(outside)) << outside.toStdString();
    // The next run of the worktree copies the person's Gradle settings into
    // its own home again, not through the link the build left there.
    // A submodule's .git pointer that is there as the run starts, as the
    // one it planted, stays as it is: the run cannot point it elsewhere.
    qputenv("GRADLE_USER_HOME", personalGradle.toUtf8());
    writeFile(tree + "/vendor/lib/.git", "gitdir: ../../.git/modules/lib\n");
    const QString repoint = "echo 'gitdir: " + root + "/planted/.git' > ";
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"run", QJsonArray{"sh", "-c", repoint + "vendor/lib/.git; echo $? > tried/submodule; "
                                                                                        + repoint + "sub/.git; echo $? > tried/planted"}}},
                                           FakeClaude::resultEvent("또 했어요")}}});
    dev.start({Developer::PlatformKind::android}, {{Developer::PlatformKind::android, "main"}}, "feat/boxed", planDir,
              settings);
    ASSERT_TRUE(QTest::qWaitFor([&dev] { return !dev.isRunning(); }, 60000));
    qunsetenv("GRADLE_USER_HOME");
    EXPECT_EQ(dev.runs().value(Developer::PlatformKind::android).summary, "또 했어요");
    EXPECT_NE(readFile(tree + "/tried/submodule"), "0\n");
    EXPECT_NE(readFile(tree + "/tried/planted"), "0\n");
    EXPECT_EQ(readFile(tree + "/vendor/lib/.git"), "gitdir: ../../.git/modules/lib\n");
    EXPECT_EQ(TestRepo::tree(root + "/target"), QStringList());
    QFile::remove(home + "/.claude");
    QFile::remove(home + "/.gradle");

    // Where the run's private folder cannot be made (in a TMPDIR no one may
    // write, existing, so that it is not ignored), bwrap works all the
    // same: the run says what failed and runs nothing unconfined.
    const QByteArray savedTemp = qgetenv("TMPDIR");
    qputenv("TMPDIR", "/proc");
    dev.start({Developer::PlatformKind::android}, {{Developer::PlatformKind::android, "main"}}, "feat/notemp", planDir,
              settings);
    ASSERT_TRUE(QTest::qWaitFor([&dev] { return !dev.isRunning(); }, 60000));
    qputenv("TMPDIR", savedTemp);
    const Developer::Run untemp = dev.runs().value(Developer::PlatformKind::android);
    EXPECT_EQ(untemp.phase, Developer::Run::Phase::failed);
    EXPECT_EQ(untemp.detail, "격리된 빌드가 쓸 전용 폴더를 만들지 못했어요: /proc");
    EXPECT_FALSE(QFileInfo::exists(root + "/repos/app-worktrees/feat-notemp/tried"));

    // With TMPDIR in the shared /tmp, as most people have it, the private
    // /tmp covers the run's own files there: those Claude must read stay
    // within its reach.
    QTemporaryDir shared(QStringLiteral("/tmp/quarrystone-confined-XXXXXX"));
    ASSERT_TRUE(shared.isValid());
    qputenv("TMPDIR", shared.path().toUtf8());
    fake.setScenario({{"steps", QJsonArray{FakeClaude::resultEvent("공유 tmp 에서도 했어요")}}});
    dev.start({Developer::PlatformKind::android}, {{Developer::PlatformKind::android, "main"}}, "feat/sharedtmp",
              planDir, settings);
    ASSERT_TRUE(QTest::qWaitFor([&dev] { return !dev.isRunning(); }, 60000));
    qputenv("TMPDIR", savedTemp);
    const Developer::Run sharedRun = dev.runs().value(Developer::PlatformKind::android);
    EXPECT_EQ(sharedRun.summary, "공유 tmp 에서도 했어요") << sharedRun.detail.toStdString();

    // A repository and a plan folder reached through a link in the shared
    // /tmp, which the run's private /tmp covers: Claude runs in the real
    // worktree.
    // A removed worktree's build homes go with it at the next run.
    const QString builds = AppPaths::support() + "/builds";
    auto homesOf = [&builds](const QString &worktree) {
        QStringList owned;
        for (const QString &name : QDir(builds).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            if (readFile(builds + "/" + name + "/worktree") == worktree.toUtf8())
                owned.append(name);
        return owned;
    };
    ASSERT_EQ(homesOf(tree).size(), 1);
    sh(repo, {"worktree", "remove", "--force", tree});
    ASSERT_FALSE(QFileInfo::exists(tree));
    QTemporaryDir links(QStringLiteral("/tmp/quarrystone-link-XXXXXX"));
    ASSERT_TRUE(links.isValid());
    ASSERT_TRUE(QFile::link(root + "/repos", links.path() + "/repos"));
    ASSERT_TRUE(QFile::link(root + "/plans", links.path() + "/plans"));
    settings.androidRepo = links.path() + "/repos/app";
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"run", QJsonArray{"sh", "-c", "pwd > linked.txt"}}},
                                           FakeClaude::resultEvent("링크 너머에서도 했어요")}}});
    dev.start({Developer::PlatformKind::android}, {{Developer::PlatformKind::android, "main"}}, "feat/linked",
              links.path() + "/plans/Harbor", settings);
    ASSERT_TRUE(QTest::qWaitFor([&dev] { return !dev.isRunning(); }, 60000));
    const Developer::Run linked = dev.runs().value(Developer::PlatformKind::android);
    EXPECT_EQ(linked.summary, "링크 너머에서도 했어요") << linked.detail.toStdString();
    const QString linkedTree = root + "/repos/app-worktrees/feat-linked";
    EXPECT_EQ(readFile(linkedTree + "/linked.txt"), (linkedTree + "\n").toUtf8());
    EXPECT_EQ(homesOf(tree), QStringList());
    EXPECT_EQ(homesOf(linkedTree).size(), 1);
}

// A person logged in to the tool develops confined: the tool gets their
// access token (the tool (2.1.337) reads CLAUDE_CODE_OAUTH_TOKEN and keeps
// it from its Bash commands itself), the build finds their login file
// empty and no token; a login that would expire during the run stops it
// before Claude starts, saying why.
TEST(ConfinedDevelopment, ALoginStaysWithTheTool)
{
    if (!Spawn::confinementWorks() || !OwnNetwork::unavailable().isEmpty())
        GTEST_SKIP() << "runs get no confinement with a network of their own here";
    QTemporaryDir tmp;
    const QString root = QDir(tmp.path()).canonicalPath();
    const QString home = QDir::homePath();
    const QString file = home + "/.claude/.credentials.json";
    auto login = [](const QDateTime &expires) {
        return QJsonDocument(QJsonObject{{"claudeAiOauth", QJsonObject{{"accessToken", "sk-ant-oat01-access"},
                                                                       {"refreshToken", "sk-ant-ort01-renews"},
                                                                       {"expiresAt", expires.toMSecsSinceEpoch()}}}})
            .toJson();
    };
    const QString repo = makeRepo(root + "/repos/app");
    const QString planDir = root + "/plans/Harbor";
    QDir().mkpath(planDir + "/history");
    writeFile(planDir + "/plan.json", "{\"meta\":{\"feature\":\"Harbor\"}}");
    FakeClaude fake;
    AppSettings settings;
    settings.claudePath = FakeClaude::path();
    settings.androidRepo = repo;
    Developer dev;
    const QString check = "echo \"${CLAUDE_CODE_OAUTH_TOKEN-none}\" > ";
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"run", QJsonArray{"sh", "-c", check + "tool.txt"}}},
                                           QJsonObject{{"bash", check + "build.txt; cat ~/.claude/.credentials.json "
                                                                        "> file.txt; echo x > ~/.claude/.credentials.json; "
                                                                        "echo $? > write.txt"}},
                                           FakeClaude::resultEvent("했어요")}}});
    const struct {
        QString branch;
        QDateTime expires;
        QString detail;
    } rows[] = {
        {"feat/valid", QDateTime::currentDateTimeUtc().addSecs(3 * 3600), "바뀐 파일 4개"},
        {"feat/expiring", QDateTime::currentDateTimeUtc().addSecs(60),
         "Claude 로그인이 곧 만료돼요. 개발 실행은 격리되어 있어서 Claude 가 그 안에서 로그인을 새로 고칠 수 없어요. "
         "계획서 다듬기를 한 번 하거나 터미널에서 `claude` 를 한 번 실행해 로그인을 새로 고친 뒤 다시 시작해 주세요."},
    };
    for (const auto &row : rows) {
        writeFile(file, login(row.expires));
        dev.start({Developer::PlatformKind::android}, {{Developer::PlatformKind::android, "main"}}, row.branch, planDir,
                  settings);
        ASSERT_TRUE(QTest::qWaitFor([&dev] { return !dev.isRunning(); }, 60000));
        EXPECT_EQ(dev.runs().value(Developer::PlatformKind::android).detail, row.detail) << row.branch.toStdString();
        EXPECT_EQ(readFile(file), login(row.expires));
    }
    const QString worktree = root + "/repos/app-worktrees/feat-valid";
    EXPECT_EQ(readFile(worktree + "/tool.txt"), "sk-ant-oat01-access\n");
    EXPECT_EQ(readFile(worktree + "/build.txt"), "none\n");
    EXPECT_EQ(readFile(worktree + "/file.txt"), "");
    EXPECT_NE(readFile(worktree + "/write.txt"), "0\n");
    EXPECT_FALSE(QFileInfo::exists(root + "/repos/app-worktrees/feat-expiring/tool.txt"));
    QFile::remove(file);
}

// Runs `program` in `dir` with `env` and gives its exit code, -1 when it
// did not end within the ceiling.
int runIn(const QString &dir, const QString &program, const QStringList &args,
          const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.setStandardOutputFile(QProcess::nullDevice());
    process.start(program, args);
    if (!process.waitForFinished(240000)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// A real Gradle wrapper build (Debian's Gradle on the system's Java, made a
// distribution of its own) runs in a confined development run, offline,
// with the distribution the person's wrapper unpacked before, with Gradle's
// daemon (which its client reaches over the run's own loopback) and
// without: nothing is downloaded, and the person's distribution stays as
// it was.
TEST(ConfinedDevelopment, ARealGradleWrapperBuildRunsOfflineWithThePersonsDistribution)
{
    if (!Spawn::confinementWorks() || !OwnNetwork::unavailable().isEmpty())
        GTEST_SKIP() << "runs get no confinement with a network of their own here";
    if (!QFileInfo::exists("/usr/share/gradle/lib") || !QFileInfo::exists("/usr/bin/java"))
        GTEST_SKIP() << "Debian's gradle package is not installed";
    QTemporaryDir tmp;
    const QString root = QDir(tmp.path()).canonicalPath();
    // The distribution, served from a file address that is gone once the
    // person's wrapper has unpacked it: the build is offline.
    const QString zip = root + "/served/gradle-4.4.1-bin.zip";
    QDir().mkpath(root + "/served");
    ASSERT_EQ(runIn(root, "/usr/bin/python3",
                    {"-c", "import os, sys, zipfile\n"
                           "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                           "    z.write('/usr/share/gradle', 'gradle-4.4.1')\n"
                           "    for top in ('bin', 'lib'):\n"
                           "        for folder, _, files in os.walk('/usr/share/gradle/' + top, followlinks=True):\n"
                           "            z.write(folder, 'gradle-4.4.1' + folder[len('/usr/share/gradle'):])\n"
                           "            for f in files:\n"
                           "                path = os.path.join(folder, f)\n"
                           "                z.write(path, 'gradle-4.4.1' + path[len('/usr/share/gradle'):])\n",
                     zip}),
              0);
    const QString personal = root + "/person/gradle";
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("GRADLE_USER_HOME", personal);
    const QString repo = makeRepo(root + "/repos/app");
    writeFile(repo + "/settings.gradle", "rootProject.name = 'probe'\n");
    writeFile(repo + "/build.gradle",
              "task hello { doLast { new File(projectDir, \"built-\" + System.getenv(\"RUN\") + \".txt\").text = "
              "\"built by \" + gradle.gradleVersion } }\n");
    ASSERT_EQ(runIn(repo, "/usr/bin/gradle", {"-q", "--offline", "--no-daemon", "wrapper", "--gradle-distribution-url",
                                              "file://" + zip},
                    env),
              0);
    writeFile(repo + "/.gitignore", "*.properties\n.gradle/\nbuilt-*.txt\n");
    sh(repo, {"add", "-A"});
    sh(repo, {"add", "-f", "gradle/wrapper/gradle-wrapper.properties"});
    sh(repo, {"commit", "-q", "-m", "wrapper"});
    // The person's own first build unpacks the distribution.
    env.insert("RUN", "person");
    ASSERT_EQ(runIn(repo, repo + "/gradlew", {"-q", "--offline", "--no-daemon", "hello"}, env), 0);
    ASSERT_TRUE(QFile::remove(zip));
    const QString dists = personal + "/wrapper/dists";
    const QStringList distribution = tree(dists);

    qputenv("GRADLE_USER_HOME", personal.toUtf8());
    FakeClaude fake;
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"bash", "RUN=daemon ./gradlew -q --offline hello > gradle-daemon.log 2>&1; "
                                                                "echo $? > daemon.txt; ./gradlew -q --stop; "
                                                                "RUN=plain ./gradlew -q --offline --no-daemon hello "
                                                                "> gradle-plain.log 2>&1; echo $? > plain.txt"}},
                                           FakeClaude::resultEvent("빌드했어요")}}});
    AppSettings settings;
    settings.claudePath = FakeClaude::path();
    settings.androidRepo = repo;
    const QString planDir = root + "/plans/Harbor";
    QDir().mkpath(planDir + "/history");
    writeFile(planDir + "/plan.json", "{\"meta\":{\"feature\":\"Harbor\"}}");
    Developer dev;
    dev.start({Developer::PlatformKind::android}, {{Developer::PlatformKind::android, "main"}}, "feat/gradle", planDir,
              settings);
    ASSERT_TRUE(QTest::qWaitFor([&dev] { return !dev.isRunning(); }, 280000));
    qunsetenv("GRADLE_USER_HOME");
    const Developer::Run run = dev.runs().value(Developer::PlatformKind::android);
    const QString worktree = root + "/repos/app-worktrees/feat-gradle";
    EXPECT_EQ(run.summary, "빌드했어요") << run.detail.toStdString();
    EXPECT_EQ(readFile(worktree + "/daemon.txt"), "0\n") << readFile(worktree + "/gradle-daemon.log").toStdString();
    EXPECT_EQ(readFile(worktree + "/built-daemon.txt"), "built by 4.4.1");
    EXPECT_EQ(readFile(worktree + "/plain.txt"), "0\n") << readFile(worktree + "/gradle-plain.log").toStdString();
    EXPECT_EQ(readFile(worktree + "/built-plain.txt"), "built by 4.4.1");
    EXPECT_EQ(tree(dists), distribution);
    // What the build made where git does not look is named.
    EXPECT_TRUE(run.changed.contains(".gradle/")) << run.changed.join(' ').toStdString();
    EXPECT_TRUE(run.changed.contains("built-plain.txt"));
}

// The application of the test below: a development run whose `git
// worktree add` runs a hook that waits, until the test kills it.
TEST(KilledDevelopment, ApplicationForTheHookTest)
{
    const QString repo = qEnvironmentVariable("QUARRYSTONE_TEST_DEVELOP_IN");
    if (repo.isEmpty())
        GTEST_SKIP() << "run by KilledDevelopment.AWaitingGitHookEndsWithTheApplicationAlone";
    AppSettings settings;
    settings.claudePath = FakeClaude::path();
    settings.androidRepo = repo;
    Developer dev;
    dev.start({Developer::PlatformKind::android}, {{Developer::PlatformKind::android, "main"}}, "feat/hook",
              qEnvironmentVariable("QUARRYSTONE_TEST_PLAN"), settings);
    QTest::qWait(60000);
}

// The application of the test below: a development run whose Claude
// changes the plan folder and then waits, until the test kills it.
TEST(KilledDevelopment, ApplicationForTheGuardTest)
{
    const QString repo = qEnvironmentVariable("QUARRYSTONE_TEST_GUARDED_IN");
    if (repo.isEmpty())
        GTEST_SKIP() << "run by KilledDevelopment.TheNextClaimPutsBackWhatTheRunOfADeadApplicationChanged";
    // The person's support folder, whose key seals the run's record.
    qputenv("QUARRYSTONE_SUPPORT", qgetenv("QUARRYSTONE_TEST_SUPPORT"));
    AppSettings settings;
    settings.claudePath = FakeClaude::path();
    settings.androidRepo = repo;
    Developer dev;
    dev.start({Developer::PlatformKind::android}, {{Developer::PlatformKind::android, "main"}}, "feat/guarded",
              qEnvironmentVariable("QUARRYSTONE_TEST_PLAN"), settings);
    QTest::qWait(60000);
}

// The application dies (SIGKILL) while its unconfined development run has
// changed the plan in place and replaced a large picture: the next claim
// of the folder (here a render from the command line) puts both back, keeps
// what the run wrote in history/, and leaves no record of the run.
TEST(KilledDevelopment, TheNextClaimPutsBackWhatTheRunOfADeadApplicationChanged)
{
    QTemporaryDir tmp;
    const QString root = QDir(tmp.path()).canonicalPath();
    const QString repo = makeRepo(root + "/repos/app");
    const QString planDir = root + "/plans/Harbor";
    QDir().mkpath(planDir + "/history");
    Plan plan;
    plan.meta.feature = "Harbor";
    writeFile(planDir + "/plan.json", QJsonDocument(plan.toJson()).toJson());
    // Written as the program writes it, so that the render below keeps it.
    CommandLine::run({"--render", planDir}, root + "/home");
    const QByteArray planBytes = readFile(planDir + "/plan.json");
    const QByteArray picture(3 << 20, 'p');
    writeFile(planDir + "/img/screen.png", picture);
    const QString changed = root + "/changed";
    FakeClaude fake;
    fake.setScenario({{"steps", QJsonArray{QJsonObject{{"writeFile", planDir + "/plan.json"}, {"content", "{}"}},
                                          QJsonObject{{"remove", planDir + "/img/screen.png"}},
                                          QJsonObject{{"writeFile", planDir + "/img/screen.png"}, {"content", "new"}},
                                          QJsonObject{{"writeFile", changed}, {"content", "yes"}},
                                          QJsonObject{{"awaitSigterm", QJsonObject()}}}}});
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Unconfined, as on a system without namespaces: the guard is the only line.
    env.insert("QUARRYSTONE_BWRAP", "/nonexistent/bwrap");
    env.insert("QUARRYSTONE_TEST_GUARDED_IN", repo);
    env.insert("QUARRYSTONE_TEST_PLAN", planDir);
    env.insert("QUARRYSTONE_TEST_SUPPORT", root + "/home/support");
    app.setProcessEnvironment(env);
    app.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=KilledDevelopment.ApplicationForTheGuardTest"});
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(QTest::qWaitFor([&] { return readFile(changed) == "yes"; }, 30000));
    CommandLine::signal(app, SIGKILL);
    ASSERT_TRUE(app.waitForFinished(10000));
    ASSERT_TRUE(fake.noneRunning());

    const CommandLine::Outcome rendered = CommandLine::run({"--render", planDir}, root + "/home");
    EXPECT_EQ(readFile(planDir + "/plan.json"), planBytes);
    EXPECT_EQ(readFile(planDir + "/img/screen.png"), picture);
    const QStringList kept = QDir(planDir + "/history").entryList({"kept-*"}, QDir::Dirs);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(readFile(planDir + "/history/" + kept.first() + "/plan.json"), "{}");
    EXPECT_EQ(readFile(planDir + "/history/" + kept.first() + "/img/screen.png"), "new");
    EXPECT_TRUE((rendered.out + rendered.err).contains("개발 중에 바뀐 계획서 파일을 원래대로 돌려 놨어요: img/screen.png, plan.json"))
        << rendered.out.toStdString() << rendered.err.toStdString();
    EXPECT_EQ(QDir(planDir).entryList({".quarrystone-guard-*"}, QDir::AllEntries | QDir::Hidden), QStringList());
}

// The application alone dies (SIGKILL) while a repository's post-checkout
// hook, started by the development run's `git worktree add`, waits and
// ignores SIGTERM and SIGHUP: 3 seconds later nothing of it runs.
TEST(KilledDevelopment, AWaitingGitHookEndsWithTheApplicationAlone)
{
    QTemporaryDir tmp;
    const QString root = QDir(tmp.path()).canonicalPath();
    const QString repo = makeRepo(root + "/repos/app");
    const QString planDir = root + "/plans/Harbor";
    QDir().mkpath(planDir + "/history");
    writeFile(planDir + "/plan.json", "{\"meta\":{\"feature\":\"Harbor\"}}");
    const QString hookFile = root + "/hook";
    writeFile(repo + "/.git/hooks/post-checkout",
              ("#!/bin/sh\ntrap '' TERM HUP\nsleep 300 &\nns=$(readlink /proc/self/ns/pid)\n"
               "printf '%s %s\\n' $$ \"$ns\" $! \"$ns\" > '" + hookFile + "'\nwait\n").toUtf8());
    QFile::setPermissions(repo + "/.git/hooks/post-checkout", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcess app;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QUARRYSTONE_TEST_DEVELOP_IN", repo);
    env.insert("QUARRYSTONE_TEST_PLAN", planDir);
    app.setProcessEnvironment(env);
    app.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=KilledDevelopment.ApplicationForTheHookTest"});
    ASSERT_TRUE(app.waitForStarted());
    QList<qint64> hook;
    ASSERT_TRUE(QTest::qWaitFor([&] { return (hook = FakeClaude::numbersHere(readFile(hookFile))).size() == 2; }, 30000));
    CommandLine::signal(app, SIGKILL);
    ASSERT_TRUE(app.waitForFinished(10000));
    ASSERT_FALSE(hook.contains(0));
    for (const qint64 pid : hook) {
        const bool ended = QTest::qWaitFor([pid] { return !QFileInfo::exists(QStringLiteral("/proc/%1").arg(pid)); }, 3000);
        EXPECT_TRUE(ended) << pid;
        if (!ended)
            ::kill(pid_t(pid), SIGKILL);
    }
}
