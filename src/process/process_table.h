// Processes as /proc shows them: one process's entry, and the children of
// its threads (no bus here).
#pragma once

#include <cstddef>
#include <optional>
#include <sys/types.h>
#include <vector>

struct proc_stat {
    pid_t pid;
    char state; // as in /proc/PID/stat: R, S, D, T, t, Z, X, ...
    pid_t ppid;
    // Clock ticks after boot. A pid is reused once its process is gone; the
    // start time tells the newcomer apart.
    unsigned long long start_time;
    unsigned flags = 0; // the kernel's flags for the process (PF_*)
    unsigned threads = 0;
};

// One process as it was when first named: a pid is reused once its process
// is gone, and the start time tells the newcomer apart.
struct process_id {
    pid_t pid;
    unsigned long long start_time;
};

// The fields of one /proc/PID/stat text. The name in parentheses is the
// process's own choice and may hold blanks, ")" or "(123)", so the fields are
// read after its last ")". nullopt for text of another shape.
std::optional<proc_stat> parse_proc_stat(const char *text, size_t size);

// One process's entry; nullopt once it is gone (errno ENOENT or ESRCH), or
// when it cannot be read (errno says why).
std::optional<proc_stat> read_proc_stat(pid_t pid);

// How many threads pid has; nullopt once it is gone.
std::optional<unsigned> threads_of(pid_t pid);

// A start time that was not known when the process was named.
inline constexpr unsigned long long unknown_start_time = 0;

// pid's identity now; nullopt when no task has that id (errno ENOENT or
// ESRCH) or its entry cannot be read (errno says why: EMFILE, say).
std::optional<process_id> identify(pid_t pid);

// The thread group (the process) that the task tid belongs to; tid itself
// for a process's first thread. nullopt once it is gone.
std::optional<pid_t> thread_group_of(pid_t tid);

// Whether the kernel flags the process as one of its own threads.
bool is_kernel_thread(const proc_stat &process);

// A process in this state cannot fork any more: stopped, traced, or dead.
bool is_frozen_state(char state);

// The children of every thread of pid, as the kernel lists them
// (/proc/PID/task/TID/children): reading them costs in proportion to the
// process, not to the host. Complete only once every thread is stopped;
// threads_stopped tells whether every thread but the first (whose state is
// the process's own) was, each read before its children.
// threads: how many pid has, if known (one thread needs no directory listing).
std::vector<pid_t> read_children(pid_t pid, bool *threads_stopped = nullptr, unsigned threads = 0);
