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
#include <functional>
#include <sys/inotify.h>
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
    void reveal(const QString &path) override { revealed.append(path); }
    bool openUrl(const QUrl &url) override
    {
        opened.append(url);
        return opens;
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
