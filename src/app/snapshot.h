#pragma once

#include <QString>
#include <optional>

class QWindow;

// Pictures of the running application for scripts: with
// QUARRYSTONE_SNAPSHOT set, the application photographs its main window
// and ends itself. One-shot: one picture (and one of a sheet on the
// window) 2.5 seconds after start, exit 0, or 2 when no window qualifies,
// or 3 when a picture failed. With QUARRYSTONE_SNAPSHOT_EVERY above 0:
// numbered pictures at that interval until a generation has ended, exit 0.
namespace Snapshot {

// Starts the mode when the environment asks for it; returns at once. The
// process ends from the event loop later.
void ifRequested();

// The interval of the periodic form: a finite number of seconds above 0.
std::optional<double> interval(const QString &text);
// The first visible window more than 300 high that is not a sheet, in the
// application's window order.
QWindow *qualifyingWindow();
// A window-modal dialog shown on `window`, if any.
QWindow *attachedSheet(QWindow *window);
// One picture of the window as PNG; true when it was written.
bool shot(QWindow *window, const QString &path);

// Where the sheet's picture goes: ".png" becomes "-sheet.png" in the file
// name only; a file name without ".png" gets "-sheet" at its end.
QString sheetPath(const QString &path);
// Where the cycle's picture goes: ".png" becomes "-NN.png" (two digits at
// least) in the file name only; a file name without ".png" gets "-NN".
QString cyclePath(const QString &path, int cycle);

} // namespace Snapshot
