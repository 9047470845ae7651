#include "displaylock.h"
#include "library.h"
#include "model/generator.h"
#include "support/qtprinters.h"
#include "views/floatingnewbutton.h"
#include "views/newplanaction.h"
#include "views/pillbutton.h"

#include <QLineEdit>
#include <QTest>
#include <QTextDocument>
#include <QVBoxLayout>

using Pill = FloatingNewButton::Pill;

namespace {

class FloatingPill : public Library
{
protected:
    void SetUp() override
    {
        Library::SetUp();
        alpha = makePlan(output + "/Alpha-plan", "Alpha", "Alpha");
        state = std::make_unique<AppState>();
        awaitFiles(*state);
        action.start = [this] { ++starts; };
        auto *layout = new QVBoxLayout(&window);
        editor = new QLineEdit(&window);
        layout->addWidget(editor);
        pill = new FloatingNewButton(state.get(), generator, action, &window);
        layout->addWidget(pill);
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        editor->setFocus();
    }

    void ctrlReturn() { QTest::keyClick(editor, Qt::Key_Return, Qt::ControlModifier); }

    DisplayLock display;
    QString alpha;
    Generator generator;
    NewPlanAction action;
    int starts = 0;
    std::unique_ptr<AppState> state;
    QWidget window;
    QLineEdit *editor = nullptr;
    FloatingNewButton *pill = nullptr;
};

} // namespace

TEST_F(FloatingPill, PillsFollowTheSelectionThePhaseAndTheFormsOffer)
{
    PillButton *button = pill->button();
    // Before any form: dimmed and disabled, and the shortcut is off too.
    EXPECT_EQ(pill->pill(), Pill::start);
    EXPECT_EQ(button->text(), "계획서 만들기");
    EXPECT_EQ(button->symbol(), "sparkles");
    EXPECT_FALSE(button->isEnabled());
    EXPECT_DOUBLE_EQ(button->fillOpacity(), 0.45);
    EXPECT_DOUBLE_EQ(button->textOpacity(), 0.7);
    EXPECT_DOUBLE_EQ(button->shadowOpacity(), 0.1);
    QTest::mouseClick(button, Qt::LeftButton);
    ctrlReturn();
    EXPECT_EQ(starts, 0);

    action.setCanStart(true);
    action.setHint("Ctrl+Enter <b>");
    EXPECT_TRUE(button->isEnabled());
    EXPECT_DOUBLE_EQ(button->fillOpacity(), 1.0);
    EXPECT_DOUBLE_EQ(button->textOpacity(), 1.0);
    EXPECT_DOUBLE_EQ(button->shadowOpacity(), 0.3);
    EXPECT_EQ(button->toolTip(), Qt::convertFromPlainText("Ctrl+Enter <b>"));
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(starts, 1);
    ctrlReturn();
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(editor->text(), "");
    // No offered action: a click does nothing.
    action.start = nullptr;
    QTest::mouseClick(button, Qt::LeftButton);

    // With nothing selected the form shows, and so does the start pill.
    state->setSelection(std::nullopt);
    awaitFiles(*state);
    EXPECT_EQ(pill->pill(), Pill::start);

    // A plan shown: the new-plan pill.
    action.start = [this] { ++starts; };
    state->setSelection(Selection::plan(alpha));
    awaitFiles(*state);
    ASSERT_EQ(pill->pill(), Pill::newPlan);
    EXPECT_EQ(button->text(), "새 계획서");
    EXPECT_EQ(button->symbol(), "plus");
    EXPECT_EQ(button->toolTip(), "새 계획서 만들기 (Ctrl+N)");
    EXPECT_TRUE(button->isEnabled());
    // The shortcut belongs to the start pill only.
    ctrlReturn();
    EXPECT_EQ(starts, 2);
    EXPECT_EQ(state->selection(), Selection::plan(AppState::standardFolder(alpha)));

    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(state->selection(), Selection::newPlan());
    EXPECT_EQ(state->newPlanToken(), 1);
    EXPECT_EQ(pill->pill(), Pill::start);

    // The running generation selected: still the new-plan pill.
    qputenv("QUARRYSTONE_DEMO_PROGRESS", "running");
    generator.demoIfRequested();
    qunsetenv("QUARRYSTONE_DEMO_PROGRESS");
    state->setSelection(Selection::generating());
    awaitFiles(*state);
    EXPECT_EQ(pill->pill(), Pill::newPlan);

    // On the form during a run: the stop pill, which stops at once.
    state->setSelection(Selection::newPlan());
    awaitFiles(*state);
    ASSERT_EQ(pill->pill(), Pill::stop);
    EXPECT_EQ(button->text(), "멈추기");
    EXPECT_EQ(button->symbol(), "stop.fill");
    EXPECT_TRUE(button->isEnabled());
    ctrlReturn();
    EXPECT_EQ(starts, 2);
    EXPECT_TRUE(generator.phase().isRunning());
    QTest::mouseClick(button, Qt::LeftButton);
    EXPECT_EQ(generator.phase(), Generator::Phase::failed("멈췄어요."));
    EXPECT_FALSE(state->cancelGenerating());
    EXPECT_EQ(pill->pill(), Pill::start);
}
