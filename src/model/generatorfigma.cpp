#include "model/generator.h"

#include "claude/jsonextract.h"
#include "claude/lockeddata.h"
#include "core/atomicfile.h"
#include "core/filesizes.h"
#include "core/jsoncoding.h"
#include "core/jsonread.h"
#include "core/poolthread.h"
#include "core/ownthread.h"
#include "core/text.h"
#include "figma/downloader.h"
#include "figma/figmaerror.h"
#include "figma/figmametadata.h"
#include "figma/figmarest.h"
#include "model/planfolder.h"
#include "model/textboxplacement.h"
#include "settings/keychain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <memory>

namespace {

constexpr qsizetype answerPreview = 300;

QString sectionFile(const QString &dir)
{
    return dir + QStringLiteral("/figma-section.json");
}

// The section with text boxes from the folder's metadata where it has them,
// written to the section file. A large outline takes long enough to read
// that this runs off the event loop.
FigmaSection withTextBoxes(FigmaSection section, QString dir)
{
    TextBoxPlacement::attachTextBoxes(section, dir);
    QString error;
    if (!AtomicFile::write(sectionFile(dir), JSONCoding::pretty(section), &error))
        throw GeneratorFailure{QStringLiteral("figma-section.json 을 쓰지 못했어요: ") + error};
    return section;
}

// The saved file is data like any other: an image path that leaves the plan
// folder is dropped, so neither the draft nor the plan takes it up.
void dropImagesOutside(FigmaSection &section)
{
    for (FigmaFrame &frame : section.frames)
        if (frame.image
            && (!QDir::isRelativePath(*frame.image) || frame.image->split(u'/').contains(QStringLiteral(".."))))
            frame.image.reset();
}

// The saved section, with text boxes newly attached when the metadata has
// them; rewriting it then is a courtesy whose failure changes nothing.
std::optional<FigmaSection> reusedSection(QString dir)
{
    std::optional<FigmaSection> saved = FigmaSection::saved(sectionFile(dir));
    if (saved)
        dropImagesOutside(*saved);
    if (saved && TextBoxPlacement::attachTextBoxes(*saved, dir)) {
        try {
            AtomicFile::write(sectionFile(dir), JSONCoding::pretty(*saved));
        } catch (const JSONCoding::EncodeError &) {
        }
    }
    return saved;
}

FigmaSection decodeAnswer(QString answer)
{
    const std::optional<QByteArray> object = JSONExtract::object(answer);
    if (!object)
        throw ClaudeFailure{QStringLiteral("피그마 결과에서 JSON 을 찾지 못했어요. Claude Code 에 Figma MCP 가 연결돼 있는지 "
                                           "확인해 주세요 (`claude mcp list`).\n")
                            + Text::graphemePrefix(answer, answerPreview)};
    try {
        return FigmaSection::decode(*object);
    } catch (const JSONDecodeError &failure) {
        throw ClaudeFailure{QStringLiteral("피그마 결과를 읽지 못했어요: ") + failure.message};
    }
}

QString framesDetail(const FigmaSection &section)
{
    const auto labelled = std::count_if(section.frames.cbegin(), section.frames.cend(),
                                        [](const FigmaFrame &frame) { return frame.label.has_value(); });
    return QStringLiteral("프레임 %1개 · 라벨 %2개").arg(section.frames.size()).arg(labelled);
}

// Only our own download names a frame's image: a path from an answer or a
// service could point anywhere.
void dropImages(FigmaSection &section)
{
    for (FigmaFrame &frame : section.frames)
        frame.image.reset();
}

} // namespace

