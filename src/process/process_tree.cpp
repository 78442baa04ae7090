#include "process_tree.h"

#include "console_out.h"
#include "decimal.h"
#include "own_priority.h"
#include "process_table.h"
#include "tree_freezer.h"

#include <QDebug>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <unordered_set>

namespace {

// kthreadd, the parent of every kernel thread.
constexpr pid_t kernel_thread_daemon = 2;

// target as a verified process, if it is worth a kill: still the process
// the request named (its pid may have been reused since), not one of the
// kernel's threads, which ignore signals, and a process rather than one
// thread of one: a thread's id names no tree, and stopping one of the
// daemon's own would stop the daemon. Says why not in one debug line.
std::optional<proc_stat> killable(const process_id &target)
{
    const pid_t root = target.pid;
    if (root == kernel_thread_daemon) {
        qDebug() << "kill_app refused:" << root << "is the kernel's thread daemon";
        return std::nullopt;
    }
    errno = 0;
    const std::optional<proc_stat> process = read_proc_stat(root);
    if (!process) {
        // At the descriptor limit the process may well be there.
        if (errno != 0 && errno != ENOENT && errno != ESRCH)
            qDebug() << "kill_app: cannot read the process" << root << ":" << std::strerror(errno);
        else
            qDebug() << "kill_app: no process" << root;
        return std::nullopt;
    }
    if (process->start_time != target.start_time) {
        qDebug() << "kill_app:" << root << "is no longer the process the request named; skipped";
        return std::nullopt;
    }
    if (is_kernel_thread(*process)) {
        qDebug() << "kill_app refused:" << root << "is a kernel thread";
        return std::nullopt;
    }
    const std::optional<pid_t> group = thread_group_of(root);
    if (group && *group == getpid() && root != getpid()) {
        qDebug() << "kill_app refused:" << root << "is a thread of this daemon";
        return std::nullopt;
    }
    if (group && *group != root) {
        qDebug() << "kill_app refused:" << root << "is a thread of" << *group << ", not a process";
        return std::nullopt;
    }
    return process;
}

// Whether this process descends from root: stopping ourselves would leave
// nobody to send the SIGKILL. Reads our ancestors only.
bool holds_caller(pid_t root)
{
    pid_t pid = getpid();
    for (int depth = 0; pid > 0 && depth < 4096; ++depth) {
        if (pid == root)
            return true;
        const std::optional<proc_stat> process = read_proc_stat(pid);
        if (!process)
            return false;
        pid = process->ppid;
    }
    return false;
}

double ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

// A candidate of the listing as a pid, if it is one.
std::optional<pid_t> pid_of(const QString &text)
{
    const std::optional<unsigned long long> value =
        parse_decimal(text.utf16(), text.utf16() + text.size(), 0x7fffffff);
    if (!value)
        return std::nullopt;
    return static_cast<pid_t>(*value);
}

// A listing that runs while the trees are frozen.
struct running_listing {
    pid_t child;
    int fd;
};

std::optional<running_listing> start_listing(pid_t root)
{
    // pstree run directly, not through a shell. Both ends of the pipe are
    // close-on-exec: neither may leak into an application a runner launches
    // meanwhile. The child gets the write end as its standard output, and
    // nothing else of the daemon's beyond the standard streams.
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        qDebug() << "pipe2:" << std::strerror(errno);
        console::out("popen fail\n");
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
    QList<QByteArray> words = listing_command(root).split(' ');
    std::vector<char *> args;
    for (QByteArray &word : words)
        args.push_back(word.data());
    args.push_back(nullptr);
    // As any program run from a shell: the daemon ignores SIGPIPE, and a pid
    // 1 daemon blocks SIGCHLD for its reaper; pstree must inherit neither.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, piped;
    sigemptyset(&none);
    sigemptyset(&piped);
    sigaddset(&piped, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &piped);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t child = -1;
    const given_priority as_given; // the listing is no work of the daemon's own
    const int err = posix_spawnp(&child, args.front(), &actions, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        qDebug() << "pstree:" << std::strerror(err);
        console::out("popen fail\n");
        return std::nullopt;
    }
    return running_listing{child, fds[0]};
}

QStringList read_listing(const running_listing &listing)
{
    QStringList pid_list;
    if (FILE *stream = fdopen(listing.fd, "r")) {
        char *line = nullptr;
        size_t capacity = 0;
        ssize_t length;
        // Whole lines of any length: a pid cut in two by a fixed buffer is lost.
        while ((length = getline(&line, &capacity, stream)) >= 0)
            pid_list += pids_in_listing_line(QString::fromUtf8(line, static_cast<int>(length)));
        std::free(line);
        std::fclose(stream);
    } else {
        qDebug() << "fdopen:" << std::strerror(errno);
        close(listing.fd); // pstree ends on the broken pipe
    }
    int status = 0;
    while (waitpid(listing.child, &status, 0) < 0 && errno == EINTR) {
    }
    return pid_list;
}

// The signal order: tree by tree, the root, then the candidates that are
// processes of its tree, in listing order, then the processes the walk found
// that the listing did not; each once. A name that holds "(123)" adds
// nothing when 123 is not in the tree, and a name that hides the root's own
// pid from the parser does not spare the root.
std::vector<pid_t> signal_order(const QStringList &pid_list, bool host_listing,
                                const std::vector<proc_stat> &roots, const tree_freezer &freezer)
{
    std::vector<pid_t> order;
    std::unordered_set<pid_t> taken;
    for (size_t tree = 0; tree < roots.size(); ++tree) {
        const int t = static_cast<int>(tree);
        const pid_t root = roots[tree].pid;
        if (freezer.is_member(root, t) && taken.insert(root).second)
            order.push_back(root);
        QStringList listed, dropped;
        for (const QString &pid_item : pid_list) {
            const std::optional<pid_t> pid = pid_of(pid_item);
            if (!pid || !freezer.is_member(*pid, t)) {
                dropped.append(pid_item); // a name, a thread, another tree, or gone
                continue;
            }
            listed.append(pid_item);
            if (taken.insert(*pid).second)
                order.push_back(*pid);
        }
        if (host_listing)
            qDebug() << "tree of" << root << "listed:" << listed;
        else if (!dropped.isEmpty())
            qDebug() << "not processes of the tree of" << root << ", left alone:" << dropped;
        for (const pid_t pid : freezer.found()) {
            if (freezer.is_member(pid, t) && taken.insert(pid).second)
                order.push_back(pid);
        }
    }
    return order;
}

// SIGKILL in order, with a probe first: a stopped process cannot end by
// itself, but another killer may have been quicker.
int kill_in_order(const std::vector<pid_t> &order, const std::function<bool(pid_t)> &spared)
{
    int signalled = 0;
    for (const pid_t pid : order) {
        if (spared && spared(pid))
            continue;
        const QString pid_item = QString::number(pid);
        if (kill(pid, 0) != 0)
            continue;
        qDebug() << pid_item << "exist";
        if (kill(pid, SIGKILL) == -1)
            qDebug() << "send signal fail";
        qDebug() << pid_item << "is killed";
        ++signalled;
    }
    return signalled;
}

} // namespace

