#pragma once

// Thrown by an operation whose CancelToken was cancelled. It carries no
// message: each service shows its own sentence for a stop.
struct Cancelled {
};
