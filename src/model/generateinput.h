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
// Each list of documents is written with a seal of this person's program
// (RecordSeal), which reading checks.
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
    // Whether the local files each list names are the person's own choice:
    // given now, or read back from a request.json this person's program
    // sealed. A folder from someone else names files of theirs to no one:
    // its paths are not read, and the folder's saved copies are used instead.
    // Not part of what the input means (==).
    bool apiDocsChosen = true;
    bool specDocsChosen = true;

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
