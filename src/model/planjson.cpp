#include "model/planjson.h"

#include "core/jsoncoding.h"
#include "core/jsoncursor.h"
#include "core/jsonread.h"
#include "core/text.h"
#include "model/planhistory.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstring>

namespace PlanJson {

namespace {

using JSONCoding::Stream;

// Every record writes its keys in code-point order ("L" before "N",
// "request" before "requestFields"), as the whole-object writer sorts them.

void write(Stream &out, const Module &m);
void write(Stream &out, const FigmaRef &r);
void write(Stream &out, const Entry &e);
void write(Stream &out, const QMap<QString, QString> &texts);
void write(Stream &out, const Meta &m);
void write(Stream &out, const ScreenImage &i);
void write(Stream &out, const PlatformText &t);
void write(Stream &out, const Sourced &s);
void write(Stream &out, const Arg &a);
void write(Stream &out, const UserAction &a);
void write(Stream &out, const Screen &s);
void write(Stream &out, const Transition &t);
void write(Stream &out, const Field &f);
void write(Stream &out, const DataModel &m);
void write(Stream &out, const Api::ApiField &f);
void write(Stream &out, const Api &a);
void write(Stream &out, const StringKey::Box &b);
void write(Stream &out, const StringKey &s);
void write(Stream &out, const Decision &d);
void write(Stream &out, const FileSet &f);
void write(Stream &out, const PlatformFiles &p);
void write(Stream &out, const Naming &n);

void write(Stream &out, const QString &text)
{
    out.string(text);
}

void write(Stream &out, const QStringList &texts)
{
    out.beginArray();
    for (const QString &text : texts)
        out.string(text);
    out.endArray();
}

template<typename T>
void write(Stream &out, const QList<T> &records)
{
    out.beginArray();
    for (const T &record : records)
        write(out, record);
    out.endArray();
}

template<typename T>
void member(Stream &out, QByteArrayView key, const T &value)
{
    out.key(key);
    write(out, value);
}

void member(Stream &out, QByteArrayView key, const std::optional<QString> &value)
{
    if (value)
        member(out, key, *value);
}

void write(Stream &out, const Module &m)
{
    out.beginObject();
    member(out, "android", m.android);
    member(out, "androidFeatureDir", m.androidFeatureDir);
    member(out, "ios", m.ios);
    member(out, "iosGroup", m.iosGroup);
    out.endObject();
}

void write(Stream &out, const FigmaRef &r)
{
    out.beginObject();
    member(out, "fileKey", r.fileKey);
    member(out, "nodeId", r.nodeId);
    member(out, "url", r.url);
    out.endObject();
}

void write(Stream &out, const Entry &e)
{
    out.beginObject();
    member(out, "cardType", e.cardType);
    member(out, "deeplink", e.deeplink);
    out.endObject();
}

void write(Stream &out, const QMap<QString, QString> &texts)
{
    QStringList keys = texts.keys();
    Text::sortByCodePoint(keys);
    out.beginObject();
    for (const QString &key : keys) {
        out.key(QStringView(key));
        out.string(texts.value(key));
    }
    out.endObject();
}

void write(Stream &out, const Meta &m)
{
    out.beginObject();
    member(out, "createdAt", m.createdAt);
    member(out, "createdBy", m.createdBy);
    member(out, "entry", m.entry);
    member(out, "feature", m.feature);
    member(out, "figma", m.figma);
    member(out, "generator", m.generator);
    member(out, "module", m.module);
    member(out, "stage", m.stage);
    member(out, "summary", m.summary);
    member(out, "title", m.title);
    out.endObject();
}

void write(Stream &out, const ScreenImage &i)
{
    out.beginObject();
    member(out, "android", i.android);
    member(out, "before", i.before);
    member(out, "ios", i.ios);
    out.endObject();
}

void write(Stream &out, const PlatformText &t)
{
    out.beginObject();
    member(out, "android", t.android);
    member(out, "ios", t.ios);
    out.endObject();
}

void write(Stream &out, const Sourced &s)
{
    out.beginObject();
    member(out, "source", s.source);
    member(out, "text", s.text);
    out.endObject();
}

void write(Stream &out, const Arg &a)
{
    out.beginObject();
    member(out, "model", a.model);
    member(out, "name", a.name);
    out.endObject();
}

void write(Stream &out, const UserAction &a)
{
    out.beginObject();
    member(out, "id", a.key);
    member(out, "label", a.label);
    member(out, "source", a.source);
    out.endObject();
}

void write(Stream &out, const Screen &s)
{
    out.beginObject();
    member(out, "actions", s.actions);
    member(out, "args", s.args);
    if (s.condition)
        member(out, "condition", *s.condition);
    member(out, "figmaLabel", s.figmaLabel);
    member(out, "figmaNodes", s.figmaNodes);
    member(out, "id", s.key);
    member(out, "image", s.image);
    member(out, "inferredFields", s.inferredFields);
    member(out, "kind", s.kind);
    member(out, "name", s.name);
    member(out, "platformNotes", s.platformNotes);
    member(out, "rules", s.rules);
    member(out, "serverData", s.serverData);
    member(out, "strings", s.strings);
    member(out, "title", s.title);
    out.endObject();
}

void write(Stream &out, const Transition &t)
{
    out.beginObject();
    member(out, "condition", t.condition);
    member(out, "from", t.from);
    member(out, "kind", t.kind);
    member(out, "passes", t.passes);
    member(out, "popUpTo", t.popUpTo);
    member(out, "source", t.source);
    member(out, "to", t.to);
    member(out, "trigger", t.trigger);
    out.endObject();
}

void write(Stream &out, const Field &f)
{
    out.beginObject();
    member(out, "filledAt", f.filledAt);
    member(out, "name", f.name);
    member(out, "source", f.source);
    member(out, "type", f.type);
    out.endObject();
}

void write(Stream &out, const DataModel &m)
{
    out.beginObject();
    out.key("apiAligned");
    out.boolean(m.apiAligned);
    member(out, "fields", m.fields);
    member(out, "name", m.name);
    member(out, "sharedIn", m.sharedIn);
    out.endObject();
}

void write(Stream &out, const Api::ApiField &f)
{
    out.beginObject();
    member(out, "desc", f.desc);
    member(out, "in", f.location);
    member(out, "name", f.name);
    out.key("required");
    out.boolean(f.required);
    member(out, "type", f.type);
    out.endObject();
}

void write(Stream &out, const Api &a)
{
    out.beginObject();
    member(out, "id", a.key);
    member(out, "method", a.method);
    member(out, "path", a.path);
    member(out, "purpose", a.purpose);
    member(out, "request", a.request);
    member(out, "requestFields", a.requestFields);
    member(out, "response", a.response);
    member(out, "responseFields", a.responseFields);
    member(out, "responseModel", a.responseModel);
    member(out, "source", a.source);
    member(out, "status", a.status);
    member(out, "usedBy", a.usedBy);
    out.endObject();
}

void write(Stream &out, const StringKey::Box &b)
{
    out.beginObject();
    for (const auto &[key, value] : {std::pair{"h", b.h}, {"w", b.w}, {"x", b.x}, {"y", b.y}}) {
        out.key(key);
        out.number(value);
    }
    out.endObject();
}

void write(Stream &out, const StringKey &s)
{
    out.beginObject();
    if (s.box)
        member(out, "box", *s.box);
    member(out, "frame", s.frame);
    member(out, "key", s.key);
    member(out, "ko", s.ko);
    member(out, "node", s.node);
    member(out, "screen", s.screen);
    member(out, "source", s.source);
    out.endObject();
}

void write(Stream &out, const Decision &d)
{
    out.beginObject();
    member(out, "context", d.context);
    member(out, "decidedAt", d.decidedAt);
    member(out, "decidedBy", d.decidedBy);
    member(out, "id", d.key);
    member(out, "options", d.options);
    member(out, "proposal", d.proposal);
    member(out, "question", d.question);
    member(out, "result", d.result);
    member(out, "screens", d.screens);
    member(out, "status", d.status);
    out.endObject();
}

void write(Stream &out, const FileSet &f)
{
    out.beginObject();
    member(out, "dir", f.dir);
    member(out, "files", f.files);
    member(out, "navigation", f.navigation);
    out.endObject();
}

void write(Stream &out, const PlatformFiles &p)
{
    out.beginObject();
    member(out, "android", p.android);
    member(out, "ios", p.ios);
    out.endObject();
}

void write(Stream &out, const Naming &n)
{
    QStringList keys = n.platformMap.keys();
    Text::sortByCodePoint(keys);
    out.beginObject();
    out.key("platformMap");
    out.beginObject();
    for (const QString &key : keys) {
        out.key(QStringView(key));
        write(out, n.platformMap.value(key));
    }
    out.endObject();
    member(out, "rules", n.rules);
    out.endObject();
}

void write(Stream &out, const Plan &p)
{
    out.beginObject();
    member(out, "apis", p.apis);
    member(out, "decisions", p.decisions);
    member(out, "meta", p.meta);
    member(out, "models", p.models);
    member(out, "naming", p.naming);
    out.key("schemaVersion");
    out.number(double(p.schemaVersion));
    member(out, "screens", p.screens);
    member(out, "strings", p.strings);
    member(out, "transitions", p.transitions);
    out.endObject();
}


// The one-pass reader of plan.json's text. It takes only what the tolerant
// reader would take the same way and a write would keep whole: the plan's
// own keys, each once, with values of their own types, or null where null
// leaves the field at its default. At anything else it gives up (Unusual)
// and the text is read the slow way, which decides what that means.
// The cursor is this file's own type, so that the readers below are found
// for each field's type wherever they stand.
struct Cursor : JsonCursor::Cursor {
    using JsonCursor::Cursor::Cursor;
};
using JsonCursor::Unusual;
using JsonCursor::elements;
using JsonCursor::keys;
using JsonCursor::members;

// A value that is null leaves the field as it is: the tolerant reader gives
// the default, and the write loses nothing a null said.
bool nullHere(Cursor &in)
{
    return in.takeNull();
}

void read(Cursor &in, QString &text)
{
    if (!nullHere(in))
        text = in.string();
}

void read(Cursor &in, std::optional<QString> &text)
{
    if (!nullHere(in))
        text = in.string();
}

void read(Cursor &in, bool &value)
{
    if (in.takeWord("true"))
        value = true;
    else if (in.takeWord("false"))
        value = false;
    else if (!nullHere(in))
        Cursor::unusual();
}

void read(Cursor &in, QStringList &texts)
{
    if (nullHere(in))
        return;
    elements(in, [&] { texts.append(in.string()); });
}

void read(Cursor &in, QMap<QString, QString> &texts)
{
    if (nullHere(in))
        return;
    in.expect('{');
    if (in.take('}'))
        return;
    do {
        QString key = in.string();
        in.expect(':');
        if (texts.contains(key))
            Cursor::unusual();
        texts.insert(std::move(key), in.string());
    } while (in.take(','));
    in.expect('}');
}

template<typename T>
void record(Cursor &in, T &value);

template<typename T>
void read(Cursor &in, QList<T> &records)
{
    if (nullHere(in))
        return;
    elements(in, [&] {
        T item;
        record(in, item);
        records.append(std::move(item));
    });
}

// A record in an object's place: null leaves its default.
template<typename T>
void read(Cursor &in, T &value)
{
    if (!nullHere(in))
        record(in, value);
}

template<typename... Fields>
auto fields(Cursor &in, Fields &...values)
{
    return [&in, &values...](int at) {
        int index = 0;
        ((index++ == at ? read(in, values) : void()), ...);
    };
}

template<>
void record(Cursor &in, Module &m)
{
    members(in, keys("android", "androidFeatureDir", "ios", "iosGroup"),
            fields(in, m.android, m.androidFeatureDir, m.ios, m.iosGroup));
}

template<>
void record(Cursor &in, FigmaRef &r)
{
    members(in, keys("fileKey", "nodeId", "url"), fields(in, r.fileKey, r.nodeId, r.url));
}

template<>
void record(Cursor &in, Entry &e)
{
    members(in, keys("cardType", "deeplink"), fields(in, e.cardType, e.deeplink));
}

template<>
void record(Cursor &in, Meta &m)
{
    members(in,
            keys("feature", "title", "summary", "module", "figma", "entry", "stage", "createdBy", "createdAt",
                 "generator"),
            fields(in, m.feature, m.title, m.summary, m.module, m.figma, m.entry, m.stage, m.createdBy, m.createdAt,
                   m.generator));
}

template<>
void record(Cursor &in, ScreenImage &i)
{
    members(in, keys("before", "android", "ios"), fields(in, i.before, i.android, i.ios));
}

template<>
void record(Cursor &in, PlatformText &t)
{
    members(in, keys("android", "ios"), fields(in, t.android, t.ios));
}

// A sourced statement or an argument may be a bare text: the text of its
// first field, which a write keeps as that field.
bool bareText(Cursor &in, QString &text)
{
    if (in.peek() != '"')
        return false;
    text = in.string();
    return true;
}

void read(Cursor &in, Sourced &s)
{
    if (!bareText(in, s.text))
        members(in, keys("text", "source"), fields(in, s.text, s.source));
}

void read(Cursor &in, Arg &a)
{
    if (!bareText(in, a.name))
        members(in, keys("name", "model"), fields(in, a.name, a.model));
}

template<>
void record(Cursor &in, Sourced &s)
{
    read(in, s);
}

template<>
void record(Cursor &in, Arg &a)
{
    read(in, a);
}

template<>
void record(Cursor &in, UserAction &a)
{
    members(in, keys("id", "label", "source"), fields(in, a.key, a.label, a.source));
}

void read(Cursor &in, std::optional<Sourced> &condition)
{
    if (nullHere(in))
        return;
    condition.emplace();
    read(in, *condition);
}

template<>
void record(Cursor &in, Screen &s)
{
    members(in,
            keys("id", "name", "title", "figmaNodes", "figmaLabel", "image", "kind", "condition", "args",
                 "serverData", "actions", "rules", "strings", "platformNotes", "inferredFields"),
            fields(in, s.key, s.name, s.title, s.figmaNodes, s.figmaLabel, s.image, s.kind, s.condition, s.args,
                   s.serverData, s.actions, s.rules, s.strings, s.platformNotes, s.inferredFields));
}

template<>
void record(Cursor &in, Transition &t)
{
    members(in, keys("from", "to", "trigger", "condition", "passes", "kind", "popUpTo", "source"),
            fields(in, t.from, t.to, t.trigger, t.condition, t.passes, t.kind, t.popUpTo, t.source));
}

template<>
void record(Cursor &in, Field &f)
{
    members(in, keys("name", "type", "filledAt", "source"), fields(in, f.name, f.type, f.filledAt, f.source));
}

template<>
void record(Cursor &in, DataModel &m)
{
    members(in, keys("name", "fields", "apiAligned", "sharedIn"),
            fields(in, m.name, m.fields, m.apiAligned, m.sharedIn));
}

template<>
void record(Cursor &in, Api::ApiField &f)
{
    members(in, keys("name", "type", "required", "desc", "in"),
            fields(in, f.name, f.type, f.required, f.desc, f.location));
}

template<>
void record(Cursor &in, Api &a)
{
    members(in,
            keys("id", "purpose", "usedBy", "request", "response", "status", "method", "path", "requestFields",
                 "responseFields", "responseModel", "source"),
            fields(in, a.key, a.purpose, a.usedBy, a.request, a.response, a.status, a.method, a.path,
                   a.requestFields, a.responseFields, a.responseModel, a.source));
}

// The box is read strictly: four numbers, none missing.
void read(Cursor &in, std::optional<StringKey::Box> &box)
{
    if (nullHere(in))
        return;
    StringKey::Box b;
    int found = 0;
    members(in, keys("x", "y", "w", "h"), [&](int at) {
        double *const sides[] = {&b.x, &b.y, &b.w, &b.h};
        *sides[at] = in.number();
        ++found;
    });
    if (found != 4)
        Cursor::unusual();
    box = b;
}

template<>
void record(Cursor &in, StringKey &s)
{
    members(in, keys("key", "ko", "screen", "source", "node", "frame", "box"),
            fields(in, s.key, s.ko, s.screen, s.source, s.node, s.frame, s.box));
}

template<>
void record(Cursor &in, Decision &d)
{
    members(in,
            keys("id", "question", "context", "screens", "options", "proposal", "status", "result", "decidedBy",
                 "decidedAt"),
            fields(in, d.key, d.question, d.context, d.screens, d.options, d.proposal, d.status, d.result,
                   d.decidedBy, d.decidedAt));
}

// The platform map is read strictly: each set has its three keys, none
// null.
void strictSet(Cursor &in, FileSet &f)
{
    int found = 0;
    members(in, keys("dir", "files", "navigation"), [&](int at) {
        if (in.peek() == 'n')
            Cursor::unusual();
        if (at == 0)
            f.dir = in.string();
        else
            read(in, at == 1 ? f.files : f.navigation);
        ++found;
    });
    if (found != 3)
        Cursor::unusual();
}

void read(Cursor &in, QMap<QString, PlatformFiles> &map)
{
    if (nullHere(in))
        return;
    in.expect('{');
    if (in.take('}'))
        return;
    do {
        QString key = in.string();
        in.expect(':');
        if (map.contains(key))
            Cursor::unusual();
        PlatformFiles files;
        int found = 0;
        members(in, keys("android", "ios"), [&](int at) {
            strictSet(in, at == 0 ? files.android : files.ios);
            ++found;
        });
        if (found != 2)
            Cursor::unusual();
        map.insert(std::move(key), std::move(files));
    } while (in.take(','));
    in.expect('}');
}

template<>
void record(Cursor &in, Naming &n)
{
    members(in, keys("rules", "platformMap"), fields(in, n.rules, n.platformMap));
}

// Whole numbers only, as the tolerant reader takes them.
void read(Cursor &in, qint64 &whole)
{
    if (nullHere(in))
        return;
    const double value = in.number();
    if (std::floor(value) != value || std::fabs(value) >= 9007199254740992.0)
        Cursor::unusual();
    whole = qint64(value);
}

template<>
void record(Cursor &in, Plan &p)
{
    members(in,
            keys("schemaVersion", "meta", "screens", "transitions", "models", "apis", "strings", "decisions",
                 "naming"),
            fields(in, p.schemaVersion, p.meta, p.screens, p.transitions, p.models, p.apis, p.strings, p.decisions,
                   p.naming));
}

std::optional<Plan> inOnePass(const QByteArray &json)
{
    try {
        Cursor in(json);
        if (in.peek() != '{')
            return std::nullopt;
        Plan plan;
        record(in, plan);
        if (!in.atEnd())
            return std::nullopt;
        return plan;
    } catch (const Unusual &) {
        return std::nullopt;
    }
}

} // namespace

Plan plan(const QByteArray &json)
{
    if (std::optional<Plan> plan = inOnePass(json))
        return std::move(*plan);
    return *Plan::read(parseObject(json));
}

Read read(const QByteArray &json)
{
    if (std::optional<Plan> plan = inOnePass(json))
        return {std::move(*plan), false};
    const QJsonObject object = parseObject(json);
    Read slow{*Plan::read(object)};
    slow.wouldDrop = PlanHistory::writeWouldDrop(object, slow.plan);
    return slow;
}

QByteArray pretty(const Plan &plan)
{
    Stream out(true, false);
    write(out, plan);
    return out.take();
}

} // namespace PlanJson
