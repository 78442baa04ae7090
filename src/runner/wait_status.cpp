#include "wait_status.h"

#include <csignal>
#include <sys/wait.h>

wait_result classify_wait_status(int status)
{
    if (WIFEXITED(status))
        return {child_end::exited, WEXITSTATUS(status)};
    if (WIFSIGNALED(status))
        return {child_end::signaled, WTERMSIG(status)};
    return {child_end::other, status};
}

bool restart_after_signal(int signal, int *abnormal_ends)
{
    if (signal == SIGKILL)
        return false;
    ++*abnormal_ends;
    return *abnormal_ends < max_launches;
}
