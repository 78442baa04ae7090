// Waiting for a child's end (no bus here).
#pragma once

#include <sys/types.h>

// Waits until the child pid exits or dies; returns pid with its wait status
// in *status, or -1 with errno set when the wait failed (*status is then 0).
// Neither a signal that interrupts the wait nor a stop is an end.
//
// A child that traces itself (PTRACE_TRACEME) makes the thread that forked it
// its tracer, and stops for that thread at every signal it receives; the
// caller must be that thread. Such a child is let go on as if nobody traced
// it: with the signal it stopped for, except the trap the kernel sends it at
// an exec; stopped by a stop signal, it stays stopped until a SIGCONT, which
// is looked for every 10 ms meanwhile.
pid_t wait_for_end(pid_t pid, int *status);
