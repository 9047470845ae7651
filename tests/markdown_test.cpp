#include "core/jsoncoding.h"
#include "export/exporter.h"
#include "support/qtprinters.h"
#include "support/richplan.h"

#include <QFile>
#include <QThreadPool>
#include <gtest/gtest.h>

namespace {

QByteArray fixture(const QString &name)
{
    QFile file(QStringLiteral(QUARRYSTONE_FIXTURES "/export/") + name);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    return file.readAll();
}

QStringList linesStartingWith(const QString &text, const QString &prefix)
{
    QStringList found;
    for (const QString &line : text.split(u'\n'))
        if (line.startsWith(prefix))
            found.append(line);
    return found;
}

QString titleLine(const QString &title)
{
    Plan plan;
    plan.meta.title = title;
    plan.meta.feature = "Clips";
    return Exporter::markdown(plan).section(u'\n', 0, 0);
}

// Cells of one table row, split at the pipes the row itself uses.
QStringList cells(const QString &row)
{
    QStringList out;
    QString current;
    for (qsizetype i = 0; i < row.size(); ++i) {
        if (row.at(i) == u'\\' && i + 1 < row.size() && row.at(i + 1) == u'|') {
            current += QStringLiteral("\\|");
            ++i;
        } else if (row.at(i) == u'|') {
            out.append(current.trimmed());
            current.clear();
        } else {
            current += row.at(i);
        }
    }
    out.append(current.trimmed());
    return out.mid(1, out.size() - 2);
}

} // namespace

TEST(Markdown, EmptyPlanIsTheBareDocument)
{
    EXPECT_EQ(Exporter::markdown(Plan()).toUtf8(), fixture("empty-plan.md"));
}

TEST(Markdown, RichPlanMatchesItsDocument)
{
    const QString text = Exporter::markdown(RichPlan::make());
    EXPECT_EQ(text.toUtf8(), fixture("rich-plan.md"));
    EXPECT_TRUE(text.endsWith("- ViewModel 은 화면 이름 뒤에 ViewModel\n"));
    EXPECT_FALSE(text.endsWith("\n\n"));
}

TEST(Markdown, StoredPlanGivesTheSameDocument)
{
    const Plan read = Plan::decode(JSONCoding::pretty(RichPlan::make()));
    EXPECT_EQ(Exporter::markdown(read).toUtf8(), fixture("rich-plan.md"));
    EXPECT_EQ(Exporter::mermaid(read, true).toUtf8(), fixture("rich-plan-page.mmd"));
}

TEST(Markdown, SectionHeadingsAreFixed)
{
    const QStringList headings = linesStartingWith(Exporter::markdown(RichPlan::make()), "## ");
    EXPECT_EQ(headings, (QStringList{"## 1. 요약", "## 2. 흐름", "## 3. 화면별 상세", "## 4. 공통 모델 (화면 사이에 넘기는 것)",
                                     "## 5. API", "## 6. 문구·워드민트", "## 7. 결정 필요", "## 8. 플랫폼 대응표",
                                     "## 9. 이름 규칙"}));
}

TEST(Markdown, TitleGetsTheDocumentWordOnce)
{
    EXPECT_EQ(titleLine("클립 피드"), "# 클립 피드 개발 계획서 (`Clips`)");
    EXPECT_EQ(titleLine("클립 개발 계획서"), "# 클립 개발 계획서 (`Clips`)");
    const QString nfd = QString(QStringLiteral("클립 계획서")).normalized(QString::NormalizationForm_D);
    EXPECT_EQ(titleLine(nfd), "# " + nfd + " (`Clips`)");
    EXPECT_EQ(titleLine("계획서 초안"), "# 계획서 초안 개발 계획서 (`Clips`)");
    EXPECT_EQ(titleLine("두 줄\n제목"), "# 두 줄 제목 개발 계획서 (`Clips`)");
}

TEST(Markdown, ActionsListTheirExitsThenUnnamedTriggers)
{
    const QString text = Exporter::markdown(RichPlan::make());
    const QStringList rows = linesStartingWith(text, "| 사용자 행동 | ");
    ASSERT_EQ(rows.size(), 4);
    EXPECT_EQ(rows.at(0), "| 사용자 행동 | 클립 보기 → 클립 \"상세\" (push, clipId+clip) [로그인] (추론) / → 로그인 (push) [비로그인] (추론)"
                          "<br>닫기 → home (pop) (추론)<br>필터 → 제자리 |");
    EXPECT_EQ(rows.at(1), "| 사용자 행동 | 뒤로 → 클립 피드 (pop) (추론)<br>재생하기 → 제자리<br>댓글 → 댓글 <시트> (push)"
                          "<br>shareLink → share (push) |");
    EXPECT_EQ(rows.at(2), "| 사용자 행동 | 완료 → 클립 피드 (dismiss, pop feed) (추론) |");
    EXPECT_EQ(rows.at(3), "| 사용자 행동 | submit → 클립 피드 (dismiss, pop ) (추론) |");
}

