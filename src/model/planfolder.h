#pragma once

#include <QByteArray>
#include <QString>
#include <functional>
#include <optional>

class QIODevice;

// A plan folder, held by a descriptor: every part of it is opened beneath
// that descriptor, never through a link and never by a path walked again
// after it was checked, so that a folder swapped for a link halfway through
// an operation takes nothing of the operation elsewhere. The folder itself
// is where the person pointed; what is inside it is anyone's data.
class PlanFolder
{
public:
    // The parts of a plan folder, by their names in it.
    static inline const QString planJson = QStringLiteral("plan.json");
    static inline const QString planMarkdown = QStringLiteral("plan.md");
    static inline const QString page = QStringLiteral("index.html");
    static inline const QString request = QStringLiteral("request.json");
    static inline const QString history = QStringLiteral("history");
    static inline const QString images = QStringLiteral("img");
    static inline const QString specDocs = QStringLiteral("spec-docs");

    // A descriptor that closes itself.
    class Descriptor
    {
    public:
        Descriptor() = default;
        explicit Descriptor(int fd)
            : m_fd(fd)
        {
        }
        Descriptor(Descriptor &&other) noexcept;
        Descriptor &operator=(Descriptor &&other) noexcept;
        Descriptor(const Descriptor &) = delete;
        Descriptor &operator=(const Descriptor &) = delete;
        ~Descriptor();
        int get() const { return m_fd; }
        bool isOpen() const { return m_fd >= 0; }

    private:
        int m_fd = -1;
    };

    // A part's folder, held open, and the part's own name in it: where a
    // part is made, renamed, linked or removed.
    struct Place {
        Descriptor folder;
        QByteArray name;
        bool isOpen() const { return folder.isOpen(); }
    };

    // Whether a link at the folder's own name is followed: the person's
    // choice of folder may be a link, a folder this program has just made
    // under its name may not be.
    enum class AtName { follow, noLink };

    PlanFolder() = default;
    // Opens the folder `dir`; isOpen() tells whether it could be, errno why not.
    explicit PlanFolder(const QString &dir, AtName atName = AtName::follow);

    bool isOpen() const { return m_fd.isOpen(); }
    int fd() const { return m_fd.get(); }
    const QString &path() const { return m_path; }
    // The part's path, for the person to read.
    QString pathOf(const QString &relative) const;
    // A path that names the folder held, whatever its name names now, for
    // the writers that take a path: the descriptor's own entry in /proc,
    // the folder's name where /proc does not show it. Valid in this process
    // only, while this object lives.
    QString held() const;

    // Whether `relative` names a part inside a folder: not empty, not
    // absolute, no "." or "..", no NUL.
    static bool isInside(const QString &relative);

    // Opens the part `relative` with `flags` (close-on-exec added), no link
    // followed on the way or at its end; -1 with errno set when it cannot
    // be (ELOOP for a link, EXDEV for a way out).
    int open(const QString &relative, int flags, unsigned mode = 0) const;
    // The folder `relative` (the folder itself when empty), as a descriptor
    // for the *at calls.
    Descriptor openFolder(const QString &relative) const;
    // Where `relative` is: its folder opened beneath this one.
    Place place(const QString &relative) const;

    // The whole regular file `relative`, at most `most` bytes, as
    // RegularFile::read gives it.
    std::optional<QByteArray> read(const QString &relative, qint64 most, QString *error = nullptr) const;
    // Writes the file `relative` whole, as AtomicFile does: a temporary file
    // beside it, synced, renamed over it; what stands there is replaced,
    // never written through.
    bool write(const QString &relative, QByteArrayView bytes, QString *error = nullptr) const;
    // Makes the new file `relative` from `produce`, with the permissions
    // `mode`, never replacing what is there: false with `taken` set when the
    // name is in use (AtomicFile::create, beneath the folder).
    bool create(const QString &relative, const std::function<bool(QIODevice &)> &produce, unsigned mode, bool *taken,
                QString *error = nullptr) const;
    // Removes the file `relative`; false with errno set when it cannot.
    bool remove(const QString &relative) const;
    // Makes the folder `relative` when nothing is there; true when a folder
    // of its own is there afterwards.
    bool makeFolder(const QString &relative, unsigned mode = 0777) const;

private:
    Descriptor m_fd;
    QString m_path;
};
