// fake-claude: stands in for the `claude` command-line tool in tests.
//
// It reads a scenario from the JSON file named by FAKE_CLAUDE_SCENARIO and
// appends one JSON object per line to the file named by FAKE_CLAUDE_LOG
// (when set), each written in one go so parallel runs never interleave.
// A run's environment holds only what a run needs, so when these are not
// set the stand-in takes them from the environment an ancestor started
// with, or else from ~/.fake-claude.json, and starts again with them (they
// are left out of the environment it logs):
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
//       --mcp-config names a file, and "settings" (the file's text) when
//       --settings names one.
//   {"record":"sigterm","pid":N}       SIGTERM arrived during awaitSigterm
//   {"record":"end","cpu":S,"pid":N}    the last step is done; S is the CPU
//                                 seconds the stand-in and its children used
//   (every record also holds "pidNamespace", the inode of the PID namespace
//   whose numbers "pid", "child" and "grandchild" are)
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
//   {"savedResult": {"id": "toolu_1", "text": "...", "form": "json" | "txt",
//                    "missing": false}}
//                                 a tool result too large to pass on inline,
//                                 ("missing": the file is not written), as
//                                 the real tool (2.1.197) sends one above
//                                 about 50 KB: the text goes to
//                                 ~/.claude/projects/<folder>/<session>/
//                                 tool-results/<id>.json (a JSON array of
//                                 one text block, its text on one line;
//                                 .txt: the bare text), and the
//                                 result for tool use "id" is
//                                 "<persisted-output>" with a notice naming
//                                 that file and the file's first 2 KB;
//                                 "form": "limit" is the other form the
//                                 real tool (2.1.337) uses, for results
//                                 above about 600 KB: the bare text goes to
//                                 tool-results/<tool>-<time>-<tag>.txt and
//                                 the result is "Error: result (<n>
//                                 characters across <m> lines) exceeds
//                                 maximum allowed tokens. Output has been
//                                 saved to <file>." with its advice after;
//                                 "line" the same for a text of one line
//                                 ("across 1 line"), "blocks" for a result
//                                 of several blocks ("(<n> characters)",
//                                 saved as "json" is). Every form the real
//                                 tool has: saved-results.md beside this
//   {"readSaved": "toolu_2", "offset": 1, "limit": 2000}
//                                 a Read (tool use "toolu_2") of the last
//                                 saved result and its answer, the file (or
//                                 the lines asked for) with numbered lines,
//                                 as the real tool gives
//                                 it to a run that offers Read: it lets a run
//                                 read its own saved results and refuses
//                                 files outside its folders
//   {"mcpCall": {"id": "toolu_3", "name": "mcp__wiki__updatePage", "input": {...}}}
//                                 the model calls an MCP tool: a tool use,
//                                 then its result as the real tool (2.1.197)
//                                 gives it under "--permission-mode
//                                 dontAsk": a tool allowed by its full name
//                                 or by its whole server ("mcp__wiki") in
//                                 "--allowedTools" or in a settings file the
//                                 run loads (below), and refused by neither
//                                 in "--disallowedTools" nor in such a file,
//                                 is called on the server that
//                                 "--mcp-config" names (a command speaking
//                                 MCP over its standard input and output);
//                                 any other is denied with the tool's own
//                                 words, found through ToolSearch or not.
//                                 The PreToolUse hooks of the loaded
//                                 settings run before it.
//
// Settings files, as the real tool (2.1.337) loads them: the person's
// ($CLAUDE_CONFIG_DIR/settings.json, else ~/.claude/settings.json), the
// working folder's .claude/settings.json and .claude/settings.local.json,
// each only when "--setting-sources" names its source ("user", "project",
// "local"; all three without the option, none when it is empty), and the
// file "--settings" names, always. The "permissions" "allow" and "deny"
// rules of every loaded file add to the run's own, and the "command" of
// each of their "SessionStart" hooks runs (through /bin/sh -c) before the
// first step.
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
//   {"bash": "command"}           run the command as the real tool's Bash step
//                                 (2.1.337) does: as "$CLAUDE_CODE_SHELL_PREFIX
//                                 '<command>'" where that is set (the program
//                                 gets the whole command as its one
//                                 argument), else with "bash -c", and wait;
//                                 the command inherits the tool's environment
//                                 but CLAUDE_CODE_OAUTH_TOKEN, which the real
//                                 tool keeps from it (ANTHROPIC_API_KEY it
//                                 passes on). CLAUDE_CODE_SUBPROCESS_ENV_SCRUB=1
//                                 makes the real tool force the permission
//                                 mode to "default" and refuse every command
//                                 without a sandbox of its own (which wants
//                                 socat): not modelled
//   {"openBrowser": "address"}   open the address as the real tool (2.1.337)
//                                 does: "$BROWSER <address>", waited for
//                                 (xdg-open when BROWSER is unset)
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
//                                 after a SIGTERM it then outlives; with
//                                 "daemonise" it leaves the group
//                                 (setsid) and works in "/", as a daemon;
//                                 with "emptyEnvironment" it then does its
//                                 write as /bin/sh started with no
//                                 environment at all (`env -i`), so no
//                                 variable of the run names it
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
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <utility>
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

