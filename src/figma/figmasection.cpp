#include "figma/figmasection.h"

#include "core/jsoncoding.h"
#include "core/jsoncursor.h"
#include "core/jsonread.h"
#include "core/filesizes.h"
#include "core/regularfile.h"

#include <QJsonArray>
#include <cmath>

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

// The one-pass reader of the usual section text, such as a write makes. It
// takes only what the strict reader would take the same way: the records'
// own keys, each once, every required one there and not null, with values
// of their own types, or null for an optional one. At anything else it
// gives up and the strict reader reads the text, and fails it or not.
using JsonCursor::Cursor;
using JsonCursor::elements;
using JsonCursor::keys;
using JsonCursor::members;

void read(Cursor &in, QString &text)
{
    text = in.string();
}

void read(Cursor &in, std::optional<QString> &text)
{
    if (!in.takeNull())
        text = in.string();
}

// A negative zero is left to the parser, which may read it as a whole
// number, and so without its sign.
void read(Cursor &in, double &value)
{
    value = in.number();
    if (value == 0 && std::signbit(value))
        Cursor::unusual();
}

void read(Cursor &in, QStringList &texts)
{
    elements(in, [&] { texts.append(in.string()); });
}

template<typename T>
void record(Cursor &in, T &value);

template<typename T>
void read(Cursor &in, QList<T> &records)
{
    elements(in, [&] {
        T item;
        record(in, item);
        records.append(std::move(item));
    });
}

template<typename T>
void read(Cursor &in, std::optional<QList<T>> &records)
{
    if (in.takeNull())
        return;
    records.emplace();
    read(in, *records);
}

template<typename... Fields>
auto fields(Cursor &in, Fields &...values)
{
    return [&in, &values...](int at) {
        int index = 0;
        ((index++ == at ? read(in, values) : void()), ...);
    };
}

// The keys at these indices must all have been met.
void require(quint64 met, std::initializer_list<int> required)
{
    for (const int key : required) {
        if (!(met & (quint64(1) << key)))
            Cursor::unusual();
    }
}

template<>
void record(Cursor &in, TextBox &b)
{
    const quint64 met = members(in, keys("id", "name", "text", "x", "y", "w", "h"),
                                fields(in, b.id, b.name, b.text, b.x, b.y, b.w, b.h));
    require(met, {0, 1, 3, 4, 5, 6});
}

template<>
void record(Cursor &in, FigmaFrame &f)
{
    const quint64 met = members(
        in, keys("id", "name", "x", "y", "w", "h", "texts", "label", "labelText", "image", "imageURL", "textBoxes"),
        fields(in, f.id, f.name, f.x, f.y, f.w, f.h, f.texts, f.label, f.labelText, f.image, f.imageURL,
               f.textBoxes));
    require(met, {0, 1, 2, 3, 4, 5, 6});
}

template<>
void record(Cursor &in, FigmaSection &s)
{
    const quint64 met = members(in, keys("fileKey", "nodeId", "name", "frames", "notes"),
                                fields(in, s.fileKey, s.nodeId, s.name, s.frames, s.notes));
    require(met, {0, 1, 2, 3, 4});
}

std::optional<FigmaSection> inOnePass(const QByteArray &json)
{
    try {
        Cursor in(json);
        if (in.peek() != '{')
            return std::nullopt;
        FigmaSection section;
        record(in, section);
        if (!in.atEnd())
            return std::nullopt;
        return section;
    } catch (const JsonCursor::Unusual &) {
        return std::nullopt;
    }
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
    if (std::optional<FigmaSection> section = inOnePass(json))
        return std::move(*section);
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
