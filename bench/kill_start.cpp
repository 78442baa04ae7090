// How long a start request waits when it arrives during the kill of a tree
// that keeps forking: the real daemon on a private bus, a 200-process storm
// killed with kill_app and, right behind it, an app_start of the probe.
#include "harness.h"

#include <QFile>
#include <QJsonDocument>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace {

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// The probe's first instruction, from its "launch" line.
double launch_time(const QString &log)
{
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> words = file.readLine().split(' ');
    return words.value(0) == "launch" ? words.value(2).toDouble() : 0;
}

// When the stand-in emitted the signal of this name last.
double emitted(runtime_sim_process &sim, const QString &name)
{
    double t = 0;
    for (const QJsonObject &record : sim.records())
        if (record.value(QStringLiteral("signal")).toString() == name)
            t = record.value(QStringLiteral("t")).toDouble();
    return t;
}

// When the runner of the start request announced itself (on the main
// thread, as the request was taken): the daemon's part of the wait.
double taken(runtime_sim_process &sim, double since)
{
    for (const QJsonObject &call : sim.calls(QStringLiteral("show_daemon_log"))) {
        const double t = call.value(QStringLiteral("t")).toDouble();
        const QJsonDocument args(call.value(QStringLiteral("args")).toArray());
        if (t > since && args.toJson().contains("app_shell="))
            return t;
    }
    return 0;
}

} // namespace

// Prints one table row per run and the medians; returns false when the
// private bus or the daemon could not be set up.
bool bench_start_during_kill(const char *tree_bin, int runs, const QString &program)
{
    QTemporaryDir dir;
    private_bus bus;
    runtime_sim_process sim;
    if (!bus.ok() || !sim.ok())
        return false;
    const QString platform = QStringLiteral("bench@c1@0");
    const QString probe_log = dir.filePath(QStringLiteral("probe"));
    daemon_process daemon({platform, QStringLiteral("/bin/true")}, true,
                          {QStringLiteral("PROBE_LOG=") + probe_log}, program);
    if (!wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }))
        return false;
    // As a container's first process: the daemon and so every application in
    // a cgroup of their own, the bus and the stand-in outside it.
    const QString container = qEnvironmentVariable("BENCH_CONTAINER");
    if (!container.isEmpty()) {
        QFile procs(container + QStringLiteral("/cgroup.procs"));
        if (!procs.open(QIODevice::WriteOnly) ||
            procs.write(QByteArray::number(daemon.pid())) < 0 || !procs.flush()) {
            std::fprintf(stderr, "bench_kill: cannot move the daemon into %s: %s\n",
                         qPrintable(container), qPrintable(procs.errorString()));
            return false;
        }
    }

    const int idle_threads = thread_count(daemon.pid());
    const long idle_kb = rss_anon_kb(daemon.pid());
    std::printf("\nstart request during the kill of a 200-process storm (ms), daemon: %s%s%s\n",
                program.isEmpty() ? "this build" : qPrintable(program),
                container.isEmpty() ? "" : ", in cgroup ", qPrintable(container));
    std::printf("%4s | %10s | %12s | %8s | %s\n", "run", "kill", "start waits", "target", "met");
    std::vector<double> kills, starts;
    int met = 0;
    for (int run = 1; run <= runs; ++run) {
        const QString log = dir.filePath(QStringLiteral("tree-%1").arg(run));
        sim.start_app(platform, QString::fromUtf8(tree_bin),
                      {QStringLiteral("storm"), QStringLiteral("200"), log});
        if (!wait_until([&] { return pids_in_file(log).size() == 200; }, 60000))
            return false;
        const QList<pid_t> members = pids_in_file(log);
        const QString root = QString::number(reported_root(sim, members));
        if (root == QLatin1String("0"))
            return false;
        usleep(300 * 1000); // let the storm get going
        QFile::remove(probe_log);
        sim.send(QStringLiteral("[\"kill_app\", \"%1\", \"%2\"]\n[\"app_start\", \"%1\", \"%3\", "
                                "\"exit\", \"0\"]")
                     .arg(platform, root, probe_binary()));
        double gone = 0;
        wait_until(
            [&] {
                if (std::any_of(members.begin(), members.end(), process_alive))
                    return false;
                gone = now();
                return true;
            },
            30000);
        if (gone == 0) {
            // Not killed: the storm would weigh on every later run.
            for (const pid_t pid : members)
                kill(pid, SIGKILL);
            std::printf("%4d | storm not killed in 30 s\n", run);
        }
        if (!wait_until([&] { return launch_time(probe_log) > 0; }))
            return false;
        const double kill_ms = (gone - emitted(sim, QStringLiteral("kill_app"))) * 1e3;
        const double start_ms =
            (launch_time(probe_log) - emitted(sim, QStringLiteral("app_start"))) * 1e3;
        const double target = std::max(15.0, 0.3 * kill_ms);
        const double start_sent = emitted(sim, QStringLiteral("app_start"));
        std::printf("%4d | %10.1f | %12.1f | %8.1f | %3s | %.1f\n", run, kill_ms, start_ms, target,
                    start_ms <= target ? "yes" : "NO", (taken(sim, start_sent) - start_sent) * 1e3);
        met += start_ms <= target ? 1 : 0;
        kills.push_back(kill_ms);
        starts.push_back(start_ms);
        // Storm children that outlived the kill, if any, and the probe's end.
        wait_until([&] { return sim.platform_stops() == run; }, 30000);
    }
    // The kill thread is gone once its queue is empty, and so is what it took.
    wait_until([&] { return thread_count(daemon.pid()) == idle_threads; });
    usleep(200 * 1000);
    std::printf("daemon idle before the kills: %d threads, %ld kB anon; after: %d threads, %ld kB "
                "anon\n",
                idle_threads, idle_kb, thread_count(daemon.pid()), rss_anon_kb(daemon.pid()));
    std::sort(kills.begin(), kills.end());
    std::sort(starts.begin(), starts.end());
    std::printf("median: kill %.1f ms, start waits %.1f ms (max %.1f ms); target met in %d of %d\n",
                kills[kills.size() / 2], starts[starts.size() / 2], starts.back(), met, runs);
    return true;
}

