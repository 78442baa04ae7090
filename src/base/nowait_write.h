// Writing a line without waiting for its reader. One rule for the daemon's
// own lines and for a launched child's lines before it executes the
// application, so only raw system calls: no other C library function, no
// lock, no allocation, nothing a sanitizer hooks.
#pragma once

#include <cstddef>

namespace nowait {

enum class kind {
    // A description of the daemon's own with O_NONBLOCK, or a file, which a
    // flag does not make wait less.
    plain,
    // Sent with MSG_DONTWAIT: the description stays as others share it.
    socket,
    // A pipe, FIFO or terminal whose one description the applications share:
    // O_NONBLOCK is set on it only for the write. The caller holds the lock
    // that keeps launches out meanwhile (console::hold_for_launch).
    shared,
};

struct target {
    int fd;
    kind how;
};

struct result {
    int error;         // 0 when all went out, else the errno that stopped it
                       // (EAGAIN: nobody read in time)
    size_t lost_lines; // lines not written whole, a line cut short included
};

// Writes what fits now. A line cut short still ends with its newline, so
// that the next one is not glued to it. Clobbers errno.
result write_now(const target &t, const char *data, size_t size);

} // namespace nowait
