#!/bin/sh
# Fails when a process whose executable lies in the build folder given as
# the only argument is still running: a test left a child behind. Runs
# after every other test. The test runner itself and whatever started it
# (this script's ancestors) do not count, nor do processes of other build
# folders or zombies (which have no executable any more).
build=$(cd "$1" && pwd -P) || exit 2

# This shell and its ancestors, the test runner among them.
ours=" $$ "
pid=$$
while [ "$pid" -gt 1 ]; do
    pid=$(sed -n 's/^PPid:[[:space:]]*//p' "/proc/$pid/status" 2>/dev/null)
    [ -n "$pid" ] || break
    ours="$ours$pid "
done

left() {
    for entry in /proc/[0-9]*; do
        pid=${entry#/proc/}
        case "$ours" in *" $pid "*) continue ;; esac
        exe=$(readlink "$entry/exe" 2>/dev/null) || continue
        case "$exe" in
        "$build"/*) printf '%s %s\n' "$pid" "$(tr '\0' ' ' < "$entry/cmdline" 2>/dev/null)" ;;
        esac
    done
}

# A child killed as its test ended may take a moment to go.
until=$(($(date +%s) + 3))
while :; do
    found=$(left)
    [ -z "$found" ] && exit 0
    [ "$(date +%s)" -ge "$until" ] && break
    sleep 0.2
done
echo "Processes of $build still running after the tests:"
echo "$found"
exit 1
