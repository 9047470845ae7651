#pragma once

#include <QString>
#include <chrono>

// One writing operation per plan folder at a time, across processes: an
// exclusive flock on a descriptor of the folder itself. The system lets go
// of it when the process ends however it ends, so a killed run never leaves
// a folder locked. Two claims in one process exclude each other as well.
class FolderLock
{
public:
    // The folder is being written by another operation, or could not be
    // opened to be locked: one Korean message naming the folder.
    struct Failure {
        QString message;
        bool busy = false;
    };

    FolderLock() = default;
    FolderLock(FolderLock &&other) noexcept;
    FolderLock &operator=(FolderLock &&other) noexcept;
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;
    ~FolderLock();

    // Takes the lock of the existing folder `dir` at once or throws Failure;
    // it never waits for another holder.
    static FolderLock take(const QString &dir);
    // The same, waiting up to `wait` for the holder to let go first.
    static FolderLock take(const QString &dir, std::chrono::milliseconds wait);

    bool isHeld() const { return m_fd >= 0; }
    void release();

private:
    explicit FolderLock(int fd);

    int m_fd = -1;
};
