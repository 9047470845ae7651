// fake-claude: stands in for the `claude` command-line tool in tests.
//
// It reads a scenario from the JSON file named by FAKE_CLAUDE_SCENARIO and
// appends one JSON object per line to the file named by FAKE_CLAUDE_LOG
// (when set), each written in one go so parallel runs never interleave:
//
//   {"record":"start","pid":N,"args":[...],"cwd":"...","env":{...},
//    "fds":[0,1,2],"stdin":"...",
//    "terminal":{"isatty":[true,true,true],"controlling":true,"sessionLeader":true,
//                "session":N},
//    "mcpConfig":{"path":"...","text":"...","mode":"600","folderMode":"700"}}
//       written after standard input was read and before the first step;
//       "args" excludes the program name; "fds" are the descriptors open at
//       start; "terminal" tells which of 0, 1, 2 are terminals, whether
//       /dev/tty (a controlling terminal) can be opened, whether the
//       process leads its own session and its session's number (0 when the
//       leader is outside its PID namespace); "stdin" is absent when the scenario
//       does not read standard input; "mcpConfig" is present when
//       --mcp-config names a file.
//   {"record":"sigterm","pid":N}       SIGTERM arrived during awaitSigterm
//   {"record":"grandchild","grandchild":M,"pid":N}  a holdPipes step forked M
//   {"record":"child","child":M,"pid":N}  a startChild step forked M
//   {"record":"line","text":"...","pid":N}  what a readLine step read, its
//                                 ending "\r" or "\n" included
//
// Scenario (every member optional):
//
//   {
//     "readStdin": true,          read standard input to its end first
//                                 (false: leave it unread)
//     "stdinDelay": ms,           wait this long before reading it
//     "responses": [              the first whose conditions all hold answers
//       {"args": ["--version"],             exact arguments
//        "argsContain": ["--continue"],     each of these is an argument
//        "stdinContains": "text",           standard input holds this text
//        "steps": [...], "exit": 0}
//     ],
//     "steps": [...],             the answer when no response matches
//     "exit": 0                   status after the last step
//   }
//
// Steps, in order:
//   {"out": "text"}  {"err": "text"}      raw text to standard output / error
//   {"event": {...}, "split": 10, "crlf": true}
//                                 one JSON line on standard output; "split"
//                                 writes its first N bytes, pauses, then the
//                                 rest; "crlf" ends it with "\r\n"
//   {"repeat": N, "event": {...}}  the same JSON line N times, written in
//                                 large chunks
//   {"savedResult": {"id": "toolu_1", "text": "...", "form": "json" | "txt"}}
//                                 a tool result too large to pass on inline,
//                                 as the real tool (2.1.337) sends one above
//                                 about 50 KB: the text goes to
//                                 ~/.claude/projects/<folder>/<session>/
//                                 tool-results/<id>.json (a JSON array of
//                                 text blocks; .txt: the bare text), and the
//                                 result for tool use "id" is
//                                 "<persisted-output>" with a notice naming
//                                 that file and the file's first 2 KB
//   {"readSaved": "toolu_2"}      a Read (tool use "toolu_2") of the last
//                                 saved result and its answer, the whole file
//                                 with numbered lines, as the real tool gives
//                                 it to a run that offers Read: it lets a run
//                                 read its own saved results and refuses
//                                 files outside its folders
//   {"fill": "out" | "err", "bytes": N}  N bytes of filler lines
//   {"sleep": ms}
//   {"awaitSigterm": {"ignore": false}}  sleep until SIGTERM and log it; then
//                                 die of it, or with "ignore" keep sleeping
//                                 (only SIGKILL ends it). With such a step
//                                 SIGTERM is held back from the start, so
//                                 one sent during earlier steps waits for it.
//   {"writeFile": "relative/path", "content": "text"}  in the working folder
//                                 (missing folders on the way are made)
//   {"remove": "relative/path"}   delete that file of the working folder
//   {"run": ["git", "diff", "--output=x"]}  run that program (found on PATH)
//                                 in the working folder and wait for it, as
//                                 the real tool's Bash step does with a
//                                 command it lets through
//   {"awaitFile": "path", "content": "text"}  wait until the file (relative to
//                                 the working folder) holds exactly that text
//   {"holdPipes": ms}             fork a grandchild that keeps standard
//                                 output and error open for ms
//   {"startChild": {"ms": N, "ignoreSigterm": true}}
//                                 fork a child of its own, as the real tool
//                                 starts its MCP servers and Bash commands:
//                                 it lets go of the pipes, stays in the
//                                 tool's process group, lives N ms (for
//                                 ever when absent) and, with
//                                 "ignoreSigterm", outlives SIGTERM (and
//                                 with "ignoreSighup" a hang-up); with
//                                 "write": {"path", "content", "ms",
//                                 "afterSigterm"} it writes that file of the
//                                 working folder ms after its start, or ms
//                                 after a SIGTERM it then outlives
//   {"signal": N}                 raise signal N
//   {"raw": true}                 put the terminal on standard input in raw
//                                 mode (no echo, "\r" not turned into
//                                 "\n"), as interactive tools do
//   {"readLine": true}            read standard input up to and including
//                                 the first "\r" or "\n" and log it; when
//                                 standard input is not a terminal, say so
//                                 on standard error and exit with 1
//   {"exit": N}                   end at once with status N
//
// Examples: {"responses":[{"args":["--version"],"steps":[{"out":"2.1.0 (Claude Code)\n"}]},
// {"args":["auth","status","--json"],"steps":[{"out":"{\"loggedIn\":true}\n"}]},
// {"args":["mcp","get","figma"],"steps":[{"out":"figma:\n  Status: ✓ Connected\n"}],"exit":0}]}

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

