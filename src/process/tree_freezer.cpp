#include "tree_freezer.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Walks while freezing. A quiet tree settles in two; one of 500 that forks
// hard took about seven in the benchmark. A process that cannot stop for
// some other reason (stuck in the kernel) never shows the stopped state:
// the bounds end the wait for it, and with it the real-time phase.
constexpr int max_freeze_passes = 200;
constexpr auto max_freeze_time = std::chrono::seconds(2);
// SIGSTOP takes effect only once its target is scheduled. Before another
// walk, the processes stopped so far are watched alone (their stat files)
// until they show it, for at most this many rounds.
constexpr int settle_rounds = 50;
constexpr useconds_t settle_wait_us = 1000;

// A vfork parent waits in the kernel, unable to stop, until its child has
// executed or ended; with that child stopped it can fork no more, as if
// stopped itself. It takes its SIGSTOP (or SIGKILL) once the child is gone.
bool waits_on_stopped_vfork_child(const proc_stat &process)
{
    if (process.state != 'D')
        return false;
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/wchan", static_cast<int>(process.pid));
    char wchan[64] = {};
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const ssize_t n = read(fd, wchan, sizeof wchan - 1);
    close(fd);
    // The wait is inlined into the clone call on some kernels.
    if (n <= 0 || (std::strcmp(wchan, "wait_for_vfork_done") != 0 &&
                   std::strcmp(wchan, "kernel_clone") != 0 && std::strcmp(wchan, "_do_fork") != 0))
        return false;
    for (const pid_t child : read_children(process.pid, nullptr, process.threads)) {
        const std::optional<proc_stat> stat = read_proc_stat(child);
        if (stat && stat->ppid == process.pid && is_frozen_state(stat->state))
            return true;
    }
    return false;
}

// Stopped, and so is every thread of it: each thread takes the SIGSTOP
// only once it is scheduled, and until then it may be inside fork().
bool settled(const proc_stat &process)
{
    if (!is_frozen_state(process.state) && !waits_on_stopped_vfork_child(process))
        return false;
    bool threads_stopped = true;
    if (process.threads > 1)
        read_children(process.pid, &threads_stopped, process.threads);
    return threads_stopped;
}

} // namespace

tree_freezer::tree_freezer(const std::vector<proc_stat> &roots)
{
    for (size_t i = 0; i < roots.size(); ++i) {
        if (!members.count(roots[i].pid))
            add(roots[i], static_cast<int>(i));
    }
}

void tree_freezer::add(const proc_stat &process, int tree)
{
    const auto known = members.find(process.pid);
    if (known == members.end())
        order.push_back(process.pid);
    tree_member &member = members[process.pid];
    member = tree_member{process.start_time, tree};
    member.threads = process.threads;
    kill(process.pid, SIGSTOP);
}

bool tree_freezer::is_member(pid_t pid, int tree) const
{
    const auto found = members.find(pid);
    return found != members.end() && !found->second.gone && found->second.tree == tree;
}

bool tree_freezer::freeze(int *passes)
{
    bool frozen_before = false;
    const auto deadline = std::chrono::steady_clock::now() + max_freeze_time;
    for (int pass = 1; pass <= max_freeze_passes; ++pass) {
        if (std::chrono::steady_clock::now() > deadline) {
            qDebug() << "tree of" << order.front() << "not seen frozen after" << pass - 1
                     << "passes and" << max_freeze_time.count() << "s; killing the processes found";
            return false;
        }
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
    // Only those not yet seen stopped are read again: at a raised priority,
    // rereading all of a big tree each round would take the CPU its
    // processes need to act on the SIGSTOP.
    std::vector<std::pair<pid_t, unsigned long long>> pending;
    for (const auto &member : members) {
        if (!member.second.gone)
            pending.emplace_back(member.first, member.second.start_time);
    }
    for (int round = 0; round < settle_rounds && !pending.empty(); ++round) {
        pending.erase(
            std::remove_if(pending.begin(), pending.end(),
                           [](const auto &process) {
                               const std::optional<proc_stat> now = read_proc_stat(process.first);
                               return !now || now->start_time != process.second || settled(*now);
                           }),
            pending.end());
        if (!pending.empty())
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
        if (member.fresh) {
            member.fresh = false;
            frozen = false; // not yet seen stopped
        } else {
            const std::optional<proc_stat> now = read_proc_stat(pid);
            if (!now || now->start_time != member.start_time) {
                member.gone = true;
                frozen = false; // its pid may come back as a newcomer
                continue;
            }
            if (!is_frozen_state(now->state) && !waits_on_stopped_vfork_child(*now)) {
                kill(pid, SIGSTOP);
                frozen = false;
            }
            member.threads = now->threads;
        }
        const int tree = member.tree;
        bool threads_stopped = true;
        const std::vector<pid_t> children = read_children(pid, &threads_stopped, member.threads);
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
            add(*process, tree);
            frozen = false;
        }
    }
    return frozen;
}
