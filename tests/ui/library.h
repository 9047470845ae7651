#pragma once

#include "app/appstate.h"
#include "app/desktop.h"
#include "settings/appsettings.h"

#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <functional>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <memory>

// A temporary plan library for tests of the application state: an output
// folder with its settings saved, and plan folders made on demand. The
// environment variables the state reads at start are cleared.
class Library : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const char *name : {"QUARRYSTONE_OPEN", "QUARRYSTONE_REDRAFT", "QUARRYSTONE_UPDATE_AUTOINSTALL",
                                 "QUARRYSTONE_DEMO_PROGRESS", "QUARRYSTONE_SNAPSHOT", "QUARRYSTONE_SNAPSHOT_EVERY"})
            qunsetenv(name);
        ASSERT_TRUE(root.isValid());
        output = root.path() + "/plans";
        ASSERT_TRUE(QDir().mkpath(output));
        AppSettings settings = AppSettings::load();
        settings.outputDir = output;
        settings.setupDone = true;
        settings.userName = "tester";
        settings.androidRepo.clear();
        settings.iosRepo.clear();
        settings.extraDirs.clear();
        settings.save();
    }

    static void write(const QString &path, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(bytes);
    }

    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    static QByteArray planJson(const QString &title, const QString &feature, const QStringList &statuses = {})
    {
        QJsonArray decisions;
        int n = 0;
        for (const QString &status : statuses)
            decisions.append(QJsonObject{{"id", QString("d%1").arg(++n)}, {"question", "?"}, {"status", status}});
        const QJsonObject plan{{"schemaVersion", 1},
                               {"meta", QJsonObject{{"title", title}, {"feature", feature}}},
                               {"decisions", decisions}};
        return QJsonDocument(plan).toJson();
    }

    // A plan folder whose plan.json changed at `modified` (seconds after a
    // fixed day).
    QString makePlan(const QString &dir, const QString &title, const QString &feature, int modified = 0,
                     const QStringList &statuses = {})
    {
        write(dir + "/plan.json", planJson(title, feature, statuses));
        QFile file(dir + "/plan.json");
        file.open(QIODevice::ReadWrite);
        file.setFileTime(QDateTime(QDate(2026, 3, 1), QTime(9, 0), Qt::UTC).addSecs(modified),
                         QFileDevice::FileModificationTime);
        return dir;
    }

    // Waits until the file work the state started (and what it set off)
    // is over.
    static bool awaitFiles(const AppState &state)
    {
        return QTest::qWaitFor([&] { return !state.working(); }, 60000);
    }

    // The settings as saved in settings.json.
    static AppSettings stored() { return AppSettings::load(); }

    QTemporaryDir root;
    QString output;
};

// Panels that answer at once with a prepared path (or stay cancelled), and
// records of what was revealed and opened.
class TestDesktop : public Desktop
{
public:
    void chooseFolder(QWidget *, const QString &message, Chosen chosen) override { answer(message, chosen); }
    void choosePlanPage(QWidget *, const QString &message, Chosen chosen) override { answer(message, chosen); }
    void chooseSaveTarget(QWidget *, const QString &folder, const QString &name, const QString &message,
                          Chosen chosen) override
    {
        proposedFolder = folder;
        proposed = name;
        answer(message, chosen);
    }
    void reveal(const QString &path, Opened done) override
    {
        revealed.append(path);
        done(opens ? Opening::opened : Opening::noProgram);
    }
    void openUrl(const QUrl &url, Opened done) override
    {
        opened.append(url);
        done(opens ? Opening::opened : Opening::noProgram);
    }

    // The next panel's answer; empty means cancelled.
    QString next;
    QStringList messages;
    QString proposed;
    QString proposedFolder;
    QStringList revealed;
    QList<QUrl> opened;
    // Whether the desktop has something that takes the addresses.
    bool opens = true;

private:
    void answer(const QString &message, const Chosen &chosen)
    {
        messages.append(message);
        const QString path = std::exchange(next, QString());
        if (!path.isEmpty())
            chosen(path);
    }
};

// Counts the opens of one file by anyone, through the kernel's inotify.
class OpenCounter
{
public:
    explicit OpenCounter(const QString &path)
        : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        inotify_add_watch(m_fd, QFile::encodeName(path).constData(), IN_OPEN);
    }
    ~OpenCounter() { ::close(m_fd); }
    OpenCounter(const OpenCounter &) = delete;
    OpenCounter &operator=(const OpenCounter &) = delete;

    // Opens seen since the last call.
    int take()
    {
        int count = 0;
        alignas(inotify_event) char buffer[4096];
        for (ssize_t n; (n = ::read(m_fd, buffer, sizeof buffer)) > 0;)
            for (char *p = buffer; p < buffer + n; p += sizeof(inotify_event) + reinterpret_cast<inotify_event *>(p)->len)
                ++count;
        return count;
    }

