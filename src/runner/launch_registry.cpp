#include "launch_registry.h"

#include <algorithm>

launch_registry::runner_id launch_registry::add()
{
    std::lock_guard<std::mutex> lock(mutex);
    const runner_id id = next_id++;
    applications.emplace(id, application{});
    return id;
}

void launch_registry::remove(runner_id runner)
{
    std::lock_guard<std::mutex> lock(mutex);
    applications.erase(runner);
}

bool launch_registry::launched(runner_id runner, pid_t pid)
{
    std::lock_guard<std::mutex> lock(mutex);
    application &app = applications[runner];
    app.launches.push_back(pid);
    return app.killed;
}

bool launch_registry::killed(runner_id runner) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = applications.find(runner);
    return found != applications.end() && found->second.killed;
}

pid_t launch_registry::kill_requested(pid_t pid)
{
    std::lock_guard<std::mutex> lock(mutex);
    // A latest launch first: an earlier launch's pid may have been reused by
    // another application's launch since, and the kill is meant for that one.
    application *match = nullptr;
    for (auto &entry : applications) {
        if (!entry.second.launches.empty() && entry.second.launches.back() == pid) {
            match = &entry.second;
            break;
        }
    }
    for (auto it = applications.begin(); !match && it != applications.end(); ++it) {
        const std::vector<pid_t> &pids = it->second.launches;
        if (std::find(pids.begin(), pids.end(), pid) != pids.end())
            match = &it->second;
    }
    if (!match)
        return pid;
    match->killed = true;
    return match->launches.back();
}

launch_registry &launches()
{
    static launch_registry registry;
    return registry;
}
