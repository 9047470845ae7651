#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/jsoncoding.h"
#include "export/exporter.h"
#include "model/conventions.h"
#include "model/generateinput.h"
#include "support/commandline.h"
#include "support/fakeclaude.h"
#include "support/qtprinters.h"
#include "support/richplan.h"
#include "support/testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <iostream>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

// The command-line modes that write a plan folder, run on a folder that is
// nearly full: the room left is swept in small steps from none to enough.
// Whatever the room, a run either finishes with every file whole or fails
// with the cause in its message and leaves each file as it was; no exit 0
// with a cut file, no temporary file left behind. The sweep's step can be
// made finer with QUARRYSTONE_DISKFULL_STEPS (runs per operation).

namespace {

using TestFiles::readFile;
using TestFiles::writeFile;

using Files = QMap<QString, QByteArray>;

// Every file under a folder by its path there, hidden ones too.
Files filesOf(const QString &root)
{
    Files files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(root).relativeFilePath(path), readFile(path));
    }
    return files;
}

void putFiles(const QString &root, const Files &files)
{
    QDir(root).removeRecursively();
    for (auto it = files.begin(); it != files.end(); ++it)
        writeFile(root + '/' + it.key(), it.value());
}

qint64 sizeOf(const Files &files)
{
    qint64 total = 0;
    for (const QByteArray &bytes : files)
        total += bytes.size();
    return total;
}

QByteArray noise(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (char &byte : bytes)
        byte = char(generator.bounded(256));
    return bytes;
}

Plan richPlan(const QString &title)
{
    Plan plan = RichPlan::make();
    plan.meta.title = title;
    for (qsizetype i = 0; i < plan.screens.size() && i < 3; ++i)
        plan.screens[i].image.before = QStringLiteral("img/%1.png").arg(i);
    return plan;
}

QByteArray compact(const Plan &plan)
{
    return QJsonDocument(plan.toJson()).toJson(QJsonDocument::Compact);
}

// A rendered plan folder with three screen images, whose plan.json holds
// `plan` in a form the writer would not give it.
// A plan folder as the writer leaves it: plan.md and index.html made from
// its plan.json.
Files madeFolder(const QString &scratch, const Plan &plan)
{
    QDir(scratch).removeRecursively();
    for (int i = 0; i < 3; ++i)
        writeFile(QStringLiteral("%1/img/%2.png").arg(scratch).arg(i), noise(20000 + 7000 * i));
    Plan copy = plan;
    Exporter::writeAll(copy, scratch, Conventions::builtIn());
    return filesOf(scratch);
}

// A folder whose plan.json was changed by hand after `rendered` was written:
// what --render is for.
Files planFolder(const QString &scratch, const Plan &rendered, const Plan &plan)
{
    madeFolder(scratch, rendered);
    writeFile(scratch + "/plan.json", compact(plan));
    return filesOf(scratch);
}

// A revision that could not put the plan back (the disk as full as ever)
// must say where a backup or kept copy of the plan before it is.
bool namesBackup(const QString &message, const Files &now, const QByteArray &plan)
{
    static const QRegularExpression backup(QStringLiteral("history/(plan|kept)-[0-9-]+\\.json"));
    const QRegularExpressionMatch match = backup.match(message);
    return match.hasMatch() && now.value(match.captured()) == plan;
}

struct Operation {
    const char *name;
    QStringList arguments;
    Files before;
    // Plans a backup or a kept copy may hold besides the ones before and after.
    QList<QByteArray> otherPlans;
    // Whether a failed run puts every file back (a render's are made again).
    bool putsBack = true;
};

// What the sweep saw, for the figures and the findings.
struct Tally {
    int runs = 0;
    int finished = 0;
    int failed = 0;
    QStringList findings;
};