TEST(Markdown, TableCellsKeepTheirColumns)
{
    Plan plan;
    Screen screen;
    screen.key = "a|b";
    screen.name = "Name|Pipe";
    screen.title = "제목";
    screen.figmaNodes = {"1|2"};
    screen.serverData = {"GET /a|b"};
    screen.rules = {Sourced{QUuid(), "규칙 | 하나\n둘", "spec"}};
    plan.screens = {screen};

    DataModel model;
    model.name = "M";
    Field field;
    field.name = "f|g";
    field.type = "A | B";
    field.filledAt = "x\ny";
    model.fields = {field};
    plan.models = {model};

    Api api;
    api.key = "k";
    Api::ApiField apiField;
    apiField.name = "n|m";
    apiField.location = "query|path";
    apiField.desc = "설명\n둘째 줄";
    api.requestFields = {apiField};
    plan.apis = {api};

    StringKey string;
    string.key = "key|2";
    string.ko = "문구 | 둘";
    string.screen = "a|b";
    plan.strings = {string};

    Decision decision;
    decision.key = "D|1";
    decision.status = "decided";
    decision.decidedBy = "김|이";
    decision.decidedAt = "2024\n05";
    plan.decisions = {decision};

    PlatformFiles files;
    files.android.dir = "dir|a";
    files.android.files = {"A|.kt"};
    files.ios.dir = "dir\nb";
    plan.naming.platformMap = {{"a|b", files}};

    const QString text = Exporter::markdown(plan);
    const auto row = [&](const QString &prefix) {
        const QStringList found = linesStartingWith(text, prefix);
        EXPECT_EQ(found.size(), 1) << prefix.toStdString();
        return found.value(0);
    };
    EXPECT_EQ(cells(row("| 피그마 노드")), (QStringList{"피그마 노드", "`1\\|2`"}));
    EXPECT_EQ(cells(row("| 서버 데이터")), (QStringList{"서버 데이터", "`GET /a\\|b`"}));
    EXPECT_EQ(cells(row("| 검증·규칙")), (QStringList{"검증·규칙", "규칙 \\| 하나<br>둘"}));
    EXPECT_EQ(cells(row("| 문구 |")), (QStringList{"문구", "“문구 \\| 둘” `key\\|2` 키 확인 필요"}));
    EXPECT_EQ(cells(row("| `f")), (QStringList{"`f\\|g`", "A \\| B", "x<br>y (추론)"}));
    EXPECT_EQ(cells(row("| `n")), (QStringList{"`n\\|m`", "", "", "query\\|path", "설명<br>둘째 줄"}));
    EXPECT_EQ(cells(row("| 제목 |")), (QStringList{"제목", "문구 \\| 둘", "`key\\|2`", "`key\\|2` 키 확인 필요"}));
    EXPECT_EQ(cells(row("| D")), (QStringList{"D\\|1", "<br><small></small>", "", "✅", "김\\|이", "2024<br>05"}));
    EXPECT_EQ(cells(row("| `Name")), (QStringList{"`Name\\|Pipe`", "`dir\\|a`<br>`A\\|.kt`", "`dir<br>b`<br>"}));
}

TEST(Markdown, ScreenHeadingShowsLabelAndCondition)
{
    Plan plan;
    Screen screen;
    screen.key = "s";
    screen.name = "Clips\nScreen";
    screen.title = "화면";
    screen.figmaLabel = "AS-IS";
    plan.screens = {screen};
    QString text = Exporter::markdown(plan);
    EXPECT_EQ(linesStartingWith(text, "### 화면"), (QStringList{"### 화면 — `Clips Screen` (s, screen, AS-IS)"}));
    EXPECT_TRUE(linesStartingWith(text, "조건: ").isEmpty());

    plan.screens[0].condition = Sourced{QUuid(), "로그인 상태", "inferred"};
    text = Exporter::markdown(plan);
    EXPECT_EQ(linesStartingWith(text, "조건: "), (QStringList{"조건: 로그인 상태 (추론)"}));
}

