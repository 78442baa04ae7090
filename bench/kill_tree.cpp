// Killing a process tree: the daemon's freezing kill and its kill by cgroup
// (on its real-time kill thread, as in the daemon) next to a plain "list with
// pstree, then SIGKILL each" and to the cgroup's kill file alone, on the same
// shapes and sizes in the same run; then a start request sent during a kill.
//
//   bench_kill [RUNS [SHAPE...]]   (default 5 runs per cell, every shape and
//                                   the daemon tables; "start" and "platform"
//                                   name those, "crowd" repeats the shapes
//                                   with 5,000 idle processes on the host)
//   BENCH_DAEMON=PATH[:PATH...] bench_kill    the daemon tables for those builds as well
//   BENCH_CONTAINER=DIR bench_kill start      each daemon of the start table moved
//                                   into the cgroup DIR (v1 or v2) once ready,
//                                   its applications with it, as in a container
//
// Time is from the start of the kill to the last process of the tree gone
// (dead or a zombie), or 3 s. Survivors are processes of the tree, storm
// children and daemonized members included, alive 150 ms after that, summed
// over the runs. The cgroup columns need a writable cgroup v2 mount: the
// benchmark makes a directory of its own in the first one it finds.
#include "app_cgroup.h"
#include "app_kill.h"
#include "kill_worker.h"
#include "launch_registry.h"
#include "process_table.h"
#include "process_tree.h"

#include <QtGlobal>
#ifdef LAVROSK_HARNESS
#include <QCoreApplication>
#include <QStringList>
bool bench_start_during_kill(const char *tree_bin, int runs, const QString &program);
bool bench_platform_kill(const char *tree_bin, const std::vector<int> &counts);
QStringList bench_daemons();
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
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
    // A /proc file whose process ends during the read fails it (ESRCH),
    // which the stream library throws: the process is simply gone.
    try {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure &) {
        return {};
    }
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

// A directory of the benchmark's own in the first writable cgroup v2 mount.
std::string make_bench_cgroup()
{
    std::ifstream mounts("/proc/self/mounts");
    std::string device, dir, type, rest;
    while (mounts >> device >> dir >> type && std::getline(mounts, rest)) {
        const std::string base = dir + "/lavrosk-bench-" + std::to_string(getpid());
        if (type == "cgroup2" && mkdir(base.c_str(), 0755) == 0) {
            if (cgroup_unusable_reason(base.c_str()).empty())
                return base;
            rmdir(base.c_str());
        }
    }
    return {};
}

