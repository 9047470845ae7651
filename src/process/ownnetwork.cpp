#include "process/ownnetwork.h"

#include "process/posixspawn.h"
#include "process/runmarks.h"

#include <QFile>
#include <QHostAddress>
#include <QUrl>
#include <cerrno>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const QString unsharePath = QStringLiteral("/usr/bin/unshare");
const char *const tunnelDevice = "/dev/net/tun";

QString stackPath()
{
    const QString chosen = qEnvironmentVariable("QUARRYSTONE_SLIRP4NETNS");
    return chosen.isEmpty() ? QStringLiteral("/usr/bin/slirp4netns") : chosen;
}

bool runnable(const QString &path)
{
    return ::access(QFile::encodeName(path).constData(), X_OK) == 0;
}

// The shell between `unshare` and the program: it tells the attaching
// thread that the namespace exists, waits for its word that the stack is
// attached, and becomes the program; without the word the run ends.
const QString waitForStack = QStringLiteral(
    "printf . >&6 && read -r attached <&6 || { printf '%s\\n' '빌드가 쓸 네트워크(slirp4netns)를 붙이지 못했어요.' >&2; exit 1; }; "
    "exec \"$@\"");

// Starts the stack for the namespace of `pid`: its exit descriptor (3) is
// `socket`, which ends it once the run's end closes; it writes on its
// ready descriptor (4) once the namespace's network is up.
pid_t startStack(pid_t pid, int socket, int readyWrite)
{
    const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (null < 0)
        return -1;
    pid_t stack = -1;
    const QStringList args{QStringLiteral("--configure"),
                           QStringLiteral("--mtu=65520"),
                           QStringLiteral("--disable-host-loopback"),
                           QStringLiteral("--exit-fd=3"),
                           QStringLiteral("--ready-fd=4"),
                           QString::number(pid),
                           QStringLiteral("tap0")};
    const int error = PosixSpawn::start(
        stack, stackPath(), args, {}, QStringLiteral("/"),
        [null, socket, readyWrite] {
            const int movedSocket = ::fcntl(socket, F_DUPFD_CLOEXEC, 10);
            const int movedReady = ::fcntl(readyWrite, F_DUPFD_CLOEXEC, 10);
            if (movedSocket < 0 || movedReady < 0)
                return errno;
            for (const auto &[from, to] : {std::pair{null, 0}, std::pair{null, 1}, std::pair{null, 2},
                                           std::pair{movedSocket, 3}, std::pair{movedReady, 4}})
                if (::dup2(from, to) < 0)
                    return errno;
            return 0;
        },
        {.kept = 5});
    ::close(null);
    return error ? -1 : stack;
}

// Reaps the stack by its process descriptor where there is one, so that a
// number taken over by another process is never waited for.
void reap(pid_t stack, int descriptor)
{
    siginfo_t info{};
    if (descriptor >= 0) {
        while (::waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(descriptor), &info, WEXITED) != 0 && errno == EINTR) {
        }
        ::close(descriptor);
        return;
    }
    while (::waitpid(stack, nullptr, 0) < 0 && errno == EINTR) {
    }
}

bool readByte(int fd)
{
    char byte = 0;
    ssize_t n;
    while ((n = ::read(fd, &byte, 1)) < 0 && errno == EINTR) {
    }
    return n == 1;
}

} // namespace

namespace OwnNetwork {

QString unavailable()
{
    if (!runnable(stackPath()))
        return QStringLiteral("빌드에 따로 줄 네트워크를 만들 slirp4netns 가 없어요(") + stackPath()
            + QStringLiteral("). slirp4netns 패키지를 설치하세요.");
    if (!runnable(unsharePath))
        return QStringLiteral("빌드에 따로 줄 네트워크를 만들 unshare 가 없어요(") + unsharePath + QStringLiteral(").");
    if (::access(tunnelDevice, R_OK | W_OK) != 0)
        return QStringLiteral("빌드에 따로 줄 네트워크를 만들 수 없어요: ") + QString::fromLatin1(tunnelDevice)
            + QStringLiteral(" 를 열 권한이 없어요.");
    return QString();
}

std::optional<QByteArray> resolverSettings()
{
    const QString named = qEnvironmentVariable("QUARRYSTONE_RESOLV_CONF");
    QFile file(named.isEmpty() ? QStringLiteral("/etc/resolv.conf") : named);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray kept;
    bool onlyLoopback = true;
    for (const QByteArray &line : file.read(64 << 10).split('\n')) {
        const QList<QByteArray> words = line.simplified().split(' ');
        if (words.first() != "nameserver") {
            kept += line + '\n';
            continue;
        }
        if (words.size() < 2)
            continue;
        const QHostAddress server(QString::fromLatin1(words.at(1)));
        if (!server.isLoopback())
            onlyLoopback = false;
    }
    if (!onlyLoopback)
        return std::nullopt;
    return QByteArrayLiteral("nameserver 10.0.2.3\n") + kept.trimmed() + '\n';
}

QString unreachableProxy(const QMap<QString, QString> &env)
{
    for (const char *name : {"HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy", "ALL_PROXY", "all_proxy"}) {
        const QString value = env.value(QString::fromLatin1(name));
        if (value.isEmpty())
            continue;
        const QUrl url = QUrl::fromUserInput(value);
        const QString host = url.host();
        if (host.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0 || QHostAddress(host).isLoopback())
            return QStringLiteral("빌드는 자기만의 네트워크에서 돌아서 이 컴퓨터의 루프백에 있는 프록시(")
                + QString::fromLatin1(name) + QStringLiteral("=") + url.toDisplayString(QUrl::RemoveUserInfo)
                + QStringLiteral(")에 닿을 수 없어요. 다른 주소로 닿는 프록시를 쓰세요.");
    }
    return QString();
}

QStringList command(const QString &program, const QStringList &args)
{
    QStringList line{unsharePath, QStringLiteral("--net")};
    if (::geteuid() != 0)
        line << QStringLiteral("--user") << QStringLiteral("--map-root-user");
    return line << QStringLiteral("--") << QStringLiteral("/bin/sh") << QStringLiteral("-c") << waitForStack
                << QStringLiteral("sh") << program << args;
}

QStringList bwrapOptions()
{
    if (::geteuid() == 0)
        return {};
    return {QStringLiteral("--unshare-user"), QStringLiteral("--uid"), QString::number(::geteuid()),
            QStringLiteral("--gid"), QString::number(::getegid())};
}

void attach(pid_t pid, int socket)
{
    std::thread([pid, socket] {
        int ready[2] = {-1, -1};
        pid_t stack = -1;
        // The namespace exists once the shell speaks; nothing comes when
        // the run ended first.
        if (readByte(socket) && ::pipe2(ready, O_CLOEXEC) == 0)
            stack = startStack(pid, socket, ready[1]);
        const int descriptor = stack > 0 ? RunMarks::openDescriptor(stack) : -1;
        if (ready[1] >= 0)
            ::close(ready[1]);
        // The ready pipe ends without a word when the stack fails.
        if (stack > 0 && readByte(ready[0])) {
            [[maybe_unused]] const ssize_t written = ::write(socket, "\n", 1);
        }
        if (ready[0] >= 0)
            ::close(ready[0]);
        ::close(socket);
        if (stack > 0)
            reap(stack, descriptor);
    }).detach();
}

} // namespace OwnNetwork