TEST(Markdown, EveryModelAnApiModelLeavesSectionFourEmpty)
{
    Plan plan = RichPlan::make();
    plan.models.removeIf([](const DataModel &model) { return model.name == "CommentDraft" || model.name == "FeedFilter"; });
    const QString text = Exporter::markdown(plan);
    const qsizetype four = text.indexOf("## 4. ");
    const qsizetype five = text.indexOf("## 5. ");
    EXPECT_EQ(text.mid(four, five - four),
              "## 4. 공통 모델 (화면 사이에 넘기는 것)\n\n없음 — 모든 모델이 API 응답 모델이다 (5장).\n\n");
    EXPECT_EQ(linesStartingWith(text, "### `Clip").size(), 2);
}

// A plan of many screens is written in pieces on the pool's threads: the
// document is the rich plan's own with the screens' blocks in plan order,
// the same on one thread as on four, and its UTF-8 pieces join into it.
TEST(Markdown, ManyScreensGiveOneDocumentOnAnyPool)
{
    Plan plan = RichPlan::make();
    const QList<Screen> own = plan.screens;
    plan.screens.clear();
    for (int i = 0; i < 100; ++i) {
        Screen screen = own[i % own.size()];
        screen.key = QStringLiteral("s%1").arg(i);
        screen.title = QStringLiteral("화면 %1 \U0001F600").arg(i);
        plan.screens.append(screen);
    }
    QThreadPool *const pool = QThreadPool::globalInstance();
    const int threads = pool->maxThreadCount();
    QList<QString> texts;
    for (const int poolThreads : {1, 4}) {
        pool->setMaxThreadCount(poolThreads);
        texts.append(Exporter::markdown(plan));
        EXPECT_EQ(Exporter::markdownUtf8(plan).join(), texts.last().toUtf8()) << poolThreads;
    }
    pool->setMaxThreadCount(threads);
    EXPECT_EQ(texts[0], texts[1]);
    const QStringList headings = linesStartingWith(texts[0], QStringLiteral("### 화면 "));
    ASSERT_EQ(headings.size(), 100);
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(headings[i].startsWith(QStringLiteral("### 화면 %1 \U0001F600 — ").arg(i))) << qPrintable(headings[i]);
    EXPECT_TRUE(texts[0].endsWith(QStringLiteral("\n")));
    EXPECT_FALSE(texts[0].endsWith(QStringLiteral("\n\n")));
}

// plan.md is written as UTF-8 without the text it encodes: its bytes are
// still that text's, with a bar or a line feed anywhere in a long cell or
// heading, and a lone half of a surrogate pair next to fixed text, which the
// text keeps and the bytes give as "?".
TEST(Markdown, Utf8PiecesAreTheTextsBytesForAnyCharacters)
{
    Plan plan = RichPlan::make();
    const QString high(QChar(0xD83D));
    const QString low(QChar(0xDE00));
    Screen &first = plan.screens[0];
    first.title = QStringLiteral("제목 ") + high;
    first.name = low + QStringLiteral("Name");
    first.figmaLabel = high + low;
    first.platformNotes.android = QStringLiteral("Compose ") + high;
    first.platformNotes.ios = low + QStringLiteral(" SwiftUI");
    plan.strings[0].ko = high + QStringLiteral("\n") + low + QStringLiteral("|") + high + high + low;
    plan.meta.summary = QStringLiteral("요약") + high + QStringLiteral("\n") + low;

    const QString plain = QStringLiteral("abcdefghijklm");
    const Screen model = plan.screens[1];
    QList<Screen> extra;
    for (qsizetype at = 0; at <= plain.size(); ++at) {
        first.rules.append(Sourced{QUuid(), QString(plain).insert(at, u'|'), "spec"});
        first.rules.append(Sourced{QUuid(), QString(plain).insert(at, u'\n'), "inferred"});
        first.rules.append(Sourced{QUuid(), QString(plain).insert(at, QStringLiteral("한")), "spec"});
        Screen screen = model;
        screen.key = QStringLiteral("extra%1").arg(at);
        screen.title = QString(plain).insert(at, u'\n');
        screen.name = QString(plain).insert(at, high);
        extra.append(screen);
    }
    plan.screens += extra;

    const QString text = Exporter::markdown(plan);
    EXPECT_EQ(Exporter::markdownUtf8(plan).join(), text.toUtf8());
    EXPECT_TRUE(text.contains(QStringLiteral("### 제목 ") + high + QStringLiteral(" — `") + low + QStringLiteral("Name` (")));
    EXPECT_TRUE(text.contains(QStringLiteral("<br>abc\\|defghijklm<br>abc<br>defghijklm (추론)<br>abc한defghijklm<br>")));
    EXPECT_TRUE(text.contains(QStringLiteral("### abcd efghijklm — `abcd") + high + QStringLiteral("efghijklm` (extra4, ")));
}
