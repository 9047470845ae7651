#include "settings/appsettings.h"

#include "claude/clauderunner.h"
#include "core/atomicfile.h"
#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/text.h"
#include "platform/useraccount.h"
#include "settings/apppaths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

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

AppSettings readFile()
{
    QFile file(settingsFile());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return {};
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
    fillOutputDir(s);
    if (s.userName.isEmpty()) {
        s.userName = UserAccount::fullName();
        if (s.userName.isEmpty())
            s.userName = UserAccount::loginName();
    }
    if (s.androidRepo.isEmpty())
        s.androidRepo = guessRepo(QStringLiteral("brenix_android_v2"));
    if (s.iosRepo.isEmpty())
        s.iosRepo = guessRepo(QStringLiteral("brenix_ios_v2"));
    if (findTool && s.claudePath.isEmpty())
        s.claudePath = ClaudeRunner::findClaude().value_or(QString());
    return s;
}

void AppSettings::save() const
{
    QByteArray bytes;
    try {
        bytes = JSONCoding::pretty(*this);
    } catch (const JSONCoding::EncodeError &) {
        return;
    }
    AtomicFile::write(settingsFile(), bytes);
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