QString Generator::imageIdPart(const QString &frameId)
{
    // Letters and digits stay, the separators of the service's ids take a
    // short form (":" "-", ";" "_"), and every other byte is spelled "~XX":
    // no two ids share a name ("1:2" and "1-2" are two frames).
    QString part;
    for (const char byte : frameId.toUtf8()) {
        const char c = byte;
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'))
            part += QLatin1Char(c);
        else if (c == ':')
            part += QLatin1Char('-');
        else if (c == ';')
            part += QLatin1Char('_');
        else
            part += QStringLiteral("~%1").arg(uchar(c), 2, 16, QLatin1Char('0')).toUpper();
    }
    // A file name has room for 255 bytes: a longer id keeps its start and
    // ends in a digest of the whole id ("~~" never comes from a byte).
    constexpr qsizetype longest = 200;
    constexpr qsizetype kept = 160;
    if (part.size() > longest)
        part = part.left(kept) + QStringLiteral("~~")
            + QString::fromLatin1(
                   QCryptographicHash::hash(frameId.toUtf8(), QCryptographicHash::Sha256).toHex().left(32));
    return part;
}

QString Generator::figmaPrompt(const FigmaLink &link)
{
    const QStringList lines{
        QStringLiteral("Figma MCP 도구로 피그마 섹션 하나를 읽어 JSON 하나만 답한다. 설명 문장은 쓰지 않는다."),
        QString(),
        QStringLiteral("- fileKey: ") + link.fileKey,
        QStringLiteral("- 섹션 nodeId: ") + link.nodeId,
        QString(),
        QStringLiteral("순서"),
        QStringLiteral("1. get_metadata(fileKey, nodeId) 로 섹션 구조를 본다. 결과가 파일로 저장됐다고 나오면 Read·Grep 으로 그 파일을 읽는다."),
        QStringLiteral("2. 섹션 직속 자식을 나눈다."),
        QStringLiteral("   - 화면 프레임: 가로·세로 200 이상인 프레임/그룹/인스턴스/이미지"),
        QStringLiteral("   - 라벨: 높이 80 이하 작은 묶음 안에 \"AS-IS\" \"TO-BE\" \"New\" \"Delete\" 텍스트가 있는 것. 라벨은 그 바로 아래(가로로 겹치는) 화면 프레임에 붙는다."),
        QStringLiteral("     라벨 묶음 안의 나머지 텍스트(예: \"구간 편집\")가 labelText."),
        QStringLiteral("   - 섹션 직속 텍스트: notes"),
        QStringLiteral("3. 화면 프레임마다 get_screenshot(fileKey, nodeId, maxDimension 1200) 을 불러 돌려받은 이미지 주소를 imageURL 에 넣는다. 내려받지 않는다."),
        QStringLiteral("4. texts 에는 get_metadata 에서 보이는 그 프레임 안 TEXT 레이어 이름을 위→아래로 넣는다(프레임당 최대 60개). 없으면 빈 배열."),
        QStringLiteral("- get_design_context 는 부르지 않는다. 하위 에이전트·Bash 는 쓰지 않는다. 도구는 직접 차례로 부른다."),
        QString(),
        QStringLiteral("좌표 x, y 는 섹션 왼쪽 위 기준. frames 는 줄(위→아래) 다음 x 순서."),
        QString(),
        QStringLiteral("답 형식 (```json 블록 하나):"),
        QStringLiteral("{"),
        QStringLiteral("  \"fileKey\": \"...\", \"nodeId\": \"...\", \"name\": \"섹션 이름\","),
        QStringLiteral("  \"frames\": ["),
        QStringLiteral("    { \"id\": \"17695:22104\", \"name\": \"영상_구간 편집\", \"x\": 8554, \"y\": 209, \"w\": 375, \"h\": 812,"),
        QStringLiteral("      \"label\": \"New\", \"labelText\": \"구간 편집\", \"texts\": [\"...\"], \"imageURL\": \"https://...\" }"),
        QStringLiteral("  ],"),
        QStringLiteral("  \"notes\": []"),
        QStringLiteral("}"),
        QStringLiteral("label 은 \"AS-IS\" | \"TO-BE\" | \"New\" | \"Delete\" | null."),
    };
    return lines.join(QLatin1Char('\n'));
}

