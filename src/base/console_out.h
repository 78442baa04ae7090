// The daemon's own lines on standard output and standard error. A reader that
// stalls (a hung logger) must never stop a launch, a stop request or the exit
// on a lost bus: a line that cannot be written at once is dropped and counted.
// No bus here.
#pragma once

namespace console {

// Once at start-up, before any thread is made. Where standard output or error
// is a pipe, FIFO or terminal, the daemon writes through a description of its
// own that never blocks; the descriptors 1 and 2 that applications inherit
// stay as they were.
void setup();

// One printf-style message on standard output or standard error, written in a
// single write, or dropped.
void out(const char *format, ...) __attribute__((format(printf, 1, 2)));
void err(const char *format, ...) __attribute__((format(printf, 1, 2)));
// As perror(what).
void err_errno(const char *what);

// Sends Qt's debug log through err().
void install_message_handler();

// Where a launched child writes its own lines before it executes the
// application: close-on-exec, and never blocking.
int child_out_fd();
int child_err_fd();

// Lines dropped so far because nobody read them in time.
unsigned long dropped();

} // namespace console