extern char **environ;

namespace {

volatile std::sig_atomic_t termReceived = 0;

void onTerm(int)
{
    termReceived = 1;
}

void writeAll(int fd, const QByteArray &bytes)
{
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += n;
    }
}

// Numbers as the test sees them: a run may have a PID namespace of its
// own, where getpid() counts from 1, while /proc (the system's, seen
// through) names each process by its number outside.
qint64 hostPid()
{
    char link[32] = {};
    return ::readlink("/proc/self", link, sizeof link - 1) > 0 ? QByteArray(link).toLongLong() : ::getpid();
}

// The newest child of this process, numbered as the test sees it.
qint64 hostPidOfChild(pid_t child)
{
    QFile file(QStringLiteral("/proc/%1/task/%1/children").arg(hostPid()));
    if (!file.open(QIODevice::ReadOnly))
        return child;
    const QList<QByteArray> children = file.readAll().trimmed().split(' ');
    return children.isEmpty() || children.last().isEmpty() ? child : children.last().toLongLong();
}

void logRecord(QJsonObject record)
{
    const QByteArray path = qgetenv("FAKE_CLAUDE_LOG");
    if (path.isEmpty())
        return;
    record.insert("pid", hostPid());
    const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return;
    writeAll(fd, QJsonDocument(record).toJson(QJsonDocument::Compact) + '\n');
    ::close(fd);
}

QJsonArray openDescriptors()
{
    QJsonArray fds;
    DIR *dir = ::opendir("/proc/self/fd");
    if (!dir)
        return fds;
    const int own = ::dirfd(dir);
    while (const dirent *entry = ::readdir(dir)) {
        bool ok = false;
        const int fd = QByteArray(entry->d_name).toInt(&ok);
        if (ok && fd != own)
            fds.append(fd);
    }
    ::closedir(dir);
    return fds;
}

QJsonObject environmentObject()
{
    QJsonObject env;
    for (char **entry = environ; *entry; ++entry) {
        const QByteArray pair(*entry);
        const qsizetype equals = pair.indexOf('=');
        if (equals > 0)
            env.insert(QString::fromUtf8(pair.left(equals)), QString::fromUtf8(pair.mid(equals + 1)));
    }
    return env;
}

QString octalMode(const QString &path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QString();
    return QString::number(info.st_mode & 07777, 8);
}

QJsonObject mcpConfigRecord(const QStringList &args)
{
    const qsizetype at = args.indexOf("--mcp-config");
    if (at < 0 || at + 1 >= args.size())
        return {};
    const QString path = args[at + 1];
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{"path", path}};
    return {{"path", path},
            {"text", QString::fromUtf8(file.readAll())},
            {"mode", octalMode(path)},
            {"folderMode", octalMode(QFileInfo(path).absolutePath())}};
}

