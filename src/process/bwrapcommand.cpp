#include "process/bwrapcommand.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <unistd.h>

namespace {

// Runtime folders of the person's session: a confined run gets an empty
// one of its own in their place.
QStringList runtimeFolders()
{
    QStringList folders{QStringLiteral("/run/user/") + QString::number(::geteuid())};
    const QString named = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!named.isEmpty())
        folders.append(QDir::cleanPath(named));
    folders.removeDuplicates();
    folders.removeIf([](const QString &folder) { return !QFileInfo(folder).isDir(); });
    return folders;
}

// Sockets of system services through which a run would act outside: the
// system bus (for root, systemd's whole interface), systemd's own socket,
// and the container services' (root, or a member of their group, can
// start anything there). Folders become empty, sockets /dev/null. Never
// destroyed, as the option lists: detached threads may still start runs
// while the process ends.
const QStringList &serviceSockets()
{
    static const auto *const sockets =
        new QStringList{QStringLiteral("/run/dbus"), QStringLiteral("/run/systemd/private"),
                        QStringLiteral("/run/docker.sock"), QStringLiteral("/run/containerd"), QStringLiteral("/run/podman")};
    return *sockets;
}

} // namespace

namespace BwrapCommand {

QString program()
{
    const QString chosen = qEnvironmentVariable("QUARRYSTONE_BWRAP");
    return chosen.isEmpty() ? QStringLiteral("/usr/bin/bwrap") : chosen;
}

const QStringList &namespaceOptions()
{
    static const auto *const options = new QStringList{QStringLiteral("--unshare-pid"), QStringLiteral("--die-with-parent")};
    return *options;
}

const QStringList &runOptions()
{
    static const auto *const options =
        new QStringList(namespaceOptions() + QStringList{QStringLiteral("--info-fd"), QStringLiteral("3")});
    return *options;
}

QStringList confinedMounts(const Spawn::Confinement &confinement)
{
    enum class Kind { shown, writable, empty, nulled };
    QList<std::pair<QString, Kind>> places;
    for (const QString &folder : runtimeFolders())
        places.append({folder, Kind::empty});
    for (const QString &socket : serviceSockets())
        if (const QFileInfo found(socket); found.exists())
            places.append({socket, found.isDir() ? Kind::empty : Kind::nulled});
    for (const QString &place : confinement.writable)
        places.append({place, Kind::writable});
    for (const QString &place : confinement.readOnly)
        places.append({place, Kind::shown});
    for (const QString &file : confinement.hidden)
        places.append({file, Kind::nulled});
    std::stable_sort(places.begin(), places.end(),
                     [](const auto &a, const auto &b) { return a.first.size() < b.first.size(); });
    QStringList mounts{QStringLiteral("--ro-bind"), QStringLiteral("/"), QStringLiteral("/"),
                       QStringLiteral("--dev"),     QStringLiteral("/dev"), QStringLiteral("--proc"),
                       QStringLiteral("/proc")};
    if (!confinement.temporary.isEmpty())
        mounts << QStringLiteral("--bind") << confinement.temporary << QStringLiteral("/tmp");
    for (const auto &[place, kind] : places) {
        if (kind == Kind::empty)
            // No "--perms": bwrap takes it before "--tmpfs" only from 0.8.
            mounts << QStringLiteral("--tmpfs") << place;
        else if (kind == Kind::nulled)
            mounts << QStringLiteral("--ro-bind") << QStringLiteral("/dev/null") << place;
        else if (kind == Kind::writable)
            mounts << QStringLiteral("--bind") << place << place;
        else
            mounts << QStringLiteral("--ro-bind") << place << place;
    }
    if (!confinement.temporary.isEmpty())
        mounts << QStringLiteral("--setenv") << QStringLiteral("TMPDIR") << QStringLiteral("/tmp");
    for (const char *desktop : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XAUTHORITY"})
        mounts << QStringLiteral("--unsetenv") << QString::fromLatin1(desktop);
    for (auto it = confinement.environment.begin(); it != confinement.environment.end(); ++it)
        mounts << QStringLiteral("--setenv") << it.key() << it.value();
    return mounts << QStringLiteral("--cap-drop") << QStringLiteral("ALL") << QStringLiteral("--new-session");
}

QStringList gated(const Spawn::Environment &env, const QString &path)
{
    return QStringList{QStringLiteral("/bin/sh"), QStringLiteral("-c"),
                       QStringLiteral("printf . >&5 && exec 5>&- && read -r go <&4 && exec 4<&- 6>&- 7<&- 8<&- && "
                                      "case $1 in =*) PWD=${1#=}; export PWD;; *) unset PWD;; esac && shift && exec \"$@\""),
                       QStringLiteral("sh"),
                       env.contains(QStringLiteral("PWD")) ? QLatin1Char('=') + env.value(QStringLiteral("PWD"))
                                                           : QStringLiteral("-"),
                       path};
}

} // namespace BwrapCommand
