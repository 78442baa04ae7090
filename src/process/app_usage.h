// What an application uses now, read from /proc and its cgroup (no bus
// here). Each read costs in proportion to the application, not to the host:
// a status request over many applications must stay quick.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>

// The processes of the tree rooted at root, the root included; 0 when it is
// gone.
unsigned tree_tasks(pid_t root);

// The processes in the cgroup dir (not in cgroups made inside it).
unsigned cgroup_tasks(const std::string &dir);

// The cgroup's memory.current; nullopt where the memory controller is off.
std::optional<uint64_t> cgroup_memory(const std::string &dir);
