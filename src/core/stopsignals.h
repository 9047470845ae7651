#pragma once

#include <functional>

// The signals that ask this process to stop: SIGINT (Ctrl+C), SIGTERM (a
// kill) and SIGHUP (its terminal closed). Each is a stop, never a sudden
// end: the running operation is stopped and the process ends its own way,
// with its children.
namespace StopSignals {

// From now on the stop signals no longer end the process at once: `stop`
// runs on the event loop of the calling (main) thread with the signal's
// number, once per signal.
void route(std::function<void(int)> stop);

} // namespace StopSignals