QJsonObject terminalRecord()
{
    const int tty = ::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (tty >= 0)
        ::close(tty);
    return {{"isatty", QJsonArray{::isatty(0) == 1, ::isatty(1) == 1, ::isatty(2) == 1}},
            {"controlling", tty >= 0},
            {"sessionLeader", ::getsid(0) == ::getpid()},
            {"session", static_cast<qint64>(::getsid(0))}};
}

void makeRaw()
{
    termios mode {};
    if (::tcgetattr(0, &mode) != 0)
        return;
    ::cfmakeraw(&mode);
    ::tcsetattr(0, TCSANOW, &mode);
}

void readLine()
{
    if (!::isatty(0)) {
        writeAll(2, "Error: standard input is not a terminal\n");
        std::exit(1);
    }
    QByteArray line;
    char c = 0;
    for (;;) {
        const ssize_t n = ::read(0, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        line.append(c);
        if (c == '\r' || c == '\n')
            break;
    }
    logRecord({{"record", "line"}, {"text", QString::fromUtf8(line)}});
}

QByteArray readAllStdin()
{
    QByteArray bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(0, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return bytes;
        bytes.append(buffer, n);
    }
}

bool matches(const QJsonObject &response, const QStringList &args, const QByteArray &input)
{
    if (response.contains("args")) {
        QStringList wanted;
        for (const QJsonValue &v : response.value("args").toArray())
            wanted.append(v.toString());
        if (wanted != args)
            return false;
    }
    for (const QJsonValue &v : response.value("argsContain").toArray())
        if (!args.contains(v.toString()))
            return false;
    if (response.contains("stdinContains") && !input.contains(response.value("stdinContains").toString().toUtf8()))
        return false;
    return true;
}

sigset_t termOnly()
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    return term;
}

// Held back from the start when a step awaits it, so a SIGTERM sent while
// earlier steps run is not lost to the default action.
void trapSigterm()
{
    const sigset_t term = termOnly();
    sigprocmask(SIG_BLOCK, &term, nullptr);
    struct sigaction action {};
    action.sa_handler = onTerm;
    sigaction(SIGTERM, &action, nullptr);
}

void awaitSigterm(bool ignore)
{
    const sigset_t term = termOnly();
    sigset_t none;
    sigemptyset(&none);
    for (;;) {
        while (!termReceived)
            sigsuspend(&none);
        termReceived = 0;
        logRecord({{"record", "sigterm"}});
        if (!ignore) {
            std::signal(SIGTERM, SIG_DFL);
            sigprocmask(SIG_UNBLOCK, &term, nullptr);
            std::raise(SIGTERM);
        }
    }
}

void holdPipes(int ms)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        ::_exit(0);
    }
    logRecord({{"record", "grandchild"}, {"grandchild", hostPidOfChild(pid)}});
}

// What a child started by startChild writes later: the file `path` of the
// working folder, `ms` after its start, or `ms` after a SIGTERM (which it
// then outlives) with "afterSigterm".
void writeLater(const QJsonObject &write)
{
    if (write.value("afterSigterm").toBool()) {
        std::signal(SIGTERM, onTerm);
        const sigset_t term = termOnly();
        sigprocmask(SIG_UNBLOCK, &term, nullptr);
        while (!termReceived)
            ::pause();
        std::signal(SIGTERM, SIG_IGN);
    }
    ::usleep(static_cast<useconds_t>(write.value("ms").toInteger()) * 1000);
    QFile file(write.value("path").toString());
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(write.value("content").toString().toUtf8());
}

void startChild(const QJsonObject &step)
{
    const qint64 ms = step.value("ms").toInteger(-1);
    const bool ignoreTerm = step.value("ignoreSigterm").toBool();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd)
            ::dup2(null, fd);
        std::signal(SIGTERM, ignoreTerm ? SIG_IGN : SIG_DFL);
        if (step.value("ignoreSighup").toBool())
            std::signal(SIGHUP, SIG_IGN);
        const sigset_t term = termOnly();
        sigprocmask(SIG_UNBLOCK, &term, nullptr);
        if (step.contains("write"))
            writeLater(step.value("write").toObject());
        if (ms < 0)
            for (;;)
                ::pause();
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        ::_exit(0);
    }
    logRecord({{"record", "child"}, {"child", hostPidOfChild(pid)}});
}

