// Killing a process tree: the daemon's freezing kill next to a plain "list with
// pstree, then SIGKILL each", on the same shapes and sizes in the same run.
//
//   bench_kill [RUNS]       (default 5 runs per cell; prints a table)
//
// Time is from the start of the kill to the last listed process of the tree
// gone (dead or a zombie). Survivors are processes of the tree, storm children
// included, alive 150 ms after that (or after 3 s), summed over the runs.
#include "process_table.h"
#include "process_tree.h"

#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

double ms_between(clock_type::time_point a, clock_type::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool alive(pid_t pid)
{
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const std::optional<proc_stat> s = parse_proc_stat(stat.data(), stat.size());
    return s && s->state != 'Z' && s->state != 'X';
}

// Live processes whose command line holds tag (every process of one tree).
std::vector<pid_t> tagged(const std::string &tag)
{
    std::vector<pid_t> pids;
    DIR *dir = opendir("/proc");
    while (const dirent *e = dir ? readdir(dir) : nullptr) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0)
            continue;
        std::string cmdline = read_file("/proc/" + std::to_string(pid) + "/cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (cmdline.find(tag) != std::string::npos && alive(pid))
            pids.push_back(pid);
    }
    if (dir)
        closedir(dir);
    return pids;
}

struct tree {
    pid_t root = -1;
    std::string log;
    std::vector<pid_t> members;
};

tree spawn_tree(const char *shape, int n, int serial)
{
    tree t;
    t.log = "/tmp/bench_kill." + std::to_string(getpid()) + "." + std::to_string(serial);
    unlink(t.log.c_str());
    t.root = fork();
    if (t.root == 0) {
        const std::string count = std::to_string(n);
        execl(LAVROSK_TREE_BIN, "tree", shape, count.c_str(), t.log.c_str(), (char *)nullptr);
        _exit(127);
    }
    const auto deadline = clock_type::now() + std::chrono::seconds(60);
    for (;;) {
        const std::string text = read_file(t.log);
        if (std::count(text.begin(), text.end(), '\n') >= n || clock_type::now() > deadline) {
            for (size_t at = 0; at < text.size();) {
                t.members.push_back(std::atoi(text.c_str() + at));
                at = text.find('\n', at) + 1;
            }
            break;
        }
        usleep(2000);
    }
    return t;
}

// The same listing, then SIGKILL to every pid in it at once.
void plain_kill(pid_t root)
{
    if (const std::optional<QStringList> pids = list_tree(root)) {
        for (const QString &pid : *pids)
            kill(pid.toInt(), SIGKILL);
    }
}

// Orphans of the trees come to us (we are their subreaper), so /proc does not
// fill with zombies that pid 1 reaps at its own pace.
void reap()
{
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

struct outcome {
    double total_ms = 0;
    double listing_ms = 0;
    int passes = 0;
    int survivors = 0;
    bool frozen = true;
};

outcome kill_once(const char *shape, int n, bool safe, int serial)
{
    tree t = spawn_tree(shape, n, serial);
    if (std::string(shape) == "storm")
        usleep(300 * 1000); // let the storm get going
    outcome result;
    const auto start = clock_type::now();
    if (safe) {
        const kill_report report = kill_process_tree(t.root);
        result.listing_ms = report.listing_ms;
        result.frozen = report.frozen;
        result.passes = report.passes;
    } else {
        plain_kill(t.root);
    }
    const auto deadline = start + std::chrono::seconds(3);
    for (;;) {
        reap();
        const bool any = std::any_of(t.members.begin(), t.members.end(), alive);
        if (!any || clock_type::now() > deadline)
            break;
        usleep(200); // leave the cores to the dying
    }
    result.total_ms = ms_between(start, clock_type::now());
    usleep(150 * 1000);
    const std::vector<pid_t> left = tagged(t.log);
    result.survivors = static_cast<int>(left.size());
    for (const pid_t pid : left) // clear up for the next run
        kill(pid, SIGKILL);
    while (!tagged(t.log).empty())
        reap();
    reap();
    unlink(t.log.c_str());
    return result;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The kill's own debug lines would drown the table.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    std::printf("%-9s %5s | %10s %8s %6s %8s %9s | %10s %9s | %6s\n", "shape", "procs", "freeze ms",
                "listing", "passes", "unfrozen", "survivors", "plain ms", "survivors", "ratio");
    int serial = 0;
    for (const char *shape : {"balanced", "chain", "storm"}) {
        for (const int n : {10, 100, 500}) {
            std::vector<double> safe_ms, plain_ms, listing_share, passes;
            int safe_left = 0, plain_left = 0, unfrozen = 0;
            for (int run = 0; run < runs; ++run) {
                // Taking turns at going first: a run can leave the machine busier.
                const bool safe_first = run % 2 == 0;
                const outcome first = kill_once(shape, n, safe_first, ++serial);
                const outcome second = kill_once(shape, n, !safe_first, ++serial);
                const outcome &s = safe_first ? first : second;
                const outcome &p = safe_first ? second : first;
                safe_ms.push_back(s.total_ms);
                listing_share.push_back(s.listing_ms / s.total_ms);
                passes.push_back(s.passes);
                plain_ms.push_back(p.total_ms);
                safe_left += s.survivors;
                plain_left += p.survivors;
                unfrozen += s.frozen ? 0 : 1;
            }
            const double safe = median(safe_ms), plain = median(plain_ms);
            std::printf("%-9s %5d | %10.1f %7.0f%% %6.0f %8d %9d | %10.1f %9d | %6.2f\n", shape, n,
                        safe, 100 * median(listing_share), median(passes), unfrozen, safe_left,
                        plain, plain_left, safe / plain);
            std::fflush(stdout);
        }
    }
    std::printf("runs per cell: %d; times are medians; passes: over the process table; unfrozen: "
                "runs that reached the freeze bound\n",
                runs);
    return 0;
}
