#include <gtest/gtest.h>

#include <QSet>
#include <random>

#include "browser/pageharness.h"
#include "export/htmlpage.h"
#include "support/qtprinters.h"

using namespace Qt::StringLiterals;
using PageHarness::GraphPageTest;
using PageHarness::PageTest;

namespace {

const QString remoteImage = u"https://images.example.com/shot.png"_s;

// Script that marks where it came from, should it ever run.
QString run(const QString &where)
{
    return u"(window.pwned=window.pwned||[]).push('%1')"_s.arg(where);
}

// Every way a text could try to become markup or script: in the page, in a
// Mermaid label or statement, or as an address.
QString payload(const QString &where)
{
    const QString code = run(where);
    return u"</script><script>"_s + code + u"</script><img src=x onerror=\""_s + code + u"\"><svg/onload="_s + code
        + u"><iframe srcdoc=\"<script>parent."_s + code + u"</script>\"></iframe>\"]\n  click s_feed call "_s + code
        + u"\n#60;img src=x onerror="_s + code + u"#62; %%{init: {\"securityLevel\": \"loose\"}}%% javascript:"_s + code;
}

Sourced sourced(const QString &where)
{
    Sourced s;
    s.text = payload(where);
    s.source = payload(where + u".source"_s);
    return s;
}

Screen screen(const QString &key, const QString &where)
{
    Screen s;
    s.key = key;
    s.name = payload(where + u".name"_s);
    s.title = payload(where + u".title"_s);
    s.figmaNodes = {payload(where + u".node"_s)};
    s.figmaLabel = payload(where + u".label"_s);
    s.kind = payload(where + u".kind"_s);
    s.condition = sourced(where + u".condition"_s);
    Arg arg;
    arg.name = payload(where + u".arg"_s);
    arg.model = payload(where + u".argModel"_s) + u" Model"_s;
    s.args = {arg};
    s.serverData = {payload(where + u".server"_s), u"api"_s};
    UserAction action;
    action.key = u"tap"_s;
    action.label = payload(where + u".action"_s);
    s.actions = {action};
    s.rules = {sourced(where + u".rule"_s)};
    s.strings = {payload(where + u".strings"_s)};
    s.platformNotes = {payload(where + u".android"_s), payload(where + u".ios"_s)};
    return s;
}

Plan hostilePlan()
{
    Plan plan;
    Meta &meta = plan.meta;
    meta.feature = payload(u"feature"_s);
    meta.title = payload(u"title"_s);
    meta.summary = payload(u"summary"_s);
    meta.module = {payload(u"android"_s), payload(u"dir"_s), payload(u"ios"_s), payload(u"group"_s)};
    meta.figma = {payload(u"file"_s), payload(u"nodeId"_s), u"javascript:"_s + run(u"figma"_s)};
    meta.entry = {payload(u"card"_s), u"javascript:"_s + run(u"deeplink"_s)};
    meta.createdBy = payload(u"by"_s);
    meta.createdAt = payload(u"at"_s);
    meta.stage = payload(u"stage"_s);

    Screen first = screen(u"feed"_s, u"s1"_s);
    first.image.before = u"javascript:"_s + run(u"image"_s);
    Screen second = screen(u"k\"><img src=x onerror="_s + run(u"key"_s) + u">"_s, u"s2"_s);
    second.image.before = remoteImage;
    Screen third = screen(u"</script><script>"_s + run(u"key2"_s) + u"</script>"_s, u"s3"_s);
    plan.screens = {first, second, third};

    Transition forward;
    forward.from = first.key;
    forward.to = second.key;
    forward.trigger = u"tap"_s;
    forward.condition = payload(u"t.condition"_s);
    forward.passes = {payload(u"t.passes"_s)};
    forward.source = payload(u"t.source"_s);
    Transition other = forward;
    other.to = third.key;
    other.trigger = u"tap"_s;
    Transition back;
    back.from = third.key;
    back.to = u"@"_s + payload(u"outside"_s);
    back.trigger = payload(u"t.trigger"_s);
    back.kind = u"dismiss"_s;
    back.popUpTo = payload(u"t.popUpTo"_s);
    plan.transitions = {forward, other, back};

    DataModel model;
    model.name = payload(u"model"_s) + u" Model"_s;
    Field field;
    field.name = payload(u"field"_s);
    field.type = payload(u"type"_s) + u" Model"_s;
    field.filledAt = first.key;
    field.source = payload(u"field.source"_s);
    model.fields = {field};
    model.sharedIn = {first.key, second.key};
    plan.models = {model};

    Api api;
    api.key = u"api"_s;
    api.method = payload(u"method"_s);
    api.path = payload(u"path"_s);
    api.status = payload(u"status"_s);
    api.purpose = payload(u"purpose"_s);
    api.usedBy = {first.key, u"@"_s + payload(u"usedBy"_s)};
    api.responseModel = u"Model"_s;
    api.request = payload(u"request"_s);
    api.response = payload(u"response"_s);
    api.source = payload(u"api.source"_s);
    Api::ApiField apiField;
    apiField.name = payload(u"apiField"_s);
    apiField.type = payload(u"apiType"_s);
    apiField.location = payload(u"location"_s);
    apiField.desc = payload(u"desc"_s);
    api.requestFields = {apiField};
    api.responseFields = {apiField};
    plan.apis = {api};

    StringKey string;
    string.key = payload(u"stringKey"_s);
    string.ko = payload(u"ko"_s);
    string.screen = first.key;
    string.source = payload(u"string.source"_s);
    string.node = payload(u"string.node"_s);
    string.frame = first.figmaNodes.first();
    string.box = StringKey::Box{0.1, 0.1, 0.5, 0.1};
    plan.strings = {string};

    Decision open;
    open.key = payload(u"d.key"_s);
    open.question = payload(u"d.question"_s);
    open.context = payload(u"d.context"_s);
    open.screens = {first.key, u"@"_s + payload(u"d.outside"_s), payload(u"d.screen"_s)};
    open.options = {payload(u"d.option"_s)};
    open.proposal = payload(u"d.proposal"_s);
    Decision decided = open;
    decided.key = payload(u"d2.key"_s);
    decided.status = u"decided"_s;
    decided.result = payload(u"d.result"_s);
    decided.decidedBy = payload(u"d.by"_s);
    decided.decidedAt = payload(u"d.at"_s);
    plan.decisions = {open, decided};

    plan.naming.rules = {payload(u"rule"_s)};
    return plan;
}

TEST_F(GraphPageTest, TextsFromThePlanNeverRunAsScript)
{
    const Plan plan = hostilePlan();
    open(plan);
    // Every hover preview copies a card's markup once more.
    eval(u"document.querySelectorAll('a.m').forEach(function (a) { a.dispatchEvent(new MouseEvent('mouseenter')); })"_s);
    browser().click(u"button[data-fold=close]"_s);
    browser().click(u"button[data-fold=open]"_s);
    eval(u"document.querySelectorAll('details.strings').forEach(function (d) { d.open = true; })"_s);
    // Broken images report their error a little later.
    PageHarness::pause(500);

    EXPECT_EQ(eval(u"JSON.stringify(window.pwned || null)"_s).toString(), u"null"_s);
    EXPECT_EQ(browser().alerts(), QStringList());
    EXPECT_NE(eval(u"document.querySelector('.graph svg').getAttribute('aria-roledescription')"_s).toString(), u"error"_s);
    // The seven page scripts, the plan block, the image script, the library and its start (no local images, no image block).
    EXPECT_EQ(eval(u"document.scripts.length"_s).toInt(), 11);
    EXPECT_EQ(eval(u"document.querySelectorAll('iframe, object, embed').length"_s).toInt(), 0);
    EXPECT_EQ(json(u"Array.from(document.querySelectorAll('*')).filter(function (e) { return Array.from(e.attributes).some(function (a) { return /^on/i.test(a.name); }); }).map(function (e) { return e.outerHTML.slice(0, 80); })"_s),
              QJsonArray());
    EXPECT_EQ(json(u"Array.from(document.querySelectorAll('a')).map(function (a) { return a.getAttribute('href') || a.getAttribute('xlink:href') || ''; }).filter(function (h) { return h.charAt(0) !== '#'; })"_s),
              QJsonArray());

    // The plan block reads back whole, "</script>" and all.
    EXPECT_EQ(eval(u"JSON.parse(document.getElementById('quarrystone-plan').textContent).meta.title"_s).toString(), plan.meta.title);
    EXPECT_EQ(eval(u"document.querySelector('h1').textContent"_s).toString(), plan.meta.title + u" 개발 계획서"_s);

    // Nothing is fetched but the fonts, the graph library and the plan's own
    // web images; a javascript: image address is not written at all.
    QSet<QUrl> requested;
    for (const QUrl &url : browser().remoteRequests())
        requested.insert(url);
    const QSet<QUrl> expected = {QUrl(eval(u"document.querySelector('link[rel=stylesheet]').href"_s).toString()),
                                 QUrl(eval(u"document.querySelector('script[src]').src"_s).toString()), QUrl(remoteImage)};
    EXPECT_EQ(requested, expected);
    EXPECT_EQ(browser().errors(), QStringList());
}

// Picture paths made of the pieces a browser reads in its own way: spaces
// and controls it drops or keeps, separators, dots written and encoded, a
// drive letter, a query, a fragment, entities of the page and of the graph.
QStringList picturePathsToTry()
{
    const QStringList pieces = {u" "_s, u"\t"_s, u"\n"_s, u"\r"_s, u"\f"_s, u"\x01"_s, QString(QChar(0)), u"\u00a0"_s,
                                u"."_s, u".."_s, u"%2e"_s, u"%2E."_s, u"/"_s, u"\\"_s, u"//"_s, u"%2f"_s, u"%5c"_s,
                                u"img"_s, u"x.png"_s, u"C|"_s, u"c:"_s, u"?"_s, u"#"_s, u"&#46;"_s, u"#46;"_s,
                                u"http:"_s, u"file:"_s, u"%"_s, u"host"_s};
    std::mt19937 random(20231);
    std::uniform_int_distribution<qsizetype> piece(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(1, 7);
    QStringList paths = {u" /abs/x.png"_s, u"\f/abs/x.png"_s, u"\t../x.png"_s, u"img/.\t./.\t./x.png"_s,
                         u"img/.\n./x.png"_s, u" //host/x.png"_s, u" http://host/x.png"_s, u"C|/x.png"_s};
    for (int at = 0; at < 40000; ++at) {
        QString path;
        for (int count = length(random); count > 0; --count)
            path += pieces.at(piece(random));
        paths.append(path);
    }
    return paths;
}

// Each picture's markup read by the browser's own HTML and URL parsers,
// against a plan folder opened from a file and served over http: the
// addresses that leave the folder, and how many pictures there were.
constexpr char picturesOutside[] = R"JS(
(function (shots) {
  var bases = ['file:///home/p/plan/index.html', 'http://127.0.0.1:8000/plan/index.html'];
  var outside = [], pictures = 0;
  var reads = function (value, base) { try { return new URL(value, base).href; } catch (e) { return null; } };
  shots.forEach(function (markup) {
    new DOMParser().parseFromString(markup, 'text/html').querySelectorAll('img').forEach(function (image) {
      pictures++;
      // The copy for viewers without scripts names the same path as its source.
      var path = image.getAttribute(image.closest('noscript') ? 'src' : 'data-src'), web = image.getAttribute('src');
      bases.forEach(function (base) {
        var href = path !== null ? reads(path, base) : reads(web, base);
        var home = path !== null ? base.replace(/index\.html$/, '') : null;
        if (href !== null && (home ? href.indexOf(home) !== 0 : !/^https?:\/\/[^/]/.test(href)))
          outside.push(JSON.stringify(path !== null ? path : web) + ' -> ' + href);
      });
    });
  });
  return { outside: outside.slice(0, 20), count: outside.length, pictures: pictures };
})
)JS";

TEST_F(PageTest, EveryPicturePathKeptStaysInThePlanFolderAsABrowserReadsIt)
{
    QJsonArray shots;
    for (const QString &path : picturePathsToTry()) {
        Screen s;
        s.title = u"x"_s;
        s.image.before = path;
        shots.append(HTMLPage::shot(s, QString()));
    }
    // Tens of thousands of paths: on a busy machine this takes a while.
    const QJsonValue found = browser().json(
        QString::fromUtf8(picturesOutside) + u"("_s + QString::fromUtf8(QJsonDocument(shots).toJson(QJsonDocument::Compact)) + u")"_s,
        120000);
    EXPECT_EQ(found[u"count"_s].toInt(), 0) << QJsonDocument(found[u"outside"_s].toArray()).toJson().toStdString();
    // Enough of the paths are kept for the check to mean something.
    EXPECT_GT(found[u"pictures"_s].toInt(), 2000);
}

} // namespace
