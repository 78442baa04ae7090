#include "fd_limit.h"

#include "console_out.h"

#include <cerrno>
#include <cstring>

namespace {

rlimit given{};
bool raised = false;
// Below 7 Qt aborts at start-up (no pipe for its event loop); at 7 the bus
// connection finds none left.
constexpr rlim_t fewest_fds = 8;

} // namespace

void raise_fd_limit()
{
    if (getrlimit(RLIMIT_NOFILE, &given) != 0) {
        console::err_errno("getrlimit RLIMIT_NOFILE");
        return;
    }
    if (given.rlim_cur == given.rlim_max)
        return;
    const rlimit wanted{given.rlim_max, given.rlim_max};
    if (setrlimit(RLIMIT_NOFILE, &wanted) != 0) {
        console::err_errno("setrlimit RLIMIT_NOFILE");
        return;
    }
    raised = true;
}

const rlimit *fd_limit_to_restore()
{
    return raised ? &given : nullptr;
}

bool fd_limit_enough()
{
    rlimit now{};
    if (getrlimit(RLIMIT_NOFILE, &now) != 0 || now.rlim_cur >= fewest_fds)
        return true;
    console::err("lavrosk-daemon: too few descriptors: the limit is %llu, at least %llu are "
                 "needed\n",
                 static_cast<unsigned long long>(now.rlim_cur),
                 static_cast<unsigned long long>(fewest_fds));
    return false;
}
