// Exact kill by cgroup (no bus here). When the host delegates a cgroup v2
// directory to the daemon (LAVROSK_CGROUP), every application runs in a
// cgroup of its own under it. Killing that cgroup reaches every process the
// application started, those that left its process tree included, in one
// step and without a listing.
#pragma once

#include <QByteArray>

#include <memory>
#include <string>
#include <sys/types.h>

// Why path cannot hold the applications' cgroups, or empty when it can: a
// cgroup v2 directory of type "domain" that may be written, with cgroup.kill.
std::string cgroup_unusable_reason(const char *path);

// Takes the value of LAVROSK_CGROUP at start-up, on the main thread: empty
// leaves cgroup mode off; an unusable directory is named on standard error,
// with the reason, and leaves it off too. Cgroups that outlive their runner
// are removed later from this thread's event loop, when there is one; so are
// those that daemons no longer alive left there, which it looks for now.
void configure_app_cgroups(const QByteArray &path);
bool app_cgroups_enabled();
// The directory in use; empty when cgroup mode is off.
const std::string &app_cgroup_root();

// The cgroup of one runner's application, for the runner's whole life: all
// its launches join it.
class app_cgroup
{
public:
    // A new cgroup under the configured directory; nullptr when cgroup mode
    // is off, or (having said why) when none could be made.
    static std::unique_ptr<app_cgroup> create();
    // Removes the cgroup (with the cgroups the
    // application made in it) now if it is empty, otherwise once the last
    // process in it has gone.
    ~app_cgroup();
    app_cgroup(const app_cgroup &) = delete;
    app_cgroup &operator=(const app_cgroup &) = delete;

    // Open on cgroup.procs: a child writes "0" to it to join, before exec.
    // It holds the lock that marks the cgroup as this daemon's.
    int procs_fd() const { return procs; }
    // Open on cgroup.kill from the start: a kill at the descriptor limit
    // must not need a new one.
    int kill_fd() const { return kill; }
    const std::string &path() const { return dir; }

private:
    app_cgroup(std::string dir, int procs, int kill) : dir(std::move(dir)), procs(procs), kill(kill)
    {
    }
    std::string dir;
    int procs;
    int kill;
};

// The cgroup directory of the application whose current root process is
// root (as the launch registry knows it), or empty when it has none.
std::string app_cgroup_dir(pid_t root);

// Kills the whole cgroup of the application whose current root process is
// root. False when root is the root of none (or the kill could not be
// written, which it says): the caller then kills by process tree.
bool kill_app_cgroup(pid_t root);
