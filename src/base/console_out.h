// The daemon's own lines on standard output and standard error. A reader that
// stalls (a hung logger) must never stop a launch, a stop request or the exit
// on a lost bus: a line that cannot be written at once is dropped and counted.
// No bus here.
#pragma once

#include <atomic>
#include <mutex>

#include "nowait_write.h"

namespace console {

// Once at start-up, before any thread is made. A pipe, FIFO or terminal is
// written through a non-blocking description of the daemon's own where the
// daemon may open one (/proc/self/fd/N); where it may not (another user's
// pipe, a user namespace), through the shared description with O_NONBLOCK
// set only around each write. A socket is sent to without waiting. The
// descriptors 1 and 2 that applications inherit stay blocking. A regular
// file is written as it is: a write to a slow file system can still wait.
void setup();

// One printf-style message on standard output or standard error, written in a
// single write, or dropped.
void out(const char *format, ...) __attribute__((format(printf, 1, 2)));
void err(const char *format, ...) __attribute__((format(printf, 1, 2)));
// As perror(what).
void err_errno(const char *what);

// Sends Qt's debug log through err(). On the thread that will run the event
// loop, which writes the drop notes that must wait.
void install_message_handler();

// Where a launched child writes its own lines before it executes the
// application; never blocking.
nowait::target child_out();
nowait::target child_err();

// Held from before a launch until the child has executed: while a shared
// description has O_NONBLOCK for one of the daemon's lines, no application
// may be executed with it. Not locked when no description is shared.
std::unique_lock<std::mutex> hold_for_launch();

// Lines dropped and not yet told, one counter per errno (0: any errno past
// the table). Lock-free, so that a launched child adds its own drops.
inline constexpr int drop_causes = 256;
static_assert(std::atomic<unsigned long>::is_always_lock_free);
std::atomic<unsigned long> *drop_counts();

// Tells of the lines dropped so far on standard error: at once when no note
// was written for a second, else a second later (the event loop's timer).
// Call after a child may have dropped lines.
void note_drops();

} // namespace console
