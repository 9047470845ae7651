#include "model/plan.h"

#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/parallel.h"
#include "model/planjson.h"

#include <QJsonArray>
#include <atomic>

using namespace Qt::StringLiterals;

namespace {

std::optional<QJsonObject> objectOf(const QJsonValue &value)
{
    if (!value.isObject())
        return std::nullopt;
    return value.toObject();
}

QJsonArray arrayOf(const QStringList &texts)
{
    return QJsonArray::fromStringList(texts);
}

using JSONCoding::arrayOf;
using JSONCoding::insertIfPresent;

// The records of a large plan are turned into objects on every core; each
// object stands alone, so the array is the one a single pass makes.
template<typename T>
QJsonArray arrayOnAllCores(const QList<T> &records)
{
    if (records.size() < 64)
        return arrayOf(records);
    const QList<QJsonObject> objects =
        Parallel::map<QJsonObject>(records.size(), [&records](qsizetype at) { return records[at].toJson(); });
    QJsonArray out;
    for (const QJsonObject &object : objects)
        out.append(object);
    return out;
}

// The strict records report a missing or mistyped key by throwing; inside a
// tolerant parent that only means "this value could not be read".
template<typename Read>
auto strictly(Read read) -> std::optional<decltype(read())>
{
    try {
        return read();
    } catch (const JSONDecodeError &) {
        return std::nullopt;
    }
}

} // namespace

QUuid newElementId()
{
    static const QUuid base = QUuid::createUuid();
    static std::atomic<quint64> count{0};
    QUuid id = base;
    const quint64 n = count.fetch_add(1, std::memory_order_relaxed);
    for (int at = 0; at < 8; ++at)
        id.data4[at] ^= uchar(n >> (8 * at));
    return id;
}

std::optional<FigmaRef> FigmaRef::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    FigmaRef r;
    r.fileKey = JsonRead::string(*o, u"fileKey"_s);
    r.nodeId = JsonRead::string(*o, u"nodeId"_s);
    r.url = JsonRead::string(*o, u"url"_s);
    return r;
}

QJsonObject FigmaRef::toJson() const
{
    return {{u"fileKey"_s, fileKey}, {u"nodeId"_s, nodeId}, {u"url"_s, url}};
}

std::optional<Entry> Entry::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    Entry e;
    e.cardType = JsonRead::string(*o, u"cardType"_s);
    e.deeplink = JsonRead::string(*o, u"deeplink"_s);
    return e;
}

QJsonObject Entry::toJson() const
{
    return {{u"cardType"_s, cardType}, {u"deeplink"_s, deeplink}};
}

std::optional<Meta> Meta::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    Meta m;
    m.feature = JsonRead::string(*o, u"feature"_s);
    m.title = JsonRead::string(*o, u"title"_s);
    m.summary = JsonRead::string(*o, u"summary"_s);
    m.module = JsonRead::record(*o, u"module"_s, Module::read, m.module);
    m.figma = JsonRead::record(*o, u"figma"_s, FigmaRef::read, m.figma);
    m.entry = JsonRead::record(*o, u"entry"_s, Entry::read, m.entry);
    m.stage = JsonRead::string(*o, u"stage"_s, m.stage);
    m.createdBy = JsonRead::string(*o, u"createdBy"_s);
    m.createdAt = JsonRead::string(*o, u"createdAt"_s);
    m.generator = JsonRead::stringMap(*o, u"generator"_s);
    return m;
}

QJsonObject Meta::toJson() const
{
    QJsonObject generatorJson;
    for (auto it = generator.begin(); it != generator.end(); ++it)
        generatorJson.insert(it.key(), it.value());
    return {
        {u"feature"_s, feature},
        {u"title"_s, title},
        {u"summary"_s, summary},
        {u"module"_s, module.toJson()},
        {u"figma"_s, figma.toJson()},
        {u"entry"_s, entry.toJson()},
        {u"stage"_s, stage},
        {u"createdBy"_s, createdBy},
        {u"createdAt"_s, createdAt},
        {u"generator"_s, generatorJson},
    };
}

std::optional<ScreenImage> ScreenImage::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    ScreenImage i;
    i.before = JsonRead::optString(*o, u"before"_s);
    i.android = JsonRead::optString(*o, u"android"_s);
    i.ios = JsonRead::optString(*o, u"ios"_s);
    return i;
}

QJsonObject ScreenImage::toJson() const
{
    QJsonObject o;
    insertIfPresent(o, u"before"_s, before);
    insertIfPresent(o, u"android"_s, android);
    insertIfPresent(o, u"ios"_s, ios);
    return o;
}

