#include "library.h"
#include "model/generator.h"
#include "support/qtprinters.h"
#include "views/elidedlabel.h"
#include "views/runlog.h"
#include "views/stagerow.h"

#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextBlock>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>
#include <limits>

TEST(RunLogClock, WholeSecondsAndMinutes)
{
    const struct { double seconds; const char *text; } cases[] = {
        {0, "0초"}, {59.9, "59초"}, {60, "1분 0초"}, {61.5, "1분 1초"}, {254, "4분 14초"}, {3725, "62분 5초"},
        {-3, "0초"}, {-0.5, "0초"}, {std::numeric_limits<double>::quiet_NaN(), "0초"},
        {-std::numeric_limits<double>::infinity(), "0초"}, {1e300, "16666666666666분 40초"},
        {std::numeric_limits<double>::infinity(), "16666666666666분 40초"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(RunLog::clock(c.seconds), QString::fromUtf8(c.text)) << c.seconds;
}

namespace {

// A run log over a generator in one of the fixed demonstration states.
class RunLogDemo : public Library
{
protected:
    void demo(const char *value)
    {
        qputenv("QUARRYSTONE_DEMO_PROGRESS", value);
        generator.demoIfRequested();
        qunsetenv("QUARRYSTONE_DEMO_PROGRESS");
    }

    void show(const char *value)
    {
        if (value)
            demo(value);
        state = std::make_unique<AppState>();
        awaitFiles(*state);
        state->setDesktop(desktop);
        log = new RunLog(state.get(), generator, &window);
        auto *layout = new QVBoxLayout(&window);
        layout->addWidget(log);
        window.resize(700, 900);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    }

    template<typename T = QWidget>
    T *child(const QString &name, QWidget *in = nullptr) const
    {
        return (in ? in : log)->findChild<T *>(name);
    }

    bool shown(const QString &name, QWidget *in = nullptr) const
    {
        QWidget *w = child(name, in);
        return w && w->isVisibleTo(&window);
    }

    StageRow *row(Generator::Stage stage) const
    {
        return child<StageRow>(QString("stageRow%1").arg(int(stage)));
    }

    QString detail(Generator::Stage stage) const { return child<ElidedLabel>("detail", row(stage))->text(); }

    Generator generator;
    std::shared_ptr<TestDesktop> desktop = std::make_shared<TestDesktop>();
    std::unique_ptr<AppState> state;
    QWidget window;
    RunLog *log = nullptr;
};

} // namespace

TEST_F(RunLogDemo, BeforeAnyRunEveryStageWaitsAndTheDetailedLogFollowsTheLines)
{
    show(nullptr);
    EXPECT_FALSE(shown("runningText"));
    EXPECT_FALSE(shown("runClock"));
    EXPECT_FALSE(shown("cancelButton"));
    EXPECT_TRUE(shown("durationCaption"));
    EXPECT_FALSE(shown("failedPanel"));
    EXPECT_FALSE(shown("donePanel"));
    EXPECT_FALSE(log->ticking());
    const QStringList titles{"1. 피그마 읽기", "2. 화면 이미지 받기", "3. 기획서 읽기", "4. API 문서 읽기",
                             "5. 계획서 초안 만들기", "6. 검사", "7. 저장"};
    for (Generator::Stage stage : Generator::allStages) {
        StageRow *r = row(stage);
        ASSERT_TRUE(r);
        EXPECT_EQ(child<QLabel>("title", r)->text(), titles.at(int(stage)));
        EXPECT_EQ(child<QLabel>("title", r)->property("tone"), "secondary");
        EXPECT_EQ(detail(stage), StageRow::description(stage));
        EXPECT_EQ(child<QLabel>("icon", r)->property("symbol"), "circle");
        EXPECT_FALSE(shown("elapsed", r));
        EXPECT_FALSE(shown("notice", r));
        EXPECT_FALSE(shown("bar", r));
        // The last row has no connector.
        EXPECT_EQ(shown("connector", r), stage != Generator::Stage::save);
    }
    EXPECT_EQ(detail(Generator::Stage::save), "plan.json · plan.md · index.html 을 만들어요");

    // The detailed log is appended per line, never rebuilt, and keeps the last 400.
    auto *toggle = child<QToolButton>("logToggle");
    auto *view = child<QPlainTextEdit>("logView");
    EXPECT_EQ(toggle->text(), "자세한 로그");
    EXPECT_FALSE(shown("logView"));
    QTest::mouseClick(toggle, Qt::LeftButton);
    EXPECT_TRUE(shown("logView"));
    EXPECT_TRUE(view->isReadOnly());
    EXPECT_EQ(view->maximumBlockCount(), 400);
    for (int i = 0; i < 450; ++i)
        generator.add(QString("줄 %1 <b>").arg(i));
    EXPECT_TRUE(QTest::qWaitFor([view] { return view->document()->lastBlock().text() == "줄 449 <b>"; }));
    EXPECT_EQ(view->blockCount(), 400);
    EXPECT_EQ(view->document()->firstBlock().text(), "줄 50 <b>");
    EXPECT_EQ(view->document()->lastBlock().text(), "줄 449 <b>");
    QTest::mouseClick(toggle, Qt::LeftButton);
    EXPECT_FALSE(shown("logView"));
}

TEST_F(RunLogDemo, RunningThenDoneThenFailedShowClocksAndPanels)
{
    show("running");
    EXPECT_EQ(child<ElidedLabel>("runningText")->text(), "계획서 초안 만들기");
    EXPECT_TRUE(shown("cancelButton"));
    EXPECT_TRUE(log->ticking());
    EXPECT_TRUE(child<QLabel>("runClock")->text().startsWith("4분 2"));
    EXPECT_FALSE(shown("durationCaption"));
    StageRow *draft = row(Generator::Stage::draft);
    EXPECT_EQ(child<QLabel>("icon", draft)->property("symbol"), "progress");
    // The running stage's mark turns; the other stages have none shown.
    QWidget *mark = child("spinner", draft);
    ASSERT_TRUE(mark);
    EXPECT_TRUE(mark->isVisible());
    const QImage first = mark->grab().toImage();
    EXPECT_TRUE(QTest::qWaitFor([&] { return mark->grab().toImage() != first; }));
    EXPECT_FALSE(shown("spinner", row(Generator::Stage::figma)));
    EXPECT_EQ(detail(Generator::Stage::draft), "저장소 코드 살펴보는 중");
    EXPECT_TRUE(shown("notice", draft));
    ASSERT_TRUE(shown("bar", draft));
    EXPECT_EQ(child<QProgressBar>("bar", draft)->value(), 28);
    EXPECT_EQ(child<QProgressBar>("bar", draft)->maximum(), 28);
    EXPECT_EQ(child<QLabel>("icon", row(Generator::Stage::figma))->property("symbol"), "checkmark.circle.fill");
    EXPECT_EQ(child<QLabel>("elapsed", row(Generator::Stage::figma))->text(), "2분 4초");
    EXPECT_EQ(child("connector", row(Generator::Stage::figma))->property("tone"), "green");
    EXPECT_EQ(child("connector", draft)->property("tone"), "secondary");
    // Stages the demo leaves without an entry wait with their description.
    EXPECT_EQ(detail(Generator::Stage::spec), StageRow::description(Generator::Stage::spec));

    // A stage that begins shows its own detail.
    generator.begin(Generator::Stage::spec, "읽는 중");
    EXPECT_TRUE(QTest::qWaitFor([this] { return detail(Generator::Stage::spec) == "읽는 중"; }));

    // The cancel button only asks.
    QTest::mouseClick(child<QPushButton>("cancelButton"), Qt::LeftButton);
    EXPECT_TRUE(state->cancelGenerating());
    EXPECT_TRUE(generator.phase().isRunning());

    // Done: the fixed time and the green panel.
    demo("done");
    EXPECT_TRUE(QTest::qWaitFor([this] { return child<QLabel>("runClock")->text() == "4분 14초"; }));
    EXPECT_EQ(child<QLabel>("runClock")->property("tone"), "secondary");
    EXPECT_FALSE(log->ticking());
    EXPECT_FALSE(mark->isVisible());
    // The fixed clock ends at the header's trailing edge, where it was.
    auto *clock = child<QLabel>("runClock");
    QTest::qWait(20);
    const int textEnd = clock->x() + clock->contentsRect().left()
                        + clock->fontMetrics().horizontalAdvance(clock->text());
    EXPECT_NEAR(textEnd, clock->parentWidget()->width() - 12, 2);
    EXPECT_FALSE(shown("cancelButton"));
    EXPECT_TRUE(shown("donePanel"));
    EXPECT_FALSE(shown("failedPanel"));
    EXPECT_FALSE(shown("durationCaption"));
    EXPECT_EQ(child<QLabel>("summary")->text(), "화면 12개 · 이동 31개 · 결정 필요 9건");
    EXPECT_EQ(child<QLabel>("elapsed", draft)->property("tone"), "tertiary");
    QPushButton *reveal = nullptr;
    for (QPushButton *b : child("donePanel")->findChildren<QPushButton *>())
        if (b->text() == "폴더 열기")
            reveal = b;
    ASSERT_TRUE(reveal);
    QTest::mouseClick(reveal, Qt::LeftButton);
    EXPECT_EQ(desktop->revealed, QStringList({generator.phase().dir}));

    // Failed: the message as plain text in red.
    demo("failed");
    EXPECT_TRUE(QTest::qWaitFor([this] { return child<QLabel>("runClock")->text() == "3분 41초"; }));
    EXPECT_TRUE(shown("failedPanel"));
    EXPECT_FALSE(shown("donePanel"));
    auto *message = child<QLabel>("failedMessage");
    EXPECT_EQ(message->textFormat(), Qt::PlainText);
    EXPECT_EQ(message->property("tone"), "red");
    EXPECT_TRUE(message->text().startsWith("Claude 실행 실패(종료 코드 1)"));
    EXPECT_EQ(child<QLabel>("icon", draft)->property("symbol"), "xmark.circle.fill");
    EXPECT_EQ(child<ElidedLabel>("detail", draft)->property("tone"), "red");
}

TEST(StageRowRules, NoticeBarDetailAndElapsed)
{
    QWidget window;
    auto *row = new StageRow(Generator::Stage::draft, false, &window);
    window.show();
    const auto shown = [&](const char *name) { return row->findChild<QWidget *>(name)->isVisibleTo(&window); };
    auto *elapsed = row->findChild<QLabel *>("elapsed");
    auto *detail = row->findChild<ElidedLabel *>("detail");
    auto *bar = row->findChild<QProgressBar *>("bar");
    const QDateTime now = QDateTime::currentDateTimeUtc();
    using Status = Generator::StageState::Status;

    Generator::StageState running;
    running.status = Status::running;
    running.started = now.addSecs(-75);
    running.lastEvent = now.addSecs(-14);
    running.detail = "쓰는 중";
    row->setState(running, now);
    EXPECT_FALSE(shown("notice"));
    EXPECT_FALSE(shown("bar")) << "no bar without a total";
    EXPECT_EQ(elapsed->text(), "1분 15초");
    EXPECT_EQ(detail->text(), "쓰는 중");
    EXPECT_EQ(row->findChild<QLabel *>("title")->font().weight(), QFont::DemiBold);
    row->tick(now.addSecs(1));
    EXPECT_TRUE(shown("notice"));
    EXPECT_EQ(elapsed->text(), "1분 16초");

    running.done = 7;
    running.total = 5;
    running.lastEvent = now;
    row->setState(running, now);
    EXPECT_FALSE(shown("notice"));
    ASSERT_TRUE(shown("bar"));
    EXPECT_EQ(bar->value(), 5);
    EXPECT_EQ(bar->maximum(), 5);

    Generator::StageState waiting;
    waiting.detail = "남은 글";
    row->setState(waiting, now);
    EXPECT_EQ(detail->text(), StageRow::description(Generator::Stage::draft));
    EXPECT_FALSE(shown("elapsed"));

    Generator::StageState failed;
    failed.status = Status::failed;
    failed.started = now;
    failed.ended = now.addSecs(-5);
    row->setState(failed, now);
    EXPECT_EQ(detail->text(), StageRow::description(Generator::Stage::draft));
    EXPECT_EQ(detail->property("tone"), "red");
    EXPECT_EQ(elapsed->text(), "0초");
    EXPECT_FALSE(shown("bar"));
}
