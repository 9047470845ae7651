#pragma once

#include <QByteArray>
#include <fcntl.h>
#include <QList>
#include <QString>
#include <functional>
#include <mutex>

class QIODevice;

// Whole-file writes that readers never see half done: the bytes go to a
// temporary file beside the target, which is then renamed over it. Every
// write, the sync and the close must succeed before the rename, so a full
// disk leaves the old file as it was instead of a cut one. What stands at
// the name is replaced as itself: a link there is replaced, never written
// through, and a pipe or a socket there goes like a file.
namespace AtomicFile {

// True on success; on failure `error` (when given) holds the cause in the
// person's words and the target is untouched.
bool write(const QString &path, const QByteArray &bytes, QString *error = nullptr);

// The same for a file made piece by piece: `produce` writes to the device it
// is given and returns false to give up, which leaves the target untouched
// like a failed write.
bool write(const QString &path, const std::function<bool(QIODevice &)> &produce, QString *error = nullptr);

// Writes that make one whole together (a plan folder's plan.json, plan.md,
// index.html and the mark of what the last two were made from): while one
// lives, on any thread, write() still makes each new file's bytes last
// before its rename, so that a power cut leaves every file whole, old or
// new; but the rename itself is made lasting only by the next settle() or
// by the end of the scope, with one sync of each folder for all the renames
// before it. Only a writer that has the process to itself may hold one (the
// headless commands): another thread's write meanwhile would return before
// its rename lasts.
class Together
{
public:
    Together();
    Together(const Together &) = delete;
    Together &operator=(const Together &) = delete;
    ~Together();
};

// Makes the renames made so far in a Together last, for a write that must
// not outlast them after a power cut (the mark that vouches for them).
void settle();

// write() for the last file of a Together whose loss after a power cut
// costs only work, never data: its rename is not made lasting (the mark,
// whose loss sends the next use of the folder to make the derived files
// again). Outside a Together, as write().
bool writeLast(const QString &path, const QByteArray &bytes, QString *error = nullptr);

// Writes a new file at `path` the same way, with the permissions `mode`,
// and never replaces what is there: false with `taken` set when the name
// is in use (a link included).
bool create(const QString &path, const QByteArray &bytes, unsigned mode, bool *taken, QString *error = nullptr);
// The same for a new file made piece by piece, as write() makes one.
bool create(const QString &path, const std::function<bool(QIODevice &)> &produce, unsigned mode, bool *taken,
            QString *error = nullptr);

// create() of the file `name` in the folder open at `folder` (a descriptor
// that may be opened O_PATH no more: the file is made in it), for a writer
// that holds its folder by a descriptor and never walks its path again.
bool createAt(int folder, const QByteArray &name, const std::function<bool(QIODevice &)> &produce, unsigned mode,
              bool *taken, QString *error = nullptr);

// Many whole-file writes made lasting together: each file goes to its
// temporary file as it is added, and commit() makes them all last with one
// sync of the file system before it renames each over its target. Each file
// is as safe as one written alone, for one sync instead of two per file.
// What was added and never committed is removed. Files may be added from
// several threads at once.
class Batch
{
public:
    struct Failure {
        QString path;
        QString error;
    };

    Batch() = default;
    Batch(const Batch &) = delete;
    Batch &operator=(const Batch &) = delete;
    ~Batch();

    // Writes the bytes beside `path`; false on failure, with `error` (when
    // given) holding the cause, and the target untouched.
    bool add(const QString &path, const QByteArray &bytes, QString *error = nullptr);
    // The same for the file `name` of the folder open at `folder`, which
    // the caller keeps open until the commit; `path` names it in a failure.
    // A writer that holds its folder by a descriptor never walks its path
    // again.
    bool addAt(int folder, const QByteArray &name, const QString &path, const QByteArray &bytes,
               QString *error = nullptr);
    // Puts every file added in place; gives those that could not be, each
    // with its cause. The batch is empty afterwards.
    QList<Failure> commit();

private:
    struct Pending {
        // Names in the folder open at `at`, or whole paths.
        QByteArray temporary;
        QByteArray target;
        QString path;
        QString folder;
        int at = AT_FDCWD;
    };
    std::mutex m_adding;
    QList<Pending> m_pending;
};

// A new, empty file in `folder` by a name isLeftover() knows, open for
// writing with the permissions 0600: for bytes kept only while a run needs
// them, which a run killed first leaves to removeLeftovers(). The caller
// closes and removes it; fd -1 with errno set when none can be made.
struct Scratch {
    int fd = -1;
    QByteArray path;
};
Scratch scratch(const QString &folder);

// Whether a file name is that of a temporary file a write put beside its
// target (a run killed before the rename leaves it behind).
bool isLeftover(const QString &fileName);

// Removes such leftovers from a folder and every folder inside it (links
// are not followed), and gives how many went. Only a run that has the
// folder to itself may call it: another run's write in progress would lose
// its temporary file.
int removeLeftovers(const QString &folder);

} // namespace AtomicFile
