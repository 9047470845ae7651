#include "model/generator.h"

#include "core/atomicfile.h"
#include "core/fileerror.h"
#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/poolthread.h"
#include "core/filesizes.h"
#include "core/regularfile.h"
#include "core/text.h"
#include "model/planfolder.h"
#include "settings/apppaths.h"
#include "settings/connections.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QRegularExpression>
#include <algorithm>
#include <cerrno>
#include <functional>
#include <memory>
#include <mutex>

namespace {

constexpr qsizetype nameLimit = 60;
constexpr qsizetype shortestPage = 200;
constexpr qsizetype answerPreview = 300;
// The lines from which an inline result of the wiki's tools is taken for a
// page the answer must hold most of; a site list or a search's few hits
// are shorter.
constexpr qsizetype pageLineCount = 40;

QString trimmedHorizontally(const QString &text)
{
    qsizetype start = 0;
    qsizetype end = text.size();
    const auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
    while (start < end && blank(text.at(start)))
        ++start;
    while (end > start && blank(text.at(end - 1)))
        --end;
    return text.mid(start, end - start);
}

// The cache folder's record of which entry each copy belongs to. Every copy
// name ends in ".md", so no copy can take this name.
const QString recordName = QStringLiteral(".entries.json");

// A name for an entry whose file name is taken: "-2", "-3", … before ".md".
QString numberedName(const QString &name, int number)
{
    const QString suffix = QStringLiteral(".md");
    const QString tag = QLatin1Char('-') + QString::number(number);
    if (name.endsWith(suffix))
        return name.left(name.size() - suffix.size()) + tag + suffix;
    return name + tag;
}

// A name the record may give a copy: one file of the cache folder, named
// as copies are. A record that names anything else (a path out of the
// folder, the record itself) came from elsewhere and is not followed.
bool isCopyName(const QString &name)
{
    return name.endsWith(QLatin1String(".md")) && !name.contains(QLatin1Char('/')) && PlanFolder::isInside(name)
        && std::none_of(name.begin(), name.end(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

// Copy name → entry, as recorded; empty when there is no readable record.
QHash<QString, QString> readRecord(const PlanFolder &folder, const QString &cache)
{
    QHash<QString, QString> owners;
    const std::optional<QByteArray> bytes = folder.read(cache + QLatin1Char('/') + recordName, FileSizes::fields);
    if (!bytes)
        return owners;
    try {
        const QJsonObject record = parseObject(*bytes);
        for (auto it = record.begin(); it != record.end(); ++it)
            if (it.value().isString() && isCopyName(it.key()))
                owners.insert(it.key(), it.value().toString());
    } catch (const JSONDecodeError &) {
    }
    return owners;
}

// The copy name of each entry. A copy is tied to its entry by the record,
// whatever the entry's position: an entry takes its recorded copy, or else
// the first name from its file name that no other entry owns and no file
// of the folder holds. A copy an older version left without a record is
// taken only by an entry that is alone in the list with its name, as that
// version named the first entry of a name by the name alone. New names are
// recorded before any copy is written under them.
QHash<QString, QString> copyNames(const QString &dir, const QString &cache, const QStringList &entries)
{
    const PlanFolder folder(dir);
    const QString cacheDir = folder.pathOf(cache);
    QHash<QString, QString> owners = readRecord(folder, cache);
    QHash<QString, QString> names;
    for (auto it = owners.begin(); it != owners.end(); ++it)
        if (!names.contains(it.value()))
            names.insert(it.value(), it.key());
    QHash<QString, int> sharing;
    for (const QString &entry : entries)
        ++sharing[Generator::docFileName(entry)];

    bool changed = false;
    for (const QString &entry : entries) {
        if (names.contains(entry))
            continue;
        const QString base = Generator::docFileName(entry);
        QString name = base;
        for (int number = 2;; ++number) {
            const QFileInfo held(cacheDir + QLatin1Char('/') + name);
            const bool unrecordedCopy = held.exists() || held.isSymLink();
            const bool claimable = name == base && sharing.value(base) == 1;
            if (!owners.contains(name) && (!unrecordedCopy || claimable))
                break;
            name = numberedName(base, number);
        }
        owners.insert(name, entry);
        names.insert(entry, name);
        changed = true;
    }
    if (changed) {
        QJsonObject record;
        for (auto it = owners.begin(); it != owners.end(); ++it)
            record.insert(it.key(), it.value());
        folder.write(cache + QLatin1Char('/') + recordName, JSONCoding::pretty(record));
    }
    return names;
}

// The cached copy `relative` of the folder `dir`, or nothing when it is
// missing, unreadable, not UTF-8 or empty.
std::optional<QString> readCache(const QString &dir, const QString &relative)
{
    const std::optional<QByteArray> bytes = PlanFolder(dir).read(relative, FileSizes::document);
    if (!bytes)
        return std::nullopt;
    std::optional<QString> text = Text::decodeUtf8Strict(*bytes);
    if (!text || text->isEmpty())
        return std::nullopt;
    return text;
}

// A local document: a regular file (a folder or a pipe fails instead of
// hanging) of UTF-8 text.
QString readLocal(const QString &entry, const QString &path)
{
    const QString prefix = QStringLiteral("문서를 읽지 못했어요: ") + entry + QStringLiteral(" (");
    if (const std::optional<QString> reason = Generator::notAFile(path))
        throw GeneratorFailure{prefix + *reason + QLatin1Char(')')};
    QString error;
    const std::optional<QByteArray> bytes = RegularFile::readChosen(path, FileSizes::document, &error);
    if (!bytes)
        throw GeneratorFailure{prefix + error + QLatin1Char(')')};
    std::optional<QString> text = Text::decodeUtf8Strict(*bytes);
    if (!text)
        throw GeneratorFailure{prefix + QStringLiteral("UTF-8 텍스트가 아니에요)")};
    return *text;
}

// What a wiki run's model was handed in place of the tool results that the
// tool saved to files, against what it read back: a saved result is read
// whole only when the run's Reads of its file showed every one of its
// lines as it is (the tool gives each line after its number and a tab, or
// "→", and cuts long lines and large files short). A saved result that
// cannot be read here cannot be checked, so its page counts as unread. Fed
// on the runner's reader thread.
class SavedPages
{
public:
    StreamCollector::ToolResult watcher()
    {
        return [this](const QString &tool, const QJsonObject &input, const QString &result) { saw(tool, input, result); };
    }

    // Some saved result was not read back whole.
    bool cut() const
    {
        const std::lock_guard guard(m_lock);
        if (m_unreadable)
            return true;
        for (const Saved &saved : m_saved)
            for (qsizetype line = 0; line < saved.lines.size(); ++line)
                if (!saved.shown.at(line) && !(saved.json && isWrapping(saved.lines.at(line))))
                    return true;
        return false;
    }

private:
    struct Saved {
        QStringList lines;
        // Which lines a Read showed as they are.
        QList<bool> shown;
        // A JSON list of text blocks, whose page is in its "text" lines.
        bool json = false;
    };

    // A line of the JSON list of text blocks the tool saves (2.1.337) that
    // holds none of the page: a model that read the page's one "text" line
    // has read the page.
    static bool isWrapping(const QString &line)
    {
        static const QStringList wrapping{QStringLiteral("["),  QStringLiteral("]"),
                                          QStringLiteral("{"),  QStringLiteral("}"),
                                          QStringLiteral("},"), QStringLiteral("\"type\": \"text\","),
                                          QStringLiteral("\"type\": \"text\"")};
        return wrapping.contains(line.trimmed());
    }

    void saw(const QString &tool, const QJsonObject &input, const QString &result)
    {
        const std::lock_guard guard(m_lock);
        if (tool == QLatin1String("Read")) {
            const auto found = m_saved.find(QDir::cleanPath(input.value(QLatin1String("file_path")).toString()));
            if (found != m_saved.end())
                markShown(*found, result);
        } else if (bool whole = true; const std::optional<QString> path = StreamCollector::savedResultPath(result, &whole)) {
            // A file that holds only the result's start is a cut page.
            if (std::optional<QStringList> lines = whole ? savedLines(*path) : std::nullopt)
                m_saved.insert(QDir::cleanPath(*path), Saved{*lines, QList<bool>(lines->size(), false),
                                                             path->endsWith(QLatin1String(".json"))});
            else
                m_unreadable = true;
        } else if (StreamCollector::isCutResult(result)) {
            m_unreadable = true;
        } else if (tool.startsWith(QLatin1String("mcp__"))) {
            m_inline.append(pageLines(result));
        }
    }

public:
    // Whether the answer lacks most of the lines of every page-sized result
    // the tool handed the model inline: the model wrote back part of the
    // page. A page read from a saved file is checked by its Reads instead.
    bool answeredInPart(const QString &answer) const
    {
        const std::lock_guard guard(m_lock);
        if (!m_saved.isEmpty())
            return false;
        QSet<QString> answered;
        for (const QString &line : answer.split(QLatin1Char('\n')))
            answered.insert(line.trimmed());
        bool anyPage = false;
        for (const QStringList &page : m_inline) {
            if (page.size() < pageLineCount)
                continue;
            anyPage = true;
            const qsizetype kept = std::count_if(page.begin(), page.end(),
                                                 [&answered](const QString &line) { return answered.contains(line); });
            if (kept * 2 >= page.size())
                return false;
        }
        return anyPage;
    }

private:

    // The text lines of an inline result, trimmed, blank ones left out: a
    // JSON result's texts (a page's body in a field) line by line.
    static QStringList pageLines(const QString &result)
    {
        QStringList texts;
        const std::function<void(const QJsonValue &)> collect = [&](const QJsonValue &value) {
            if (value.isString())
                texts.append(value.toString());
            else if (value.isArray())
                for (const QJsonValue &item : value.toArray())
                    collect(item);
            else if (value.isObject())
                for (const QJsonValue &item : value.toObject())
                    collect(item);
        };
        const QJsonDocument json = QJsonDocument::fromJson(result.toUtf8());
        if (json.isObject())
            collect(json.object());
        else if (json.isArray())
            collect(json.array());
        else
            texts.append(result);
        QStringList lines;
        for (const QString &text : std::as_const(texts))
            for (const QString &line : text.split(QLatin1Char('\n')))
                if (const QString trimmed = line.trimmed(); !trimmed.isEmpty())
                    lines.append(trimmed);
        return lines;
    }

    static void markShown(Saved &saved, const QString &result)
    {
        static const QRegularExpression numbered(QStringLiteral("^ *([0-9]{1,9})(?:\t|\u2192)(.*)$"));
        for (const QString &line : result.split(QLatin1Char('\n'))) {
            const QRegularExpressionMatch match = numbered.match(line);
            if (!match.hasMatch())
                continue;
            const qsizetype number = match.captured(1).toLongLong();
            if (number >= 1 && number <= saved.lines.size() && saved.lines.at(number - 1) == match.captured(2))
                saved.shown[number - 1] = true;
        }
    }

    // The saved file's lines, as Read numbers them; nothing when it cannot
    // be read as UTF-8 text.
    static std::optional<QStringList> savedLines(const QString &path)
    {
        const std::optional<QByteArray> bytes = RegularFile::read(path, FileSizes::document);
        const std::optional<QString> text = bytes ? Text::decodeUtf8Strict(*bytes) : std::nullopt;
        if (!text)
            return std::nullopt;
        QStringList lines = text->split(QLatin1Char('\n'));
        if (lines.size() > 1 && lines.last().isEmpty())
            lines.removeLast();
        return lines;
    }

    mutable std::mutex m_lock;
    QHash<QString, Saved> m_saved;
    // The lines of each result of the wiki's tools passed on inline.
    QList<QStringList> m_inline;
    bool m_unreadable = false;
};

// A text's length as the stage shows it: thousands from a thousand on.
QString lengthText(qsizetype length)
{
    if (length < 1000)
        return QString::number(length) + QStringLiteral("자");
    return QString::number(length / 1000) + QStringLiteral("천 자");
}

} // namespace

std::optional<QString> Generator::notAFile(const QString &path)
{
    const QFileInfo info(path);
    if (info.isFile())
        return std::nullopt;
    if (info.isDir())
        return QStringLiteral("폴더예요");
    if (!info.exists())
        return FileError::describe(ENOENT);
    return RegularFile::notRegular();
}

QString Generator::docFileName(const QString &entry)
{
    static const QRegularExpression page(QStringLiteral("/pages/(\\d+)"));
    const QRegularExpressionMatch match = page.match(entry);
    if (match.hasMatch())
        return QStringLiteral("confluence-") + match.captured(1) + QStringLiteral(".md");

    QString path = entry;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    const QString last = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    QString mapped;
    for (const QString &character : Text::graphemes(last)) {
        const bool keep = character == QLatin1String(".") || character == QLatin1String("-")
            || Text::isLetterOrNumber(character);
        mapped += keep ? character : QStringLiteral("_");
    }
    QString name = Text::graphemePrefix(mapped, nameLimit);
    if (!last.endsWith(QLatin1String(".md")))
        name += QStringLiteral(".md");
    return name;
}

QString Generator::wikiPrompt(const QString &entry)
{
    const QStringList lines{
        QStringLiteral("Atlassian MCP 도구로 아래 Confluence 페이지 하나를 읽어, 본문을 마크다운으로 **그대로** 옮겨 답한다."),
        QStringLiteral("- 페이지: ") + entry,
        QStringLiteral("- 도구 결과가 파일로 저장됐다고 나오면 Read 로 그 파일을 끝까지 읽는다."),
        QStringLiteral("- 요약하거나 줄이지 않는다. 표·코드 블록·필드 이름·에러 코드·워드민트 키를 빠짐없이 옮긴다."),
        QStringLiteral("- 본문에 링크된 다른 페이지는 읽지 않는다. 설명 문장·인사는 쓰지 않고 본문만 답한다."),
        QStringLiteral("- 도구가 cloudId 를 요구하면 URL 의 호스트(예: harborclips.atlassian.net)를 넣는다. 한 도구가 권한 오류를 내면 "
                       "다른 Atlassian 도구로 다시 시도한다."),
        QStringLiteral("- 끝내 읽지 못하면 첫 줄에 \"읽지 못함:\" 과 이유만 쓴다."),
    };
    return lines.join(QLatin1Char('\n'));
}

QStringList Generator::wikiReadTools()
{
    // A page's own text is outside input and may ask the model to change
    // the wiki: "mcp__<server>" would allow every tool of the server, its
    // page updates too. The tool (2.1.197) refuses, in "dontAsk" mode, every
    // MCP tool not allowed by its full name, whether offered at the start
    // or found through ToolSearch.
    static const QStringList readTools{
        QStringLiteral("getAccessibleAtlassianResources"), QStringLiteral("getConfluencePage"),
        QStringLiteral("getConfluenceSpaces"), QStringLiteral("getPagesInConfluenceSpace"),
        QStringLiteral("searchConfluenceUsingCql"), QStringLiteral("search"), QStringLiteral("fetch")};
    QStringList tools;
    for (const QString &server : Connections::atlassianServers())
        for (const QString &tool : readTools)
            tools.append(QStringLiteral("mcp__") + server + QStringLiteral("__") + tool);
    return tools;
}

QCoro::Task<QString> Generator::readDocs(Run run, std::optional<QStringList> entries, bool chosen, Stage stage,
                                         QString folder, QString what, QString skipNote)
{
    QStringList list;
    for (const QString &entry : entries.value_or(QStringList())) {
        const QString trimmed = trimmedHorizontally(entry);
        if (!trimmed.isEmpty())
            list.append(trimmed);
    }
    const int count = int(list.size());
    begin(run, stage, QString(), 0);
    if (count == 0) {
        finish(run, stage, skipNote, true);
        co_return QString();
    }
    const QString cacheDir = run.at + QLatin1Char('/') + folder;
    // The documents are kept there for Claude to read: never through a link.
    if (QString error; !RegularFile::ownFolder(cacheDir, &error))
        throw GeneratorFailure{error};
    update(run, stage, [count](StageState &state) { state.total = count; });

    const QFuture<QHash<QString, QString>> naming = PoolThread::run(copyNames, run.at, folder, list);
    const QHash<QString, QString> names = co_await naming;
    QStringList parts;
    QStringList unread;
    for (int i = 0; i < count; ++i) {
        run.cancel.throwIfCancelled();
        const QString entry = list.at(i);
        const QString name = names.value(entry);
        const QString cachePath = folder + QLatin1Char('/') + name;

        const QFuture<std::optional<QString>> cacheRead = PoolThread::run(readCache, run.at, cachePath);
        std::optional<QString> text = co_await cacheRead;
        run.cancel.throwIfCancelled();
        if (text) {
            add(run, QStringLiteral("  저장된 ") + what + QStringLiteral("를 다시 써요: ") + name);
        } else {
            const QString path = AppPaths::expandHome(entry);
            const QFileInfo info(path);
            if (info.exists() || info.isSymLink() || GenerateInput::namesLocalFile(entry)) {
                // Named by a folder from someone else: no file of the
                // person's is read on its word.
                if (!chosen) {
                    unread.append(entry);
                    update(run, stage, [i](StageState &state) { state.done = i + 1; });
                    continue;
                }
                const QFuture<QString> localRead = PoolThread::run(readLocal, entry, path);
                text = co_await localRead;
            } else {
                text = co_await readWiki(run, stage, entry, what, i + 1, count);
            }
            run.cancel.throwIfCancelled();
            // A killed run must never leave a cut copy that the next run trusts.
            const QFuture<bool> cacheWrite = PoolThread::run(
                [](QString dir, QString path, QString text) { return PlanFolder(dir).write(path, text.toUtf8()); },
                run.at, cachePath, *text);
            co_await cacheWrite;
        }
        parts.append(QStringLiteral("### 문서 %1: ").arg(parts.size() + 1) + entry + QStringLiteral("\n\n") + *text);
        update(run, stage, [i](StageState &state) { state.done = i + 1; });
    }
    if (!unread.isEmpty())
        add(run, QStringLiteral("  이 폴더의 request.json 이 적은 파일은 이 컴퓨터에서 고른 것이 아니라 읽지 않았어요: ")
                     + unread.join(QStringLiteral(", ")));
    if (parts.isEmpty()) {
        finish(run, stage, skipNote, true);
        co_return QString();
    }
    const qsizetype read = parts.size();
    const QFuture<std::pair<QString, qsizetype>> joining = PoolThread::run([](QStringList parts) {
        QString joined = parts.join(QStringLiteral("\n\n---\n\n"));
        const qsizetype length = Text::graphemeCount(joined);
        return std::make_pair(std::move(joined), length);
    }, std::move(parts));
    auto [joined, length] = co_await joining;
    run.cancel.throwIfCancelled();
    finish(run, stage, QStringLiteral("문서 %1개 · ").arg(read) + lengthText(length));
    co_return joined;
}

QCoro::Task<QString> Generator::readWiki(Run run, Stage stage, QString entry, QString what, int position, int count)
{
    update(run, stage, [position, count](StageState &state) {
        state.detail = QStringLiteral("Confluence 에서 읽는 중 · %1/%2").arg(position).arg(count);
    });
    const QStringList servers = Connections::atlassianServers();
    // A configuration that cannot be read is no server missing: it is named.
    if (const QString problem = ClaudeRunner::userConfigProblem(); servers.isEmpty() && !problem.isEmpty())
        throw ClaudeFailure{what + QStringLiteral("를 읽을 Atlassian MCP 를 찾지 못했어요. ") + problem};
    if (servers.isEmpty())
        throw ClaudeFailure{what + QStringLiteral("를 읽을 Atlassian MCP 가 Claude Code 에 없어요. `claude mcp add -s user` 로 Atlassian 을 "
                                                  "연결하거나, 문서를 .md 파일로 저장해 그 경로를 넣어 주세요.")};
    QStringList tools = wikiReadTools();
    // A page above about 50 KB reaches the model as a 2 KB preview and the
    // name of the file that holds it whole (above about 600 KB, as the
    // name alone), which the tool (2.1.337) lets the run's Read open;
    // "Read(./**)" offers Read and allows no other folder than the run's
    // own. Read shows a large file in parts, and a model may answer from
    // what it saw: a page not read back whole is refused, never kept cut.
    tools.append(QStringLiteral("Read(./**)"));
    const auto pages = std::make_shared<SavedPages>();
    const QString answer = co_await run.runner.run(wikiPrompt(entry), tools, {}, run.dir, false,
                                                   progressSink(run, stage), pages->watcher(), run.cancel);
    if (pages->cut())
        throw ClaudeFailure{what + QStringLiteral("가 너무 커서 Claude 가 통째로 읽지 못했어요: ") + entry
                            + QStringLiteral("\n페이지를 .md 파일로 저장해 그 경로를 넣어 주세요.")};
    const QString trimmed = answer.trimmed();
    if (!trimmed.startsWith(QStringLiteral("읽지 못함")) && pages->answeredInPart(trimmed))
        throw ClaudeFailure{what + QStringLiteral("를 Claude 가 일부만 옮겨 적었어요: ") + entry
                            + QStringLiteral("\n페이지를 .md 파일로 저장해 그 경로를 넣어 주세요.")};
    if (trimmed.startsWith(QStringLiteral("읽지 못함")) || Text::graphemeCount(trimmed) < shortestPage)
        throw ClaudeFailure{what + QStringLiteral("를 읽지 못했어요: ") + entry + QLatin1Char('\n')
                            + Text::graphemePrefix(trimmed, answerPreview)};
    co_return trimmed;
}
