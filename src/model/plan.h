#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QUuid>
#include <optional>

#include "model/module.h"

// The plan document (plan.json) and its records. Every record reads
// tolerantly (a missing, null or mistyped key gives the field's default; a
// list or map is read whole) except PlatformFiles, FileSet and
// StringKey::Box, which read strictly. `read` gives nothing when the value
// cannot be read at all; `toJson` writes every key, leaving absent optionals
// out. Element records carry a fresh `uid` that is never stored.

// A fresh element identity: one random draw for the process, then a count,
// so that a plan of thousands of elements costs no draw each.
QUuid newElementId();

struct FigmaRef {
    QString fileKey;
    QString nodeId;
    QString url;

    static std::optional<FigmaRef> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const FigmaRef &) const = default;
};

struct Entry {
    QString cardType;
    QString deeplink;

    static std::optional<Entry> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Entry &) const = default;
};

struct Meta {
    QString feature;
    QString title;
    QString summary;
    Module module;
    FigmaRef figma;
    Entry entry;
    QString stage = QStringLiteral("before-dev");
    QString createdBy;
    QString createdAt;
    QMap<QString, QString> generator;

    static std::optional<Meta> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Meta &) const = default;
};

struct ScreenImage {
    std::optional<QString> before;
    std::optional<QString> android;
    std::optional<QString> ios;

    static std::optional<ScreenImage> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const ScreenImage &) const = default;
};

struct PlatformText {
    QString android;
    QString ios;

    static std::optional<PlatformText> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const PlatformText &) const = default;
};

struct Sourced {
    QUuid uid = newElementId();
    QString text;
    QString source = QStringLiteral("inferred");

    QUuid id() const { return uid; }
    static std::optional<Sourced> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Sourced &) const = default;
};

struct Arg {
    QUuid uid = newElementId();
    QString name;
    QString model;

    QUuid id() const { return uid; }
    static std::optional<Arg> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Arg &) const = default;
};

struct UserAction {
    QUuid uid = newElementId();
    QString key;   // JSON "id"
    QString label;
    QString source = QStringLiteral("inferred");

    QUuid id() const { return uid; }
    static std::optional<UserAction> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const UserAction &) const = default;
};

struct Screen {
    QUuid uid = newElementId();
    QString key;   // JSON "id"
    QString name;
    QString title;
    QStringList figmaNodes;
    std::optional<QString> figmaLabel;
    ScreenImage image;
    QString kind = QStringLiteral("screen");
    std::optional<Sourced> condition;
    QList<Arg> args;
    QStringList serverData;
    QList<UserAction> actions;
    QList<Sourced> rules;
    QStringList strings;
    PlatformText platformNotes;
    QStringList inferredFields;

    QUuid id() const { return uid; }
    static std::optional<Screen> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Screen &) const = default;
};

struct Transition {
    QUuid uid = newElementId();
    QString from;
    QString to;
    QString trigger;
    std::optional<QString> condition;
    QStringList passes;
    QString kind = QStringLiteral("push");
    std::optional<QString> popUpTo;
    QString source = QStringLiteral("inferred");

    QUuid id() const { return uid; }
    static std::optional<Transition> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Transition &) const = default;
};

struct Field {
    QUuid uid = newElementId();
    QString name;
    QString type;
    QString filledAt;
    QString source = QStringLiteral("inferred");

    QUuid id() const { return uid; }
    static std::optional<Field> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Field &) const = default;
};

struct DataModel {
    QUuid uid = newElementId();
    QString name;
    QList<Field> fields;
    bool apiAligned = false;
    QStringList sharedIn;

    QUuid id() const { return uid; }
    static std::optional<DataModel> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const DataModel &) const = default;
};

struct Api {
    struct ApiField {
        QString name;
        QString type;
        bool required = false;
        QString desc;
        QString location; // JSON "in"

        static std::optional<ApiField> read(const QJsonValue &value);
        QJsonObject toJson() const;
        bool operator==(const ApiField &) const = default;
    };

    QUuid uid = newElementId();
    QString key; // JSON "id"
    QString purpose;
    QStringList usedBy;
    QString request;
    QString response;
    QString status = QStringLiteral("needed");
    QString method;
    QString path;
    QList<ApiField> requestFields;
    QList<ApiField> responseFields;
    QString responseModel;
    QString source = QStringLiteral("inferred");

    QUuid id() const { return uid; }
    static std::optional<Api> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Api &) const = default;
};

struct StringKey {
    struct Box {
        double x = 0;
        double y = 0;
        double w = 0;
        double h = 0;

        static std::optional<Box> read(const QJsonValue &value);
        QJsonObject toJson() const;
        bool operator==(const Box &) const = default;
    };

    QUuid uid = newElementId();
    QString key;
    QString ko;
    QString screen;
    QString source = QStringLiteral("inferred");
    QString node;
    QString frame;
    std::optional<Box> box;

    QUuid id() const { return uid; }
    static std::optional<StringKey> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const StringKey &) const = default;
};

struct Decision {
    QUuid uid = newElementId();
    QString key; // JSON "id"
    QString question;
    QString context;
    QStringList screens;
    QStringList options;
    QString proposal;
    QString status = QStringLiteral("open");
    std::optional<QString> result;
    std::optional<QString> decidedBy;
    std::optional<QString> decidedAt;

    QUuid id() const { return uid; }
    static std::optional<Decision> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Decision &) const = default;
};

struct FileSet {
    QString dir;
    QStringList files;
    QStringList navigation;

    static std::optional<FileSet> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const FileSet &) const = default;
};

struct PlatformFiles {
    FileSet android;
    FileSet ios;

    static std::optional<PlatformFiles> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const PlatformFiles &) const = default;
};

struct Naming {
    QStringList rules;
    QMap<QString, PlatformFiles> platformMap;

    static std::optional<Naming> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Naming &) const = default;
};

struct Plan {
    qint64 schemaVersion = 1;
    Meta meta;
    QList<Screen> screens;
    QList<Transition> transitions;
    QList<DataModel> models;
    QList<Api> apis;
    QList<StringKey> strings;
    QList<Decision> decisions;
    Naming naming;

    // Reads plan.json text; throws JSONDecodeError when the text is not JSON
    // or its top level is not an object. Nothing else fails the read.
    static Plan decode(const QByteArray &json);
    static std::optional<Plan> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Plan &) const = default;

    QList<Decision> openDecisions() const;
    std::optional<Screen> screen(const QString &key) const;
    QString screenTitle(const QString &key) const;
    QStringList problems() const;
};
