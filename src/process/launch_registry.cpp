#include "launch_registry.h"

#include <algorithm>
#include <cerrno>
#include <time.h>
#include <unistd.h>

uint64_t wall_clock_usec()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

const char *state_name(application_state state)
{
    switch (state) {
    case application_state::running:
        return "running";
    case application_state::relaunching:
        return "relaunching";
    case application_state::killing:
        return "killing";
    }
    return "";
}

launch_registry::runner_id launch_registry::add(application_info info)
{
    std::lock_guard<std::mutex> lock(mutex);
    const runner_id id = next_id++;
    applications[id].info = std::move(info);
    return id;
}

void launch_registry::remove(runner_id runner)
{
    std::lock_guard<std::mutex> lock(mutex);
    applications.erase(runner);
}

bool launch_registry::launched(runner_id runner, pid_t pid)
{
    const uint64_t now = wall_clock_usec();
    std::lock_guard<std::mutex> lock(mutex);
    application &app = applications[runner];
    app.launches.push_back(pid);
    app.since_usec = now;
    app.live = true;
    app.relaunching = false;
    return app.killed;
}

void launch_registry::ended(runner_id runner)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = applications.find(runner);
    if (found != applications.end())
        found->second.live = false;
}

bool launch_registry::killed(runner_id runner) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = applications.find(runner);
    return found != applications.end() && found->second.killed;
}

bool launch_registry::relaunching(runner_id runner, int signal)
{
    std::lock_guard<std::mutex> lock(mutex);
    const auto found = applications.find(runner);
    if (found == applications.end() || found->second.killed)
        return false;
    found->second.relaunching = true;
    found->second.last_signal = signal;
    return true;
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

const launch_registry::application *launch_registry::live_root(pid_t root) const
{
    for (const auto &entry : applications) {
        const application &app = entry.second;
        if (app.live && !app.launches.empty() && app.launches.back() == root)
            return &app;
    }
    return nullptr;
}

bool launch_registry::is_live(pid_t root) const
{
    std::lock_guard<std::mutex> lock(mutex);
    return live_root(root) != nullptr;
}

std::string launch_registry::cgroup_of(pid_t root) const
{
    std::lock_guard<std::mutex> lock(mutex);
    const application *app = live_root(root);
    return app ? app->info.cgroup : std::string();
}

cgroup_kill_result launch_registry::kill_cgroup(pid_t root)
{
    std::lock_guard<std::mutex> lock(mutex);
    const application *app = live_root(root);
    if (!app || app->info.cgroup_kill_fd < 0)
        return cgroup_kill_result::not_in_cgroup;
    ssize_t n;
    do {
        n = write(app->info.cgroup_kill_fd, "1", 1);
    } while (n < 0 && errno == EINTR);
    if (n == 1)
        return cgroup_kill_result::killed;
    if (n >= 0)
        errno = EIO;
    return cgroup_kill_result::failed;
}

std::vector<application_status> launch_registry::snapshot() const
{
    std::vector<application_status> result;
    std::lock_guard<std::mutex> lock(mutex);
    result.reserve(applications.size());
    for (const auto &entry : applications) {
        const application &app = entry.second;
        if (app.launches.empty())
            continue; // not launched yet
        application_status status;
        status.info = app.info;
        status.pid = app.launches.back();
        status.launches = static_cast<unsigned>(app.launches.size());
        status.since_usec = app.since_usec;
        status.state = app.killed        ? application_state::killing
                       : app.relaunching ? application_state::relaunching
                                         : application_state::running;
        status.last_signal = app.last_signal;
        result.push_back(std::move(status));
    }
    return result;
}

launch_registry &launches()
{
    static launch_registry registry;
    return registry;
}