void fill(int fd, qint64 bytes)
{
    QByteArray line(1023, 'x');
    line.append('\n');
    for (qint64 left = bytes; left > 0; left -= line.size())
        writeAll(fd, left >= line.size() ? line : line.left(left));
}

void writeEvent(const QJsonObject &step)
{
    QByteArray line = QJsonDocument(step.value("event").toObject()).toJson(QJsonDocument::Compact);
    line.append(step.value("crlf").toBool() ? "\r\n" : "\n");
    const qsizetype split = step.value("split").toInt(0);
    if (split > 0 && split < line.size()) {
        writeAll(1, line.left(split));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        writeAll(1, line.mid(split));
    } else {
        writeAll(1, line);
    }
}

void repeatEvent(const QJsonObject &step)
{
    QByteArray line = QJsonDocument(step.value("event").toObject()).toJson(QJsonDocument::Compact);
    line.append('\n');
    QByteArray chunk;
    for (qint64 left = step.value("repeat").toInteger(); left > 0; --left) {
        chunk.append(line);
        if (chunk.size() >= 1 << 16) {
            writeAll(1, chunk);
            chunk.clear();
        }
    }
    writeAll(1, chunk);
}

// Where the real tool (2.1.337) keeps a run's large tool results:
// ~/.claude/projects/<working folder, every other character than a letter or
// digit made "-">/<session>/tool-results/.
QString toolResultsFolder()
{
    QString slug = QDir::currentPath();
    for (QChar &c : slug)
        if (!(c.isLetterOrNumber() && c.unicode() < 128))
            c = u'-';
    return QStringLiteral("%1/.claude/projects/%2/fake-session-%3/tool-results")
        .arg(QDir::homePath(), slug)
        .arg(::getpid());
}

QString lastSavedResult;

