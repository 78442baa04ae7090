#include "standard_fds.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

bool fill_standard_fds()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF)
            continue;
        // The lowest free descriptor is this one, as every lower one is open.
        const int null_fd = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (null_fd != fd) {
            // Nowhere to say it: standard error is one of the closed ones.
            if (null_fd >= 0)
                close(null_fd);
            return false;
        }
    }
    return true;
}
