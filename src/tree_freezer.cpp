#include "tree_freezer.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Walks while freezing. A quiet tree settles in two; one of 500 that forks
// hard took about seven in the benchmark. A process that cannot stop (a
// vfork parent whose child we stopped, waiting in the kernel) never shows the
// stopped state, so the bound is what ends the wait for it.
constexpr int max_freeze_passes = 200;
// SIGSTOP takes effect only once its target is scheduled. Before another
// walk, the processes stopped so far are watched alone (their stat files)
// until they show it, for at most this many rounds.
constexpr int settle_rounds = 50;
constexpr useconds_t settle_wait_us = 200;

} // namespace

tree_freezer::tree_freezer(const std::vector<proc_stat> &roots)
{
    for (size_t i = 0; i < roots.size(); ++i) {
        if (!members.count(roots[i].pid))
            add(roots[i].pid, roots[i].start_time, static_cast<int>(i));
    }
}

void tree_freezer::add(pid_t pid, unsigned long long start_time, int tree)
{
    const auto known = members.find(pid);
    if (known == members.end())
        order.push_back(pid);
    members[pid] = tree_member{start_time, tree};
    kill(pid, SIGSTOP);
}

bool tree_freezer::is_member(pid_t pid, int tree) const
{
    const auto found = members.find(pid);
    return found != members.end() && !found->second.gone && found->second.tree == tree;
}

bool tree_freezer::freeze(int *passes)
{
    bool frozen_before = false;
    for (int pass = 1; pass <= max_freeze_passes; ++pass) {
        if (!frozen_before)
            wait_for_stopped_state();
        *passes = pass;
        const bool frozen = walk();
        if (frozen && frozen_before)
            return true;
        frozen_before = frozen;
    }
    qDebug() << "tree of" << order.front() << "not seen frozen after" << max_freeze_passes
             << "passes; killing the processes found";
    return false;
}

void tree_freezer::wait_for_stopped_state() const
{
    for (int round = 0; round < settle_rounds; ++round) {
        const bool all = std::all_of(members.begin(), members.end(), [](const auto &member) {
            if (member.second.gone)
                return true;
            const std::optional<proc_stat> now = read_proc_stat(member.first);
            return !now || now->start_time != member.second.start_time ||
                   is_frozen_state(now->state);
        });
        if (all)
            return;
        usleep(settle_wait_us);
    }
}

// One walk over every process stopped so far, not only from the roots: a
// stopped process whose parent someone else killed is still ours. Stops
// every newcomer, and again every member that is not stopped (someone may
// have continued it). True when nothing changed and every member was seen
// stopped. Newcomers are walked in the same pass, as order grows.
bool tree_freezer::walk()
{
    bool frozen = true;
    for (size_t i = 0; i < order.size(); ++i) {
        const pid_t pid = order[i];
        tree_member &member = members.at(pid);
        if (member.gone)
            continue;
        const std::optional<proc_stat> now = read_proc_stat(pid);
        if (!now || now->start_time != member.start_time) {
            member.gone = true;
            frozen = false; // its pid may come back as a newcomer
            continue;
        }
        if (!is_frozen_state(now->state)) {
            kill(pid, SIGSTOP);
            frozen = false;
        }
        const int tree = member.tree;
        bool threads_stopped = true;
        const std::vector<pid_t> children = read_children(pid, &threads_stopped);
        frozen = frozen && threads_stopped;
        for (const pid_t child : children) {
            const auto known = members.find(child);
            if (known != members.end() && !known->second.gone)
                continue;
            // Checked against its parent: the pid may have ended and been
            // reused since the list was read.
            const std::optional<proc_stat> process = read_proc_stat(child);
            if (!process || process->ppid != pid)
                continue;
            add(child, process->start_time, tree);
            frozen = false;
        }
    }
    return frozen;
}

void kill_priority::raise()
{
    if (raised)
        return;
    tid = static_cast<int>(syscall(SYS_gettid));
    errno = 0;
    old_nice = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (errno != 0) {
        qDebug() << "getpriority:" << std::strerror(errno);
        return;
    }
    // Only this thread: the main thread and the runners keep their priority.
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -20) != 0) {
        qDebug() << "setpriority:" << std::strerror(errno) << "; freezing at the usual priority";
        return;
    }
    raised = true;
}

void kill_priority::restore()
{
    if (!raised)
        return;
    raised = false;
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(tid), old_nice) != 0)
        qDebug() << "setpriority:" << std::strerror(errno);
}
