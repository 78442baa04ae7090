// The kill an application's root gets (no bus here): by its cgroup when it
// has one, and always by its process tree as well, so that nothing that
// left the cgroup survives.
#pragma once

#include "process_table.h"

#include <sys/types.h>
#include <vector>

// Kills the applications (or mere trees) rooted at roots, together. A root
// whose pid now holds another process than the one named is skipped.
void kill_applications(const std::vector<process_id> &roots);
