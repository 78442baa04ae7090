// What a runner makes of a child's wait status (no process here).
#pragma once

enum class child_end { exited, signaled, other };

struct wait_result {
    child_end kind;
    int value; // exit value, or signal number without the core-dump bit
};

wait_result classify_wait_status(int status);

// Launches of one runner: the first and up to three restarts.
inline constexpr int max_launches = 4;

// Whether a death by `signal` earns a relaunch. Counts the death in
// *abnormal_ends unless it was SIGKILL, which is never restarted: it is how a
// tree is killed on purpose.
bool restart_after_signal(int signal, int *abnormal_ends);
