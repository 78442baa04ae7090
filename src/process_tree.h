// Listing, freezing and killing a process tree (no bus here).
#pragma once

#include <QString>
#include <QStringList>

#include <optional>
#include <sys/types.h>

// The listing command for the tree rooted at root, words separated by single
// blanks; it is run word by word, without a shell. "-l": on a pipe, pstree
// otherwise cuts every line at 132 columns, and a deep tree loses its pids.
QByteArray listing_command(pid_t root);

// The candidates of one listing line, in order: every non-empty text of ASCII
// digits that stands between a "(" and the next ")". They are only
// candidates: a process's name may hold "(123)" too.
QStringList pids_in_listing_line(const QString &line);

// Runs the listing and returns the candidates of all its lines, in order;
// nullopt (after saying so) when it could not be run.
std::optional<QStringList> list_tree(pid_t root);

// What one kill did, for the benchmark and the tests.
struct kill_report {
    int listed = 0;        // candidates in the listing
    int signalled = 0;     // processes sent SIGKILL
    int passes = 0;        // passes over the process table while freezing
    bool frozen = false;   // whether the tree was seen frozen before the kill
    double listing_ms = 0; // time spent running and reading the listing
};

// Kills the tree rooted at root with SIGKILL, the root first, then its
// descendants in listing order. A root that is no process, pid 2 or a kernel
// thread is refused at once, without a listing. The tree is frozen with SIGSTOP before the
// first SIGKILL, so no process can fork a child that the kill misses, and no
// process outside the tree is ever signalled.
kill_report kill_process_tree(pid_t root);
