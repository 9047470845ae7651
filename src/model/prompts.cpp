#include "model/prompts.h"

#include "model/prompttexts.h"
#include "core/jsoncoding.h"
#include "core/text.h"

#include <QDir>
#include <algorithm>
#include <cmath>

namespace Prompts {

namespace {

QString fixedText(const char16_t *text)
{
    return QString::fromUtf16(text);
}

// Claude reads one line per layer, so line breaks inside names and texts
// are shown, not kept.
QString oneLine(QString text)
{
    return text.replace(QLatin1Char('\n'), QStringLiteral("⏎"));
}

QString orNone(const QString &text, const QString &none)
{
    return text.isEmpty() ? none : text;
}

// A whole number, truncated toward zero. Values the design service never
// sends (not finite) read as 0 rather than stopping the prompt.
QString whole(double value)
{
    if (!std::isfinite(value))
        return QStringLiteral("0");
    // Adding 0 turns the -0 of a small negative value into 0.
    return Text::fixed(std::trunc(value) + 0.0, 0);
}

QString moduleText(const Module &module)
{
    if (module.android.isEmpty())
        return QStringLiteral("(정해지지 않음 — 아래 할 일 2 에서 저장소를 보고 네가 정한다)");
    return QStringLiteral("Android `") + module.android + QStringLiteral("` · iOS `") + module.ios
        + QStringLiteral("` · iOS 묶음 `") + module.iosGroup + QStringLiteral("` · Android 화면 패키지 `")
        + module.androidFeatureDir + QStringLiteral("`");
}

QString labelsRule(const QStringList &includeLabels)
{
    if (includeLabels.isEmpty())
        return QStringLiteral("라벨: TO-BE·New·라벨 없는 프레임을 계획서 화면으로 만든다. AS-IS 는 무엇이 바뀌는지 "
                              "보는 데만, Delete 는 없어지는 사실을 규칙·결정에 남기는 데만 쓴다");
    return QStringLiteral("포함할 라벨: ") + GenerateInput::labelSet(includeLabels).join(QStringLiteral(", "))
        + QStringLiteral(" (나머지 라벨 프레임은 계획서 화면으로 만들지 않고 참고만 한다)");
}

QString textBoxLine(const TextBox &box)
{
    QString line = QStringLiteral("  - ") + box.id + QStringLiteral(" · ") + oneLine(box.name) + QStringLiteral(" · ")
        + whole(box.x) + u',' + whole(box.y) + u',' + whole(box.w) + u',' + whole(box.h);
    if (box.text)
        line += QStringLiteral(" · ") + oneLine(*box.text);
    return line;
}

QString frameBlock(const FigmaFrame &frame, const QString &planDir)
{
    QString block = QStringLiteral("### ") + frame.id + QStringLiteral(" — ") + frame.name
        + QStringLiteral("\n- 위치: x=") + whole(frame.x) + QStringLiteral(" y=") + whole(frame.y) + u' '
        + whole(frame.w) + QStringLiteral("×") + whole(frame.h) + u'\n';

    block += QStringLiteral("- 라벨: ") + frame.label.value_or(QStringLiteral("없음"));
    if (frame.labelText)
        block += QStringLiteral(" · ") + *frame.labelText;
    block += u'\n';

    if (frame.image)
        block += QStringLiteral("- 이미지: ") + QDir(planDir).absolutePath() + u'/' + *frame.image + u'\n';

    if (frame.textBoxes && !frame.textBoxes->isEmpty()) {
        const QList<TextBox> &boxes = *frame.textBoxes;
        // The mark tells Claude the lines carry texts; any box counts, also
        // those past the listed ones.
        const bool withText = std::any_of(boxes.cbegin(), boxes.cend(), [](const TextBox &b) { return b.text.has_value(); });
        block += QStringLiteral("- 글자 노드(id · 레이어 이름 · x,y,w,h")
            + (withText ? QStringLiteral(" · 글자") : QString()) + QStringLiteral("):\n");
        QStringList lines;
        for (qsizetype i = 0; i < std::min(boxes.size(), textBoxLineLimit); ++i)
            lines.append(textBoxLine(boxes[i]));
        block += lines.join(u'\n') + u'\n';
    } else if (!frame.texts.isEmpty()) {
        QStringList texts;
        for (qsizetype i = 0; i < std::min(frame.texts.size(), textLimit); ++i)
            texts.append(oneLine(frame.texts[i]));
        block += QStringLiteral("- 문구: ") + texts.join(QStringLiteral(" | ")) + u'\n';
    }
    return block;
}

QString conventionsJson(const Conventions &conventions)
{
    try {
        return QString::fromUtf8(JSONCoding::pretty(conventions));
    } catch (const JSONCoding::EncodeError &) {
        return QString();
    }
}

QString isoSeconds(const QDateTime &time)
{
    return time.toUTC().toString(Qt::ISODate);
}

} // namespace

QString draft(const GenerateInput &input, const FigmaSection &section, const QString &specDoc, const QString &apiDoc,
              const Conventions &conventions, const QString &planDir, const AppSettings &settings,
              const QDateTime &now)
{
    QString prompt = fixedText(PromptTexts::draftIntro) + input.feature;
    prompt += QStringLiteral("\n- 제목: ") + orNone(input.title, QStringLiteral("(피그마에서 정해라)"));
    prompt += QStringLiteral("\n- 모듈: ") + moduleText(input.module);
    prompt += QStringLiteral("\n- 피그마: ") + input.link.url + QStringLiteral(" (fileKey ") + input.link.fileKey
        + QStringLiteral(", node ") + input.link.nodeId + QStringLiteral(", 섹션 이름 \"") + section.name
        + QStringLiteral("\")\n- ");
    prompt += labelsRule(input.includeLabels);
    prompt += QStringLiteral("\n- 작성자 메모: ") + orNone(input.notes, QStringLiteral("없음"));

    prompt += QStringLiteral("\n\n## 피그마 프레임 (줄 순서, 왼쪽→오른쪽)\n");
    QStringList blocks;
    for (const FigmaFrame &frame : section.frames)
        blocks.append(frameBlock(frame, planDir));
    prompt += blocks.join(u'\n');
    prompt += QStringLiteral("\n\n섹션 직속 텍스트: ")
        + orNone(section.notes.join(QStringLiteral(" | ")), QStringLiteral("없음")) + u'\n';

    if (!specDoc.isEmpty())
        prompt += QStringLiteral("\n## 기획서 (기획자가 쓴 문서)\n\n") + Text::graphemePrefix(specDoc, specDocLimit) + u'\n';
    prompt += u'\n';
    if (!apiDoc.isEmpty())
        prompt += QStringLiteral("\n## API 문서 (서버 팀이 쓴 확정 문서)\n\n") + Text::graphemePrefix(apiDoc, apiDocLimit)
            + u'\n';

    prompt += fixedText(PromptTexts::draftTasks) + orNone(settings.androidRepo, QStringLiteral("(없음)"));
    prompt += QStringLiteral("\n   iOS: ") + orNone(settings.iosRepo, QStringLiteral("(없음)"));
    prompt += fixedText(PromptTexts::draftRules) + settings.userName + QStringLiteral("\", meta.createdAt \"")
        + isoSeconds(now);
    prompt += fixedText(PromptTexts::draftConventionsHead) + conventionsJson(conventions);
    prompt += QStringLiteral("\n```\n\n## 스키마\n```jsonc\n") + fixedText(PromptTexts::draftSchema)
        + QStringLiteral("\n```");
    return prompt;
}

QString revise(const QString &request, const QString &userName, const QString &now, const QStringList &images)
{
    QString prompt = fixedText(PromptTexts::reviseIntro) + userName + QStringLiteral(")\n") + request + u'\n';
    if (!images.isEmpty()) {
        QStringList lines;
        for (const QString &image : images)
            lines.append(QStringLiteral("- ") + image);
        prompt += QStringLiteral("\n## 첨부 이미지 (요청과 함께 붙인 캡처 — 고치기 전에 Read 로 전부 본다)\n")
            + lines.join(u'\n') + u'\n';
    }
    prompt += fixedText(PromptTexts::reviseSteps) + userName + QStringLiteral("\", decidedAt \"") + now
        + fixedText(PromptTexts::reviseRules);
    return prompt;
}

} // namespace Prompts
