#include "views/settingslink.h"

#include "views/viewstyle.h"

#include <QAction>
#include <QToolButton>
#include <QWidget>

namespace SettingsLink {

QAbstractButton *make(const QString &text, const QString &symbol, QWidget *parent)
{
    auto *button = new QToolButton(parent);
    button->setObjectName(QStringLiteral("settingsLink"));
    button->setText(text);
    button->setAutoRaise(true);
    button->setCursor(Qt::PointingHandCursor);
    if (!symbol.isEmpty()) {
        button->setProperty("symbol", symbol);
        button->setIcon(ViewStyle::symbol(symbol, ViewStyle::color(ViewStyle::Tone::primary, button->palette())));
        button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    }
    QObject::connect(button, &QToolButton::clicked, button, [button] { open(button); });
    return button;
}

void open(QWidget *from)
{
    if (QAction *settings = from->window()->findChild<QAction *>(QStringLiteral("settings")))
        settings->trigger();
}

} // namespace SettingsLink