QCoro::Task<FigmaSection> Generator::figmaSection(Run run, bool reuse)
{
    if (reuse) {
        const QFuture<std::optional<FigmaSection>> reading = PoolThread::run(reusedSection, run.at);
        std::optional<FigmaSection> saved = co_await reading;
        run.cancel.throwIfCancelled();
        if (saved) {
            const auto withImage = std::count_if(saved->frames.cbegin(), saved->frames.cend(),
                                                 [](const FigmaFrame &frame) { return frame.image.has_value(); });
            add(run, QStringLiteral("저장된 피그마 결과를 다시 써요 (프레임 %1개)").arg(saved->frames.size()));
            begin(run, Stage::figma, QString(), 0);
            finish(run, Stage::figma, QStringLiteral("저장된 결과를 다시 써요 · 프레임 %1개").arg(saved->frames.size()),
                   true);
            begin(run, Stage::images, QString(), 0);
            finish(run, Stage::images, QStringLiteral("받아 둔 그림 %1장").arg(withImage), true);
            co_return *saved;
        }
    }

    // Two statements: GCC 12 mishandles co_await inside a conditional
    // expression.
    FigmaSection section;
    if (run.settings.figmaMode == AppSettings::FigmaMode::token)
        section = co_await restSection(run);
    else
        section = co_await mcpSection(run);
    co_await downloadImages(run, section);
    const QFuture<FigmaSection> finishing = PoolThread::run(withTextBoxes, std::move(section), run.at);
    FigmaSection finished = co_await finishing;
    run.cancel.throwIfCancelled();
    co_return finished;
}

QCoro::Task<FigmaSection> Generator::restSection(Run run)
{
    // The store may take long to answer (an unlock prompt, a service that
    // is slow to start): the wait is shown, and a stop ends it. The run is
    // running from the start, though no stage begins before the token is
    // there.
    if (isCurrent(run))
        setPhase(Phase::running(title(Stage::figma)));
    add(run, QStringLiteral("키링에서 Figma 토큰 읽는 중"));
    QCoro::Task<std::optional<Keychain::Reading>> reading =
        OwnThread::result([] { return Keychain::read(Keychain::Item::figmaToken); }, run.cancel);
    const std::optional<Keychain::Reading> token = co_await std::move(reading);
    run.cancel.throwIfCancelled();
    if (token->outcome == Keychain::Reading::Outcome::unreadable)
        throw FigmaError::tokenUnreadable(token->problem);
    if (token->outcome == Keychain::Reading::Outcome::absent)
        throw FigmaError::noToken();
    begin(run, Stage::figma, QStringLiteral("Figma API 로 섹션 읽는 중"), 0);
    const FigmaREST rest{token->value};
    FigmaSection section = co_await rest.section(run.input.link, run.cancel);
    run.cancel.throwIfCancelled();
    dropImages(section);
    finish(run, Stage::figma, framesDetail(section));

    begin(run, Stage::images, QStringLiteral("그림 주소 받는 중"), int(section.frames.size()));
    QStringList ids;
    for (const FigmaFrame &frame : section.frames)
        ids.append(frame.id);
    const QMap<QString, QString> addresses = co_await rest.imageURLs(run.input.link.fileKey, ids, 1.0, run.cancel);
    run.cancel.throwIfCancelled();
    for (FigmaFrame &frame : section.frames) {
        const auto it = addresses.constFind(frame.id);
        frame.imageURL = it == addresses.constEnd() ? std::nullopt : std::optional<QString>(*it);
    }
    co_return section;
}

