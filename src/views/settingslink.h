#pragma once

#include <QString>

class QAbstractButton;
class QWidget;

// A control that opens the settings window, as the window's own "설정…"
// command (the action named "settings") does.
namespace SettingsLink {

QAbstractButton *make(const QString &text, const QString &symbol, QWidget *parent);
// Triggers the settings command of the window `from` belongs to.
void open(QWidget *from);

} // namespace SettingsLink
