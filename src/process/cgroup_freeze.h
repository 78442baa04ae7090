// Freezing an application's cgroup and reading who is in it (no bus here).
// The kernel stops every process of a frozen cgroup, forks in flight
// included, at the cost of one write; what is left to find by hand is the
// few processes that moved out of it.
#pragma once

#include <string>
#include <sys/types.h>
#include <unordered_set>
#include <vector>

// Writes "1" (or "0") to dir's cgroup.freeze. False, having said why, when
// it could not be written.
bool set_cgroup_frozen(const std::string &dir, bool frozen);

// Waits until dir's cgroup.events shows it frozen, at most timeout_ms.
bool wait_cgroup_frozen(const std::string &dir, int timeout_ms);

// The processes (cgroup.procs) and threads (cgroup.threads) of dir and of
// the cgroups below it. Complete and stable only while dir is frozen.
struct cgroup_members {
    std::unordered_set<pid_t> processes;
    std::vector<pid_t> threads;
};
cgroup_members read_cgroup_members(const std::string &dir);

// The children of members' threads that are not members themselves: those
// that left the cgroup while their parent stayed.
std::vector<pid_t> children_outside(const cgroup_members &members);
