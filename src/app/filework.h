#pragma once

#include "core/canceltoken.h"
#include "model/folderclaim.h"
#include "model/importer.h"
#include "settings/appsettings.h"

#include <QList>
#include <QMetaObject>
#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>

// The window's work on plan folders' files: the library's reads, renames,
// moves to the Trash, exports, imports and the rollback of what an
// interrupted run left. Each piece runs on a thread of its own that this
// object starts; its result comes back here, on the main thread. The threads
// are handed only values and the outlet through which they reach this
// object while it exists: its end waits a moment for them (what the person
// may stop is stopped), then lets go of what cannot be stopped (a library
// scan, a trash), whose result then reaches nothing.
class FileWork : public QObject
{
    Q_OBJECT

public:
    // The outcome of a rename: the folder it ended in, or why it stopped.
    struct Renamed {
        QString folder;
        std::optional<QString> failure;
        bool stopped = false;
    };

    // The outcome of an export: why it failed, or that it was stopped
    // before the copy was in place.
    struct Exported {
        std::optional<QString> failure;
        bool stopped = false;
    };

    // The outcome of an import: the new folder, or why it failed.
    struct Imported {
        QString folder;
        std::optional<QString> failure;
        bool stopped = false;
    };

    explicit FileWork(QObject *parent = nullptr);
    // Stops the work the person may stop and waits up to `endWait` for the
    // threads under way.
    ~FileWork() override;

    static constexpr std::chrono::seconds endWait{3};

    // A folder path without its closing "/", as file calls take it.
    static QString bare(const QString &dir);
    // The folder's own name.
    static QString lastComponent(const QString &dir);

    bool working() const { return !m_jobs.empty(); }
    // The texts of the work under way that the person may stop, oldest first.
    QStringList tasks() const;
    // Stops that work.
    void stopTasks();
    // Whether any file work of the window is under way.
    static bool busy();
    // Stops the work the person may stop, of every window.
    static void stopAll();

    // Runs `work` on a thread of its own and hands its result to `done`
    // here. `work` must hold no pointer to anything the main thread frees.
    template<typename Work, typename Done>
    void run(Work work, Done done);
    // The same for work the person may stop, shown meanwhile as `text`:
    // `work` is given the stop to look at.
    template<typename Work, typename Done>
    void runStoppable(const QString &text, Work work, Done done);

    // Claims the folder, writes the new title and moves it to its new name.
    void rename(const QString &dir, const QString &title, const QString &name, const AppSettings &settings,
                std::function<void(const Renamed &)> done);
    // Claims the folder and moves it to the Trash; gives why it could not.
    void trash(const QString &dir, const AppSettings &settings,
               std::function<void(const std::optional<QString> &)> done);
    // Claims the folder and writes plan.md and index.html again from its
    // plan.json; gives why it could not.
    void renderPage(const QString &dir, const AppSettings &settings,
                    std::function<void(const std::optional<QString> &)> done);
    // The plan's title as plan.json holds it; nothing when it does not read.
    void readTitle(const QString &dir, std::function<void(const std::optional<QString> &)> done);
    // Copies the page to `target`; a stopped or failed copy leaves the
    // target as it was.
    void exportPage(const QString &source, const QString &target, std::function<void(const Exported &)> done);
    // Reads a shared page and writes it into a new folder in `output`.
    void importPage(const QString &page, const QString &output, const AppSettings &settings,
                    std::function<void(const Imported &)> done);
    // Writes an imported plan into `into`, or into a new folder in `output`.
    void applyImport(ImportedPlan imported, const std::optional<QString> &into, const QString &output,
                     const AppSettings &settings, std::function<void(const Imported &)> done);
    // After a stopped generation: moves its folder to the Trash when
    // `remove` asks and it holds no earlier plan; gives whether it did.
    void endStoppedRun(const std::optional<QString> &running, bool remove, const AppSettings &settings,
                       std::function<void(bool earlierPlan)> done);

    // Claims `dir` for a moment, so that what another run left interrupted
    // there is put in order; gives the line that tells the person. Sets
    // `held` when another operation holds the folder. Blocks: runs on one
    // of the threads.
    static std::optional<QString> rollBackInterrupted(const QString &dir, const AppSettings &settings, bool *held);

Q_SIGNALS:
    void workingChanged();
    void tasksChanged();
    // What a claim put in order, as soon as it is done.
    void told(const QString &text);

private:
    struct Task {
        quint64 id = 0;
        QString text;
        CancelToken stop;
    };

    // What the threads reach this object through, for as long as it exists.
    struct Outlet {
        std::mutex mutex;
        std::condition_variable threadEnded;
        int threads = 0;
        FileWork *object = nullptr;

        // Runs `call` on the object on the main thread, if it still exists
        // then.
        void post(std::function<void(FileWork *)> call);
    };
    using SharedOutlet = std::shared_ptr<Outlet>;

    void start(std::function<void()> work, std::function<void()> finish);
    void finish(quint64 id);
    // The claim of `dir` for a file operation (what an interrupted run left
    // is put in order first, and told), or nothing with the claim's own
    // refusal in `refusal`. Called on the threads.
    static std::optional<FolderClaim> claimIdle(const SharedOutlet &outlet, const QString &dir,
                                                const AppSettings &settings, QString *refusal);
    // Tells, from the main thread, what a claim put in order.
    static void tell(const SharedOutlet &outlet, const QStringList &notices);
    static Renamed renameClaimed(const SharedOutlet &outlet, const QString &dir, const QString &title,
                                 const QString &name, const AppSettings &settings, const CancelToken &stop);
    static std::optional<QString> trashClaimed(const SharedOutlet &outlet, const QString &dir,
                                               const AppSettings &settings);

    // What to do here with each result still to come, by job.
    std::map<quint64, std::function<void()>> m_jobs;
    SharedOutlet m_outlet;
    quint64 m_lastJob = 0;
    QList<Task> m_tasks;
    quint64 m_lastTask = 0;
};

template<typename Work, typename Done>
void FileWork::run(Work work, Done done)
{
    using Result = std::invoke_result_t<Work &>;
    // Written by the thread, read here once it has been joined.
    auto result = std::make_shared<std::optional<Result>>();
    start([work = std::move(work), result]() mutable { result->emplace(work()); },
          [done = std::move(done), result]() mutable { done(std::move(**result)); });
}

template<typename Work, typename Done>
void FileWork::runStoppable(const QString &text, Work work, Done done)
{
    const CancelToken stop;
    const quint64 id = ++m_lastTask;
    m_tasks.append({id, text, stop});
    Q_EMIT tasksChanged();
    run([work = std::move(work), stop]() mutable { return work(stop); },
        [this, id, done = std::move(done)](auto result) mutable {
            m_tasks.removeIf([id](const Task &task) { return task.id == id; });
            Q_EMIT tasksChanged();
            done(std::move(result));
        });
}
