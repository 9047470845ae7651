#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The built quarrystone executable run as a script would run it: no
// display, and the home and support folder a test gives. The environment is
// otherwise this process's, so a FakeClaude set up in the test reaches it.
namespace CommandLine {

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

// Starts the executable in `process` without waiting for it.
void start(QProcess &process, const QStringList &arguments, const QString &home, const QString &cwd = QString());

// Runs the executable to its end (at most a minute).
Outcome run(const QStringList &arguments, const QString &home, const QString &cwd = QString());

// Writes <home>/support/settings.json.
void writeSettings(const QString &home, const QByteArray &json);

} // namespace CommandLine
