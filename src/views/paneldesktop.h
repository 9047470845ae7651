#pragma once

#include <QStringList>
#include <functional>
#include <memory>

class QWidget;

// What the plan editor's panel asks of the desktop: the system beep and a
// panel to choose image files. Tests put in their own.
class PanelDesktop
{
public:
    using Chosen = std::function<void(const QStringList &paths)>;

    virtual ~PanelDesktop() = default;

    static PanelDesktop &current();
    // Nothing puts the desktop's own back.
    static void replace(std::shared_ptr<PanelDesktop> desktop);

    virtual void beep();
    // Window-modal on `parent`, opened in `folder` (the plan's), returns at
    // once; `chosen` runs with the confirmed files, never when the panel is
    // cancelled.
    virtual void chooseImages(QWidget *parent, const QString &folder, Chosen chosen);
};
