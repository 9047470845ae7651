#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <optional>

// A link to one section of a design file: the file (or branch) key, the
// section's node id with ":" between its numbers, and the link text itself.
struct FigmaLink {
    QString fileKey;
    QString nodeId;
    QString url;

    // Nothing when the text names no design file and node on the design
    // service; each caller words its own message.
    static std::optional<FigmaLink> parse(const QString &text);

    // Strict: every key must be present and a string (throws JSONDecodeError).
    static FigmaLink read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const FigmaLink &) const = default;
};