// A run may have a PID namespace and a /proc of its own, whose numbers mean
// nothing outside it: every number logged is as this process's namespace
// counts it, with that namespace's inode, by which the test finds the
// process among its own.
qint64 pidNamespace()
{
    struct stat info {};
    return ::stat("/proc/self/ns/pid", &info) == 0 ? static_cast<qint64>(info.st_ino) : 0;
}

// Logged by the process itself, or by a child of it for `parent`.
void logRecord(QJsonObject record, qint64 parent = 0)
{
    const QByteArray path = qgetenv("FAKE_CLAUDE_LOG");
    if (path.isEmpty())
        return;
    record.insert("pid", parent > 0 ? parent : static_cast<qint64>(::getpid()));
    record.insert("pidNamespace", pidNamespace());
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

const QList<QByteArray> ownSettings{"FAKE_CLAUDE_SCENARIO", "FAKE_CLAUDE_LOG"};
const QByteArray foundMark = "FAKE_CLAUDE_FOUND";

QJsonObject environmentObject()
{
    const bool found = qEnvironmentVariableIsSet(foundMark.constData());
    QJsonObject env;
    for (char **entry = environ; *entry; ++entry) {
        const QByteArray pair(*entry);
        const qsizetype equals = pair.indexOf('=');
        const QByteArray name = pair.left(equals);
        if (equals > 0 && !(found && (ownSettings.contains(name) || name == foundMark)))
            env.insert(QString::fromUtf8(name), QString::fromUtf8(pair.mid(equals + 1)));
    }
    return env;
}

// The scenario and log of the nearest ancestor whose environment names
// them, else of the pointer file in the home folder.
QHash<QByteArray, QByteArray> inheritedSettings()
{
    QHash<QByteArray, QByteArray> settings;
    // Numbers as /proc counts them: a run in a PID namespace of its own may
    // see the system's /proc, in which getppid()'s number names someone else.
    const auto parentOf = [](const QString &pid) {
        QFile status(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            return 0;
        const QByteArray stat = status.readAll();
        return stat.mid(stat.lastIndexOf(')') + 2).split(' ').value(1).toInt();
    };
    for (pid_t pid = parentOf(QStringLiteral("self")); pid >= 1 && settings.isEmpty();
         pid = parentOf(QString::number(pid))) {
        QFile environment(QStringLiteral("/proc/%1/environ").arg(pid));
        if (environment.open(QIODevice::ReadOnly))
            for (const QByteArray &pair : environment.readAll().split('\0'))
                for (const QByteArray &name : ownSettings)
                    if (pair.startsWith(name + '='))
                        settings.insert(name, pair.mid(name.size() + 1));
    }
    QFile pointer(QDir::homePath() + "/.fake-claude.json");
    if (settings.isEmpty() && pointer.open(QIODevice::ReadOnly)) {
        const QJsonObject named = QJsonDocument::fromJson(pointer.readAll()).object();
        for (const QByteArray &name : ownSettings)
            settings.insert(name, named.value(QString::fromLatin1(name)).toString().toUtf8());
    }
    return settings;
}

void findSettings(char **argv)
{
    if (qEnvironmentVariableIsSet("FAKE_CLAUDE_SCENARIO"))
        return;
    const QHash<QByteArray, QByteArray> settings = inheritedSettings();
    if (settings.value("FAKE_CLAUDE_SCENARIO").isEmpty())
        return;
    for (auto it = settings.begin(); it != settings.end(); ++it)
        ::setenv(it.key().constData(), it.value().constData(), 1);
    ::setenv(foundMark.constData(), "1", 1);
    ::execv("/proc/self/exe", argv);
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

// Forks; the child logs itself as `kind` of this process, by the number the
// test knows it by, before this process goes on. 0 in the child.
pid_t forkLogged(const QString &kind)
{
    const qint64 parent = ::getpid();
    int logged[2];
    if (::pipe2(logged, O_CLOEXEC) != 0)
        std::abort();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(logged[0]);
        logRecord({{"record", kind}, {kind, static_cast<qint64>(::getpid())}}, parent);
        ::close(logged[1]);
        return 0;
    }
    ::close(logged[1]);
    char none = 0;
    while (::read(logged[0], &none, 1) < 0 && errno == EINTR) {
    }
    ::close(logged[0]);
    return pid;
}

void holdPipes(int ms)
{
    if (forkLogged("grandchild") == 0) {
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        ::_exit(0);
    }
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
    QFile file(QDir(qEnvironmentVariable("FAKE_CLAUDE_WORK", QDir::currentPath())).filePath(write.value("path").toString()));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(write.value("content").toString().toUtf8());
}

// What a daemon does: a session of its own, so out of the tool's process
// group, and "/" as its working folder, after the folder it writes in has
// become an absolute path.
void daemonise()
{
    ::setsid();
    qputenv("FAKE_CLAUDE_WORK", QDir::currentPath().toUtf8());
    [[maybe_unused]] const int moved = ::chdir("/");
}

void startChild(const QJsonObject &step)
{
    const qint64 ms = step.value("ms").toInteger(-1);
    const bool ignoreTerm = step.value("ignoreSigterm").toBool();
    if (forkLogged("child") == 0) {
        if (step.value("daemonise").toBool())
            daemonise();
        const int null = ::open("/dev/null", O_RDWR);
        for (int fd = 0; fd <= 2; ++fd)
            ::dup2(null, fd);
        std::signal(SIGTERM, ignoreTerm ? SIG_IGN : SIG_DFL);
        if (step.value("ignoreSighup").toBool())
            std::signal(SIGHUP, SIG_IGN);
        const sigset_t term = termOnly();
        sigprocmask(SIG_UNBLOCK, &term, nullptr);
        if (step.value("emptyEnvironment").toBool()) {
            const QJsonObject write = step.value("write").toObject();
            const QByteArray seconds = QByteArray::number(write.value("ms").toInteger() / 1000.0);
            const QByteArray content = write.value("content").toString().toUtf8();
            const QByteArray target = QFile::encodeName(
                QDir(qEnvironmentVariable("FAKE_CLAUDE_WORK", QDir::currentPath())).filePath(write.value("path").toString()));
            const char *argv[] = {"sh", "-c", "sleep \"$0\"; printf %s \"$1\" > \"$2\"",
                                  seconds.constData(), content.constData(), target.constData(), nullptr};
            char *none[] = {nullptr};
            ::execve("/bin/sh", const_cast<char **>(argv), none);
            ::_exit(127);
        }
        if (step.contains("write"))
            writeLater(step.value("write").toObject());
        if (ms < 0)
            for (;;)
                ::pause();
        ::usleep(static_cast<useconds_t>(ms) * 1000);
        ::_exit(0);
    }
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

// The result the real tool (2.1.337) gives in place of one above about
// 600 KB, naming the file that holds it.
QString limitNotice(const QString &text, const QString &path, bool blocks)
{
    const QLocale english(QLocale::English);
    const qsizetype lines = text.count('\n') + (text.endsWith('\n') ? 0 : 1);
    const QString size = blocks ? english.toString(text.size()) + " characters"
                                : QStringLiteral("%1 characters across %2 %3")
                                      .arg(english.toString(text.size()), english.toString(lines),
                                           lines == 1 ? "line" : "lines");
    return QStringLiteral("Error: result (%1) exceeds maximum allowed tokens. "
                          "Output has been saved to %2.\nFormat: %3\n"
                          "Use offset and limit parameters to read specific portions of the file, search within it "
                          "for specific content, and jq to make structured queries.\n"
                          "REQUIREMENTS FOR SUMMARIZATION/ANALYSIS/REVIEW:\n"
                          "- You MUST read the content from the file at %2 in sequential chunks until 100% of the "
                          "content has been read.\n"
                          "- If you receive truncation warnings when reading the file, reduce the chunk size until "
                          "you have read 100% of the content without truncation.\n"
                          "- Before producing ANY summary or analysis, you MUST explicitly describe what portion of "
                          "the content you have read. ***If you did not read the entire content, you MUST explicitly "
                          "state this.***\n"
                          "- If after a few attempts you cannot read the file (file not found, lines too long for "
                          "Read's offset/limit, no shell access), STOP retrying. Summarize what you were able to "
                          "read, explicitly state which portion you could not read and why, and proceed.\n")
        .arg(size, path, blocks ? "JSON array" : "Plain text");
}

void savedResult(const QJsonObject &saved)
{
    const QString form = saved.value("form").toString();
    // "line" and "blocks" are the error's other wordings (2.1.337), for a
    // text of one line and a result of several blocks, saved as JSON.
    const bool limit = form == "limit" || form == "line" || form == "blocks";
    const bool json = form == "json" || form == "blocks";
    const QString text = saved.value("text").toString();
    const QString id = saved.value("id").toString();
    const QString path = toolResultsFolder() + "/"
        + (limit ? "mcp-atlassian-getConfluencePage-1796732748332-" + id : id) + (json ? ".json" : ".txt");
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Laid out as the real tool (2.1.337) writes it: the page is one line.
    const QByteArray quoted = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact).chopped(1).mid(1);
    const QByteArray content = json ? "[\n  {\n    \"type\": \"text\",\n    \"text\": " + quoted + "\n  }\n]" : text.toUtf8();
    QFile file(path);
    if (!saved.value("missing").toBool() && file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(content);
    file.close();
    lastSavedResult = path;
    const QString notice = QStringLiteral("Output too large (%1KB). Full output saved to: %2")
                               .arg(QString::number(content.size() / 1024.0, 'f', 1), path);
    const QString head = QString::fromUtf8(content.left(2048));
    const QString preview = limit
        ? limitNotice(text, path, form == "blocks")
        : "<persisted-output>\n" + notice + "\n\nPreview (first 2KB):\n" + head + "\n...\n</persisted-output>";
    const QJsonObject result{{"type", "tool_result"}, {"tool_use_id", id}, {"content", preview}};
    const QJsonObject event{{"type", "user"}, {"message", QJsonObject{{"content", QJsonArray{result}}}}};
    writeAll(1, QJsonDocument(event).toJson(QJsonDocument::Compact) + '\n');
}

// A Read of the last saved result, as the real tool (2.1.197) answers it:
// each line after its number and a tab, from line `offset` (1 when 0) on,
// at most `limit` lines (all when 0).
void readSaved(const QString &id, qsizetype offset, qsizetype limit)
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
    const qsizetype first = std::max<qsizetype>(offset, 1) - 1;
    lines = lines.mid(first, limit > 0 ? limit : -1);
    const QJsonObject result{{"type", "tool_result"}, {"tool_use_id", id}, {"content", lines.join('\n')}};
    writeAll(1, QJsonDocument(QJsonObject{{"type", "user"},
                                          {"message", QJsonObject{{"content", QJsonArray{result}}}}})
                        .toJson(QJsonDocument::Compact)
                    + '\n');
}

QStringList listArgument(const QStringList &args, const QString &flag)
{
    const qsizetype at = args.indexOf(flag);
    if (at < 0 || at + 1 >= args.size())
        return {};
    return args[at + 1].split(QRegularExpression("[, ]"), Qt::SkipEmptyParts);
}

bool ruleCovers(const QStringList &rules, const QString &tool)
{
    const QString server = tool.section("__", 0, 1);
    return rules.contains(tool) || rules.contains(server) || rules.contains(server + "__*");
}

// The settings files the run loads, by "--setting-sources" and "--settings".
QList<QJsonObject> loadedSettings(const QStringList &args)
{
    const qsizetype at = args.indexOf("--setting-sources");
    const QStringList sources = at >= 0 && at + 1 < args.size()
        ? args[at + 1].split(',', Qt::SkipEmptyParts)
        : QStringList{"user", "project", "local"};
    const QString configDir = qEnvironmentVariableIsEmpty("CLAUDE_CONFIG_DIR")
        ? QDir::homePath() + "/.claude"
        : qEnvironmentVariable("CLAUDE_CONFIG_DIR");
    QStringList files;
    if (sources.contains("user"))
        files.append(configDir + "/settings.json");
    if (sources.contains("project"))
        files.append(QDir::current().filePath(".claude/settings.json"));
    if (sources.contains("local"))
        files.append(QDir::current().filePath(".claude/settings.local.json"));
    const qsizetype flag = args.indexOf("--settings");
    if (flag >= 0 && flag + 1 < args.size())
        files.append(args[flag + 1]);
    QList<QJsonObject> loaded;
    for (const QString &path : files) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            loaded.append(QJsonDocument::fromJson(file.readAll()).object());
    }
    return loaded;
}

// The rules of one kind ("allow", "deny") of the argument and the settings.
QStringList rules(const QStringList &args, const QString &flag, const QString &kind)
{
    QStringList found = listArgument(args, flag);
    for (const QJsonObject &settings : loadedSettings(args))
        for (const QJsonValue &rule : settings.value("permissions").toObject().value(kind).toArray())
            found.append(rule.toString());
    return found;
}

void runHooks(const QStringList &args, const QString &event)
{
    for (const QJsonObject &settings : loadedSettings(args))
        for (const QJsonValue &matcher : settings.value("hooks").toObject().value(event).toArray())
            for (const QJsonValue &hook : matcher.toObject().value("hooks").toArray())
                QProcess::execute("/bin/sh", {"-c", hook.toObject().value("command").toString()});
}

// One JSON-RPC exchange with an MCP server over its standard input and
// output: initialize, then the call; the text of the call's result.
std::pair<QString, bool> callServer(const QJsonObject &server, const QString &tool, const QJsonObject &input)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const QJsonObject extra = server.value("env").toObject();
    for (auto it = extra.begin(); it != extra.end(); ++it)
        env.insert(it.key(), it.value().toString());
    process.setProcessEnvironment(env);
    QStringList serverArgs;
    for (const QJsonValue &arg : server.value("args").toArray())
        serverArgs.append(arg.toString());
    process.start(server.value("command").toString(), serverArgs);
    if (!process.waitForStarted())
        return {"MCP server did not start", true};
    const auto send = [&process](const QJsonObject &message) {
        process.write(QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n');
    };
    send({{"jsonrpc", "2.0"}, {"id", 1}, {"method", "initialize"},
          {"params", QJsonObject{{"protocolVersion", "2025-06-18"}, {"capabilities", QJsonObject()},
                                 {"clientInfo", QJsonObject{{"name", "fake-claude"}, {"version", "1"}}}}}});
    send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
    send({{"jsonrpc", "2.0"}, {"id", 2}, {"method", "tools/call"},
          {"params", QJsonObject{{"name", tool.section("__", 2)}, {"arguments", input}}}});
    process.closeWriteChannel();
    process.waitForFinished(30000);
    for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
        const QJsonObject reply = QJsonDocument::fromJson(line).object();
        if (reply.value("id").toInt() != 2)
            continue;
        const QJsonObject result = reply.value("result").toObject();
        QString text;
        for (const QJsonValue &block : result.value("content").toArray())
            text += block.toObject().value("text").toString();
        return {text, result.value("isError").toBool()};
    }
    return {"MCP server gave no answer", true};
}

