#include "core/folderlock.h"

#include "core/fileerror.h"

#include <QFile>
#include <QThread>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#include <utility>

FolderLock::FolderLock(int fd)
    : m_fd(fd)
{
}

FolderLock::FolderLock(FolderLock &&other) noexcept
    : m_fd(std::exchange(other.m_fd, -1))
{
}

FolderLock &FolderLock::operator=(FolderLock &&other) noexcept
{
    if (this != &other) {
        release();
        m_fd = std::exchange(other.m_fd, -1);
    }
    return *this;
}

FolderLock::~FolderLock()
{
    release();
}

FolderLock FolderLock::take(const QString &dir)
{
    // Close-on-exec: a child that outlives the run must not hold its lock.
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        throw Failure{QStringLiteral("계획서 폴더를 열지 못했어요: ") + dir + QStringLiteral(" (")
                          + FileError::describe(errno) + QLatin1Char(')')};
    int result = 0;
    do
        result = ::flock(fd, LOCK_EX | LOCK_NB);
    while (result != 0 && errno == EINTR);
    if (result == 0)
        return FolderLock(fd);
    const int error = errno;
    ::close(fd);
    if (error == EWOULDBLOCK)
        throw Failure{QStringLiteral("다른 작업이 이 계획서 폴더를 쓰고 있어요. 그 작업이 끝난 뒤에 다시 해 주세요: ") + dir,
                      true};
    throw Failure{QStringLiteral("계획서 폴더를 잠그지 못했어요: ") + dir + QStringLiteral(" (")
                      + FileError::describe(error) + QLatin1Char(')')};
}

FolderLock FolderLock::take(const QString &dir, std::chrono::milliseconds wait)
{
    const auto until = std::chrono::steady_clock::now() + wait;
    for (;;) {
        try {
            return take(dir);
        } catch (const Failure &failure) {
            if (!failure.busy || std::chrono::steady_clock::now() >= until)
                throw;
        }
        QThread::msleep(20);
    }
}

void FolderLock::release()
{
    if (m_fd < 0)
        return;
    // Closing the only descriptor of the open file lets go of the lock.
    ::close(std::exchange(m_fd, -1));
}
