#include "model/folderclaim.h"

#include "core/atomicfile.h"
#include "core/madefrom.h"
#include "process/runmarks.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/generator.h"
#include "model/plan.h"
#include "model/reviser.h"
#include "settings/appsettings.h"
#include "support/chatplans.h"
#include "support/commandline.h"
#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using ChatPlans::cleanPlan;
using ChatPlans::editedPlan;
using TestFiles::json;
using TestFiles::readFile;
using TestFiles::writeFile;

const QString remade = QStringLiteral("plan.md · index.html 이 plan.json 과 맞지 않아 plan.json 으로 다시 만들었어요");

class FolderClaimTest : public testing::Test
{
protected:
    void SetUp() override { dir = folder.path(); }

    // A folder written by the folder writer from `bytes`.
    void render(const QByteArray &bytes)
    {
        Plan plan = Plan::decode(bytes);
        Exporter::writeAll(plan, dir, Conventions::load({}).first);
    }

    QString titleOf(const QByteArray &bytes) { return Plan::decode(bytes).meta.title; }

    QTemporaryDir folder;
    QString dir;
    AppSettings settings;
};

} // namespace

// An operation killed between plan.json and its derived files leaves them
// out of step; the next claim makes them again from plan.json, once, saying
// so in one line. A folder in step, and an older folder whose files carry
// no mark, are left as they are.
TEST_F(FolderClaimTest, DerivedFilesNotMadeFromThePlanAreMadeAgainOnce)
{
    struct Row {
        const char *what;
        std::function<void()> leave;
    };
    const QList<Row> rows{
        // An undo, import or redraft killed once plan.json was in place.
        {"plan.json replaced", [&] { render(cleanPlan); writeFile(dir + "/plan.json", editedPlan); }},
        // A killed undo's plan.json written, then its plan.md.
        {"plan.md replaced too", [&] {
             render(cleanPlan);
             const QByteArray page = readFile(dir + "/index.html");
             render(editedPlan);
             writeFile(dir + "/index.html", page);
             writeFile(MadeFrom::path(dir), readFile(MadeFrom::path(dir)).replace('a', 'b').replace('0', '1'));
         }},
        // A generation or import into a new folder killed after plan.json.
        {"a new folder", [&] {
             writeFile(MadeFrom::path(dir), "");
             writeFile(dir + "/plan.json", editedPlan);
         }},
    };
    for (const Row &row : rows) {
        QDir(dir).removeRecursively();
        QDir().mkpath(dir);
        row.leave();
        FolderClaim claim = FolderClaim::take(dir, settings);
        EXPECT_EQ(claim.notices(), QStringList{remade}) << row.what;
        EXPECT_EQ(titleOf(readFile(dir + "/plan.json")), titleOf(editedPlan)) << row.what;
        EXPECT_TRUE(QString::fromUtf8(readFile(dir + "/plan.md")).contains(titleOf(editedPlan))) << row.what;
        EXPECT_TRUE(QString::fromUtf8(readFile(dir + "/index.html")).contains(titleOf(editedPlan))) << row.what;
        claim.release();

        // In step now: the next claim rewrites nothing.
        writeFile(dir + "/plan.md", "left alone");
        EXPECT_TRUE(FolderClaim::take(dir, settings).notices().isEmpty()) << row.what;
        EXPECT_EQ(readFile(dir + "/plan.md"), QByteArray("left alone")) << row.what;
    }

    // A folder written before the mark existed is read as it is.
    QDir(dir).removeRecursively();
    ChatPlans::writeFolder(dir);
    EXPECT_TRUE(FolderClaim::take(dir, settings).notices().isEmpty());
    EXPECT_EQ(readFile(dir + "/plan.md"), QByteArray("old md"));
    EXPECT_FALSE(QFileInfo::exists(MadeFrom::path(dir)));
}

