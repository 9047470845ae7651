#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QList>
#include <QString>
#include <QStringList>
#include <optional>

// The section of a design file a plan is made from, as stored in
// figma-section.json. Every record reads strictly: a missing or mistyped
// required key, or a mistyped optional one, fails the whole document
// (JSONDecodeError); a missing or null optional reads as absent. Writing
// leaves absent optionals out.

// One text layer of a frame, placed relative to the frame's top-left corner.
struct TextBox {
    QString id;
    QString name;
    std::optional<QString> text;
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;

    static TextBox read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const TextBox &) const = default;
};

// One screen frame of the section.
struct FigmaFrame {
    QString id;
    QString name;
    double x = 0;
    double y = 0;
    double w = 0;
    double h = 0;
    std::optional<QString> label;
    std::optional<QString> labelText;
    QStringList texts;
    std::optional<QString> image;
    std::optional<QString> imageURL;
    // Absent until known; an empty list means the frame has none and is
    // never filled again.
    std::optional<QList<TextBox>> textBoxes;

    static FigmaFrame read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const FigmaFrame &) const = default;
};

struct FigmaSection {
    QString fileKey;
    QString nodeId;
    QString name;
    QList<FigmaFrame> frames;
    QStringList notes;

    static FigmaSection decode(const QByteArray &json);
    static FigmaSection read(const QJsonValue &value);
    // The section a plan folder keeps at `path` (its figma-section.json);
    // nothing when that is no regular file of its own, is larger than a
    // section may be, or does not decode.
    static std::optional<FigmaSection> saved(const QString &path);
    QJsonObject toJson() const;
    bool operator==(const FigmaSection &) const = default;
};
