#pragma once

#include <QApplication>
#include <QByteArray>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

// The main of a benchmark of windows: a home of its own, the environment the
// views and the browser engine need, and the application the benchmarks run
// in. `scratch` points at the home folder while they run.
namespace WindowBench {

inline int main(int argc, char **argv, QTemporaryDir *&scratch)
{
    QTemporaryDir home;
    scratch = &home;
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/.local/share")).toUtf8());
    qputenv("QUARRYSTONE_SUPPORT", (home.path() + QStringLiteral("/support")).toUtf8());
    qputenv("TZ", "UTC");
    qputenv("LC_ALL", "C.UTF-8");
    // The engine's sandbox refuses to run as root.
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
        qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
    QApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    scratch = nullptr;
    return 0;
}

} // namespace WindowBench
