#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/jsoncoding.h"
#include "export/exporter.h"
#include "model/conventions.h"
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
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QProcess>
#include <algorithm>
#include <array>
#include <cerrno>
#include <gtest/gtest.h>
#include <iostream>

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
Files planFolder(const QString &scratch, const Plan &rendered, const Plan &plan)
{
    QDir(scratch).removeRecursively();
    for (int i = 0; i < 3; ++i)
        writeFile(QStringLiteral("%1/img/%2.png").arg(scratch).arg(i), noise(20000 + 7000 * i));
    Plan copy = rendered;
    Exporter::writeAll(copy, scratch, Conventions::builtIn());
    writeFile(scratch + "/plan.json", compact(plan));
    return filesOf(scratch);
}

// A revision that could not put the plan back (the disk as full as ever)
// must say where the backup of the plan before it is.
bool namesBackup(const QString &message, const Files &now, const QByteArray &plan)
{
    static const QRegularExpression backup(QStringLiteral("history/plan-[0-9-]+\\.json"));
    const QRegularExpressionMatch match = backup.match(message);
    return match.hasMatch() && now.value(match.captured()) == plan;
}

struct Operation {
    const char *name;
    QStringList arguments;
    Files before;
    // Plans a backup or a kept copy may hold besides the ones before and after.
    QList<QByteArray> otherPlans;
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
        QDir(work.path()).mkpath("android");
        QDir(work.path()).mkpath("ios");
        CommandLine::writeSettings(
            home.path(), QJsonDocument(QJsonObject{{"claudePath", FakeClaude::path()},
                                                   {"userName", "테스터"},
                                                   {"androidRepo", work.filePath("android")},
                                                   {"iosRepo", work.filePath("ios")}})
                             .toJson());
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

    // A few runs at once: most of a run's time is spent waiting.
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
        Files before = operation.before;
        for (const QString &folder : {QString(), QStringLiteral("history/")})
            if (folder.isEmpty() || std::any_of(before.keyBegin(), before.keyEnd(), [&](const QString &name) { return name.startsWith(folder); }))
                before.insert(folder + ".quarrystone-tmp-killed", "cut by a kill");
        const auto roomAt = [&](int step) { return enough * step / steps + (step % 3) * 37; };
        constexpr int together = 4;
        for (int from = 0; from <= steps; from += together) {
            std::array<QProcess, together> processes;
            for (int step = from; step <= std::min(steps, from + together - 1); ++step) {
                const QString each = work.filePath(QStringLiteral("plan-%1").arg(step - from));
                putFiles(each, before);
                start(processes[step - from], operation, each, roomAt(step));
            }
            for (int step = from; step <= std::min(steps, from + together - 1); ++step) {
                const CommandLine::Outcome outcome = finish(processes[step - from]);
                const QString at = QStringLiteral("%1, room %2: ").arg(operation.name).arg(roomAt(step));
                ++tally.runs;
                check(at, outcome, reference.code, before, after,
                      filesOf(work.filePath(QStringLiteral("plan-%1").arg(step - from))), plans, tally);
            }
        }
    }

    static void check(const QString &at, const CommandLine::Outcome &outcome, int finishedCode, const Files &before,
                      const Files &after, const Files &now, const QList<QByteArray> &plans, Tally &tally)
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
        for (const QString &name : {QStringLiteral("plan.json"), QStringLiteral("plan.md"), QStringLiteral("index.html")}) {
            const QByteArray bytes = now.value(name);
            if (finished && bytes != after.value(name))
                finding(QStringLiteral("finished with %1 not as written (%2 bytes)").arg(name).arg(bytes.size()));
            const bool leftForTheBackup = name == "plan.json" && plans.contains(bytes)
                                          && namesBackup(outcome.err, now, before.value(name));
            if (bytes != before.value(name) && bytes != after.value(name) && !leftForTheBackup)
                finding(QStringLiteral("%1 neither before nor after (%2 bytes)").arg(name).arg(bytes.size()));
        }
        for (auto it = now.begin(); it != now.end(); ++it) {
            const QString name = QFileInfo(it.key()).fileName();
            if (AtomicFile::isLeftover(name))
                finding("temporary file left: " + it.key());
            const bool isPlanCopy = it.key().startsWith("history/plan-") || it.key().startsWith("history/kept-");
            if (isPlanCopy && !plans.contains(it.value()))
                finding(QStringLiteral("%1 is no whole plan (%2 bytes)").arg(it.key()).arg(it.value().size()));
            if (it.key() == "history/revisions.md" && it.value() != before.value(it.key())
                && !(it.value().startsWith("## ") && it.value().endsWith(before.value(it.key()))))
                finding("history/revisions.md is cut");
        }
    }

    FakeClaude fake;
    QTemporaryDir home;
    QTemporaryDir work;
};

} // namespace

TEST_F(DiskFullTest, NoRunLeavesACutFileOrHidesTheCause)
{
    const QString scratch = work.filePath("scratch");
    const Plan original = richPlan("처음 계획");
    const Plan edited = richPlan("고친 계획");
    const Plan imported = richPlan("가져온 계획");

    const Files rendered = planFolder(scratch, richPlan("예전 계획"), original);
    Files lastRevised = planFolder(scratch, edited, edited);
    lastRevised.insert("history/plan-260101-120000.json", compact(original));
    lastRevised.insert("history/revisions.md", "## 2026-01-01 12:00 · 테스터\n\n> 제목\n\n고쳤어요\n\n");
    planFolder(scratch, imported, imported);
    const QString page = work.filePath("shared.html");
    writeFile(page, readFile(scratch + "/index.html"));

    const QJsonObject answer{{"steps", QJsonArray{FakeClaude::writePlan(compact(edited)), FakeClaude::resultEvent("고쳤어요")}}};
    fake.setScenario({{"responses", QJsonArray{answer}}});

    const QList<Operation> operations{
        {"render", {"--render", "%DIR%"}, rendered, {}},
        {"revise", {"--revise", "%DIR%", "--request", "제목을 고쳐 줘"}, rendered, {compact(edited)}},
        {"undo", {"--revise", "%DIR%", "--undo"}, lastRevised, {compact(original)}},
        {"import into", {"--import", page, "--into", "%DIR%"}, rendered, {}},
    };
    Tally tally;
    for (const Operation &operation : operations)
        sweep(operation, tally);
    std::cout << "disk-full sweep: " << tally.runs << " runs, " << tally.finished << " finished, " << tally.failed
              << " failed, " << tally.findings.size() << " findings\n";
    EXPECT_GT(tally.failed, 0);
    EXPECT_GT(tally.finished, 0);
    EXPECT_EQ(tally.findings, QStringList());
}
