#include "model/module.h"

#include "core/jsonread.h"

std::optional<Module> Module::read(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    const QJsonObject o = value.toObject();
    Module m;
    m.android = JsonRead::string(o, QStringLiteral("android"));
    m.androidFeatureDir = JsonRead::string(o, QStringLiteral("androidFeatureDir"));
    m.ios = JsonRead::string(o, QStringLiteral("ios"));
    m.iosGroup = JsonRead::string(o, QStringLiteral("iosGroup"));
    return m;
}

QJsonObject Module::toJson() const
{
    return QJsonObject{
        {QStringLiteral("android"), android},
        {QStringLiteral("androidFeatureDir"), androidFeatureDir},
        {QStringLiteral("ios"), ios},
        {QStringLiteral("iosGroup"), iosGroup},
    };
}