std::optional<PlatformText> PlatformText::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    PlatformText t;
    t.android = JsonRead::string(*o, u"android"_s);
    t.ios = JsonRead::string(*o, u"ios"_s);
    return t;
}

QJsonObject PlatformText::toJson() const
{
    return {{u"android"_s, android}, {u"ios"_s, ios}};
}

std::optional<Sourced> Sourced::read(const QJsonValue &value)
{
    Sourced s;
    if (value.isString()) {
        s.text = value.toString();
        return s;
    }
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    s.text = JsonRead::string(*o, u"text"_s);
    s.source = JsonRead::string(*o, u"source"_s, s.source);
    return s;
}

QJsonObject Sourced::toJson() const
{
    return {{u"text"_s, text}, {u"source"_s, source}};
}

std::optional<Arg> Arg::read(const QJsonValue &value)
{
    Arg a;
    if (value.isString()) {
        a.name = value.toString();
        return a;
    }
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    a.name = JsonRead::string(*o, u"name"_s);
    a.model = JsonRead::string(*o, u"model"_s);
    return a;
}

QJsonObject Arg::toJson() const
{
    return {{u"name"_s, name}, {u"model"_s, model}};
}

std::optional<UserAction> UserAction::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    UserAction a;
    a.key = JsonRead::string(*o, u"id"_s);
    a.label = JsonRead::string(*o, u"label"_s);
    a.source = JsonRead::string(*o, u"source"_s, a.source);
    return a;
}

QJsonObject UserAction::toJson() const
{
    return {{u"id"_s, key}, {u"label"_s, label}, {u"source"_s, source}};
}

std::optional<Screen> Screen::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    Screen s;
    s.key = JsonRead::string(*o, u"id"_s);
    s.name = JsonRead::string(*o, u"name"_s);
    s.title = JsonRead::string(*o, u"title"_s);
    s.figmaNodes = JsonRead::stringList(*o, u"figmaNodes"_s);
    s.figmaLabel = JsonRead::optString(*o, u"figmaLabel"_s);
    s.image = JsonRead::record(*o, u"image"_s, ScreenImage::read, s.image);
    s.kind = JsonRead::string(*o, u"kind"_s, s.kind);
    s.condition = Sourced::read(o->value(u"condition"_s));
    s.args = JsonRead::list(*o, u"args"_s, Arg::read);
    s.serverData = JsonRead::stringList(*o, u"serverData"_s);
    s.actions = JsonRead::list(*o, u"actions"_s, UserAction::read);
    s.rules = JsonRead::list(*o, u"rules"_s, Sourced::read);
    s.strings = JsonRead::stringList(*o, u"strings"_s);
    s.platformNotes = JsonRead::record(*o, u"platformNotes"_s, PlatformText::read, s.platformNotes);
    s.inferredFields = JsonRead::stringList(*o, u"inferredFields"_s);
    return s;
}

QJsonObject Screen::toJson() const
{
    QJsonObject o{
        {u"id"_s, key},
        {u"name"_s, name},
        {u"title"_s, title},
        {u"figmaNodes"_s, arrayOf(figmaNodes)},
        {u"image"_s, image.toJson()},
        {u"kind"_s, kind},
        {u"args"_s, arrayOf(args)},
        {u"serverData"_s, arrayOf(serverData)},
        {u"actions"_s, arrayOf(actions)},
        {u"rules"_s, arrayOf(rules)},
        {u"strings"_s, arrayOf(strings)},
        {u"platformNotes"_s, platformNotes.toJson()},
        {u"inferredFields"_s, arrayOf(inferredFields)},
    };
    insertIfPresent(o, u"figmaLabel"_s, figmaLabel);
    if (condition)
        o.insert(u"condition"_s, condition->toJson());
    return o;
}

std::optional<Transition> Transition::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    Transition t;
    t.from = JsonRead::string(*o, u"from"_s);
    t.to = JsonRead::string(*o, u"to"_s);
    t.trigger = JsonRead::string(*o, u"trigger"_s);
    t.condition = JsonRead::optString(*o, u"condition"_s);
    t.passes = JsonRead::stringList(*o, u"passes"_s);
    t.kind = JsonRead::string(*o, u"kind"_s, t.kind);
    t.popUpTo = JsonRead::optString(*o, u"popUpTo"_s);
    t.source = JsonRead::string(*o, u"source"_s, t.source);
    return t;
}

QJsonObject Transition::toJson() const
{
    QJsonObject o{
        {u"from"_s, from},
        {u"to"_s, to},
        {u"trigger"_s, trigger},
        {u"passes"_s, arrayOf(passes)},
        {u"kind"_s, kind},
        {u"source"_s, source},
    };
    insertIfPresent(o, u"condition"_s, condition);
    insertIfPresent(o, u"popUpTo"_s, popUpTo);
    return o;
}

