// The descriptor limit: raised for the daemon, given back to applications
// (no bus here).
#pragma once

#include <sys/resource.h>

// Raises the soft RLIMIT_NOFILE to the hard limit, and remembers the limit
// the daemon was given. Once at start-up, before any thread. A daemon of many
// applications holds a few descriptors for each; the common soft default of
// 1,024 runs out long before memory does.
void raise_fd_limit();

// The limit the daemon was started with, which every application gets back;
// nullptr when the daemon runs with it unchanged.
const rlimit *fd_limit_to_restore();

// Whether the limit in force leaves room to run at all: the event loop's
// wake-ups, the bus connection, a listing pipe and a launch. Says why not,
// once, on standard error.
bool fd_limit_enough();
