// Built without sanitizer instrumentation (see src/CMakeLists.txt): a
// launched child runs this in the daemon's memory.
#include "nowait_write.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace nowait {

namespace {

// One call: the count written, or -1 with errno set.
long write_once(const target &t, const char *data, size_t size)
{
    if (t.how == kind::socket)
        return syscall(SYS_sendto, t.fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL, nullptr, 0);
    return syscall(SYS_write, t.fd, data, size);
}

// The lines of data from the one that holds byte at on, a last one without
// its newline included.
size_t lines_from(const char *data, size_t size, size_t at)
{
    while (at > 0 && data[at - 1] != '\n')
        --at;
    size_t lines = 0;
    for (size_t i = at; i < size; ++i)
        lines += data[i] == '\n' ? 1 : 0;
    return lines + (size > at && data[size - 1] != '\n' ? 1 : 0);
}

// Everything that fits.
result write_all(const target &t, const char *data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const long n = write_once(t, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EAGAIN;
            // Ends a line cut short, if the newline fits.
            if (done > 0 && data[done - 1] != '\n')
                (void)write_once(t, "\n", 1);
            return {err, lines_from(data, size, done)};
        }
        done += static_cast<size_t>(n);
    }
    return {0, 0};
}

} // namespace

result write_now(const target &t, const char *data, size_t size)
{
    if (t.how != kind::shared)
        return write_all(t, data, size);
    const long flags = syscall(SYS_fcntl, t.fd, F_GETFL);
    if (flags < 0)
        return {errno, lines_from(data, size, 0)};
    // Given non-blocking: left as it was.
    if ((flags & O_NONBLOCK) != 0)
        return write_all(t, data, size);
    if (syscall(SYS_fcntl, t.fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return {errno, lines_from(data, size, 0)};
    const result r = write_all(t, data, size);
    // Blocking again before an application can next write or execute.
    syscall(SYS_fcntl, t.fd, F_SETFL, flags);
    return r;
}

} // namespace nowait
