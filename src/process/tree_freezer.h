// Freezing process trees with SIGSTOP, walked from their roots through the
// kernel's lists of children (no bus here). What a freeze reads grows with
// the trees, not with the host.
#pragma once

#include "process_table.h"

#include <unordered_map>
#include <vector>

struct tree_member {
    unsigned long long start_time;
    int tree;          // index of the root it was reached from
    bool gone = false; // ended since it was found; its pid may be reused
    // Just found and sent SIGSTOP: its stat, read a moment ago, need not be
    // read again before its children are.
    bool fresh = true;
    unsigned threads = 0;
};

class tree_freezer
{
public:
    // roots: verified processes, each the root of one tree.
    explicit tree_freezer(const std::vector<proc_stat> &roots);

    // One walk that stops every process of the trees it reaches: the trees
    // stop forking before anything slower is begun.
    void stop_trees() { walk(); }

    // Stops every process of the trees, then walks them again until one
    // walk sees every member stopped and the next finds nothing new.
    // kill() returns before its target has stopped, and a process inside
    // fork() can still finish that fork: only the stopped state read back
    // proves it can fork no more. Returns whether that was seen; passes
    // counts the walks.
    bool freeze(int *passes);

    // Every process found, in the order found, roots first.
    const std::vector<pid_t> &found() const { return order; }
    // A process of tree now (same pid as found, not seen gone).
    bool is_member(pid_t pid, int tree) const;

private:
    bool walk();
    void wait_for_stopped_state() const;
    void add(const proc_stat &process, int tree);

    std::vector<pid_t> order;
    std::unordered_map<pid_t, tree_member> members; // every process sent SIGSTOP
};