QCoro::Task<FigmaSection> Generator::mcpSection(Run run)
{
    begin(run, Stage::figma, QStringLiteral("Claude 가 Figma MCP 로 섹션을 읽어요"), 0);
    const auto metadata = std::make_shared<LockedData>();
    const QString sectionNode = QStringLiteral("id=\"") + run.input.link.nodeId + QLatin1Char('"');
    // Called on the runner's reader thread: touches nothing but the buffer.
    const auto capture = [metadata, sectionNode](const QString &tool, const QJsonObject &, const QString &result) {
        if (tool != QLatin1String("mcp__figma__get_metadata") || !metadata->bytes().isEmpty())
            return;
        const std::optional<QString> xml = FigmaMetadata::xmlFromToolResult(result);
        if (xml && xml->contains(sectionNode))
            metadata->append(xml->toUtf8());
    };
    // A large outline comes back as a file the tool saved under its own
    // folder; the claude tool (2.1.337) lets Read and Grep reach it without
    // a rule for it, while a bare "Read" would open every file.
    const QStringList tools{QStringLiteral("Read(./**)"), QStringLiteral("Grep(./**)"), QStringLiteral("mcp__figma__get_metadata"),
                            QStringLiteral("mcp__figma__get_screenshot"), QStringLiteral("mcp__figma__create_session")};
    const QString answer = co_await run.runner.run(figmaPrompt(run.input.link), tools, {}, run.dir, false,
                                                   progressSink(run, Stage::figma), capture, run.cancel);
    run.cancel.throwIfCancelled();

    const QByteArray outline = metadata->bytes();
    if (!outline.isEmpty()) {
        const QFuture<bool> written = PoolThread::run(
            [](QString path, QByteArray outline) { return AtomicFile::write(path, outline); },
            run.at + QStringLiteral("/figma-metadata.xml"), outline);
        co_await written;
    }

    const QFuture<FigmaSection> decoding = PoolThread::run(decodeAnswer, answer);
    FigmaSection section = co_await decoding;
    run.cancel.throwIfCancelled();
    dropImages(section);
    finish(run, Stage::figma, framesDetail(section));
    begin(run, Stage::images, QString(), int(section.frames.size()));
    co_return section;
}

QCoro::Task<> Generator::downloadImages(Run run, FigmaSection &section)
{
    const qsizetype count = section.frames.size();
    qsizetype saved = 0;
    for (qsizetype i = 0; i < count; ++i) {
        run.cancel.throwIfCancelled();
        FigmaFrame &frame = section.frames[i];
        if (!frame.imageURL)
            continue;
        const QString name = QStringLiteral("node-") + imageIdPart(frame.id) + QStringLiteral(".png");
        const QString relative = PlanFolder::images + QLatin1Char('/') + name;
        // A redraft replaces the plan's own picture, which its undo brings
        // back.
        if (!run.replacedPictures->contains(name)) {
            const QFuture<std::optional<QByteArray>> reading = PoolThread::run(
                [](QString dir, QString path) { return PlanFolder(dir).read(path, FileSizes::picture); }, run.at, relative);
            if (std::optional<QByteArray> before = co_await reading)
                run.replacedPictures->insert(name, std::move(*before));
        }
        const bool ok = co_await Downloader::save(*frame.imageURL, run.at + QLatin1Char('/') + relative, run.cancel);
        run.cancel.throwIfCancelled();
        if (ok) {
            frame.image = relative;
            ++saved;
        }
        update(run, Stage::images, [i, count](StageState &state) {
            state.done = int(i + 1);
            state.detail = QStringLiteral("%1/%2장").arg(i + 1).arg(count);
        });
        frame.imageURL.reset();
    }
    const QString failures = saved == 0 && count > 0 ? QStringLiteral(" (모두 실패)")
        : saved < count                               ? QStringLiteral(" (일부 실패)")
                                                      : QString();
    const QString detail = QStringLiteral("%1/%2장").arg(saved).arg(count) + failures;
    if (saved == 0 && count > 0)
        finishEmpty(run, Stage::images, detail);
    else
        finish(run, Stage::images, detail);
}