void mcpCall(const QJsonObject &call, const QStringList &args)
{
    const QString id = call.value("id").toString();
    const QString tool = call.value("name").toString();
    const QJsonObject input = call.value("input").toObject();
    const QJsonObject use{{"type", "tool_use"}, {"id", id}, {"name", tool}, {"input", input}};
    writeAll(1, QJsonDocument(QJsonObject{{"type", "assistant"},
                                          {"message", QJsonObject{{"content", QJsonArray{use}}}}})
                        .toJson(QJsonDocument::Compact)
                    + '\n');
    runHooks(args, "PreToolUse");
    QJsonObject servers;
    const qsizetype at = args.indexOf("--mcp-config");
    if (at >= 0 && at + 1 < args.size()) {
        QFile config(args[at + 1]);
        if (config.open(QIODevice::ReadOnly))
            servers = QJsonDocument::fromJson(config.readAll()).object().value("mcpServers").toObject();
    }
    const QJsonObject server = servers.value(tool.section("__", 1, 1)).toObject();
    std::pair<QString, bool> outcome;
    if (server.isEmpty())
        outcome = {"<tool_use_error>Error: No such tool available: " + tool + "</tool_use_error>", true};
    else if (!ruleCovers(rules(args, "--allowedTools", "allow"), tool)
             || ruleCovers(rules(args, "--disallowedTools", "deny"), tool))
        outcome = {"Permission to use " + tool + " has been denied because Claude Code is running in don't ask mode.", true};
    else
        outcome = callServer(server, tool, input);
    const QJsonObject result{{"type", "tool_result"}, {"tool_use_id", id}, {"content", outcome.first},
                             {"is_error", outcome.second}};
    writeAll(1, QJsonDocument(QJsonObject{{"type", "user"},
                                          {"message", QJsonObject{{"content", QJsonArray{result}}}}})
                        .toJson(QJsonDocument::Compact)
                    + '\n');
}