std::optional<Field> Field::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    Field f;
    f.name = JsonRead::string(*o, u"name"_s);
    f.type = JsonRead::string(*o, u"type"_s);
    f.filledAt = JsonRead::string(*o, u"filledAt"_s);
    f.source = JsonRead::string(*o, u"source"_s, f.source);
    return f;
}

QJsonObject Field::toJson() const
{
    return {{u"name"_s, name}, {u"type"_s, type}, {u"filledAt"_s, filledAt}, {u"source"_s, source}};
}

std::optional<DataModel> DataModel::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    DataModel m;
    m.name = JsonRead::string(*o, u"name"_s);
    m.fields = JsonRead::list(*o, u"fields"_s, Field::read);
    m.apiAligned = JsonRead::boolean(*o, u"apiAligned"_s);
    m.sharedIn = JsonRead::stringList(*o, u"sharedIn"_s);
    return m;
}

QJsonObject DataModel::toJson() const
{
    return {
        {u"name"_s, name},
        {u"fields"_s, arrayOf(fields)},
        {u"apiAligned"_s, apiAligned},
        {u"sharedIn"_s, arrayOf(sharedIn)},
    };
}

std::optional<Api::ApiField> Api::ApiField::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    ApiField f;
    f.name = JsonRead::string(*o, u"name"_s);
    f.type = JsonRead::string(*o, u"type"_s);
    f.required = JsonRead::boolean(*o, u"required"_s);
    f.desc = JsonRead::string(*o, u"desc"_s);
    f.location = JsonRead::string(*o, u"in"_s);
    return f;
}

QJsonObject Api::ApiField::toJson() const
{
    return {
        {u"name"_s, name},
        {u"type"_s, type},
        {u"required"_s, required},
        {u"desc"_s, desc},
        {u"in"_s, location},
    };
}

std::optional<Api> Api::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    Api a;
    a.key = JsonRead::string(*o, u"id"_s);
    a.purpose = JsonRead::string(*o, u"purpose"_s);
    a.usedBy = JsonRead::stringList(*o, u"usedBy"_s);
    a.request = JsonRead::string(*o, u"request"_s);
    a.response = JsonRead::string(*o, u"response"_s);
    a.status = JsonRead::string(*o, u"status"_s, a.status);
    a.method = JsonRead::string(*o, u"method"_s);
    a.path = JsonRead::string(*o, u"path"_s);
    a.requestFields = JsonRead::list(*o, u"requestFields"_s, ApiField::read);
    a.responseFields = JsonRead::list(*o, u"responseFields"_s, ApiField::read);
    a.responseModel = JsonRead::string(*o, u"responseModel"_s);
    a.source = JsonRead::string(*o, u"source"_s, a.source);
    return a;
}

QJsonObject Api::toJson() const
{
    return {
        {u"id"_s, key},
        {u"purpose"_s, purpose},
        {u"usedBy"_s, arrayOf(usedBy)},
        {u"request"_s, request},
        {u"response"_s, response},
        {u"status"_s, status},
        {u"method"_s, method},
        {u"path"_s, path},
        {u"requestFields"_s, arrayOf(requestFields)},
        {u"responseFields"_s, arrayOf(responseFields)},
        {u"responseModel"_s, responseModel},
        {u"source"_s, source},
    };
}

std::optional<StringKey::Box> StringKey::Box::read(const QJsonValue &value)
{
    return strictly([&] {
        const QJsonObject o = JsonStrict::object(value, u"box"_s);
        return Box{
            JsonStrict::number(o, u"x"_s),
            JsonStrict::number(o, u"y"_s),
            JsonStrict::number(o, u"w"_s),
            JsonStrict::number(o, u"h"_s),
        };
    });
}

QJsonObject StringKey::Box::toJson() const
{
    return {{u"x"_s, x}, {u"y"_s, y}, {u"w"_s, w}, {u"h"_s, h}};
}

std::optional<StringKey> StringKey::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    StringKey s;
    s.key = JsonRead::string(*o, u"key"_s);
    s.ko = JsonRead::string(*o, u"ko"_s);
    s.screen = JsonRead::string(*o, u"screen"_s);
    s.source = JsonRead::string(*o, u"source"_s, s.source);
    s.node = JsonRead::string(*o, u"node"_s);
    s.frame = JsonRead::string(*o, u"frame"_s);
    s.box = Box::read(o->value(u"box"_s));
    return s;
}

QJsonObject StringKey::toJson() const
{
    QJsonObject o{
        {u"key"_s, key},
        {u"ko"_s, ko},
        {u"screen"_s, screen},
        {u"source"_s, source},
        {u"node"_s, node},
        {u"frame"_s, frame},
    };
    if (box)
        o.insert(u"box"_s, box->toJson());
    return o;
}

