// Which runner launched which pid, and whether its application has been
// killed (no bus here). A kill may name a launch that has just died while its
// runner relaunches; the registry lets the kill reach the application all the
// same, and keeps the runner from launching it again.
#pragma once

#include <cstddef>
#include <mutex>
#include <sys/types.h>
#include <unordered_map>
#include <vector>

class launch_registry
{
public:
    using runner_id = unsigned long;

    // A runner begins one application / has finished with it.
    runner_id add();
    void remove(runner_id runner);

    // The runner's new launch. True when its application was killed before
    // the launch was known: the caller then kills pid itself.
    bool launched(runner_id runner, pid_t pid);
    // Whether the application may no longer be launched.
    bool killed(runner_id runner) const;

    // A kill that names pid. When pid is a launch of a running application,
    // marks it killed and returns the pid to kill: its latest launch, which
    // is pid itself unless a relaunch has replaced it. Any other pid is
    // returned as it is.
    pid_t kill_requested(pid_t pid);

private:
    struct application {
        std::vector<pid_t> launches; // oldest first
        bool killed = false;
    };
    mutable std::mutex mutex; // the kill comes from the main thread, launches from runners
    std::unordered_map<runner_id, application> applications;
    runner_id next_id = 0;
};

// The daemon's one registry.
launch_registry &launches();