class DiskFullTest : public testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QFileInfo(FULLFS_LIBRARY).isFile());
        CommandLine::writeRevisionSettings(home.path(), work.path());
    }

    // Starts one operation on `dir`, with `room` bytes left there when given.
    void start(QProcess &process, const Operation &operation, const QString &dir, std::optional<qint64> room)
    {
        QStringList arguments = operation.arguments;
        arguments.replaceInStrings("%DIR%", dir);
        if (room) {
            qputenv("LD_PRELOAD", FULLFS_LIBRARY);
            qputenv("QUARRYSTONE_FULL_DIR", QFile::encodeName(dir));
            qputenv("QUARRYSTONE_FULL_ROOM", QByteArray::number(*room));
        }
        CommandLine::start(process, arguments, home.path(), work.path());
        qunsetenv("LD_PRELOAD");
        qunsetenv("QUARRYSTONE_FULL_DIR");
        qunsetenv("QUARRYSTONE_FULL_ROOM");
    }

    static CommandLine::Outcome finish(QProcess &process)
    {
        process.waitForFinished(120000);
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                QString::fromUtf8(process.readAllStandardOutput()), QString::fromUtf8(process.readAllStandardError())};
    }

    // Small real file systems, one for each run at a time: made only where
    // this process may mount them.
    bool mountDisks()
    {
        for (int k = 0; k < together; ++k) {
            const QString disk = work.filePath(QStringLiteral("disk-%1").arg(k));
            QDir().mkpath(disk);
            const QByteArray path = QFile::encodeName(disk);
            if (::mount("tmpfs", path.constData(), "tmpfs", MS_NOSUID | MS_NODEV, "size=8m,mode=0700") != 0)
                return false;
            disks.append(disk);
        }
        return true;
    }

    void TearDown() override
    {
        for (const QString &disk : std::as_const(disks))
            ::umount2(QFile::encodeName(disk).constData(), MNT_DETACH);
    }

    // Fills a small file system until `room` bytes are left on it.
    static void leaveRoom(const QString &disk, qint64 room)
    {
        const QByteArray filler = QFile::encodeName(disk + "/filler");
        ::unlink(filler.constData());
        struct statvfs info {};
        ASSERT_EQ(::statvfs(QFile::encodeName(disk).constData(), &info), 0);
        const qint64 free = qint64(info.f_bavail) * qint64(info.f_frsize);
        if (free <= room)
            return;
        const int fd = ::open(filler.constData(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0);
        EXPECT_EQ(::posix_fallocate(fd, 0, free - room), 0);
        ::close(fd);
    }

    // A few runs at once (most of a run's time is spent waiting), each in a
    // folder of its own: on the mounted disks when there are, else made
    // full by the shim.
    void sweep(const Operation &operation, Tally &tally)
    {
        const QString dir = work.filePath("plan");
        putFiles(dir, operation.before);
        QProcess first;
        start(first, operation, dir, std::nullopt);
        const CommandLine::Outcome reference = finish(first);
        ASSERT_TRUE(reference.code == 0 || reference.code == 2) << operation.name << qPrintable(reference.err);
        const Files after = filesOf(dir);
        const QList<QByteArray> plans =
            QList<QByteArray>{operation.before.value("plan.json"), after.value("plan.json")} + operation.otherPlans;

        const int steps = qEnvironmentVariableIntValue("QUARRYSTONE_DISKFULL_STEPS") > 0
                              ? qEnvironmentVariableIntValue("QUARRYSTONE_DISKFULL_STEPS")
                              : 48;
        // Enough room for everything the run writes, the old files still
        // there: every step below it finds the disk full somewhere else.
        const qint64 enough = sizeOf(after) + 4096;
        // What a killed run left; every run must remove it.
        Files before = operation.before;
        const auto hasHistory = [&before] {
            return std::any_of(before.keyBegin(), before.keyEnd(),
                               [](const QString &name) { return name.startsWith("history/"); });
        };
        if (hasHistory())
            before.insert("history/.quarrystone-tmp-killed", "cut by a kill");
        before.insert(".quarrystone-tmp-killed", "cut by a kill");
        const auto roomAt = [&](int step) { return enough * step / steps + (step % 3) * 37; };
        const auto folderOf = [&](int slot) {
            return disks.isEmpty() ? work.filePath(QStringLiteral("plan-%1").arg(slot)) : disks.at(slot) + "/plan";
        };
        for (int from = 0; from <= steps; from += together) {
            std::array<QProcess, together> processes;
            for (int step = from; step <= std::min(steps, from + together - 1); ++step) {
                const int slot = step - from;
                putFiles(folderOf(slot), before);
                if (!disks.isEmpty())
                    leaveRoom(disks.at(slot), roomAt(step));
                start(processes[slot], operation, folderOf(slot),
                      disks.isEmpty() ? std::optional<qint64>(roomAt(step)) : std::nullopt);
            }
            for (int step = from; step <= std::min(steps, from + together - 1); ++step) {
                const int slot = step - from;
                const CommandLine::Outcome outcome = finish(processes[slot]);
                const QString at = QStringLiteral("%1, room %2: ").arg(operation.name).arg(roomAt(step));
                ++tally.runs;
                check(at, outcome, reference.code, before, after, filesOf(folderOf(slot)), plans, operation.putsBack, tally);
            }
        }
    }

    static void check(const QString &at, const CommandLine::Outcome &outcome, int finishedCode, const Files &before,
                      const Files &after, const Files &now, const QList<QByteArray> &plans, bool putsBack, Tally &tally)
    {
        const auto finding = [&](const QString &what) { tally.findings.append(at + what); };
        const bool finished = outcome.code == finishedCode;
        finished ? ++tally.finished : ++tally.failed;
        if (!finished && outcome.code != 1)
            finding(QStringLiteral("exit %1: %2").arg(outcome.code).arg(outcome.err));
        if (!finished && !outcome.err.contains(FileError::describe(ENOSPC)))
            finding("the message does not name the cause: " + outcome.err);
        if (outcome.err.contains("Unknown error"))
            finding("Unknown error: " + outcome.err);
        for (const char *file : {"plan.json", "plan.md", "index.html"}) {
            const QString name = QString::fromLatin1(file);
            const QByteArray bytes = now.value(name);
            if (finished && bytes != after.value(name))
                finding(QStringLiteral("finished with %1 not as written (%2 bytes)").arg(name).arg(bytes.size()));
            const bool leftForTheBackup = name == "plan.json" && plans.contains(bytes)
                                          && namesBackup(outcome.err, now, before.value(name));
            if (bytes != before.value(name) && bytes != after.value(name) && !leftForTheBackup)
                finding(QStringLiteral("%1 neither before nor after (%2 bytes)").arg(name).arg(bytes.size()));
            if (putsBack && !finished && bytes != before.value(name) && !namesBackup(outcome.err, now, before.value("plan.json")))
                finding(QStringLiteral("failed with %1 not put back (%2 bytes)").arg(name).arg(bytes.size()));
        }
        for (auto it = now.begin(); it != now.end(); ++it) {
            const QString name = QFileInfo(it.key()).fileName();
            if (AtomicFile::isLeftover(name))
                finding("temporary file left: " + it.key());
            // A picture an import replaced, kept beside its undo point.
            const qsizetype pictures = it.key().indexOf(".img/");
            if (pictures > 0 && it.value() != before.value("img/" + it.key().mid(pictures + 5)))
                finding(QStringLiteral("%1 is no picture the folder had (%2 bytes)").arg(it.key()).arg(it.value().size()));
            const bool isPlanCopy = (it.key().startsWith("history/plan-") || it.key().startsWith("history/kept-")) && pictures < 0;
            if (isPlanCopy && !plans.contains(it.value()))
                finding(QStringLiteral("%1 is no whole plan (%2 bytes)").arg(it.key()).arg(it.value().size()));
            if (it.key() == "history/revisions.md" && it.value() != before.value(it.key())
                && !(it.value().startsWith("## ") && it.value().endsWith(before.value(it.key()))))
                finding("history/revisions.md is cut");
        }
    }

    void sweepAll();

    static constexpr int together = 4;
    FakeClaude fake;
    QTemporaryDir home;
    QTemporaryDir work;
    QStringList disks;
};

} // namespace

