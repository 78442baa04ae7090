#include "fd_limit.h"

#include "console_out.h"

#include <cerrno>
#include <cstring>

namespace {

rlimit given{};
bool raised = false;

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