// A revision's Claude still working as its folder is used again (its
// application died a moment ago), here a command it started that left for
// "/" as daemons do: the claim ends its run before it rolls back, so no late
// edit lands on the plan put back. A record forged from numbers names no
// run; one copied with its folder names the original's, which is not the
// copy's to end, and nothing is rolled back under it while it lives.
TEST_F(FolderClaimTest, WhatAnInterruptedRevisionLeftRunningEndsBeforeTheRollback)
{
    render(cleanPlan);
    writeFile(dir + "/edit.json", editedPlan);
    const RunMarks::Mark run{RunMarks::newToken(), RunMarks::placeOf(dir), QString()};
    const auto interrupted = [](const QString &folder, const QByteArray &second) {
        writeFile(folder + "/history/plan-261207-100000.json", cleanPlan);
        writeFile(folder + "/plan.json", editedPlan);
        writeFile(folder + "/history/revision-under-way", "plan-261207-100000.json\n" + second + "\n");
    };
    QProcess late;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(RunMarks::tokenVariable(), QString::fromLatin1(run.token));
    late.setProcessEnvironment(env);
    late.setWorkingDirectory("/");
    late.setChildProcessModifier([] { ::setsid(); });
    late.start("/bin/sh", {"-c", "sleep 3; cp \"$0/edit.json\" \"$0/plan.json\"", dir});
    ASSERT_TRUE(late.waitForStarted());
    // QProcess may say it started before the shell's own environment is in
    // /proc.
    for (int tries = 0; !RunMarks::alive(run) && tries < 500; ++tries)
        ::usleep(10000);
    ASSERT_TRUE(RunMarks::alive(run));
    // The token as part of another variable's value names no run.
    QProcess bystander;
    QProcessEnvironment quoting = QProcessEnvironment::systemEnvironment();
    quoting.insert("NOTE", RunMarks::tokenVariable() + "=" + QString::fromLatin1(run.token));
    bystander.setProcessEnvironment(quoting);
    bystander.start("/bin/sleep", {"30"});
    ASSERT_TRUE(bystander.waitForStarted());

    QTemporaryDir work;
    // Forged from the group's number, as an older record named a run.
    const QString forged = work.filePath("forged");
    QDir().mkpath(forged + "/history");
    ChatPlans::writeFolder(forged);
    interrupted(forged, QByteArray::number(late.processId()) + " 0");
    FolderClaim::take(forged, settings);
    // Copied, with the original's record, while the original's run works.
    const QString copy = work.filePath("copy");
    QDir().mkpath(copy + "/history");
    ChatPlans::writeFolder(copy);
    interrupted(copy, RunMarks::toText(run).toUtf8());
    try {
        FolderClaim::take(copy, settings);
        ADD_FAILURE() << "a copy was rolled back while the original's run works";
    } catch (const FolderClaim::Failure &failure) {
        EXPECT_TRUE(failure.busy);
        // The Claude at work is the original's, not one in the copy.
        EXPECT_EQ(failure.message, "이 폴더는 복사본이고, 원래 폴더에서 중단된 고치기의 Claude 가 아직 그 폴더에서 일하고 "
                                   "있어요. 그 Claude 가 끝난 뒤에 다시 해 주세요: "
                                       + copy);
    }
    EXPECT_EQ(late.state(), QProcess::Running);
    EXPECT_EQ(readFile(copy + "/plan.json"), editedPlan);

    interrupted(dir, RunMarks::toText(run).toUtf8());
    const FolderClaim claim = FolderClaim::take(dir, settings);
    EXPECT_FALSE(RunMarks::alive(run));
    EXPECT_FALSE(bystander.waitForFinished(200));
    bystander.kill();
    bystander.waitForFinished();
    ASSERT_TRUE(late.waitForFinished(10000));
    EXPECT_EQ(late.exitStatus(), QProcess::CrashExit);
    EXPECT_TRUE(claim.rolledBack());
    EXPECT_EQ(titleOf(readFile(dir + "/plan.json")), titleOf(cleanPlan));
    EXPECT_FALSE(QFileInfo::exists(dir + "/history/revision-under-way"));
    EXPECT_TRUE(FolderClaim::take(copy, settings).rolledBack());
}

// What a generation killed at its first write leaves is no plan folder:
// the next generation of the feature takes its name, and the claim clears
// its temporary file. Pipes at the names a claim reads never hold it.
TEST_F(FolderClaimTest, AHuskIsReusedAndPipesDoNotBlock)
{
    const QString husk = dir + "/Feed-plan";
    QDir().mkpath(husk + "/img");
    writeFile(husk + "/.quarrystone-tmp-abcd1234", "{\"cut");
    EXPECT_TRUE(FolderClaim::isHusk(husk));
    const Generator::NewPlanDir taken = Generator::newPlanDir(dir, "Feed", settings);
    EXPECT_EQ(taken.dir, husk);
    EXPECT_FALSE(QFileInfo::exists(husk + "/.quarrystone-tmp-abcd1234"));
    writeFile(husk + "/img/a.png", "png");
    EXPECT_FALSE(FolderClaim::isHusk(husk));
    EXPECT_NE(Generator::newPlanDir(dir, "Feed", settings).dir, husk);

    const QString piped = dir + "/piped";
    QDir().mkpath(piped + "/history");
    for (const QString &path : {piped + "/plan.json", piped + "/history/revision-under-way", MadeFrom::path(piped)})
        ASSERT_EQ(::mkfifo(QFile::encodeName(path).constData(), 0600), 0) << qPrintable(path);
    EXPECT_TRUE(FolderClaim::take(piped, settings).notices().isEmpty());
    // Odd things at its own names are dealt with once: a pipe at the record
    // or at a recorded backup goes, and a folder at the mark is no mark.
    EXPECT_FALSE(QFileInfo::exists(piped + "/history/revision-under-way"));
    ::mkfifo(QFile::encodeName(piped + "/history/plan-261207-120000.json").constData(), 0600);
    QFile::remove(piped + "/history/revision-under-way");
    writeFile(piped + "/history/revision-under-way", "plan-261207-120000.json\n");
    FolderClaim::take(piped, settings);
    EXPECT_EQ(QDir(piped + "/history").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot), QStringList());
    render(cleanPlan);
    QFile::remove(MadeFrom::path(dir));
    QDir().mkpath(MadeFrom::path(dir) + "/inside");
    writeFile(dir + "/plan.json", editedPlan);
    for (int use = 0; use < 2; ++use)
        EXPECT_EQ(FolderClaim::take(dir, settings).notices(), QStringList());
}

