#include "process/spawn.h"
#include "support/fakeclaude.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <clocale>
#include <csignal>
#include <memory>

#ifdef QUARRYSTONE_TEST_GUI
#include <QApplication>
#endif

// Every test process runs with its own home, support folder, time zone and
// locale, so nothing on the developer's machine leaks into a result.
int main(int argc, char **argv)
{
    std::signal(SIGPIPE, SIG_IGN);
    testing::InitGoogleTest(&argc, argv);
    // Test discovery only lists: no application, so no display is needed.
    // (The flag is read after InitGoogleTest, which takes it out of argv.)
    if (GTEST_FLAG_GET(list_tests))
        return RUN_ALL_TESTS();

    QTemporaryDir home;
    if (!home.isValid())
        return 3;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/.local/share").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/.config").toUtf8());
    qputenv("QUARRYSTONE_SUPPORT", (home.path() + "/support").toUtf8());
    // Started by a test that set up a stand-in: the runs of this process
    // find it too.
    FakeClaude::pointHome(home.path());
    // The private temporary folder too: test processes run side by side,
    // and what one of them makes or clears there must not meet another's.
    // Tests that run a step as another user reach their folders in it, so
    // the folders above it can be passed through, though not listed.
    const QString temp = home.path() + "/tmp";
    if (!QDir().mkpath(temp) || !QFile::setPermissions(home.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                                           | QFileDevice::ExeOwner | QFileDevice::ExeGroup
                                                           | QFileDevice::ExeOther)
        || !QFile::setPermissions(temp, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                            | QFileDevice::ExeGroup | QFileDevice::ExeOther))
        return 3;
    qputenv("TMPDIR", temp.toUtf8());
    qputenv("TZ", "UTC");
    qputenv("LC_ALL", "C.UTF-8");
    std::setlocale(LC_ALL, "C.UTF-8");

#ifdef QUARRYSTONE_TEST_GUI
    // Views may hold the plan page; Chromium's sandbox cannot start as root,
    // and the tests show only pages they wrote.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
#else
    QCoreApplication app(argc, argv);
#endif
    const int failed = RUN_ALL_TESTS();
    // As the application does at its end: a check a test left running
    // must not outlive the test process.
    Spawn::endChildren();
    return failed;
}
