// fake-wiki: a wiki's MCP server over standard input and output (one
// JSON-RPC message a line), standing in for the person's Atlassian server.
// It offers two read tools and a write tool, as the real server does, so a
// test can see whether a run that only reads could change a page:
//
//   getConfluencePage {"pageId"}            the page's text
//   searchConfluenceUsingCql {"cql"}        the ids of the pages it holds
//   updateConfluencePage {"pageId","body"}  replaces the page's text
//
// Pages are the files "<pageId>.md" of the folder named by FAKE_WIKI_PAGES.
// Each tool call is appended to the file named by FAKE_WIKI_LOG (when set) as
// {"tool":"...","arguments":{...}}.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

QString pagePath(const QJsonObject &arguments)
{
    // A page id is one file name: digits only.
    const QString id = arguments.value("pageId").toVariant().toString();
    for (const QChar c : id)
        if (!c.isDigit())
            return QString();
    return id.isEmpty() ? QString() : QDir(qEnvironmentVariable("FAKE_WIKI_PAGES")).filePath(id + ".md");
}

void logCall(const QString &tool, const QJsonObject &arguments)
{
    QFile log(qEnvironmentVariable("FAKE_WIKI_LOG"));
    if (log.fileName().isEmpty() || !log.open(QIODevice::Append))
        return;
    log.write(QJsonDocument(QJsonObject{{"tool", tool}, {"arguments", arguments}}).toJson(QJsonDocument::Compact) + '\n');
}

QJsonObject textResult(const QString &text, bool error = false)
{
    return {{"content", QJsonArray{QJsonObject{{"type", "text"}, {"text", text}}}}, {"isError", error}};
}

QJsonObject tool(const QString &name, const QString &description, const QStringList &required, bool readOnly)
{
    QJsonObject properties;
    for (const QString &field : required)
        properties.insert(field, QJsonObject{{"type", "string"}});
    return {{"name", name},
            {"description", description},
            {"inputSchema", QJsonObject{{"type", "object"}, {"properties", properties},
                                         {"required", QJsonArray::fromStringList(required)}}},
            {"annotations", QJsonObject{{"readOnlyHint", readOnly}}}};
}

QJsonObject call(const QString &name, const QJsonObject &arguments)
{
    logCall(name, arguments);
    const QString path = pagePath(arguments);
    if (name == "searchConfluenceUsingCql") {
        QStringList ids = QDir(qEnvironmentVariable("FAKE_WIKI_PAGES")).entryList({"*.md"}, QDir::Files, QDir::Name);
        for (QString &id : ids)
            id.chop(3);
        return textResult(ids.join('\n'));
    }
    QFile page(path);
    if (name == "getConfluencePage") {
        if (path.isEmpty() || !page.open(QIODevice::ReadOnly))
            return textResult("Page not found", true);
        return textResult(QString::fromUtf8(page.readAll()));
    }
    if (name == "updateConfluencePage") {
        if (path.isEmpty() || !page.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return textResult("Page not found", true);
        page.write(arguments.value("body").toString().toUtf8());
        return textResult("Page updated");
    }
    return textResult("Unknown tool: " + name, true);
}

QJsonObject answer(const QString &method, const QJsonObject &params)
{
    if (method == "initialize")
        return {{"protocolVersion", params.value("protocolVersion").toString("2025-06-18")},
                {"capabilities", QJsonObject{{"tools", QJsonObject()}}},
                {"serverInfo", QJsonObject{{"name", "fake-wiki"}, {"version", "1.0.0"}}}};
    if (method == "tools/list")
        return {{"tools", QJsonArray{tool("getConfluencePage", "Reads a Confluence page as Markdown", {"cloudId", "pageId"}, true),
                                     tool("searchConfluenceUsingCql", "Finds Confluence pages", {"cloudId", "cql"}, true),
                                     tool("updateConfluencePage", "Replaces a Confluence page's body",
                                          {"cloudId", "pageId", "body"}, false)}}};
    if (method == "tools/call")
        return call(params.value("name").toString(), params.value("arguments").toObject());
    return {};
}

} // namespace

int main()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        const QJsonObject message = QJsonDocument::fromJson(QByteArray::fromStdString(line)).object();
        // Notifications carry no id and get no answer.
        if (!message.contains("id"))
            continue;
        const QString method = message.value("method").toString();
        QJsonObject reply{{"jsonrpc", "2.0"}, {"id", message.value("id")}};
        if (method == "initialize" || method == "tools/list" || method == "tools/call" || method == "ping")
            reply.insert("result", answer(method, message.value("params").toObject()));
        else
            reply.insert("error", QJsonObject{{"code", -32601}, {"message", "Method not found"}});
        std::cout << QJsonDocument(reply).toJson(QJsonDocument::Compact).toStdString() << '\n' << std::flush;
    }
    return 0;
}
