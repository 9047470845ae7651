#pragma once

#include <QString>
#include <QUrl>
#include <functional>

class QWidget;

// What the application asks of the desktop around it: file panels, showing
// a file in the file manager and opening an address in the browser. Tests
// put in their own.
class Desktop
{
public:
    using Chosen = std::function<void(const QString &path)>;

    virtual ~Desktop() = default;

    // The desktop's own, shared by every state that has no other.
    static Desktop &standard();

    // Each panel is window-modal on `parent`, shows `message` inside itself
    // and returns at once; `chosen` runs with the confirmed path, and never
    // when the panel is cancelled.
    // A folder that holds plan.json.
    virtual void chooseFolder(QWidget *parent, const QString &message, Chosen chosen);
    // A plan page: other files are shown but cannot be picked.
    virtual void choosePlanPage(QWidget *parent, const QString &message, Chosen chosen);
    // Where to save an HTML file, proposing `name` in `folder`.
    virtual void chooseSaveTarget(QWidget *parent, const QString &folder, const QString &name, const QString &message,
                                  Chosen chosen);

    // How an opening ended: a program shows it, none was found for it, or
    // the one found failed.
    enum class Opening { opened, noProgram, programFailed };
    // Called once, on the main thread, when the opening's end is known.
    using Opened = std::function<void(Opening opening)>;

    // Shows the file or folder selected in the file manager, else opens the
    // folder itself (a file's folder).
    virtual void reveal(const QString &path, Opened opened);
    // Opens the address with the user's default application for it.
    virtual void openUrl(const QUrl &url, Opened opened);
};