namespace {

// A guard's store as a development run's record would look, its list in the
// folder's own words: plan.json as it is, `d` a link to `outside`, and `d/x`
// a copy of "planted" to be written through it.
QString receivedStore(const QString &dir, const QString &outside, const std::function<QByteArray(QByteArray)> &seal)
{
    const QString store = dir + "/.quarrystone-guard-0badc0de";
    const QByteArray planted = "planted";
    writeFile(store + "/0", planted);
    const auto hash = [](const QByteArray &bytes) {
        return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Blake2b_256).toBase64());
    };
    const QJsonArray entries{
        QJsonObject{{"path", "plan.json"}, {"kind", "file"}, {"size", int(cleanPlan.size())}, {"hash", hash(cleanPlan)}},
        QJsonObject{{"path", "d"}, {"kind", "link"}, {"target", QString::fromLatin1(QFile::encodeName(outside).toBase64())}},
        QJsonObject{{"path", "d/x"}, {"kind", "file"}, {"size", int(planted.size())}, {"hash", hash(planted)},
                    {"kept", "copy"}, {"stored", "0"}},
    };
    writeFile(store + "/manifest", seal(json(QJsonObject{{"entries", entries}, {"kept", QJsonArray()}})));
    return store;
}

QByteArray sealedWith(const QByteArray &key, const QByteArray &bytes)
{
    return "quarrystone-seal " + QMessageAuthenticationCode::hash(bytes, key, QCryptographicHash::Sha256).toHex() + "\n"
        + bytes;
}

} // namespace

// A plan folder received from someone else (an archive, a shared drive)
// carrying a guard's store that no run holds: its list is no order. Neither
// a list without a seal nor one sealed by another person's program is
// followed, and the folder says so; even a list this person's program sealed
// makes nothing beyond the folder, since every part is made beneath it and
// never through a link. The file outside stays as it was.
TEST(FolderClaimReceived, AGuardStoreFromTheFolderWritesNothingOutsideIt)
{
    struct Row {
        const char *what;
        std::function<QByteArray(QByteArray)> seal;
        bool leftAlone;
    };
    QTemporaryDir tmp;
    const QString root = QDir(tmp.path()).canonicalPath();
    const QString home = root + "/home";
    QDir().mkpath(home + "/support");
    // This person's key, as their program made it.
    const QByteArray key(32, 'k');
    writeFile(home + "/support/record-key", key);
    ASSERT_EQ(::chmod(QFile::encodeName(home + "/support/record-key").constData(), 0600), 0);
    const QList<Row> rows{
        {"no seal", [](QByteArray bytes) { return bytes; }, true},
        {"another person's seal", [](QByteArray bytes) { return sealedWith(QByteArray(32, 'o'), bytes); }, true},
        {"a forged seal line", [](QByteArray bytes) { return "quarrystone-seal " + QByteArray(64, '0') + "\n" + bytes; }, true},
        {"this person's seal", [&](QByteArray bytes) { return sealedWith(key, bytes); }, false},
    };
    int number = 0;
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        const QString dir = root + "/plans/received-" + QString::number(++number);
        const QString outside = root + "/outside-" + QString::number(number);
        writeFile(outside + "/x", "mine");
        writeFile(dir + "/plan.json", cleanPlan);
        const QString store = receivedStore(dir, outside, row.seal);

        const CommandLine::Outcome rendered = CommandLine::run({"--render", dir}, home);
        EXPECT_EQ(readFile(outside + "/x"), "mine");
        EXPECT_EQ(QDir(outside).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList{"x"});
        EXPECT_EQ(rendered.code, 0) << rendered.err.toStdString();
        const QString said = rendered.out + rendered.err;
        const QString notice = "이 컴퓨터에서 남긴 것이 아닌 개발 기록은 따르지 않고 그대로 두었어요: .quarrystone-guard-0badc0de";
        EXPECT_EQ(said.count(notice), row.leftAlone ? 1 : 0) << said.toStdString();
        if (row.leftAlone)
            EXPECT_EQ(readFile(store + "/0"), "planted");
        else
            EXPECT_TRUE(said.contains("개발 중에 계획서 파일이 바뀌었는데 원래대로 돌려 놓지 못했어요")) << said.toStdString();
    }
}
