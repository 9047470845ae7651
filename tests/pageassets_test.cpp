#include "export/pageassets.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {

struct NamedText {
    const char *name;
    QByteArray text;
};

QList<NamedText> allScripts()
{
    const QList<QByteArray> body = PageAssets::bodyScripts();
    const char *names[] = {"link preview", "platform tabs", "data tabs", "decision picker", "folding", "callout lines",
                           "web fonts"};
    QList<NamedText> scripts;
    for (qsizetype i = 0; i < body.size() && i < 7; ++i)
        scripts.append({names[i], body[i]});
    scripts.append({"image swap", PageAssets::imageScript()});
    scripts.append({"mermaid start", PageAssets::mermaidStart()});
    return scripts;
}

struct NodeRun {
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
};

class PageScripts : public testing::Test {
protected:
    void SetUp() override
    {
        node = QStandardPaths::findExecutable(QStringLiteral("node"));
        if (node.isEmpty())
            GTEST_SKIP() << "node is not installed";
        ASSERT_TRUE(dir.isValid());
    }

    NodeRun runNode(const QStringList &arguments, const QByteArray &input = {})
    {
        QProcess process;
        process.start(node, arguments);
        EXPECT_TRUE(process.waitForStarted());
        process.write(input);
        process.closeWriteChannel();
        EXPECT_TRUE(process.waitForFinished(60000));
        return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
                process.readAllStandardOutput(), process.readAllStandardError()};
    }

    // Parses the text as a classic script, the way a script element runs it.
    NodeRun checkSyntax(const QByteArray &script)
    {
        return runNode({QStringLiteral("-e"),
                        QStringLiteral("const vm = require('vm'); let s = '';"
                                       "process.stdin.on('data', d => s += d).on('end', () => {"
                                       "  try { new vm.Script(s); } catch (e) { console.error(e.message); process.exit(1); }"
                                       "});")},
                       script);
    }

    QJsonObject runHarness(const char *harness, const QByteArray &script, const QStringList &more)
    {
        const QString path = dir.filePath(QStringLiteral("script.js"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(script);
        file.close();
        const QString harnessPath = QStringLiteral(QUARRYSTONE_FIXTURES "/pageassets/") + QLatin1String(harness);
        const NodeRun run = runNode(QStringList{harnessPath, path} + more);
        EXPECT_EQ(run.exitCode, 0) << run.err.constData();
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(run.out, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << run.out.constData() << run.err.constData();
        return doc.object();
    }

    QString node;
    QTemporaryDir dir;
};

QJsonArray postedAt(const QJsonArray &steps, const QString &name)
{
    for (const QJsonValue &step : steps)
        if (step[QStringLiteral("name")].toString() == name)
            return step[QStringLiteral("posted")].toArray();
    ADD_FAILURE() << "no step " << name.toStdString();
    return {};
}

QJsonObject stepNamed(const QJsonArray &steps, const QString &name)
{
    for (const QJsonValue &step : steps)
        if (step[QStringLiteral("name")].toString() == name)
            return step.toObject();
    ADD_FAILURE() << "no step " << name.toStdString();
    return {};
}

QJsonObject object(std::initializer_list<std::pair<QString, QJsonValue>> fields)
{
    QJsonObject o;
    for (const auto &[key, value] : fields)
        o.insert(key, value);
    return o;
}

} // namespace

TEST(PageAssets, EveryTextIsCompiledInAndEndsAtItsLastCharacter)
{
    const QByteArray style = PageAssets::styleSheet();
    ASSERT_FALSE(style.isEmpty());
    EXPECT_TRUE(style.endsWith('}'));
    ASSERT_EQ(PageAssets::bodyScripts().size(), 7);
    for (const NamedText &script : allScripts()) {
        ASSERT_FALSE(script.text.isEmpty()) << script.name;
        EXPECT_FALSE(QChar(QLatin1Char(script.text.back())).isSpace()) << script.name;
    }
}

// The importer finds the page's data blocks by these literals, and the page
// places the texts inside style and script elements as they are.
TEST(PageAssets, NoTextCanEndItsElementOrFakeADataBlock)
{
    QList<NamedText> texts = allScripts();
    texts.append({"style sheet", PageAssets::styleSheet()});
    for (const NamedText &text : texts) {
        EXPECT_FALSE(text.text.contains(R"(id="quarrystone-plan">)")) << text.name;
        EXPECT_FALSE(text.text.contains(R"(id="quarrystone-img">)")) << text.name;
        const QByteArray lower = text.text.toLower();
        EXPECT_FALSE(lower.contains("</script")) << text.name;
        EXPECT_FALSE(lower.contains("</style")) << text.name;
        EXPECT_FALSE(lower.contains("<!--")) << text.name;
    }
}

TEST(PageAssets, BodyScriptsComeInPageOrder)
{
    const QList<QByteArray> body = PageAssets::bodyScripts();
    ASSERT_EQ(body.size(), 7);
    EXPECT_TRUE(body[0].contains("getElementById('pop')"));
    EXPECT_TRUE(body[1].contains("'quarrystone.platform:' + location.pathname"));
    EXPECT_TRUE(body[2].contains("'quarrystone.data:' + location.pathname"));
    EXPECT_TRUE(body[3].contains("quarryDecide"));
    EXPECT_TRUE(body[4].contains("'quarrystone.graph:' + location.pathname"));
    EXPECT_TRUE(body[4].contains("quarryZoom"));
    EXPECT_TRUE(body[5].contains("co-lines"));
    EXPECT_TRUE(body[6].contains("getElementById('web-fonts')"));
    EXPECT_TRUE(PageAssets::imageScript().contains("window.quarryAssets ="));
    EXPECT_TRUE(PageAssets::mermaidStart().contains("mermaid.initialize"));
}

// Dark values follow the system unless the page is pinned light, and always
// apply when it is pinned dark.
TEST(PageAssets, StyleSheetCarriesBothPalettes)
{
    const QString style = QString::fromUtf8(PageAssets::styleSheet());
    const QList<std::tuple<QString, QString, QString>> tokens = {
        {"--bg", "#f4f6f9", "#0f141a"},      {"--surface", "#ffffff", "#171e26"},
        {"--fg", "#16202c", "#e3e9ef"},      {"--muted", "#5d6b7a", "#93a1b0"},
        {"--line", "#d9e0e8", "#2a3440"},    {"--accent", "#1766d6", "#5aa0ff"},
        {"--accent-soft", "#e6f0fe", "#15283f"}, {"--warn", "#b5470b", "#f0965c"},
        {"--warn-soft", "#fdeee4", "#3a2316"},   {"--ok", "#1d7a46", "#5ccf8a"},
        {"--code-bg", "#eef2f6", "#1f2833"},     {"--phone", "#0d1117", "#000"},
        {"--on-fill", "#fff", "#0f141a"},
    };
    const auto rule = [&](const QString &selector) {
        const qsizetype start = style.indexOf(selector + QLatin1Char('{'));
        EXPECT_GE(start, 0) << selector.toStdString();
        if (start < 0)
            return QString();
        const qsizetype open = start + selector.size() + 1;
        return style.mid(open, style.indexOf(QLatin1Char('}'), open) - open);
    };
    const QString light = rule(QStringLiteral(":root"));
    const QString system = rule(QStringLiteral("@media (prefers-color-scheme:dark){:root:not([data-theme=\"light\"])"));
    const QString pinned = rule(QStringLiteral(":root[data-theme=\"dark\"]"));
    for (const auto &[name, lightValue, darkValue] : tokens) {
        const QRegularExpression lightDecl(QRegularExpression::escape(name + ':' + lightValue) + "(;|$)");
        const QRegularExpression darkDecl(QRegularExpression::escape(name + ':' + darkValue) + "(;|$)");
        EXPECT_TRUE(lightDecl.match(light).hasMatch()) << name.toStdString();
        EXPECT_TRUE(darkDecl.match(system).hasMatch()) << name.toStdString();
        EXPECT_TRUE(darkDecl.match(pinned).hasMatch()) << name.toStdString();
    }
    EXPECT_TRUE(system.contains(QStringLiteral("color-scheme:dark")));
    EXPECT_TRUE(pinned.contains(QStringLiteral("color-scheme:dark")));
    EXPECT_TRUE(style.contains(QStringLiteral("@media (max-width:760px)")));
    EXPECT_TRUE(style.contains(QStringLiteral("@media (max-width:640px)")));
}

TEST_F(PageScripts, EveryScriptParsesAsAClassicScript)
{
    const NodeRun broken = checkSyntax("(function () { return; ");
    EXPECT_NE(broken.exitCode, 0);
    const NodeRun topLevelReturn = checkSyntax("return 1;");
    EXPECT_NE(topLevelReturn.exitCode, 0);

    for (const NamedText &script : allScripts()) {
        const NodeRun run = checkSyntax(script.text);
        EXPECT_EQ(run.exitCode, 0) << script.name << ": " << run.err.constData();
    }
}

TEST_F(PageScripts, PickerInTheApplicationPostsEachPickOnce)
{
    const QJsonObject result = runHarness("picker.js", PageAssets::bodyScripts().value(3), {QStringLiteral("app")});
    const QJsonArray steps = result[QStringLiteral("steps")].toArray();
    const QString id = QStringLiteral("d-1 & \"q\"");
    const QString option = QStringLiteral("A & \"B\" <c>");

    EXPECT_EQ(result[QStringLiteral("bodyClasses")].toArray(), QJsonArray({QStringLiteral("inapp")}));
    EXPECT_EQ(result[QStringLiteral("goLabel")].toString(), QStringLiteral("이걸로 고르기"));
    EXPECT_TRUE(result[QStringLiteral("dialog")].isNull());

    EXPECT_EQ(postedAt(steps, "option"), QJsonArray({object({{"id", id}, {"choice", option}})}));
    EXPECT_EQ(stepNamed(steps, "option")[QStringLiteral("sel")].toArray(), QJsonArray({option}));
    EXPECT_EQ(postedAt(steps, "same option"), QJsonArray({object({{"id", id}, {"clear", true}})}));
    EXPECT_TRUE(stepNamed(steps, "same option")[QStringLiteral("sel")].toArray().isEmpty());
    EXPECT_EQ(postedAt(steps, "switch option"), QJsonArray({object({{"id", id}, {"choice", option}})}));
    EXPECT_EQ(stepNamed(steps, "switch option")[QStringLiteral("sel")].toArray(), QJsonArray({option}));

    const QJsonObject opened = stepNamed(steps, "open etc");
    EXPECT_TRUE(postedAt(steps, "open etc").isEmpty());
    EXPECT_FALSE(opened[QStringLiteral("boxHidden")].toBool());
    EXPECT_EQ(opened[QStringLiteral("focused")].toString(), QStringLiteral("textarea."));
    EXPECT_TRUE(postedAt(steps, "cancel").isEmpty());
    EXPECT_TRUE(stepNamed(steps, "cancel")[QStringLiteral("boxHidden")].toBool());
    EXPECT_EQ(stepNamed(steps, "cancel")[QStringLiteral("sel")].toArray(), QJsonArray({option}));

    EXPECT_EQ(postedAt(steps, "write"), QJsonArray({object({{"id", id}, {"text", "x"}})}));
    const QJsonObject written = stepNamed(steps, "write");
    EXPECT_TRUE(written[QStringLiteral("sel")].toArray().isEmpty());
    EXPECT_TRUE(written[QStringLiteral("etcSel")].toBool());
    EXPECT_EQ(written[QStringLiteral("etc")].toString(), QStringLiteral("기타: x"));

    EXPECT_EQ(postedAt(steps, "blank text"), QJsonArray({object({{"id", id}, {"clear", true}})}));
    const QJsonObject cleared = stepNamed(steps, "blank text");
    EXPECT_FALSE(cleared[QStringLiteral("etcSel")].toBool());
    EXPECT_EQ(cleared[QStringLiteral("etc")].toString(), QStringLiteral("기타 — 직접 쓰기"));

    // A pick on another decision leaves the first one alone.
    EXPECT_EQ(postedAt(steps, "second"), QJsonArray({object({{"id", "d-2"}, {"text", "y"}})}));
    EXPECT_EQ(stepNamed(steps, "second")[QStringLiteral("etc")].toString(), QStringLiteral("기타 — 직접 쓰기"));
}

TEST_F(PageScripts, PickerInABrowserOnlyPointsToTheApplication)
{
    const QJsonObject result = runHarness("picker.js", PageAssets::bodyScripts().value(3), {QStringLiteral("browser")});
    const QJsonArray steps = result[QStringLiteral("steps")].toArray();

    EXPECT_EQ(result[QStringLiteral("bodyClasses")].toArray(), QJsonArray({QStringLiteral("inbrowser")}));
    const QJsonObject dialog = result[QStringLiteral("dialog")].toObject();
    EXPECT_EQ(dialog[QStringLiteral("role")].toString(), QStringLiteral("dialog"));
    EXPECT_EQ(dialog[QStringLiteral("modal")].toString(), QStringLiteral("true"));
    EXPECT_EQ(dialog[QStringLiteral("text")].toString(),
              QStringLiteral("앱에서 선택해 주세요결정은 quarrystone 앱에서 고를 수 있어요.확인"));

    for (const QJsonValue &step : steps)
        EXPECT_TRUE(step[QStringLiteral("posted")].toArray().isEmpty()) << step[QStringLiteral("name")].toString().toStdString();

    const QJsonObject option = stepNamed(steps, "option");
    EXPECT_TRUE(option[QStringLiteral("prevented")].toBool());
    EXPECT_FALSE(option[QStringLiteral("overlayHidden")].toBool());
    EXPECT_EQ(option[QStringLiteral("focused")].toString(), QStringLiteral("button."));
    EXPECT_TRUE(option[QStringLiteral("sel")].toArray().isEmpty());
    EXPECT_TRUE(stepNamed(steps, "open etc")[QStringLiteral("boxHidden")].toBool());

    EXPECT_TRUE(stepNamed(steps, "escape")[QStringLiteral("overlayHidden")].toBool());
    EXPECT_TRUE(stepNamed(steps, "ok button")[QStringLiteral("overlayHidden")].toBool());
    EXPECT_FALSE(stepNamed(steps, "inside box")[QStringLiteral("overlayHidden")].toBool());
    EXPECT_TRUE(stepNamed(steps, "beside box")[QStringLiteral("overlayHidden")].toBool());
}

TEST_F(PageScripts, ImageScriptSwapsOnlyPathsTheBlockHolds)
{
    const QByteArray script = PageAssets::imageScript();
    const QString map = QStringLiteral(R"({"img/a.png":"data:image/png;base64,QUJD","img/empty.png":"",)"
                                       R"("https://example.invalid/x.png":"data:image/png;base64,WA=="})");
    const QJsonObject swapped = runHarness("images.js", script, {map});
    EXPECT_TRUE(swapped[QStringLiteral("defined")].toBool());
    EXPECT_EQ(swapped[QStringLiteral("afterLoad")].toArray(),
              QJsonArray({"data:image/png;base64,QUJD", "img/empty.png", "img/missing.png",
                          "https://example.invalid/b.png", "__proto__", "toString"}));
    EXPECT_EQ(swapped[QStringLiteral("late")].toString(), QStringLiteral("data:image/png;base64,QUJD"));

    // Without a usable block every picture still gets its path.
    const QJsonArray unchanged({"img/a.png", "img/empty.png", "img/missing.png", "https://example.invalid/b.png",
                                "__proto__", "toString"});
    for (const QString &block : {QStringLiteral("-"), QStringLiteral("{\"img/a.png\":"), QStringLiteral("null")}) {
        const QJsonObject result = runHarness("images.js", script, {block});
        EXPECT_TRUE(result[QStringLiteral("defined")].toBool()) << block.toStdString();
        EXPECT_EQ(result[QStringLiteral("afterLoad")].toArray(), unchanged) << block.toStdString();
    }
}

TEST_F(PageScripts, MermaidStartsWithThePageColoursAndSwapsThumbnailsAfterwards)
{
    const QByteArray script = PageAssets::mermaidStart();
    const QJsonObject run = runHarness("mermaid.js", script, {QStringLiteral("resolves")});
    EXPECT_TRUE(run[QStringLiteral("threw")].isNull());
    // The library draws the graph's own source, which the page gave stand-ins.
    EXPECT_EQ(run[QStringLiteral("ranOn")].toString(), QStringLiteral("pre.mermaid"));
    EXPECT_EQ(run[QStringLiteral("swaps")].toInt(), 1);

    const QJsonObject config = run[QStringLiteral("config")].toObject();
    EXPECT_FALSE(config[QStringLiteral("startOnLoad")].toBool(true));
    EXPECT_EQ(config[QStringLiteral("theme")].toString(), QStringLiteral("base"));
    // It keeps no markup of the page's: its strictest level does.
    EXPECT_EQ(config[QStringLiteral("securityLevel")].toString(), QStringLiteral("strict"));
    // A 500-screen plan writes about half a megabyte of graph text and thousands of moves.
    EXPECT_GE(config[QStringLiteral("maxTextSize")].toDouble(), 2000000.0);
    EXPECT_GE(config[QStringLiteral("maxEdges")].toDouble(), 5000.0);

    const QJsonObject theme = config[QStringLiteral("themeVariables")].toObject();
    EXPECT_EQ(theme[QStringLiteral("fontFamily")].toString(), QStringLiteral("\"IBM Plex Sans KR\", sans-serif"));
    EXPECT_EQ(theme[QStringLiteral("fontSize")].toString(), QStringLiteral("14px"));
    EXPECT_EQ(theme[QStringLiteral("background")].toString(), QStringLiteral("#ffffff"));
    EXPECT_EQ(theme[QStringLiteral("primaryColor")].toString(), QStringLiteral("#f4f6f9"));
    EXPECT_EQ(theme[QStringLiteral("primaryTextColor")].toString(), QStringLiteral("#16202c"));
    EXPECT_EQ(theme[QStringLiteral("primaryBorderColor")].toString(), QStringLiteral("#d9e0e8"));
    EXPECT_EQ(theme[QStringLiteral("lineColor")].toString(), QStringLiteral("#5d6b7a"));
    EXPECT_EQ(theme[QStringLiteral("textColor")].toString(), QStringLiteral("#16202c"));
    EXPECT_EQ(theme[QStringLiteral("edgeLabelBackground")].toString(), QStringLiteral("#ffffff"));
    EXPECT_EQ(theme[QStringLiteral("tertiaryColor")].toString(), QStringLiteral("#ffffff"));

    const QJsonObject flowchart = config[QStringLiteral("flowchart")].toObject();
    EXPECT_TRUE(flowchart[QStringLiteral("htmlLabels")].toBool());
    EXPECT_FALSE(flowchart[QStringLiteral("useMaxWidth")].toBool(true));
    EXPECT_EQ(flowchart[QStringLiteral("curve")].toString(), QStringLiteral("basis"));
    EXPECT_EQ(flowchart[QStringLiteral("nodeSpacing")].toInt(), 30);
    EXPECT_EQ(flowchart[QStringLiteral("rankSpacing")].toInt(), 38);
    EXPECT_EQ(flowchart[QStringLiteral("padding")].toInt(), 10);

    // Without the library, or with a drawing that fails, the page carries on.
    for (const QString &mode : {QStringLiteral("missing"), QStringLiteral("rejects"), QStringLiteral("throws")}) {
        const QJsonObject failed = runHarness("mermaid.js", script, {mode});
        EXPECT_TRUE(failed[QStringLiteral("threw")].isNull()) << mode.toStdString();
    }
}
