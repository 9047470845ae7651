#include <gtest/gtest.h>

#include "support/qtprinters.h"
#include "app/appstate.h"
#include "app/mainwindow.h"
#include "views/webzoom.h"
#include "views/zoomcontrol.h"

#include <QAction>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <limits>

using namespace Qt::StringLiterals;

namespace {

TEST(WebZoomTest, SetRoundsToTenthsHalfAwayFromZeroWithinRange)
{
    WebZoom *zoom = WebZoom::shared();
    ASSERT_EQ(zoom->view(), nullptr);
    const QList<std::pair<double, double>> cases = {
        {2.96, 3.0}, {0.44, 0.5}, {0.25, 0.5}, {1.25, 1.3}, {3.1, 3.0}, {1.0, 1.0}, {1.04, 1.0},
        {1.05, 1.1}, {0.55, 0.6}, {2.35, 2.4}, {-1.0, 0.5}, {100.0, 3.0},
        {std::numeric_limits<double>::quiet_NaN(), 0.5},
        {std::numeric_limits<double>::infinity(), 3.0},
        {-std::numeric_limits<double>::infinity(), 0.5},
    };
    for (const auto &[value, expected] : cases) {
        zoom->set(value);
        EXPECT_DOUBLE_EQ(zoom->level(), expected) << value;
    }
    zoom->set(1.0);
}

TEST(ZoomControlTest, ButtonsStepTheSharedLevelAndShowItInPercent)
{
    WebZoom *zoom = WebZoom::shared();
    zoom->set(1.0);
    ZoomControl control(zoom);
    auto *out = control.findChild<QToolButton *>(u"zoomOut"_s);
    auto *actual = control.findChild<QToolButton *>(u"zoomActual"_s);
    auto *in = control.findChild<QToolButton *>(u"zoomIn"_s);
    ASSERT_TRUE(out && actual && in);
    EXPECT_EQ((QStringList{out->toolTip(), actual->toolTip(), in->toolTip()}),
              (QStringList{u"축소 (Ctrl+-)"_s, u"실제 크기 (Ctrl+0)"_s, u"확대 (Ctrl+=)"_s}));
    EXPECT_EQ(out->property("symbol").toString(), u"minus.magnifyingglass"_s);
    EXPECT_EQ(in->property("symbol").toString(), u"plus.magnifyingglass"_s);
    EXPECT_GE(actual->minimumWidth(), 52);
    EXPECT_EQ(actual->text(), u"100%"_s);

    QSignalSpy changes(zoom, &WebZoom::levelChanged);
    in->click();
    EXPECT_DOUBLE_EQ(zoom->level(), 1.1);
    EXPECT_EQ(actual->text(), u"110%"_s);
    out->click();
    out->click();
    EXPECT_EQ(actual->text(), u"90%"_s);
    EXPECT_EQ(changes.size(), 3);

    // The menu and the page reach the same model: the text follows any source.
    zoom->set(3.0);
    EXPECT_EQ(actual->text(), u"300%"_s);
    in->click();
    EXPECT_DOUBLE_EQ(zoom->level(), 3.0);
    zoom->set(0.5);
    out->click();
    EXPECT_DOUBLE_EQ(zoom->level(), 0.5);
    EXPECT_EQ(actual->text(), u"50%"_s);
    actual->click();
    EXPECT_DOUBLE_EQ(zoom->level(), 1.0);
    EXPECT_EQ(actual->text(), u"100%"_s);

    zoom->set(2.0);
    zoom->resetFromPage();
    EXPECT_DOUBLE_EQ(zoom->level(), 2.0) << "the page's reset took effect inside its delivery";
    QCoreApplication::processEvents();
    EXPECT_DOUBLE_EQ(zoom->level(), 1.0);
}

TEST(ZoomControlTest, PercentIsTheNearestWholeNumber)
{
    const QList<std::pair<double, QString>> cases = {
        {1.0, u"100%"_s}, {0.5, u"50%"_s}, {1.3, u"130%"_s}, {0.125, u"13%"_s}, {2.999, u"300%"_s}};
    for (const auto &[level, text] : cases)
        EXPECT_EQ(ZoomControl::percent(level), text) << level;
}

TEST(ZoomMenuTest, ViewMenuStepsAndResetsTheSharedZoom)
{
    AppState state;
    MainWindow window(&state);
    QMenu *view = window.viewMenu();
    ASSERT_TRUE(view);
    QStringList texts;
    for (QAction *action : view->actions())
        texts.append(action->text() + u" "_s + action->shortcut().toString(QKeySequence::PortableText));
    EXPECT_EQ(texts, (QStringList{u"확대 Ctrl+="_s, u"축소 Ctrl+-"_s, u"실제 크기 Ctrl+0"_s}));

    WebZoom *zoom = WebZoom::shared();
    zoom->set(1.0);
    QAction *in = window.findChild<QAction *>(u"zoomIn"_s);
    in->trigger();
    in->trigger();
    EXPECT_DOUBLE_EQ(zoom->level(), 1.2);
    window.findChild<QAction *>(u"zoomOut"_s)->trigger();
    EXPECT_DOUBLE_EQ(zoom->level(), 1.1);
    window.findChild<QAction *>(u"actualSize"_s)->trigger();
    EXPECT_DOUBLE_EQ(zoom->level(), 1.0);
    // A keyboard that needs Shift for "+" reaches it too.
    EXPECT_TRUE(in->shortcuts().contains(QKeySequence(u"Ctrl++"_s)));
}

} // namespace
