#pragma once

#include <QJsonObject>
#include <QJsonValue>
#include <QString>
#include <optional>

// Where a feature lives in the two app repositories; part of both the plan's
// header and the generation request, read tolerantly in both.
struct Module {
    QString android;
    QString androidFeatureDir;
    QString ios;
    QString iosGroup;

    static std::optional<Module> read(const QJsonValue &value);
    QJsonObject toJson() const;
    bool operator==(const Module &) const = default;
};