std::optional<QStringList> list_tree(pid_t root)
{
    const std::optional<running_listing> listing = start_listing(root);
    if (!listing)
        return std::nullopt;
    return read_listing(*listing);
}

QByteArray listing_command(pid_t root)
{
    return "pstree -l -p " + QByteArray::number(root);
}

QStringList pids_in_listing_line(const QString &line)
{
    QStringList pids;
    int from = 0;
    for (;;) {
        const int i_start = line.indexOf(QLatin1Char('('), from);
        const int i_end = line.indexOf(QLatin1Char(')'), from);
        if (i_start < 0 || i_end < 0)
            break;
        // A ")" ahead of the "(" makes a candidate that runs to the end of
        // the line; it is refused, and the search goes on behind that ")".
        const QString candidate = line.mid(i_start + 1, i_end > i_start ? i_end - i_start - 1 : -1);
        if (pid_of(candidate))
            pids.append(candidate);
        from = i_end + 1;
    }
    return pids;
}

kill_report kill_process_trees(const std::vector<pid_t> &requested,
                               const tree_kill_options &options)
{
    std::vector<process_id> targets;
    for (const pid_t root : requested) {
        if (const std::optional<process_id> target = identify(root))
            targets.push_back(*target);
        else
            qDebug() << "kill_app: no process" << root;
    }
    return kill_identified_trees(targets, options);
}

kill_report kill_identified_trees(const std::vector<process_id> &requested,
                                  const tree_kill_options &options)
{
    kill_report report;
    std::vector<proc_stat> roots;
    for (const process_id &root : requested) {
        if (const std::optional<proc_stat> process = killable(root))
            roots.push_back(*process);
    }
    if (roots.empty())
        return report;
    const bool host_listing = roots.size() > 1;
    const pid_t listed_root = host_listing ? 0 : roots.front().pid;
    roots.erase(std::remove_if(roots.begin(), roots.end(),
                               [](const proc_stat &root) {
                                   if (!holds_caller(root.pid))
                                       return false;
                                   qDebug() << "kill_app refused: the tree of" << root.pid
                                            << "holds this daemon";
                                   return true;
                               }),
                roots.end());

    // The trees stop forking first; then the listing runs while they
    // freeze: it reads every process of the host, the freeze only the
    // trees. One listing serves every tree of the batch; pid 0 lists them all.
    kill_priority priority;
    std::optional<tree_freezer> freezer;
    if (!roots.empty()) {
        freezer.emplace(roots);
        freezer->stop_trees();
        if (options.after_stop)
            options.after_stop();
    }
    const auto started = std::chrono::steady_clock::now();
    std::optional<running_listing> listing;
    if (options.list) {
        priority.restore(); // not for the listing: it would take the CPU from everyone
        listing = start_listing(listed_root);
        if (!roots.empty())
            priority.raise();
        if (!listing)
            qDebug() << "listing not run; killing the trees as /proc shows them, from"
                     << requested.front().pid;
    }
    if (freezer)
        report.frozen = freezer->freeze(&report.passes);
    // Frozen, the trees take no CPU: the rest may wait its turn like anyone.
    priority.restore();

    QStringList pid_list;
    if (listing) {
        pid_list = read_listing(*listing);
        report.listing_ms = ms_since(started);
        report.listed = pid_list.size();
        if (!host_listing)
            qDebug() << pid_list;
    }
    if (!freezer)
        return report;
    report.signalled =
        kill_in_order(signal_order(pid_list, host_listing, roots, *freezer), options.spared);
    return report;
}

kill_report kill_process_tree(pid_t root)
{
    return kill_process_trees({root});
}
