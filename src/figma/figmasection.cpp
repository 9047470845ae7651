#include "figma/figmasection.h"

#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/filesizes.h"
#include "core/regularfile.h"

#include <QJsonArray>

namespace {

template<typename T>
QList<T> readEach(const QJsonArray &array)
{
    QList<T> out;
    out.reserve(array.size());
    for (const QJsonValue &element : array)
        out.append(T::read(element));
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
    JSONCoding::insertIfPresent(o, QStringLiteral("text"), text);
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
    JSONCoding::insertIfPresent(o, QStringLiteral("label"), label);
    JSONCoding::insertIfPresent(o, QStringLiteral("labelText"), labelText);
    JSONCoding::insertIfPresent(o, QStringLiteral("image"), image);
    JSONCoding::insertIfPresent(o, QStringLiteral("imageURL"), imageURL);
    if (textBoxes)
        o.insert(QStringLiteral("textBoxes"), JSONCoding::arrayOf(*textBoxes));
    return o;
}

std::optional<FigmaSection> FigmaSection::saved(const QString &path)
{
    const std::optional<QByteArray> bytes = RegularFile::read(path, FileSizes::section);
    if (!bytes)
        return std::nullopt;
    try {
        return decode(*bytes);
    } catch (const JSONDecodeError &) {
        return std::nullopt;
    }
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
        {QStringLiteral("frames"), JSONCoding::arrayOf(frames)},
        {QStringLiteral("notes"), QJsonArray::fromStringList(notes)},
    };
}
