#pragma once

#include <QString>
#include <QtGlobal>

// How large each kind of file the program reads whole may be. A file of a
// plan folder comes from archives, shared drives and colleagues, so its size
// is no promise: a larger one is refused before it is read, with the file's
// name and size, instead of exhausting memory.
namespace FileSizes {

// plan.json, its copies in history/ and plan.md: no plan comes near this.
inline constexpr qint64 plan = qint64(512) << 20;
// index.html, which carries the plan and its pictures.
inline constexpr qint64 page = qint64(1) << 30;
// figma-section.json and figma-metadata.xml: what the design service gave.
inline constexpr qint64 section = qint64(128) << 20;
// A file of a few fields: request.json, the bundle's Info.json, the note a
// failed update leaves.
inline constexpr qint64 fields = qint64(1) << 20;
// A planning or API document saved in the plan folder for Claude.
inline constexpr qint64 document = qint64(128) << 20;
// The made-from mark (a hash) and the record of a revision under way (a
// backup's name and a process group).
inline constexpr qint64 mark = qint64(4) << 10;
// history/revisions.md, which grows by one entry a revision.
inline constexpr qint64 log = qint64(64) << 20;
// The claude tool's own configuration (~/.claude.json, which keeps every
// project's history, and its settings.json).
inline constexpr qint64 toolSettings = qint64(64) << 20;
// A picture: a screen of the plan, a picture given to a revision.
inline constexpr qint64 picture = qint64(64) << 20;
// A worktree's .git pointer and the HEAD it leads to, and other small
// files that name a path.
inline constexpr qint64 gitPointer = qint64(4) << 10;

// A size for the person: "700KB", "12MB", "64GB", rounded up.
QString text(qint64 bytes);

// Why `name` is not read: it holds `size` bytes, more than `most`.
QString tooLarge(const QString &name, qint64 size, qint64 most);

} // namespace FileSizes
