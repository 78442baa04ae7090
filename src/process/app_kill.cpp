#include "app_kill.h"

#include "app_cgroup.h"
#include "process_table.h"
#include "process_tree.h"

#include <QDebug>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

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

} // namespace

void kill_applications(const std::vector<pid_t> &roots)
{
    std::vector<pid_t> trees, in_cgroups;
    for (const pid_t root : roots)
        (app_cgroup_dir(root).empty() ? trees : in_cgroups).push_back(root);
    if (!trees.empty())
        kill_process_trees(trees);
    if (in_cgroups.empty())
        return;

    // Stopped first, so a process that left the cgroup cannot be orphaned
    // out of the tree by the cgroup's kill: a child forked meanwhile by a
    // process inside is inside too. No listing: what the cgroups hold dies at
    // once, and what they do not is the tree's few, found by the walk.
    std::vector<std::string> killed;
    std::vector<pid_t> reached;
    const auto kill_cgroups = [&] {
        for (const pid_t root : in_cgroups) {
            if (std::find(reached.begin(), reached.end(), root) != reached.end())
                continue;
            reached.push_back(root);
            const std::string dir = app_cgroup_dir(root);
            if (!dir.empty() && kill_app_cgroup(root))
                killed.push_back(dir);
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
    kill_process_trees(in_cgroups, options);
    // A tree that could not be walked (no descriptor left to read /proc, or
    // the root gone meanwhile) still has its cgroup killed: the descriptor
    // for that is open already.
    kill_cgroups();
}