namespace {

// Seconds from the first of count back-to-back kill_app requests to the
// last root gone, with the daemon program (empty: this build); -1 when the
// applications did not come up.
double kill_whole_platform(const char *tree_bin, int count, const QString &program)
{
    QTemporaryDir dir;
    private_bus bus;
    runtime_sim_process sim;
    if (!bus.ok() || !sim.ok())
        return -1;
    const QString platform = QStringLiteral("bench@c1@0");
    daemon_process daemon({platform, QStringLiteral("/bin/true")}, true, {}, program);
    if (!wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }))
        return -1;
    // Every application a one-process tree; all of them log to one file.
    const QString log = dir.filePath(QStringLiteral("apps"));
    for (int i = 0; i < count; ++i)
        sim.start_app(platform, QString::fromUtf8(tree_bin),
                      {QStringLiteral("balanced"), QStringLiteral("1"), log});
    if (!wait_until([&] { return pids_in_file(log).size() == count; }, 120000))
        return -1;
    const QList<pid_t> roots = pids_in_file(log);
    QString requests;
    for (const pid_t root : roots)
        requests += QStringLiteral("[\"kill_app\", \"%1\", \"%2\"]\n").arg(platform).arg(root);
    requests.chop(1);
    const double sent = now();
    sim.send(requests);
    double gone = 0;
    if (!wait_until(
            [&] {
                if (std::any_of(roots.begin(), roots.end(), process_alive))
                    return false;
                gone = now();
                return true;
            },
            600000))
        return -1;
    wait_until([&] { return sim.platform_stops() == 1; }, 60000);
    return gone - sent;
}

} // namespace

// The daemons to measure: this build (empty), then each of BENCH_DAEMON's
// (separated by ':'), in the same run.
QStringList bench_daemons()
{
    QStringList programs{QString()};
    for (const QString &program : qEnvironmentVariable("BENCH_DAEMON").split(QLatin1Char(':')))
        if (!program.isEmpty())
            programs.append(program);
    return programs;
}

// Killing every application of a platform, one kill_app each, sent back to
// back, by each daemon.
bool bench_platform_kill(const char *tree_bin, const std::vector<int> &counts)
{
    const QStringList programs = bench_daemons();
    std::printf("\nkilling every application of a platform, back to back (s)\n");
    std::printf("%-40s", "daemon");
    for (const int count : counts)
        std::printf(" | %8d", count);
    std::printf(" | %s\n", "last/first");
    for (const QString &program : programs) {
        std::printf("%-40s", program.isEmpty() ? "this build" : qPrintable(program.right(40)));
        std::vector<double> seconds;
        for (const int count : counts) {
            seconds.push_back(kill_whole_platform(tree_bin, count, program));
            if (seconds.back() < 0)
                return false;
            std::printf(" | %8.2f", seconds.back());
            std::fflush(stdout);
        }
        std::printf(" | %.1fx\n", seconds.back() / seconds.front());
    }
    return true;
}
