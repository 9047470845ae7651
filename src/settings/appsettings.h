#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <array>
#include <optional>

// What the user configures once and every other part reads, kept in
// settings.json in the support folder.
struct AppSettings {
    // How the design section is read: by Claude through the design
    // service's MCP server, or by its REST API with the stored token.
    enum class FigmaMode { mcp, token };
    // How the claude tool is authenticated: its own login, or the stored
    // Anthropic API key.
    enum class ClaudeAuth { login, apiKey };

    static constexpr std::array<FigmaMode, 2> figmaModes{FigmaMode::mcp, FigmaMode::token};
    static constexpr std::array<ClaudeAuth, 2> claudeAuths{ClaudeAuth::login, ClaudeAuth::apiKey};

    // The state of one repository row of the settings window.
    struct RepoCheck {
        enum class Kind { ok, missing, warning };
        Kind kind = Kind::missing;
        QString text; // what is missing, for Kind::warning

        bool operator==(const RepoCheck &) const = default;
    };

    QString androidRepo;
    QString iosRepo;
    QString outputDir;
    QString userName;
    FigmaMode figmaMode = FigmaMode::mcp;
    QString claudePath;
    ClaudeAuth claudeAuth = ClaudeAuth::login;
    QString claudeModel;
    bool setupDone = false;
    QStringList extraDirs;

    // Why settings.json was not read or not written, in the person's words.
    struct Failure {
        QString message;
    };

    // settings.json read tolerantly, then the empty fields filled in. Never
    // writes. No settings.json gives the defaults; one that is there but
    // cannot be read (no regular file, larger than any settings can be,
    // cut or otherwise no JSON object) throws Failure rather than passing
    // for a first start, which would lose it at the next save.
    static AppSettings load(bool findTool = true);
    // Fills the empty fields: output folder, user name, repository guesses,
    // claude tool path. Without `findTool` an empty tool path stays empty:
    // the search may run a login shell, which a caller that never starts
    // the tool need not wait for.
    void fillIn(bool findTool);
    // Moves a settings.json that load() refused aside in the support folder,
    // under a name of its own that the next save leaves alone; returns that
    // name. Throws Failure when it cannot.
    static QString keepUnread();
    // The folder an empty output folder setting stands for: "quarrystone" in
    // the home folder.
    static QString defaultOutputDir();
    // The folder new plans go into: the setting with "~" expanded, or the
    // default when the setting is blank, so that a cleared field never
    // means the file-system root or the working folder.
    QString outputFolder() const;
    // Writes settings.json whole or not at all; throws Failure when it was
    // not written.
    void save() const;
    // Whether a repository folder and its platform sub-folder exist. A path
    // beginning with "~" means the home folder.
    static RepoCheck check(const QString &repo, bool ios);

    // Each key read on its own: an absent, null or mistyped key, or an
    // unknown enumeration text, gives that field's default. Nothing when the
    // value is not a JSON object.
    static std::optional<AppSettings> read(const QJsonValue &value);
    QJsonObject toJson() const;

    static QString text(FigmaMode mode);
    static QString text(ClaudeAuth auth);

    bool operator==(const AppSettings &) const = default;
};
