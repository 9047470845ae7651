#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The built quarrystone executable run as a script would run it: no
// display, and the home and support folder a test gives. The environment is
// otherwise this process's, so a FakeClaude set up in the test reaches it.
// An empty `support` means <home>/support; an empty `program` the built
// executable (another program, such as a shell, may start it instead).
namespace CommandLine {

struct Outcome {
    int code = -1;
    QString out;
    QString err;
};

// Starts the executable in `process` without waiting for it.
void start(QProcess &process, const QStringList &arguments, const QString &home, const QString &cwd = QString(),
           const QString &support = QString(), const QString &program = QString());

// Runs the executable to its end.
Outcome run(const QStringList &arguments, const QString &home, const QString &cwd = QString(),
            const QString &support = QString(), const QString &program = QString());

// The same while this process's event loop turns, so that a server in this
// process (HttpServer) can answer the executable.
Outcome runServing(const QStringList &arguments, const QString &home, const QString &cwd = QString());

// Sends `signal` to the process `process` runs, if it still has one. A
// process that has ended has the number 0, which kill() takes for this
// whole process group, the test runner's included; one that ended but is
// not yet reaped still owns its number.
void signal(const QProcess &process, int signal);

// Writes <home>/support/settings.json.
void writeSettings(const QString &home, const QByteArray &json);

// The settings of a revision: the stand-in tool, a user name, and empty
// Android and iOS repositories made in `work`.
void writeRevisionSettings(const QString &home, const QString &work);

} // namespace CommandLine