// procs_fd: a cgroup.procs the root joins before it executes, or -1.
tree spawn_tree(const char *shape, int n, int serial, int procs_fd = -1)
{
    tree t;
    t.log = "/tmp/bench_kill." + std::to_string(getpid()) + "." + std::to_string(serial);
    unlink(t.log.c_str());
    t.root = fork();
    if (t.root == 0) {
        if (procs_fd >= 0 && write(procs_fd, "0", 1) != 1)
            _exit(127);
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

// floor: the cgroup's kill file alone, without the freeze and the walk that
// make it exact: what the kernel itself takes to end the tree.
enum class mode { freeze, plain, cgroup, floor };
constexpr int modes = 4;

outcome kill_once(const char *shape, int n, mode how, int serial)
{
    // The daemon's own code: a cgroup made as a runner makes it, and the
    // kill a kill_app of the application's root gets.
    const bool in_cgroup = how == mode::cgroup || how == mode::floor;
    const std::unique_ptr<app_cgroup> cgroup = in_cgroup ? app_cgroup::create() : nullptr;
    tree t = spawn_tree(shape, n, serial, cgroup ? cgroup->procs_fd() : -1);
    launch_registry::runner_id runner = 0;
    if (cgroup) {
        runner = launches().add(application_info{
            QStringLiteral("tree"), QString(), {}, cgroup->path(), cgroup->kill_fd()});
        launches().launched(runner, t.root);
    }
    if (std::string(shape) == "storm")
        usleep(300 * 1000); // let the storm get going
    outcome result;
    const auto start = clock_type::now();
    if (how == mode::cgroup) {
        // As the daemon kills a root in a cgroup: on its kill thread.
        kill_worker worker(kill_applications);
        worker.enqueue(*identify(t.root));
    } else if (how == mode::floor) {
        kill_app_cgroup(t.root);
    } else if (how == mode::freeze) {
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
    if (cgroup) {
        launches().ended(runner);
        launches().remove(runner);
    }
    return result;
}

// Idle processes that are no tree's: a host that runs other things. They
// are the children of one helper, not ours, so that reaping our own children
// costs no more than on a quiet host; they die with it, and it with us.
pid_t make_crowd(int n)
{
    int ready[2];
    if (pipe(ready) != 0) {
        std::perror("bench_kill: pipe");
        return -1;
    }
    const pid_t helper = fork();
    if (helper == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (int i = 0; i < n; ++i) {
            const pid_t pid = fork();
            if (pid == 0) {
                prctl(PR_SET_PDEATHSIG, SIGKILL);
                execl("/bin/sleep", "sleep", "100000", (char *)nullptr);
                _exit(127);
            }
            if (pid < 0) {
                std::perror("bench_kill: fork");
                break;
            }
        }
        if (write(ready[1], "x", 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    char byte;
    if (helper < 0 || read(ready[0], &byte, 1) != 1)
        std::fprintf(stderr, "bench_kill: no crowd\n");
    close(ready[0]);
    return helper;
}

void end_crowd(pid_t helper)
{
    if (helper <= 0)
        return;
    kill(helper, SIGKILL);
    waitpid(helper, nullptr, 0);
    // Its children come to us as it dies: reap them until none is left.
    while (waitpid(-1, nullptr, 0) > 0) {
    }
}

void print_load(const char *when)
{
    std::string load = read_file("/proc/loadavg");
    load.erase(load.find_last_not_of('\n') + 1);
    std::printf("load average %s: %s\n", when, load.c_str());
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

// One row per shape and size: the freezing kill, the plain kill and the
// cgroup kill of the same trees, taking turns.
void print_rows(const std::vector<const char *> &shapes, int runs, const std::string &cgroup_base,
                int *serial)
{
    for (const char *shape : shapes) {
        for (const int n : {10, 100, 500}) {
            std::vector<double> ms[modes], listing_share, passes;
            int left[modes] = {}, unfrozen = 0;
            for (int run = 0; run < runs; ++run) {
                // Taking turns at going first: a run can leave the machine busier.
                for (int k = 0; k < modes; ++k) {
                    const int m = (run + k) % modes;
                    if ((m == int(mode::cgroup) || m == int(mode::floor)) && cgroup_base.empty())
                        continue;
                    const outcome o = kill_once(shape, n, mode(m), ++*serial);
                    ms[m].push_back(o.total_ms);
                    left[m] += o.survivors;
                    if (m == int(mode::freeze)) {
                        listing_share.push_back(o.listing_ms / o.total_ms);
                        passes.push_back(o.passes);
                        unfrozen += o.frozen ? 0 : 1;
                    }
                }
            }
            const double fr = median(ms[0]), pl = median(ms[1]), cg = median(ms[2]),
                         fl = median(ms[3]);
            std::printf("%-9s %5d | %9.1f %6.0f%% %6.0f %8d %9d | %9.1f %9d | %9.1f %9d | %8.1f "
                        "| %6.2f %6.2f %6.2f\n",
                        shape, n, fr, 100 * median(listing_share), median(passes), unfrozen,
                        left[0], pl, left[1], cg, left[2], fl, fr / pl, cg / pl, fl / pl);
            std::fflush(stdout);
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    // No shape named: every shape, and the start table.
    std::vector<const char *> shapes;
    bool start_table = argc <= 2, platform_table = argc <= 2, crowded = false;
    for (int i = 2; i < argc; ++i) {
        if (std::string(argv[i]) == "start")
            start_table = true;
        else if (std::string(argv[i]) == "platform")
            platform_table = true;
        else if (std::string(argv[i]) == "crowd")
            crowded = true;
        else
            shapes.push_back(argv[i]);
    }
    if (argc <= 2)
        shapes = {"balanced", "chain", "storm", "daemon"};
    const bool start_only = shapes.empty();
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // The kill's own debug lines would drown the table.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    const std::string cgroup_base = start_only ? std::string() : make_bench_cgroup();
    configure_app_cgroups(QByteArray::fromStdString(cgroup_base));
    print_load("at the start");
    if (!start_only)
        std::printf("%-9s %5s | %9s %7s %6s %8s %9s | %9s %9s | %9s %9s | %8s | %6s %6s %6s\n",
                    "shape", "procs", "freeze ms", "listing", "passes", "unfrozen", "survivors",
                    "plain ms", "survivors", "cgroup ms", "survivors", "floor ms", "fr/pl", "cg/pl",
                    "fl/pl");
    int serial = 0;
    print_rows(shapes, runs, cgroup_base, &serial);
    if (crowded && !start_only) {
        const pid_t crowd = make_crowd(5000);
        std::printf("the same with 5000 other idle processes on the host:\n");
        print_rows(shapes, runs, cgroup_base, &serial);
        end_crowd(crowd);
    }
    if (!start_only)
        std::printf("runs per cell: %d; times are medians; passes: walks over the tree; unfrozen: "
                    "runs that reached the freeze bound; floor: the cgroup's kill file alone, "
                    "no freeze or walk%s\n",
                    runs,
                    cgroup_base.empty() ? "; no writable cgroup v2 mount: no cgroup runs" : "");
    if (!cgroup_base.empty())
        rmdir(cgroup_base.c_str());
#ifdef LAVROSK_HARNESS
    // The daemon's orphans go to pid 1 there, as in the daemon's real life:
    // unreaped, they would fill /proc and slow every later listing.
    prctl(PR_SET_CHILD_SUBREAPER, 0);
    QCoreApplication app(argc, argv);
    for (const QString &program : bench_daemons()) {
        if (start_table && !bench_start_during_kill(LAVROSK_TREE_BIN, runs, program))
            std::fprintf(stderr, "bench_kill: no private bus or daemon for the start table\n");
    }
    if (platform_table && !bench_platform_kill(LAVROSK_TREE_BIN, {100, 400}))
        std::fprintf(stderr, "bench_kill: no private bus or daemon for the platform table\n");
#endif
    print_load("at the end");
    return 0;
}
