#include "views/spinner.h"
#include "views/viewstyle.h"

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// Every symbol name the window's views draw.
const char *const windowSymbols[] = {
    "plus.square", "plus", "sparkles", "stop.fill", "gearshape", "arrow.clockwise", "xmark", "doc.richtext",
    "ellipsis.bubble", "exclamationmark.triangle.fill", "checkmark.circle.fill", "checkmark.seal.fill",
    "xmark.circle.fill", "xmark.circle", "xmark.octagon.fill", "arrow.uturn.backward.circle.fill",
    "arrow.down.circle.fill", "circle", "progress", "pause.circle", "doc.on.clipboard", "photo.badge.plus",
    "hammer.fill", "hourglass", "person.crop.circle.badge.exclamationmark",
};

// How many pixels of the picture are close to the colour.
int pixelsOf(const QImage &image, const QColor &color)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alpha() > 200 && std::abs(c.red() - color.red()) < 8 && std::abs(c.green() - color.green()) < 8
                && std::abs(c.blue() - color.blue()) < 8)
                ++count;
        }
    return count;
}

} // namespace

// Every symbol the window draws comes from our own icon set, in the tone's
// colour, with no font involved: a machine without symbol or emoji fonts
// shows them all.
TEST(ViewStyleSymbols, EverySymbolOfTheWindowIsAnIconInItsTone)
{
    const QColor orange = ViewStyle::color(ViewStyle::Tone::orange, QApplication::palette());
    for (const char *name : windowSymbols) {
        EXPECT_TRUE(ViewStyle::hasSymbol(name)) << name;
        const QImage drawn = ViewStyle::symbol(name, orange, 32).pixmap(32, 32).toImage();
        EXPECT_GT(pixelsOf(drawn, orange), 20) << name;
    }
    // Filled shapes keep their white marks.
    const QImage bubble = ViewStyle::symbol("ellipsis.bubble", orange, 32).pixmap(32, 32).toImage();
    EXPECT_GT(pixelsOf(bubble, Qt::white), 4);
    // A name outside the set draws nothing, never a stand-in glyph.
    EXPECT_FALSE(ViewStyle::hasSymbol("no.such.symbol"));
    const QImage none = ViewStyle::symbol("no.such.symbol", orange, 32).pixmap(32, 32).toImage();
    for (int y = 0; y < none.height(); ++y)
        for (int x = 0; x < none.width(); ++x)
            ASSERT_EQ(none.pixelColor(x, y).alpha(), 0);

    // The theme's picture when it has one, else ours: never the style's
    // stand-ins.
    QLabel label;
    ViewStyle::themeSymbol(&label, "person.crop.circle.badge.exclamationmark", ViewStyle::Tone::orange);
    if (QIcon::themeName().isEmpty() || !QIcon::hasThemeIcon("avatar-default")) {
        EXPECT_GT(pixelsOf(label.pixmap().toImage(), orange), 10);
    }
}

TEST(ViewStyleSpinner, TurnsOnlyWhileShown)
{
    QWidget window;
    QWidget *holder = new QWidget(&window);
    Spinner *spinner = ViewStyle::spinner(16, holder);
    EXPECT_EQ(spinner->size(), QSize(16, 16));
    EXPECT_FALSE(spinner->spinning());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(spinner->spinning());
    const int start = spinner->angle();
    EXPECT_TRUE(QTest::qWaitFor([&] { return spinner->angle() != start; }));

    // Hidden itself, with its parent or with its window, it stops.
    spinner->hide();
    EXPECT_FALSE(spinner->spinning());
    spinner->show();
    EXPECT_TRUE(spinner->spinning());
    holder->hide();
    EXPECT_FALSE(spinner->spinning());
    holder->show();
    EXPECT_TRUE(spinner->spinning());
    window.hide();
    EXPECT_FALSE(spinner->spinning());
}
