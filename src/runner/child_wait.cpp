#include "child_wait.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// How often a traced child in a group stop is looked at.
constexpr useconds_t group_stop_poll_us = 10000;

// Resumes a traced child, handing it sig (0 for none). Fails harmlessly with
// ESRCH when the child has just died: the next wait tells.
void resume(pid_t pid, int sig)
{
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void *>(static_cast<intptr_t>(sig)));
}

// A traced child has stopped for us with stop_signal. Returns false when the
// stop is the child's own group stop, which is left in place.
bool let_go_on(pid_t pid, int stop_signal)
{
    siginfo_t info{};
    if (ptrace(PTRACE_GETSIGINFO, pid, nullptr, &info) != 0) {
        // No signal on its way (EINVAL): the child has stopped as a stop
        // signal asks, and stays so, as it would untraced.
        return false;
    }
    // At an exec the kernel sends a self-traced child a SIGTRAP of its own
    // name (SI_USER, from itself). A debugger would swallow it; passed on,
    // it would kill the child.
    const bool exec_trap = stop_signal == SIGTRAP && info.si_code == SI_USER && info.si_pid == pid;
    resume(pid, exec_trap ? 0 : stop_signal);
    return true;
}

// The wait while a traced child is in a group stop. The SIGCONT that ends it
// wakes nobody: the child now waits for its tracer, and only a running child
// tells its parent. The kernel marks it continued at once, so that is looked
// for, as is its end.
pid_t wait_out_group_stop(pid_t pid, int *status)
{
    for (;;) {
        const pid_t result = waitpid(pid, status, WNOHANG | WCONTINUED);
        if (result != 0)
            return result;
        usleep(group_stop_poll_us);
    }
}

} // namespace

pid_t wait_for_end(pid_t pid, int *status)
{
    bool group_stopped = false;
    for (;;) {
        *status = 0;
        const pid_t result =
            group_stopped ? wait_out_group_stop(pid, status) : waitpid(pid, status, 0);
        if (result < 0) {
            if (errno == EINTR)
                continue;
            *status = 0;
            return result;
        }
        // Without WUNTRACED a stop is reported only for a traced child.
        if (WIFSTOPPED(*status)) {
            group_stopped = !let_go_on(pid, WSTOPSIG(*status));
            continue;
        }
        if (WIFCONTINUED(*status)) {
            // The SIGCONT waits in the child and comes as a stop of its own.
            resume(pid, 0);
            group_stopped = false;
            continue;
        }
        return result;
    }
}
