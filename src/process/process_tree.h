// Listing, freezing and killing a process tree (no bus here).
#pragma once

#include "process_table.h"

#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <sys/types.h>
#include <vector>

// The listing command for the tree rooted at root, words separated by single
// blanks; it is run word by word, without a shell. "-l": on a pipe, pstree
// otherwise cuts every line at 132 columns, and a deep tree loses its pids.
QByteArray listing_command(pid_t root);

// The candidates of one listing line, in order: every non-empty text of ASCII
// digits, a number no larger than the largest pid, that stands between a "("
// and the next ")". They are only candidates: a process's name may hold
// "(123)" too.
QStringList pids_in_listing_line(const QString &line);

// Runs the listing and returns the candidates of all its lines, in order;
// nullopt (after saying so) when it could not be run.
std::optional<QStringList> list_tree(pid_t root);

// What one kill did, for the benchmark and the tests.
struct kill_report {
    int listed = 0;        // candidates in the listing
    int signalled = 0;     // processes sent SIGKILL
    int passes = 0;        // walks over the trees while freezing
    bool frozen = false;   // whether the trees were seen frozen before the kill
    double listing_ms = 0; // time from starting the listing to its last line
};

struct tree_kill_options {
    // Run the listing for the signal order. Without it, the processes die
    // in the order the walk found them, the roots first.
    bool list = true;
    // Called once one walk has stopped every process of the trees it
    // reached, before the freeze is confirmed; processes it kills may be
    // dying while the rest is still stopping.
    std::function<void()> after_stop;
    // Processes not to signal, having been killed some other way.
    std::function<bool(pid_t)> spared;
};

// Kills the trees rooted at roots with SIGKILL: tree by tree, the root
// first, then its descendants in listing order, then those the listing
// missed. A root that is no process, pid 2, a kernel thread, a thread of a
// process rather than the process, a thread of this daemon or an ancestor
// of this process is refused. The trees are frozen with SIGSTOP before the
// first SIGKILL, so no process can fork a child that the kill misses, and no
// process outside them is ever signalled. When the listing cannot be run (no
// pid left to run it), the trees are killed as /proc shows them.
kill_report kill_process_trees(const std::vector<pid_t> &roots,
                               const tree_kill_options &options = {});
kill_report kill_process_tree(pid_t root);
// The same for roots named earlier: a root whose pid now holds another
// process is skipped. Its tree is what descends from it at the kill.
kill_report kill_identified_trees(const std::vector<process_id> &roots,
                                  const tree_kill_options &options = {});
