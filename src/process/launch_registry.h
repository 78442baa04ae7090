// What each runner launched and where it runs (no bus here): the one record
// of the supervised applications. A kill may name a launch that has just died
// while its runner relaunches; the registry lets the kill reach the
// application all the same, and keeps the runner from launching it again. It
// also holds each application's cgroup.kill, open, so that a kill needs no
// free descriptor, and what a status request reports.
#pragma once

#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

// What a runner is about to supervise.
struct application_info {
    QString name; // as the reports name it
    QString path;
    QStringList arguments;
    std::string cgroup;      // its cgroup directory, or empty
    int cgroup_kill_fd = -1; // open on the cgroup's cgroup.kill; owned by the cgroup
};

enum class application_state { running, relaunching, killing };
const char *state_name(application_state state);

// One supervised application as a status request shows it.
struct application_status {
    application_info info;
    pid_t pid = 0;           // the latest launch
    unsigned launches = 0;   // 1 to 4
    uint64_t since_usec = 0; // wall clock when the latest launch began
    application_state state = application_state::running;
    int last_signal = 0; // the signal that ended the launch before, or 0
};

// How a kill by cgroup went.
enum class cgroup_kill_result { not_in_cgroup, killed, failed };

class launch_registry
{
public:
    using runner_id = unsigned long;

    // A runner begins one application / has finished with it.
    runner_id add(application_info info = {});
    void remove(runner_id runner);

    // The runner's new launch. True when its application was killed before
    // the launch was known: the caller then kills pid itself.
    bool launched(runner_id runner, pid_t pid);
    // The latest launch has ended (its pid is no root any more).
    void ended(runner_id runner);
    // Whether the application may no longer be launched.
    bool killed(runner_id runner) const;
    // The runner launches again after a death by signal; false (and nothing
    // changes) when the application was killed meanwhile.
    bool relaunching(runner_id runner, int signal);

    // A kill that names pid. When pid is a launch of a running application,
    // marks it killed and returns the pid to kill: its latest launch, which
    // is pid itself unless a relaunch has replaced it. Any other pid is
    // returned as it is.
    pid_t kill_requested(pid_t pid);

    // Whether root is the live launch of an application: its runner has not
    // reaped it, so the pid still holds that process.
    bool is_live(pid_t root) const;
    // The cgroup directory of the application whose live launch is root, or
    // empty when it has none.
    std::string cgroup_of(pid_t root) const;
    // Kills that cgroup through the descriptor kept open. On failure, errno
    // tells why. The write happens under the lock, so the cgroup cannot be
    // removed meanwhile; it only marks the processes, it does not wait.
    cgroup_kill_result kill_cgroup(pid_t root);

    // Every application supervised now, in launch order. Copies only: the
    // lock is held for the copy and nothing else.
    std::vector<application_status> snapshot() const;

private:
    struct application {
        application_info info;
        std::vector<pid_t> launches; // oldest first
        uint64_t since_usec = 0;
        bool live = false; // the latest launch has not ended
        bool relaunching = false;
        bool killed = false;
        int last_signal = 0;
    };
    const application *live_root(pid_t root) const;

    mutable std::mutex mutex; // the kill comes from the main thread, launches from runners
    std::map<runner_id, application> applications; // ids grow: in launch order
    runner_id next_id = 0;
};

// Microseconds since the epoch, as status reports give times.
uint64_t wall_clock_usec();

// The daemon's one registry.
launch_registry &launches();
