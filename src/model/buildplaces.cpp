#include "model/buildplaces.h"

#include "core/atomicfile.h"
#include "core/filesizes.h"
#include "core/regularfile.h"
#include "settings/apppaths.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace BuildPlaces {

namespace {

// The person's Gradle home: GRADLE_USER_HOME, else ~/.gradle.
QString personalGradleHome()
{
    const QString named = qEnvironmentVariable("GRADLE_USER_HOME");
    return named.isEmpty() ? QDir::home().filePath(QStringLiteral(".gradle")) : named;
}

// The file in a worktree's build homes that names the worktree.
const QString homesOwner = QStringLiteral("worktree");

// The build homes of worktrees that are gone (the person removed them)
// go with them: for a real app they hold hundreds of megabytes. Homes that
// do not name their worktree are left alone.
void removeOrphanedHomes(const QString &builds)
{
    for (const QString &name : QDir(builds).entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
        const QString folder = builds + QLatin1Char('/') + name;
        const std::optional<QByteArray> owner =
            RegularFile::read(folder + QLatin1Char('/') + homesOwner, FileSizes::gitPointer);
        if (owner && !owner->isEmpty() && !QFileInfo::exists(QString::fromUtf8(*owner) + QStringLiteral("/.git")))
            QDir(folder).removeRecursively();
    }
}

// The person's settings reach the build as copies: their proxy and mirror
// settings and init scripts apply, their debug key signs, and what the
// build changes in the copies changes nothing of theirs.
void copySettings(const QString &from, const QString &to, QStringList files)
{
    for (const QString &script : QDir(from + QStringLiteral("/init.d")).entryList(QDir::Files))
        files.append(QStringLiteral("init.d/") + script);
    for (const QString &file : files) {
        if (!QFileInfo(QDir(from).filePath(file)).isFile())
            continue;
        // A link at the copy's name goes, not what it points at.
        QFile::remove(QDir(to).filePath(file));
        QFile::copy(QDir(from).filePath(file), QDir(to).filePath(file));
    }
}

// The person's Android home: ANDROID_USER_HOME, else ~/.android.
QString personalAndroidHome()
{
    const QString named = qEnvironmentVariable("ANDROID_USER_HOME");
    return named.isEmpty() ? QDir::home().filePath(QStringLiteral(".android")) : named;
}

// The Gradle distributions the person's wrapper has unpacked (in
// wrapper/dists/<name>/<hash>/, complete once "<zip>.ok" is there) reach the
// build's own Gradle home, so that a new worktree neither downloads them
// again nor fails offline: each as a folder of the build's own, where the
// wrapper takes its lock, holding the marker and a link to the person's
// unpacked distribution, which the build reads and cannot change.
void linkDistributions(const QString &from, const QString &to)
{
    const QDir dists(from);
    for (const QString &name : dists.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QDir versions(dists.filePath(name));
        for (const QString &hash : versions.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            const QDir theirs(versions.filePath(hash));
            const QStringList markers = theirs.entryList({QStringLiteral("*.ok")}, QDir::Files);
            if (markers.isEmpty())
                continue;
            const QString ours = to + QLatin1Char('/') + name + QLatin1Char('/') + hash;
            if (!QDir().mkpath(ours))
                continue;
            for (const QString &unpacked : theirs.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
                const QString link = ours + QLatin1Char('/') + unpacked;
                // What the last run left at the link's place goes; a
                // folder the wrapper unpacked there itself stays.
                if (QFileInfo(link).isSymLink() || QFileInfo(link).isFile())
                    QFile::remove(link);
                if (!QFileInfo::exists(link))
                    QFile::link(realPath(theirs.filePath(unpacked)), link);
            }
            for (const QString &marker : markers)
                if (!QFileInfo::exists(ours + QLatin1Char('/') + marker))
                    AtomicFile::write(ours + QLatin1Char('/') + marker, QByteArray());
        }
    }
}

// What the build takes of the person's Java and Gradle set-up besides what
// every run gets: the options through which a company's proxy and trust
// store are given.
const QStringList buildVariables{QStringLiteral("JAVA_TOOL_OPTIONS"), QStringLiteral("JAVA_OPTS"),
                                 QStringLiteral("GRADLE_OPTS")};

} // namespace

QString realPath(const QString &path)
{
    const QString real = QFileInfo(path).canonicalFilePath();
    return real.isEmpty() ? path : real;
}

std::optional<QString> homes(const QString &worktree)
{
    const QString builds = AppPaths::support() + QStringLiteral("/builds");
    removeOrphanedHomes(builds);
    const QString folder = builds + QLatin1Char('/')
        + QString::fromLatin1(QCryptographicHash::hash(worktree.toUtf8(), QCryptographicHash::Sha256).toHex().left(32));
    if (!QDir().mkpath(folder) || !AtomicFile::write(folder + QLatin1Char('/') + homesOwner, worktree.toUtf8()))
        return std::nullopt;
    // The last run could write below the folder: a link it left where a
    // home should be is taken away, never followed.
    for (const QString &home : {QStringLiteral("gradle"), QStringLiteral("gradle/init.d"), QStringLiteral("android")}) {
        const QString path = folder + QLatin1Char('/') + home;
        const QFileInfo found(path);
        if (found.isDir() && !found.isSymLink())
            continue;
        if ((found.exists() || found.isSymLink()) && !QFile::remove(path))
            return std::nullopt;
        if (!QDir().mkdir(path))
            return std::nullopt;
    }
    return realPath(folder);
}

Spawn::Confinement confinement(const QString &worktree, const QString &temporary, const QString &homes,
                               const QString &planDir, const QString &commonGitFolder)
{
    const QString tree = realPath(worktree);
    Spawn::Confinement confined{{tree, homes}, {realPath(QDir::homePath()), realPath(planDir)}, temporary, {}};
    if (QFileInfo::exists(tree + QStringLiteral("/.git")))
        confined.readOnly.append(tree + QStringLiteral("/.git"));
    if (!commonGitFolder.isEmpty())
        confined.readOnly.append(realPath(commonGitFolder));
    // A bind of a place that is not there would keep the run from starting.
    confined.readOnly.removeIf([](const QString &place) { return !QFileInfo::exists(place); });
    const QString gradle = realPath(personalGradleHome());
    copySettings(gradle, homes + QStringLiteral("/gradle"), {QStringLiteral("gradle.properties")});
    const QString dists = gradle + QStringLiteral("/wrapper/dists");
    if (QFileInfo(dists).isDir()) {
        linkDistributions(dists, homes + QStringLiteral("/gradle/wrapper/dists"));
        confined.readOnly.append(realPath(dists));
    }
    copySettings(personalAndroidHome(), homes + QStringLiteral("/android"), {QStringLiteral("debug.keystore")});
    confined.environment.insert(QStringLiteral("GRADLE_USER_HOME"), homes + QStringLiteral("/gradle"));
    const QString named = qEnvironmentVariable("GRADLE_RO_DEP_CACHE");
    const QString cache = named.isEmpty() ? gradle + QStringLiteral("/caches") : named;
    if (QFileInfo(cache).isDir())
        confined.environment.insert(QStringLiteral("GRADLE_RO_DEP_CACHE"), cache);
    confined.environment.insert(QStringLiteral("ANDROID_USER_HOME"), homes + QStringLiteral("/android"));
    for (const QString &name : buildVariables)
        if (qEnvironmentVariableIsSet(name.toLatin1().constData()))
            confined.environment.insert(name, qEnvironmentVariable(name.toLatin1().constData()));
    return confined;
}

} // namespace BuildPlaces
