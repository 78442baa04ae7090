#include "process_tree.h"

#include "console_out.h"
#include "process_table.h"

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

// Passes over the process table while freezing. A quiet tree settles in two;
// one of 500 that forks hard took about seven in the benchmark. A process that cannot stop
// (a vfork parent whose child we stopped, waiting in the kernel) never shows
// the stopped state, so the bound is what ends the wait for it.
constexpr int max_freeze_passes = 200;
// SIGSTOP takes effect only once its target is scheduled. Before another
// whole pass, the processes stopped so far are watched alone (a few stat
// files, not all of /proc) until they show it, for at most this many rounds.
constexpr int settle_rounds = 50;
constexpr useconds_t settle_wait_us = 200;

// kthreadd, the parent of every kernel thread.
constexpr pid_t kernel_thread_daemon = 2;

using members_map = std::unordered_map<pid_t, proc_stat>;

// Whether root is worth a listing: it names a process (one stat file read,
// where a listing and a scan of /proc cost milliseconds), and not one of the
// kernel's threads, which ignore signals. Says why not in one debug line.
bool may_kill(pid_t root)
{
    if (root == kernel_thread_daemon) {
        qDebug() << "kill_app refused:" << root << "is the kernel's thread daemon";
        return false;
    }
    const std::optional<proc_stat> process = read_proc_stat(root);
    if (!process) {
        qDebug() << "kill_app: no process" << root;
        return false;
    }
    if (is_kernel_thread(*process)) {
        qDebug() << "kill_app refused:" << root << "is a kernel thread";
        return false;
    }
    return true;
}

double ms_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

bool is_ascii_digits(const QString &text)
{
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return false;
    }
    return !text.isEmpty();
}

// The signal order: the root, then the candidates that are processes of its
// tree now, in listing order, each once. A name that holds "(123)" adds
// nothing when 123 is not in the tree, and a name that hides the root's own
// pid from the parser does not spare the root.
std::vector<pid_t> signal_order(const QStringList &pid_list, pid_t root, const members_map &members)
{
    std::vector<pid_t> order{root};
    std::unordered_set<pid_t> taken{root};
    QStringList dropped;
    for (const QString &pid_item : pid_list) {
        bool ok = false;
        const pid_t pid = pid_item.toInt(&ok, 10);
        if (!ok || !members.count(pid)) {
            dropped.append(pid_item); // a name, a thread, or a process gone or moved
            continue;
        }
        if (taken.insert(pid).second)
            order.push_back(pid);
    }
    if (!dropped.isEmpty())
        qDebug() << "not processes of the tree of" << root << ", left alone:" << dropped;
    return order;
}

class tree_freezer
{
public:
    explicit tree_freezer(std::vector<pid_t> order) : order(std::move(order)) {}

    // Stops the verified processes in signal order, then passes over the
    // table until one pass sees every process of the tree stopped and the
    // next finds the same. kill() returns before its target has stopped, and
    // a process inside fork() can still finish that fork: only the stopped
    // state read back from the table proves it can fork no more.
    void freeze(const members_map &members, kill_report *report)
    {
        for (const pid_t pid : order)
            stop(members.at(pid));
        current = members;
        bool frozen_before = false;
        for (int pass = 1; pass <= max_freeze_passes; ++pass) {
            if (!frozen_before)
                wait_for_stopped_state();
            report->passes = pass;
            const bool frozen = pass_over_table();
            if (frozen && frozen_before) {
                report->frozen = true;
                return;
            }
            frozen_before = frozen;
        }
        qDebug() << "tree of" << order.front() << "not seen frozen after" << max_freeze_passes
                 << "passes; killing the" << current.size() << "processes found";
    }

    // SIGKILL in signal order to every process of the tree as last seen, with
    // a probe first: a stopped process cannot end by itself, but another
    // killer may have been quicker.
    int kill_all()
    {
        int signalled = 0;
        for (const pid_t pid : order) {
            if (!current.count(pid))
                continue; // ended before it could be stopped
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

private:
    void stop(const proc_stat &process)
    {
        kill(process.pid, SIGSTOP);
        stopped[process.pid] = process.start_time;
    }

    void wait_for_stopped_state() const
    {
        for (int round = 0; round < settle_rounds; ++round) {
            const bool all = std::all_of(stopped.begin(), stopped.end(), [](const auto &process) {
                const std::optional<proc_stat> now = read_proc_stat(process.first);
                return !now || now->start_time != process.second || is_frozen_state(now->state);
            });
            if (all)
                return;
            usleep(settle_wait_us);
        }
    }

    // One pass: stops every newcomer, and again every process that is not
    // stopped (someone may have continued it). True when nothing was new and
    // every process of the tree was seen stopped.
    bool pass_over_table()
    {
        const std::vector<proc_stat> table = read_process_table();
        // From everything stopped so far, not only the root: a stopped
        // process whose parent was killed by someone else is still ours.
        current = tree_members(table, stopped);
        bool frozen = true;
        for (const proc_stat &process : table) {
            if (!current.count(process.pid))
                continue;
            const auto known = stopped.find(process.pid);
            if (known == stopped.end() || known->second != process.start_time) {
                if (known == stopped.end())
                    order.push_back(process.pid);
                stop(process);
                frozen = false;
            } else if (!is_frozen_state(process.state)) {
                kill(process.pid, SIGSTOP);
                frozen = false;
            }
        }
        return frozen;
    }

    std::vector<pid_t> order;
    process_ids stopped; // every process sent SIGSTOP, by pid and start time
    members_map current; // the tree as the last pass saw it
};

} // namespace

std::optional<QStringList> list_tree(pid_t root)
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
    pid_t child = -1;
    const int err = posix_spawnp(&child, args.front(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (err != 0) {
        close(fds[0]);
        qDebug() << "pstree:" << std::strerror(err);
        console::out("popen fail\n");
        return std::nullopt;
    }

    QStringList pid_list;
    if (FILE *stream = fdopen(fds[0], "r")) {
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
        close(fds[0]); // pstree ends on the broken pipe
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return pid_list;
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
        if (is_ascii_digits(candidate))
            pids.append(candidate);
        from = i_end + 1;
    }
    return pids;
}

kill_report kill_process_tree(pid_t root)
{
    kill_report report;
    if (!may_kill(root))
        return report;
    const auto started = std::chrono::steady_clock::now();
    const std::optional<QStringList> pid_list = list_tree(root);
    report.listing_ms = ms_since(started);
    if (!pid_list)
        return report;
    report.listed = pid_list->size();
    qDebug() << *pid_list;

    // Nothing is signalled before the tree is checked against the process
    // table: the listing's text is partly the applications' own.
    const std::vector<proc_stat> table = read_process_table();
    process_ids root_id;
    for (const proc_stat &process : table) {
        if (process.pid == root)
            root_id.emplace(root, process.start_time);
    }
    const members_map members = tree_members(table, root_id);
    if (members.empty())
        return report; // no such process (any more)
    if (members.count(getpid())) {
        // Stopping ourselves would leave nobody to send the SIGKILL.
        qDebug() << "kill_app refused: the tree of" << root << "holds this daemon";
        return report;
    }

    tree_freezer freezer(signal_order(*pid_list, root, members));
    freezer.freeze(members, &report);
    report.signalled = freezer.kill_all();
    return report;
}
