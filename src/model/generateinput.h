#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <QStringList>
#include <optional>

#include "figma/figmalink.h"
#include "model/module.h"

// Everything a generation needs besides the settings, stored as
// request.json so that a generation can be run again from its folder alone.
// Read strictly (JSONDecodeError), except `module`, which reads tolerantly.
struct GenerateInput {
    FigmaLink link;
    QString feature;
    QString title;
    Module module;
    QString notes;
    // A set: canonically equal labels count once; order carries no meaning.
    QStringList includeLabels;
    std::optional<QStringList> apiDocs;
    std::optional<QStringList> specDocs;

    static GenerateInput decode(const QByteArray &json);
    static GenerateInput read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const GenerateInput &other) const;

    // A document entry written as a path ("/…", "~/…", "./…") names a local
    // file, never a wiki page, whether or not the file is there.
    static bool namesLocalFile(const QString &entry);

    // The labels as a set: the first spelling of each canonically equal
    // label, in code-point order.
    static QStringList labelSet(const QStringList &labels);
};
