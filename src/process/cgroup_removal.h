// Removing the applications' cgroups (no bus here): those an application
// made inside its own go first, a populated one once its processes have
// gone, and so do those that daemons no longer alive left behind.
#pragma once

#include <string>

// Whether this daemon now holds the lock that marks a cgroup as its own: an
// exclusive flock on its cgroup.procs, open as procs_fd, kept until the
// cgroup is gone. A lock dies with its daemon, and it is seen from every
// pid namespace, where a pid is not.
bool take_cgroup_ownership(int procs_fd);

// Watches for cgroups left populated, from the main thread's event loop;
// once at start-up, after the application object exists. Without it they
// are left in place.
void start_cgroup_sweeper();

// Removes dir with the cgroups made inside it: now if no process is in any
// of them, otherwise once the last has gone. Closes lock_fd, which holds
// dir's ownership lock, once dir is gone or left in place.
void remove_cgroup(const std::string &dir, int lock_fd);

// Removes the cgroups under base that daemons no longer alive left there
// (ended with kill_daemon, or killed), each as remove_cgroup does.
void remove_stale_cgroups(const std::string &base);
