#pragma once

#include <QByteArray>
#include <QString>
#include <memory>
#include <optional>

// The three files a plan folder shows (plan.json, plan.md, index.html) and
// the mark of what the last two were made from, kept as they were before an
// operation changed them, so that an operation that fails can leave the
// folder as it found it.
namespace PlanFiles {

// A file's bytes as they were, kept on disk where they can be: a page of
// many megabytes is not held in memory for a put-back that seldom comes.
// Kept in a copy beside the file, which goes with the last Kept that names
// it (a run killed first leaves it to the next claim's removal of
// leftovers), or in a copy already on disk that is not the Kept's to
// remove (a backup in history/). Where no copy can be made (a full disk),
// the bytes are held in memory. Unset: the file was missing or could not
// be read.
class Kept
{
public:
    Kept() = default;
    // Bytes held in memory; unset when there are none.
    Kept(std::optional<QByteArray> bytes);

    // A copy of the regular file at `path`, of at most `most` bytes.
    static Kept copyOf(const QString &path, qint64 most);
    // The bytes of the file at `path`, which stays where it is.
    static Kept at(const QString &path);

    explicit operator bool() const { return m_bytes.has_value() || m_file != nullptr; }

    // The kept bytes, read from their copy; unset with `error` when the copy
    // is gone or no longer readable.
    std::optional<QByteArray> read(qint64 most, QString *error = nullptr) const;
    // Whether the regular file at `path` holds the kept bytes.
    bool isAt(const QString &path, qint64 most) const;
    // Replaces the file at `path` with the kept bytes, as AtomicFile writes.
    bool putAt(const QString &path, QString *error) const;

private:
    struct File;
    std::optional<QByteArray> m_bytes;
    std::shared_ptr<const File> m_file;
};

// The three files and the mark.
struct Snapshot {
    Kept plan;
    Kept markdown;
    Kept page;
    std::optional<QByteArray> madeFrom;
};

Snapshot take(const QString &dir);
// The same where plan.json's bytes are kept already (`plan`, a backup).
Snapshot take(const QString &dir, Kept plan);

// Why the folder's plan.json may be neither read nor replaced: a link (to
// anything), a folder, a pipe or the like stands at its name. Empty when a
// regular file or nothing is there.
QString notOwnPlan(const QString &dir);

// Writes the snapshot's files back, each through a file beside it; a file
// that already holds its bytes is left as it is (a full disk takes no
// rewrite). Gives the first failure's file and reason, empty when all of
// them are back.
QString putBack(const QString &dir, const Snapshot &files);

} // namespace PlanFiles