void runStep(const QJsonObject &step, const QStringList &args)
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
        readSaved(step.value("readSaved").toString(), step.value("offset").toInteger(), step.value("limit").toInteger());
    else if (step.contains("mcpCall"))
        mcpCall(step.value("mcpCall").toObject(), args);
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
    } else if (step.contains("bash")) {
        const QString prefix = qEnvironmentVariable("CLAUDE_CODE_SHELL_PREFIX");
        const QString command = step.value("bash").toString();
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("CLAUDE_CODE_OAUTH_TOKEN"));
        process.setProcessEnvironment(env);
        if (prefix.isEmpty())
            process.start(QStringLiteral("/bin/bash"), {QStringLiteral("-c"), command});
        else
            process.start(prefix, {command});
        process.waitForFinished(-1);
    } else if (step.contains("openBrowser")) {
        QProcess::execute(qEnvironmentVariable("BROWSER", QStringLiteral("xdg-open")),
                          {step.value("openBrowser").toString()});
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
    findSettings(argv);
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
    // claude 2.1.337 ends at once, before any request, when the file
    // "--settings" names cannot be read: "Error: Settings file not found".
    QString missingSettings;
    if (const qsizetype at = args.indexOf("--settings"); at >= 0 && at + 1 < args.size()) {
        QFile settings(args[at + 1]);
        if (settings.open(QIODevice::ReadOnly))
            start.insert("settings", QString::fromUtf8(settings.readAll()));
        else
            missingSettings = args[at + 1];
    }
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
    if (!missingSettings.isEmpty()) {
        std::fprintf(stderr, "Error: Settings file not found: %s\n", qPrintable(missingSettings));
        return 1;
    }
    runHooks(args, "SessionStart");
    for (const QJsonValue &step : steps)
        runStep(step.toObject(), args);
    // What the stand-in itself cost, for benchmarks that leave it out of
    // what they measure.
    struct rusage self {};
    struct rusage children {};
    ::getrusage(RUSAGE_SELF, &self);
    ::getrusage(RUSAGE_CHILDREN, &children);
    const auto cpu = [](const struct rusage &usage) {
        return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
            + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    };
    logRecord({{"record", "end"}, {"cpu", cpu(self) + cpu(children)}});
    return answer.value("exit").toInt(0);
}