void savedResult(const QJsonObject &saved)
{
    const bool json = saved.value("form").toString() == "json";
    const QString text = saved.value("text").toString();
    const QString id = saved.value("id").toString();
    const QString path = toolResultsFolder() + "/" + id + (json ? ".json" : ".txt");
    QDir().mkpath(QFileInfo(path).absolutePath());
    const QByteArray content = json
        ? QJsonDocument(QJsonArray{QJsonObject{{"type", "text"}, {"text", text}}}).toJson()
        : text.toUtf8();
    QFile file(path);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    file.close();
    lastSavedResult = path;
    const QString notice = json ? QStringLiteral("Output too large (%1KB). Full output saved to: %2")
                                      .arg(QString::number(content.size() / 1024.0, 'f', 1), path)
                                : QStringLiteral("Output has been saved to %1.").arg(path);
    const QString head = QString::fromUtf8(content.left(2048));
    const QString preview = "<persisted-output>\n" + notice + "\n\nPreview (first 2KB):\n" + head
        + "\n...\n</persisted-output>";
    const QJsonObject result{{"type", "tool_result"}, {"tool_use_id", id}, {"content", preview}};
    const QJsonObject event{{"type", "user"}, {"message", QJsonObject{{"content", QJsonArray{result}}}}};
    writeAll(1, QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n');
}

// A Read of the last saved result, whole, as the real tool answers it: each
// line after its number and a tab.
void readSaved(const QString &id)
{
    const QJsonObject use{{"type", "tool_use"}, {"id", id}, {"name", "Read"},
                          {"input", QJsonObject{{"file_path", lastSavedResult}}}};
    writeAll(1, QJsonDocument(QJsonObject{{"type", "assistant"},
                                          {"message", QJsonObject{{"content", QJsonArray{use}}}}})
                        .toJson(QJsonDocument::Compact)
                    + '\n');
    QFile file(lastSavedResult);
    QStringList lines;
    if (file.open(QIODevice::ReadOnly))
        lines = QString::fromUtf8(file.readAll()).split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    for (qsizetype i = 0; i < lines.size(); ++i)
        lines[i] = QString::number(i + 1) + '\t' + lines[i];
    const QJsonObject result{{"type", "tool_result"}, {"tool_use_id", id}, {"content", lines.join('\n')}};
    writeAll(1, QJsonDocument(QJsonObject{{"type", "user"},
                                          {"message", QJsonObject{{"content", QJsonArray{result}}}}})
                        .toJson(QJsonDocument::Compact)
                    + '\n');
}

void runStep(const QJsonObject &step)
{
    if (step.contains("out"))
        writeAll(1, step.value("out").toString().toUtf8());
    else if (step.contains("err"))
        writeAll(2, step.value("err").toString().toUtf8());
    else if (step.contains("repeat"))
        repeatEvent(step);
    else if (step.contains("event"))
        writeEvent(step);
    else if (step.contains("savedResult"))
        savedResult(step.value("savedResult").toObject());
    else if (step.contains("readSaved"))
        readSaved(step.value("readSaved").toString());
    else if (step.contains("fill"))
        fill(step.value("fill").toString() == "err" ? 2 : 1, step.value("bytes").toInteger());
    else if (step.contains("sleep"))
        std::this_thread::sleep_for(std::chrono::milliseconds(step.value("sleep").toInteger()));
    else if (step.contains("awaitSigterm"))
        awaitSigterm(step.value("awaitSigterm").toObject().value("ignore").toBool());
    else if (step.contains("writeFile")) {
        const QString path = QDir::current().absoluteFilePath(step.value("writeFile").toString());
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            file.write(step.value("content").toString().toUtf8());
    } else if (step.contains("remove"))
        QFile::remove(QDir::current().absoluteFilePath(step.value("remove").toString()));
    else if (step.contains("run")) {
        QStringList command;
        for (const QJsonValue &word : step.value("run").toArray())
            command.append(word.toString());
        // Its output is read and dropped: on standard output it would break
        // the event stream.
        QProcess process;
        if (!command.isEmpty())
            process.start(command.takeFirst(), command);
        process.waitForFinished(-1);
    } else if (step.contains("awaitFile")) {
        const QString path = QDir::current().absoluteFilePath(step.value("awaitFile").toString());
        const QByteArray wanted = step.value("content").toString().toUtf8();
        for (;;) {
            QFile file(path);
            if (file.open(QIODevice::ReadOnly) && file.readAll() == wanted)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    } else if (step.contains("holdPipes"))
        holdPipes(step.value("holdPipes").toInt());
    else if (step.contains("startChild"))
        startChild(step.value("startChild").toObject());
    else if (step.contains("signal"))
        std::raise(step.value("signal").toInt());
    else if (step.contains("raw"))
        makeRaw();
    else if (step.contains("readLine"))
        readLine();
    else if (step.contains("exit"))
        std::exit(step.value("exit").toInt());
}

} // namespace

int main(int argc, char **argv)
{
    const QJsonArray fds = openDescriptors();
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromUtf8(argv[i]));

    QJsonObject scenario;
    QFile scenarioFile(QString::fromUtf8(qgetenv("FAKE_CLAUDE_SCENARIO")));
    if (scenarioFile.open(QIODevice::ReadOnly))
        scenario = QJsonDocument::fromJson(scenarioFile.readAll()).object();

    QJsonObject start{{"record", "start"},
                      {"args", QJsonArray::fromStringList(args)},
                      {"cwd", QDir::currentPath()},
                      {"env", environmentObject()},
                      {"fds", fds},
                      {"terminal", terminalRecord()}};
    const QJsonObject mcpConfig = mcpConfigRecord(args);
    if (!mcpConfig.isEmpty())
        start.insert("mcpConfig", mcpConfig);
    QByteArray input;
    if (scenario.value("readStdin").toBool(true)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(scenario.value("stdinDelay").toInteger()));
        input = readAllStdin();
        start.insert("stdin", QString::fromUtf8(input));
    }

    QJsonObject answer = scenario;
    for (const QJsonValue &response : scenario.value("responses").toArray()) {
        if (matches(response.toObject(), args, input)) {
            answer = response.toObject();
            break;
        }
    }
    const QJsonArray steps = answer.value("steps").toArray();
    for (const QJsonValue &step : steps)
        if (step.toObject().contains("awaitSigterm"))
            trapSigterm();
    // Logged once SIGTERM is trapped: a test that waits for this record can
    // cancel without racing the set-up.
    logRecord(start);
    for (const QJsonValue &step : steps)
        runStep(step.toObject());
    return answer.value("exit").toInt(0);
}
