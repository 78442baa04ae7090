#include "app_kill.h"

#include "app_cgroup.h"
#include "cgroup_freeze.h"
#include "launch_registry.h"
#include "process_table.h"
#include "process_tree.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

namespace {

// How long a cgroup may take to freeze before it is walked instead.
constexpr int freeze_timeout_ms = 200;

// Whether pid sits in the cgroup dir or below it. /proc/PID/cgroup names the
// cgroup from its hierarchy's root, dir from the file system's; a cgroup is
// in dir's subtree when one of its leading parts is dir's tail.
bool in_cgroup(pid_t pid, const std::string &dir)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/cgroup", static_cast<int>(pid));
    FILE *file = std::fopen(path, "re");
    if (!file)
        return false;
    char line[4096];
    std::string cgroup;
    while (std::fgets(line, sizeof line, file)) {
        if (std::string(line).rfind("0::", 0) == 0) {
            cgroup = line + 3;
            cgroup.erase(cgroup.find_last_not_of('\n') + 1);
        }
    }
    std::fclose(file);
    for (size_t end = 1; end <= cgroup.size(); ++end) {
        if (end != cgroup.size() && cgroup[end] != '/')
            continue;
        const std::string head = cgroup.substr(0, end);
        if (head.size() > 1 && dir.size() >= head.size() &&
            dir.compare(dir.size() - head.size(), head.size(), head) == 0)
            return true;
    }
    return false;
}

// Whether root's pid still holds the process the request named. When its
// entry cannot be read for want of a descriptor, a launch its runner has not
// reaped yet still holds its pid: a kill must not depend on a free descriptor.
bool still_named(const process_id &root)
{
    errno = 0;
    if (root.start_time != unknown_start_time) {
        if (const std::optional<proc_stat> now = read_proc_stat(root.pid))
            return now->start_time == root.start_time;
        if (errno == ENOENT || errno == ESRCH)
            return false;
    }
    return launches().is_live(root.pid);
}

std::vector<process_id> still_named(const std::vector<process_id> &roots)
{
    std::vector<process_id> same;
    for (const process_id &root : roots) {
        if (still_named(root))
            same.push_back(root);
        else
            qDebug() << "kill_app:" << root.pid
                     << "is no longer the process the request named; skipped";
    }
    return same;
}

// The kill of the walk alone: every process stopped first, then the cgroups
// killed, then the rest of the trees. For cgroups that cannot be frozen, or
// not in time (thaw: those, once killed).
void kill_by_walk(const std::vector<process_id> &in_cgroups, bool thaw)
{
    std::vector<std::string> killed;
    std::vector<pid_t> reached;
    const auto kill_cgroups = [&] {
        for (const process_id &root : in_cgroups) {
            if (std::find(reached.begin(), reached.end(), root.pid) != reached.end())
                continue;
            reached.push_back(root.pid);
            const std::string dir = app_cgroup_dir(root.pid);
            if (!dir.empty() && kill_app_cgroup(root.pid))
                killed.push_back(dir);
            if (!dir.empty() && thaw)
                set_cgroup_frozen(dir, false);
        }
    };
    tree_kill_options options;
    options.list = false;
    options.after_stop = kill_cgroups;
    options.spared = [&](pid_t pid) {
        const std::optional<proc_stat> process = read_proc_stat(pid);
        if (!process || process->state == 'Z' || process->state == 'X')
            return true; // dead already
        return std::any_of(killed.begin(), killed.end(),
                           [pid](const std::string &dir) { return in_cgroup(pid, dir); });
    };
    kill_identified_trees(in_cgroups, options);
    // A tree that could not be walked (no descriptor left to read /proc, or
    // the root gone meanwhile) still has its cgroup killed: the descriptor
    // for that is open already.
    kill_cgroups();
}

// A frozen cgroup stops forking at once, and nothing in it can leave it: the
// processes that had left it by then, and descend from one in it (or the
// root itself, moved out), are all there is to walk. They are stopped before
// the cgroup's kill would orphan them out of reach.
void kill_frozen(const std::vector<process_id> &roots, const std::vector<std::string> &dirs)
{
    std::vector<process_id> outside;
    for (size_t i = 0; i < roots.size(); ++i) {
        const cgroup_members members = read_cgroup_members(dirs[i]);
        std::vector<pid_t> left = children_outside(members);
        if (!members.processes.count(roots[i].pid))
            left.push_back(roots[i].pid);
        for (const pid_t pid : left) {
            if (const std::optional<process_id> id = identify(pid))
                outside.push_back(pid == roots[i].pid ? roots[i] : *id);
        }
    }
    const auto kill_cgroups = [&] {
        for (size_t i = 0; i < roots.size(); ++i) {
            kill_app_cgroup(roots[i].pid);
            // Thawed so that the dying can end, and a launch into it later runs.
            set_cgroup_frozen(dirs[i], false);
        }
    };
    if (outside.empty()) {
        kill_cgroups();
        return;
    }
    qDebug() << outside.size() << "processes left their application's cgroup; killed by tree";
    tree_kill_options options;
    options.list = false;
    options.after_stop = kill_cgroups;
    kill_identified_trees(outside, options);
}

} // namespace

void kill_applications(const std::vector<process_id> &requested)
{
    const std::vector<process_id> roots = still_named(requested);
    std::vector<process_id> trees, frozen, walked, late;
    std::vector<std::string> frozen_dirs;
    for (const process_id &root : roots) {
        const std::string dir = app_cgroup_dir(root.pid);
        if (dir.empty()) {
            trees.push_back(root);
        } else if (set_cgroup_frozen(dir, true)) {
            frozen.push_back(root);
            frozen_dirs.push_back(dir);
        } else {
            walked.push_back(root);
        }
    }
    if (!trees.empty())
        kill_identified_trees(trees);
    // A cgroup that does not freeze in time (a process stuck in the kernel)
    // is killed as the walk kills it; frozen, the walk is the same.
    for (size_t i = frozen.size(); i-- > 0;) {
        if (wait_cgroup_frozen(frozen_dirs[i], freeze_timeout_ms))
            continue;
        qDebug() << "cgroup" << frozen_dirs[i].c_str() << "not frozen in time; killing by walk";
        late.push_back(frozen[i]);
        frozen.erase(frozen.begin() + static_cast<long>(i));
        frozen_dirs.erase(frozen_dirs.begin() + static_cast<long>(i));
    }
    if (!frozen.empty())
        kill_frozen(frozen, frozen_dirs);
    if (!walked.empty())
        kill_by_walk(walked, false);
    if (!late.empty())
        kill_by_walk(late, true);
}