void DiskFullTest::sweepAll()
{
    const QString scratch = work.filePath("scratch");
    const Plan original = richPlan("처음 계획");
    const Plan edited = richPlan("고친 계획");
    const Plan imported = richPlan("가져온 계획");

    const Files rendered = planFolder(scratch, richPlan("예전 계획"), original);
    // The other operations start from a folder in step: one out of step is
    // first made again from its plan.json, which --render covers.
    const Files inStep = madeFolder(scratch, original);
    Files lastRevised = madeFolder(scratch, edited);
    lastRevised.insert("history/plan-260101-120000.json", compact(original));
    lastRevised.insert("history/revisions.md", "## 2026-01-01 12:00 · 테스터\n\n> 제목\n\n고쳤어요\n\n");
    planFolder(scratch, imported, imported);
    const QString page = work.filePath("shared.html");
    writeFile(page, readFile(scratch + "/index.html"));

    // A folder a generation made, drafted again from its saved section.
    Files generated = inStep;
    GenerateInput request;
    request.link = *FigmaLink::parse("https://www.figma.com/design/K/H?node-id=1-1");
    generated.insert("request.json", JSONCoding::pretty(request));
    generated.insert("figma-section.json", R"({"fileKey": "K", "nodeId": "1:1", "name": "H", "frames": [], "notes": []})");
    const QJsonArray redrafted{FakeClaude::resultEvent("```json\n" + QString::fromUtf8(compact(richPlan("다시 만든 계획"))) + "\n```")};
    const QJsonObject answer{
        {"steps", QJsonArray{FakeClaude::writePlan(compact(edited)), FakeClaude::resultEvent("고쳤어요")}}};
    fake.setScenario({{"responses", QJsonArray{QJsonObject{{"stdinContains", "## 입력"}, {"steps", redrafted}},
                                               QJsonObject{{"stdinContains", "방금 답한"}, {"steps", redrafted}}, answer}}});

    const QList<Operation> operations{
        {"render", {"--render", "%DIR%"}, rendered, {}, false},
        {"revise", {"--revise", "%DIR%", "--request", "제목을 고쳐 줘"}, inStep, {compact(edited)}},
        {"undo", {"--revise", "%DIR%", "--undo"}, lastRevised, {compact(original)}},
        {"import into", {"--import", page, "--into", "%DIR%"}, inStep, {}},
        {"redraft", {"--redraft", "%DIR%"}, generated, {}},
    };
    Tally tally;
    for (const Operation &operation : operations)
        sweep(operation, tally);
    std::cout << "disk-full sweep" << (disks.isEmpty() ? " (write shim): " : " (tmpfs): ") << tally.runs << " runs, "
              << tally.finished << " finished, " << tally.failed
              << " failed, " << tally.findings.size() << " findings\n";
    EXPECT_GT(tally.failed, 0);
    EXPECT_GT(tally.finished, 0);
    EXPECT_EQ(tally.findings, QStringList());
}

TEST_F(DiskFullTest, NoRunLeavesACutFileOrHidesTheCause)
{
    sweepAll();
}

// The same on a real file system, where the system itself says the disk is
// full: a small tmpfs, which only a process allowed to mount one can make.
TEST_F(DiskFullTest, NoRunLeavesACutFileOnASmallFileSystem)
{
    if (!mountDisks())
        GTEST_SKIP() << "mounting a tmpfs is not allowed here";
    sweepAll();
}
