#pragma once

// The system-call filter of a confined run, as bwrap's --seccomp takes it:
// a classic BPF program on a descriptor. It admits every call of the
// machine's own architecture but two: socket() for a unix socket, through
// which a run would reach whatever the person's agents and services listen
// on under their home or /run whatever the mounts show it (a read-only bind
// stops no connect()), and io_uring_setup(), whose rings make sockets past
// any filter. socketpair() stays, which pipes between a program and its
// children are made of. Calls of another architecture (a 32-bit program,
// x32) fail with ENOSYS: a filter that looks at one architecture's numbers
// only must not let another's through.
namespace SocketFilter {

// A descriptor (close-on-exec, at its start) holding the program; -1 with
// errno set when none could be made. The caller closes it.
int open();

} // namespace SocketFilter
