#pragma once

#include <QString>
#include <chrono>
#include <optional>
#include <sys/types.h>

// A process group that a run started, named so that a later process can
// tell it apart from an unrelated group that reused the number: the
// group's number and its leader's start time (clock ticks since boot, as
// /proc gives it).
namespace ProcessGroup {

struct Mark {
    pid_t pgid = 0;
    unsigned long long startTicks = 0;

    bool operator==(const Mark &) const = default;
};

// The mark of the group led by the running process `leader`; nothing when
// the process is gone or leads no group.
std::optional<Mark> markOf(pid_t leader);

// True while any process of the group runs whose leader is still the one
// the mark names, or, once the leader has ended, while anything is left in
// a group of that number that no newer leader owns.
bool alive(const Mark &mark);

// Ends what is left of the group: SIGTERM, then SIGKILL after `grace`, and
// waits up to `grace` again for it to be gone. True when nothing of it runs
// any more.
bool end(const Mark &mark, std::chrono::milliseconds grace = std::chrono::seconds(2));

// The mark as one line of text ("<pgid> <startTicks>"), and back.
QString toText(const Mark &mark);
std::optional<Mark> fromText(const QString &text);

} // namespace ProcessGroup
