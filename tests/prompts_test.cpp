#include "model/prompts.h"
#include "support/qtprinters.h"

#include <QFile>
#include <QTimeZone>
#include <gtest/gtest.h>
#include <limits>

namespace {

QString golden(const QString &name)
{
    QFile file(QStringLiteral(QUARRYSTONE_FIXTURES "/prompts/") + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    return QString::fromUtf8(file.readAll());
}

const QDateTime when(QDate(2024, 5, 1), QTime(3, 4, 5), QTimeZone::utc());

Conventions conventions()
{
    Conventions c;
    c.version = 2;
    c.android = {"app/{module}/", {"{Name}Screen.kt", "{Name}ViewModel.kt"}, "action_{from}_to_{to}"};
    c.ios = {"Modules/{Module}/", {"{Name}Page.swift"}, "{From}.routeTo{To}()"};
    return c;
}

AppSettings settings(const QString &android, const QString &ios, const QString &user)
{
    AppSettings s;
    s.androidRepo = android;
    s.iosRepo = ios;
    s.userName = user;
    return s;
}

GenerateInput fullInput()
{
    GenerateInput input;
    input.link = {"KEY", "1:1", "https://www.figma.com/design/KEY/x?node-id=1-1"};
    input.feature = "HarborClips";
    input.title = "항구 클립 모음";
    input.module = {"bazaar", "harborclips", "Bazaar", "Feed"};
    input.notes = "메모\n둘째 줄";
    input.includeLabels = {"New", "AS-IS"};
    return input;
}

FigmaFrame frame(const QString &id, const QString &name, double x, double y, double w, double h)
{
    FigmaFrame f;
    f.id = id;
    f.name = name;
    f.x = x;
    f.y = y;
    f.w = w;
    f.h = h;
    return f;
}

FigmaSection fullSection()
{
    FigmaSection section{"KEY", "1:1", "온보딩", {}, {"섹션 메모", "둘"}};

    FigmaFrame withBoxes = frame("1:2", "홈 화면", 12.9, -3.7, 360.5, 800);
    withBoxes.label = "TO-BE";
    withBoxes.labelText = "홈";
    withBoxes.image = "img/node-1-2.png";
    withBoxes.imageURL = "https://not-shown.example/1.png";
    withBoxes.texts = {"not shown when boxes are"};
    withBoxes.textBoxes = QList<TextBox>{{"1:3", "제목\n레이어", QString("안녕\n하세요"), 10.99, 20, 100.2, 24},
                                         {"1:4", "버튼", std::nullopt, -0.5, -1.2, 80, 40}};

    FigmaFrame withTexts = frame("1:5", "목록", 400, 0, 360, 640);
    withTexts.labelText = "메모 칩";
    withTexts.texts = {"첫 줄\n둘째 줄", "버튼"};
    withTexts.textBoxes = QList<TextBox>();

    FigmaFrame bare = frame("1:6", "빈 화면", 800, 700, 360, 640);
    bare.label = "New";

    section.frames = {withBoxes, withTexts, bare};
    return section;
}

QString fullDraft(const FigmaSection &section, const QString &specDoc = "기획 내용", const QString &apiDoc = "API 내용")
{
    return Prompts::draft(fullInput(), section, specDoc, apiDoc, conventions(), "/plans/harbor",
                          settings("/repos/android", "/repos/ios", "홍길동"), when);
}

// The part of a prompt between two markers, markers left out.
QString between(const QString &text, const QString &from, const QString &to)
{
    const qsizetype start = text.indexOf(from);
    if (start < 0)
        return "<no start>";
    const qsizetype end = text.indexOf(to, start + from.size());
    return end < 0 ? "<no end>" : text.mid(start + from.size(), end - start - from.size());
}

QStringList frameLines(const FigmaFrame &f)
{
    FigmaSection section{"KEY", "1:1", "S", {f}, {}};
    return between(fullDraft(section), "왼쪽→오른쪽)\n", "\n\n섹션 직속").split('\n');
}

} // namespace

TEST(Prompts, DraftWithEverything)
{
    EXPECT_EQ(fullDraft(fullSection()), golden("draft-full.txt"));
}

TEST(Prompts, DraftWithNothingOptional)
{
    GenerateInput input;
    input.link = {"K", "9:9", "https://www.figma.com/design/K/y?node-id=9-9"};
    input.feature = "Bare";
    input.module = {"", "", "BazaarIOS", "Group"};
    const FigmaSection section{"K", "9:9", "", {}, {}};
    EXPECT_EQ(Prompts::draft(input, section, "", "", conventions(), "/plans/bare", settings("", "", ""), when),
              golden("draft-bare.txt"));
}

TEST(Prompts, RevisionWithAndWithoutImages)
{
    EXPECT_EQ(Prompts::revise("첫 화면을 빼 줘", "홍길동", "2024-05-01T03:04:05Z", {"/tmp/a.png", "/tmp/b c.png"}),
              golden("revise-images.txt"));
    EXPECT_EQ(Prompts::revise("첫 화면을 빼 줘", "홍길동", "2024-05-01T03:04:05Z", {}), golden("revise-plain.txt"));
}

TEST(Prompts, ModuleWithOnlyAndroidKeepsEmptyBackquotes)
{
    GenerateInput input = fullInput();
    input.module = {"bazaar", "", "", ""};
    const QString prompt = Prompts::draft(input, fullSection(), "", "", conventions(), "/p", AppSettings(), when);
    EXPECT_TRUE(prompt.contains("\n- 모듈: Android `bazaar` · iOS `` · iOS 묶음 `` · Android 화면 패키지 ``\n"));
}

TEST(Prompts, LabelsInCodePointOrder)
{
    GenerateInput input = fullInput();
    input.includeLabels = {"TO-BE", "\U0001F600", "\uFF21", "AS-IS"};
    const QString prompt = Prompts::draft(input, fullSection(), "", "", conventions(), "/p", AppSettings(), when);
    EXPECT_TRUE(prompt.contains("- 포함할 라벨: AS-IS, TO-BE, \uFF21, \U0001F600 (나머지"));
}

TEST(Prompts, DocumentsAreCutInUserPerceivedCharacters)
{
    // Each "e" + combining acute is one character but two UTF-16 units.
    const QString accented = QString("e\u0301");
    const QString spec = accented.repeated(70'000);
    const QString specPart = between(fullDraft(fullSection(), spec, ""), "(기획자가 쓴 문서)\n\n", "\n\n\n\n## 할 일");
    EXPECT_EQ(specPart, accented.repeated(60'000));

    const QString exact = QString("한").repeated(90'000);
    const QString apiPart = between(fullDraft(fullSection(), "", exact + "끝"), "(서버 팀이 쓴 확정 문서)\n\n", "\n\n\n## 할 일");
    EXPECT_EQ(apiPart, exact);
    const QString whole = between(fullDraft(fullSection(), "", exact), "(서버 팀이 쓴 확정 문서)\n\n", "\n\n\n## 할 일");
    EXPECT_EQ(whole, exact);
}

TEST(Prompts, AtMostOneHundredBoxLinesWithTheMarkFromAllBoxes)
{
    FigmaFrame f = frame("1:2", "F", 0, 0, 360, 640);
    QList<TextBox> boxes;
    for (int i = 0; i < 150; ++i)
        boxes.append(TextBox{QString("b%1").arg(i), "n", std::nullopt, 0, 0, 1, 1});
    boxes.last().text = "";
    f.textBoxes = boxes;
    const QStringList lines = frameLines(f);
    ASSERT_EQ(lines.size(), 4 + 100 + 1);
    EXPECT_EQ(lines[3], "- 글자 노드(id · 레이어 이름 · x,y,w,h · 글자):");
    EXPECT_EQ(lines[103], "  - b99 · n · 0,0,1,1");
    EXPECT_EQ(lines[104], "");

    boxes.last().text.reset();
    f.textBoxes = boxes;
    EXPECT_EQ(frameLines(f).value(3), "- 글자 노드(id · 레이어 이름 · x,y,w,h):");
}

TEST(Prompts, AtMostEightyTexts)
{
    FigmaFrame f = frame("1:2", "F", 0, 0, 360, 640);
    for (int i = 1; i <= 90; ++i)
        f.texts.append(QString::number(i));
    const QStringList lines = frameLines(f);
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[3].startsWith("- 문구: 1 | 2 | "));
    EXPECT_TRUE(lines[3].endsWith(" | 79 | 80"));
}

TEST(Prompts, NumbersAreTruncatedAndNeverStopThePrompt)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    EXPECT_EQ(frameLines(frame("a", "A", -0.9, 1e20, nan, -inf)).value(1), "- 위치: x=0 y=100000000000000000000 0×0");
    EXPECT_EQ(frameLines(frame("b", "B", 12.9, -3.7, -700.99, 0.4)).value(1), "- 위치: x=12 y=-3 -700×0");
}
