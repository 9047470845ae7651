#pragma once

#include <QString>
#include <optional>

// The replacement of the installed application folder ("….app") by a new
// one, safe against a kill or a crash at any point. The new folder is first
// copied whole beside the installed one ("….app.new"); a marker ("….app.swap")
// naming that copy then records the decision to swap; the swap itself is an
// exchange of the two names (or, where the file system cannot exchange, two
// renames by way of "….app.old"). Whatever runs `finish` next, after a kill
// at any point, completes what the marker asks for from what is there.
namespace AppSwap {

// A step that failed, with the Korean description of its cause.
struct Failure {
    QString description;
};

QString staged(const QString &app);
QString retired(const QString &app);
QString marker(const QString &app);

// The installed folder that a copy of the application in `bundle` belongs
// to: `bundle` itself when it is named "*.app", the "*.app" beside it for a
// staged or retired copy; empty for anything else.
QString installedFor(const QString &bundle);

// Copies the unpacked application `unpacked` to `staged(app)`, replacing a
// leftover there. Blocking: run it off the main thread. Throws Failure and
// leaves nothing behind when the copy fails (a full disk, no permission).
void stage(const QString &unpacked, const QString &app);
// Records that the staged copy is complete and checked: from here on a
// `finish` puts it in place. Throws Failure.
void commit(const QString &app);
// Gives up a staged or committed swap that has not started.
void abandon(const QString &app);

// Completes a committed swap, or the one a kill cut short, and removes the
// replaced folder; nothing when no swap is committed. Gives the cause when
// the new folder could not be put in place, the installed one then being
// the old application, whole. Safe to run from several processes at once.
std::optional<QString> finish(const QString &app);

// Removes a leftover folder; when it cannot be removed it is moved out of
// the way, so that it never stands in the way of a later update.
void clear(const QString &path);

} // namespace AppSwap
