// Listing and killing a process tree (no bus here).
#pragma once

#include <sys/types.h>

// Sends SIGKILL to every process of the tree rooted at root, the root first.
void kill_process_tree(pid_t root);
