#pragma once

#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <memory>
#include <optional>
#include <utility>

#include "model/plan.h"

// Per-platform naming conventions: where a screen's code lives in each app
// repository, which files it gets, and how a move between screens is written.
// Read from a conventions.json (never written by the application), else the
// built-in conventions of the two app teams.
struct Conventions {
    struct Platform {
        QString screenDir; // folder template, relative to the repository root
        QStringList files; // file-name templates, in order
        QString navigation; // template of the code of one move

        // This platform with each empty field taken from `other`.
        Platform filled(const Platform &other) const;
        QJsonObject toJson() const;
        bool operator==(const Platform &) const = default;
    };

    // Which file the conventions came from.
    struct Origin {
        enum class Kind {
            user,    // the support folder's conventions.json
            repo,    // an app repository's .cairn/conventions.json
            broken,  // that file was read but is not a JSON object
            builtIn, // no file could be read
        };
        Kind kind = Kind::builtIn;
        QString path;   // user, repo, broken
        QString reason; // broken

        bool operator==(const Origin &) const = default;
    };

    // Selects the platform: &Conventions::android or &Conventions::ios.
    using Select = Platform Conventions::*;

    qint64 version = 1;
    Platform android;
    Platform ios;

    static const Conventions &builtIn();

    // The first readable file among each non-empty repository's
    // .cairn/conventions.json (in the given order) and the support folder's
    // conventions.json; the built-in conventions when none can be read or the
    // first readable one is not a JSON object. Never fails.
    static std::pair<Conventions, Origin> load(const QStringList &repos);
    // Reads a conventions.json text key by key; nothing when it is not JSON
    // or its top level is not an object.
    static std::optional<Conventions> decode(const QByteArray &json);
    QJsonObject toJson() const;

    // The placeholder values of one screen, by name without braces.
    static QMap<QString, QString> vars(const Screen &screen, const Plan &plan);
    // The folder, files and navigation codes of one screen on one platform.
    FileSet fileSet(const Screen &screen, const Plan &plan, Select platform) const;
    // The navigation code of one move on one platform; nothing for pops,
    // dismissals, unknown endpoints and targets that are not of kind screen.
    std::optional<QString> navigation(const Transition &transition, const Plan &plan, Select platform) const;
    // The same with both ends already found (the first screen of each key,
    // or nullptr), for callers that keep an index of the plan.
    std::optional<QString> navigation(const Transition &transition, const Screen *source, const Screen *target,
                                      const Plan &plan, Select platform) const;
    // Every screen's placeholder values of one plan, made once, for callers
    // that name many of its moves. Only read once made, by any thread.
    class ScreenValuesOf {
    public:
        explicit ScreenValuesOf(const Plan &plan);
        ~ScreenValuesOf();
        ScreenValuesOf(const ScreenValuesOf &) = delete;
        ScreenValuesOf &operator=(const ScreenValuesOf &) = delete;

    private:
        friend struct Conventions;
        struct Made;
        std::unique_ptr<const Made> m_made;
    };
    // Both platforms' navigation codes of one move (Android, iOS), as the
    // call above gives them; both ends are screens of the plan whose values
    // are given, or nullptr.
    std::optional<std::pair<QString, QString>> navigations(const Transition &transition, const Screen *source,
                                                           const Screen *target, const ScreenValuesOf &values) const;
    // Both platforms' files of every screen, sheet and dialog, by screen key.
    QMap<QString, PlatformFiles> platformMap(const Plan &plan) const;

    // The origin as one line of text for the console and the plan's
    // generator record.
    static QString describe(const Origin &origin);

    bool operator==(const Conventions &) const = default;
};