private:
    int m_fd = -1;
};

// A reader held at a file: the file holds `bytes`, and the first open of it
// by anyone waits (a permission event of the kernel's fanotify, which holds
// a non-blocking open too) until the main thread has run while it waits. So
// a reader on the main thread itself is held until the holder gives up on it
// (then the window was frozen), while one beside the event loop goes on at
// once. Taking permission events needs the administrator's rights, which the
// suite runs with; without them the checks that hold readers are skipped.
class HeldFile
{
public:
    // What of a folder is held: its own open (a listing, a lock), or the
    // open of anything in it, a file made there included.
    enum class Folder { itself, anythingIn };

    HeldFile(const QString &path, const QByteArray &bytes)
        : HeldFile()
    {
        QFile::remove(path);
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(bytes);
        file.close();
        mark(path, FAN_OPEN_PERM);
    }
    HeldFile(const QString &folder, Folder which)
        : HeldFile()
    {
        mark(folder, FAN_OPEN_PERM | (which == Folder::itself ? FAN_ONDIR : FAN_EVENT_ON_CHILD));
    }
    ~HeldFile()
    {
        m_stop = true;
        m_thread.join();
        // Closing the group lets every open still waiting go on.
        if (m_fd >= 0)
            ::close(m_fd);
    }
    HeldFile(const HeldFile &) = delete;
    HeldFile &operator=(const HeldFile &) = delete;

    // Whether this process may take permission events; a run without the
    // administrator's rights skips the checks that hold readers.
    static bool canHold()
    {
        const int fd = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }

    // From now on the first reader is held until release(), whatever the
    // main thread does.
    void holdUntilReleased() { m_gated = true; }
    // Whether the first reader is being held now.
    bool readerHeld() const { return m_readerWaiting && !m_served; }
    void release() { m_released = true; }

    // Runs the event loop until the first reader has gone on; whether the
    // main thread ran while it was held.
    bool liveWhileHeld()
    {
        return QTest::qWaitFor([this] { return m_served.load(); }, 60000) && m_live;
    }

private:
    HeldFile()
        : m_fd(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC))
    {
        QObject::connect(&m_beat, &QTimer::timeout, [this] {
            if (m_readerWaiting)
                m_mainRan = true;
        });
        m_beat.start(5);
        m_thread = std::thread([this] { serve(); });
    }

    void mark(const QString &path, uint64_t mask)
    {
        if (m_fd >= 0)
            fanotify_mark(m_fd, FAN_MARK_ADD, mask, AT_FDCWD, QFile::encodeName(path).constData());
    }

    void serve()
    {
        using namespace std::chrono;
        while (!m_stop) {
            alignas(fanotify_event_metadata) char buffer[4096];
            ssize_t n = m_fd < 0 ? -1 : ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0) {
                std::this_thread::sleep_for(milliseconds(1));
                continue;
            }
            for (auto *event = reinterpret_cast<fanotify_event_metadata *>(buffer); FAN_EVENT_OK(event, n);
                 event = FAN_EVENT_NEXT(event, n))
                allow(*event);
        }
    }

    void allow(const fanotify_event_metadata &event)
    {
        using namespace std::chrono;
        const bool first = !m_served;
        if (first) {
            m_readerWaiting = true;
            const auto giveUp = steady_clock::now() + seconds(m_gated ? 60 : 5);
            while (!m_stop && !(m_gated ? m_released.load() : m_mainRan.load()) && steady_clock::now() < giveUp)
                std::this_thread::sleep_for(milliseconds(1));
            m_live = m_mainRan.load();
        }
        const fanotify_response response{event.fd, FAN_ALLOW};
        [[maybe_unused]] const ssize_t written = ::write(m_fd, &response, sizeof response);
        if (event.fd >= 0)
            ::close(event.fd);
        if (first)
            m_served = true;
    }

    int m_fd = -1;
    std::atomic<bool> m_stop = false;
    std::atomic<bool> m_readerWaiting = false;
    std::atomic<bool> m_mainRan = false;
    std::atomic<bool> m_live = false;
    std::atomic<bool> m_served = false;
    std::atomic<bool> m_gated = false;
    std::atomic<bool> m_released = false;
    // Beats on the main thread while the event loop runs.
    QTimer m_beat;
    std::thread m_thread;
};