std::optional<Decision> Decision::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    Decision d;
    d.key = JsonRead::string(*o, u"id"_s);
    d.question = JsonRead::string(*o, u"question"_s);
    d.context = JsonRead::string(*o, u"context"_s);
    d.screens = JsonRead::stringList(*o, u"screens"_s);
    d.options = JsonRead::stringList(*o, u"options"_s);
    d.proposal = JsonRead::string(*o, u"proposal"_s);
    d.status = JsonRead::string(*o, u"status"_s, d.status);
    d.result = JsonRead::optString(*o, u"result"_s);
    d.decidedBy = JsonRead::optString(*o, u"decidedBy"_s);
    d.decidedAt = JsonRead::optString(*o, u"decidedAt"_s);
    return d;
}

QJsonObject Decision::toJson() const
{
    QJsonObject o{
        {u"id"_s, key},
        {u"question"_s, question},
        {u"context"_s, context},
        {u"screens"_s, arrayOf(screens)},
        {u"options"_s, arrayOf(options)},
        {u"proposal"_s, proposal},
        {u"status"_s, status},
    };
    insertIfPresent(o, u"result"_s, result);
    insertIfPresent(o, u"decidedBy"_s, decidedBy);
    insertIfPresent(o, u"decidedAt"_s, decidedAt);
    return o;
}

std::optional<FileSet> FileSet::read(const QJsonValue &value)
{
    return strictly([&] {
        const QJsonObject o = JsonStrict::object(value, u"files"_s);
        return FileSet{
            JsonStrict::string(o, u"dir"_s),
            JsonStrict::stringList(o, u"files"_s),
            JsonStrict::stringList(o, u"navigation"_s),
        };
    });
}

QJsonObject FileSet::toJson() const
{
    return {{u"dir"_s, dir}, {u"files"_s, arrayOf(files)}, {u"navigation"_s, arrayOf(navigation)}};
}

std::optional<PlatformFiles> PlatformFiles::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    auto android = FileSet::read(o->value(u"android"_s));
    auto ios = FileSet::read(o->value(u"ios"_s));
    if (!android || !ios)
        return std::nullopt;
    return PlatformFiles{std::move(*android), std::move(*ios)};
}

QJsonObject PlatformFiles::toJson() const
{
    return {{u"android"_s, android.toJson()}, {u"ios"_s, ios.toJson()}};
}

std::optional<Naming> Naming::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    Naming n;
    n.rules = JsonRead::stringList(*o, u"rules"_s);
    n.platformMap = JsonRead::map(*o, u"platformMap"_s, PlatformFiles::read);
    return n;
}

QJsonObject Naming::toJson() const
{
    QJsonObject map;
    for (auto it = platformMap.begin(); it != platformMap.end(); ++it)
        map.insert(it.key(), it.value().toJson());
    return {{u"rules"_s, arrayOf(rules)}, {u"platformMap"_s, map}};
}

Plan Plan::decode(const QByteArray &json)
{
    return PlanJson::plan(json);
}

std::optional<Plan> Plan::read(const QJsonValue &value)
{
    const auto o = objectOf(value);
    if (!o)
        return std::nullopt;
    Plan p;
    p.schemaVersion = JsonRead::integer(*o, u"schemaVersion"_s, p.schemaVersion);
    p.meta = JsonRead::record(*o, u"meta"_s, Meta::read, p.meta);
    p.screens = JsonRead::list(*o, u"screens"_s, Screen::read);
    p.transitions = JsonRead::list(*o, u"transitions"_s, Transition::read);
    p.models = JsonRead::list(*o, u"models"_s, DataModel::read);
    p.apis = JsonRead::list(*o, u"apis"_s, Api::read);
    p.strings = JsonRead::list(*o, u"strings"_s, StringKey::read);
    p.decisions = JsonRead::list(*o, u"decisions"_s, Decision::read);
    p.naming = JsonRead::record(*o, u"naming"_s, Naming::read, p.naming);
    return p;
}

QJsonObject Plan::toJson() const
{
    return {
        {u"schemaVersion"_s, schemaVersion},
        {u"meta"_s, meta.toJson()},
        {u"screens"_s, arrayOnAllCores(screens)},
        {u"transitions"_s, arrayOnAllCores(transitions)},
        {u"models"_s, arrayOnAllCores(models)},
        {u"apis"_s, arrayOnAllCores(apis)},
        {u"strings"_s, arrayOnAllCores(strings)},
        {u"decisions"_s, arrayOnAllCores(decisions)},
        {u"naming"_s, naming.toJson()},
    };
}
