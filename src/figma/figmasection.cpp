#include "figma/figmasection.h"

#include "core/jsonread.h"

#include <QJsonArray>

namespace {

void putOptional(QJsonObject &o, const QString &key, const std::optional<QString> &value)
{
    if (value)
        o.insert(key, *value);
}

template<typename T>
QList<T> readEach(const QJsonArray &array)
{
    QList<T> out;
    out.reserve(array.size());
    for (const QJsonValue &element : array)
        out.append(T::read(element));
    return out;
}

template<typename T>
QJsonArray writeEach(const QList<T> &items)
{
    QJsonArray out;
    for (const T &item : items)
        out.append(item.toJson());
    return out;
}

} // namespace

TextBox TextBox::read(const QJsonValue &value)
{
    const QJsonObject o = JsonStrict::object(value, QStringLiteral("textBoxes"));
    TextBox box;
    box.id = JsonStrict::string(o, QStringLiteral("id"));
    box.name = JsonStrict::string(o, QStringLiteral("name"));
    box.text = JsonStrict::optString(o, QStringLiteral("text"));
    box.x = JsonStrict::number(o, QStringLiteral("x"));
    box.y = JsonStrict::number(o, QStringLiteral("y"));
    box.w = JsonStrict::number(o, QStringLiteral("w"));
    box.h = JsonStrict::number(o, QStringLiteral("h"));
    return box;
}

QJsonObject TextBox::toJson() const
{
    QJsonObject o{
        {QStringLiteral("id"), id},
        {QStringLiteral("name"), name},
        {QStringLiteral("x"), x},
        {QStringLiteral("y"), y},
        {QStringLiteral("w"), w},
        {QStringLiteral("h"), h},
    };
    putOptional(o, QStringLiteral("text"), text);
    return o;
}

FigmaFrame FigmaFrame::read(const QJsonValue &value)
{
    const QJsonObject o = JsonStrict::object(value, QStringLiteral("frames"));
    FigmaFrame frame;
    frame.id = JsonStrict::string(o, QStringLiteral("id"));
    frame.name = JsonStrict::string(o, QStringLiteral("name"));
    frame.x = JsonStrict::number(o, QStringLiteral("x"));
    frame.y = JsonStrict::number(o, QStringLiteral("y"));
    frame.w = JsonStrict::number(o, QStringLiteral("w"));
    frame.h = JsonStrict::number(o, QStringLiteral("h"));
    frame.label = JsonStrict::optString(o, QStringLiteral("label"));
    frame.labelText = JsonStrict::optString(o, QStringLiteral("labelText"));
    frame.texts = JsonStrict::stringList(o, QStringLiteral("texts"));
    frame.image = JsonStrict::optString(o, QStringLiteral("image"));
    frame.imageURL = JsonStrict::optString(o, QStringLiteral("imageURL"));
    if (const auto boxes = JsonStrict::optArray(o, QStringLiteral("textBoxes")))
        frame.textBoxes = readEach<TextBox>(*boxes);
    return frame;
}

QJsonObject FigmaFrame::toJson() const
{
    QJsonObject o{
        {QStringLiteral("id"), id},
        {QStringLiteral("name"), name},
        {QStringLiteral("x"), x},
        {QStringLiteral("y"), y},
        {QStringLiteral("w"), w},
        {QStringLiteral("h"), h},
        {QStringLiteral("texts"), QJsonArray::fromStringList(texts)},
    };
    putOptional(o, QStringLiteral("label"), label);
    putOptional(o, QStringLiteral("labelText"), labelText);
    putOptional(o, QStringLiteral("image"), image);
    putOptional(o, QStringLiteral("imageURL"), imageURL);
    if (textBoxes)
        o.insert(QStringLiteral("textBoxes"), writeEach(*textBoxes));
    return o;
}

FigmaSection FigmaSection::decode(const QByteArray &json)
{
    return read(parseObject(json));
}

FigmaSection FigmaSection::read(const QJsonValue &value)
{
    const QJsonObject o = JsonStrict::object(value, QStringLiteral("section"));
    FigmaSection section;
    section.fileKey = JsonStrict::string(o, QStringLiteral("fileKey"));
    section.nodeId = JsonStrict::string(o, QStringLiteral("nodeId"));
    section.name = JsonStrict::string(o, QStringLiteral("name"));
    section.frames = readEach<FigmaFrame>(JsonStrict::array(o, QStringLiteral("frames")));
    section.notes = JsonStrict::stringList(o, QStringLiteral("notes"));
    return section;
}

QJsonObject FigmaSection::toJson() const
{
    return QJsonObject{
        {QStringLiteral("fileKey"), fileKey},
        {QStringLiteral("nodeId"), nodeId},
        {QStringLiteral("name"), name},
        {QStringLiteral("frames"), writeEach(frames)},
        {QStringLiteral("notes"), QJsonArray::fromStringList(notes)},
    };
}
