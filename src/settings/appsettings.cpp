#include "settings/appsettings.h"

#include "claude/clauderunner.h"
#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/filesizes.h"
#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "platform/useraccount.h"
#include "settings/apppaths.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <cerrno>
#include <fcntl.h>
#include <stdio.h>

namespace {

QString settingsFile()
{
    return QDir(AppPaths::support()).filePath(QStringLiteral("settings.json"));
}

template<typename Enum, size_t N>
Enum enumeration(const QJsonObject &o, const QString &key, const std::array<Enum, N> &cases, Enum fallback)
{
    const QJsonValue v = o.value(key);
    if (!v.isString())
        return fallback;
    for (Enum e : cases)
        if (AppSettings::text(e) == v.toString())
            return e;
    return fallback;
}

AppSettings::Failure unread(const QString &cause)
{
    return {QStringLiteral("설정 파일(settings.json)을 읽지 못했어요: ") + cause};
}

// The file is the person's own, in their own support folder: a link they
// keep there is followed. A pipe or a huge file there would hold or exhaust
// every start, so it is refused like any file that is not settings.
AppSettings readFile()
{
    const QString path = settingsFile();
    QString cause;
    const std::optional<QByteArray> bytes = RegularFile::readChosen(path, FileSizes::fields, &cause);
    if (!bytes) {
        if (RegularFile::isFree(path))
            return {};
        throw unread(cause);
    }
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(*bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        throw unread(QStringLiteral("잘렸거나 망가져 있어요"));
    return AppSettings::read(doc.object()).value_or(AppSettings());
}

// The first of the usual checkout places that holds a git repository (or a
// worktree, whose .git is a file) of the given folder name.
QString guessRepo(const QString &folderName)
{
    const QDir home(QDir::homePath());
    const QString parents[] = {
        home.path(),
        home.filePath(QStringLiteral("Developer")),
        home.filePath(QStringLiteral("dev")),
        home.filePath(QStringLiteral("workspace")),
        home.filePath(QStringLiteral("Projects")),
    };
    for (const QString &parent : parents) {
        const QString repo = QDir(parent).filePath(folderName);
        if (QFileInfo::exists(QDir(repo).filePath(QStringLiteral(".git"))))
            return repo;
    }
    return {};
}

void fillOutputDir(AppSettings &s)
{
    const QDir home(QDir::homePath());
    const QString oldDefault = home.filePath(QStringLiteral("Documents/quarrystone"));
    if (s.outputDir.isEmpty() || Text::canonicalEqual(s.outputDir, oldDefault))
        s.outputDir = AppSettings::defaultOutputDir();
}

} // namespace

QString AppSettings::defaultOutputDir()
{
    return QDir(QDir::homePath()).filePath(QStringLiteral("quarrystone"));
}

QString AppSettings::outputFolder() const
{
    if (outputDir.trimmed().isEmpty())
        return defaultOutputDir();
    return AppPaths::expandHome(outputDir);
}

QString AppSettings::text(FigmaMode mode)
{
    switch (mode) {
    case FigmaMode::mcp:
        return QStringLiteral("mcp");
    case FigmaMode::token:
        return QStringLiteral("token");
    }
    return {};
}

QString AppSettings::text(ClaudeAuth auth)
{
    switch (auth) {
    case ClaudeAuth::login:
        return QStringLiteral("login");
    case ClaudeAuth::apiKey:
        return QStringLiteral("apiKey");
    }
    return {};
}

std::optional<AppSettings> AppSettings::read(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    AppSettings s;
    s.androidRepo = JsonRead::string(o, QStringLiteral("androidRepo"));
    s.iosRepo = JsonRead::string(o, QStringLiteral("iosRepo"));
    s.outputDir = JsonRead::string(o, QStringLiteral("outputDir"));
    s.userName = JsonRead::string(o, QStringLiteral("userName"));
    s.figmaMode = enumeration(o, QStringLiteral("figmaMode"), figmaModes, FigmaMode::mcp);
    s.claudePath = JsonRead::string(o, QStringLiteral("claudePath"));
    s.claudeAuth = enumeration(o, QStringLiteral("claudeAuth"), claudeAuths, ClaudeAuth::login);
    s.claudeModel = JsonRead::string(o, QStringLiteral("claudeModel"));
    s.setupDone = JsonRead::boolean(o, QStringLiteral("setupDone"));
    s.extraDirs = JsonRead::stringList(o, QStringLiteral("extraDirs"));
    return s;
}

QJsonObject AppSettings::toJson() const
{
    return QJsonObject{
        {QStringLiteral("androidRepo"), androidRepo},
        {QStringLiteral("iosRepo"), iosRepo},
        {QStringLiteral("outputDir"), outputDir},
        {QStringLiteral("userName"), userName},
        {QStringLiteral("figmaMode"), text(figmaMode)},
        {QStringLiteral("claudePath"), claudePath},
        {QStringLiteral("claudeAuth"), text(claudeAuth)},
        {QStringLiteral("claudeModel"), claudeModel},
        {QStringLiteral("setupDone"), setupDone},
        {QStringLiteral("extraDirs"), QJsonArray::fromStringList(extraDirs)},
    };
}

AppSettings AppSettings::load(bool findTool)
{
    AppSettings s = readFile();
    s.fillIn(findTool);
    return s;
}

void AppSettings::fillIn(bool findTool)
{
    fillOutputDir(*this);
    if (userName.isEmpty()) {
        userName = UserAccount::fullName();
        if (userName.isEmpty())
            userName = UserAccount::loginName();
    }
    if (androidRepo.isEmpty())
        androidRepo = guessRepo(QStringLiteral("brenix_android_v2"));
    if (iosRepo.isEmpty())
        iosRepo = guessRepo(QStringLiteral("brenix_ios_v2"));
    if (findTool && claudePath.isEmpty())
        claudePath = ClaudeRunner::findClaude().value_or(QString());
}

QString AppSettings::keepUnread()
{
    const QDir support(AppPaths::support());
    const QByteArray from = QFile::encodeName(settingsFile());
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    // A name of its own even when two starts meet in one second: a rename
    // over an earlier kept file would lose that one.
    for (int n = 1;; ++n) {
        const QString name = QStringLiteral("settings-unread-") + stamp
            + (n > 1 ? QStringLiteral("-") + QString::number(n) : QString()) + QStringLiteral(".json");
        const QByteArray to = QFile::encodeName(support.filePath(name));
        if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE) == 0)
            return name;
        const int cause = errno;
        if (cause != EEXIST || n == 100)
            throw Failure{QStringLiteral("읽지 못한 settings.json 을 옮겨 두지 못했어요: ") + FileError::describe(cause)};
    }
}

void AppSettings::save() const
{
    QString cause;
    try {
        if (AtomicFile::write(settingsFile(), JSONCoding::pretty(*this), &cause))
            return;
    } catch (const JSONCoding::EncodeError &error) {
        cause = error.message;
    }
    throw Failure{QStringLiteral("설정을 저장하지 못했어요: ") + cause};
}

AppSettings::RepoCheck AppSettings::check(const QString &repo, bool ios)
{
    if (repo.isEmpty())
        return {RepoCheck::Kind::missing, {}};
    const QString path = AppPaths::expandHome(repo);
    if (!QFileInfo::exists(path))
        return {RepoCheck::Kind::missing, {}};
    const QString sub = ios ? QStringLiteral("Modules/Feature") : QStringLiteral("presentation");
    if (QFileInfo::exists(QDir(path).filePath(sub)))
        return {RepoCheck::Kind::ok, {}};
    return {RepoCheck::Kind::warning, sub + QStringLiteral(" 폴더가 없어요")};
}
