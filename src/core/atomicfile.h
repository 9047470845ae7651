#pragma once

#include <QByteArray>
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

// Writes a new file at `path` the same way, with the permissions `mode`,
// and never replaces what is there: false with `taken` set when the name
// is in use (a link included).
bool create(const QString &path, const QByteArray &bytes, unsigned mode, bool *taken, QString *error = nullptr);
// The same for a new file made piece by piece, as write() makes one.
bool create(const QString &path, const std::function<bool(QIODevice &)> &produce, unsigned mode, bool *taken,
            QString *error = nullptr);

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
    // Puts every file added in place; gives those that could not be, each
    // with its cause. The batch is empty afterwards.
    QList<Failure> commit();

private:
    struct Pending {
        QByteArray temporary;
        QByteArray target;
        QString path;
        QString folder;
    };
    std::mutex m_adding;
    QList<Pending> m_pending;
};

// Whether a file name is that of a temporary file a write put beside its
// target (a run killed before the rename leaves it behind).
bool isLeftover(const QString &fileName);

// Removes such leftovers from a folder and every folder inside it (links
// are not followed), and gives how many went. Only a run that has the
// folder to itself may call it: another run's write in progress would lose
// its temporary file.
int removeLeftovers(const QString &folder);

} // namespace AtomicFile
