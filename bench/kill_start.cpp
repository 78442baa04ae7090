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

namespace {

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

QList<pid_t> pids_in_file(const QString &path)
{
    QList<pid_t> pids;
    QFile file(path);
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray &line : file.readAll().split('\n'))
            if (!line.isEmpty())
                pids.append(line.toInt());
    return pids;
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
bool bench_start_during_kill(const char *tree_bin, int runs)
{
    QTemporaryDir dir;
    private_bus bus;
    runtime_sim_process sim;
    if (!bus.ok() || !sim.ok())
        return false;
    const QString platform = QStringLiteral("bench@c1@0");
    const QString probe_log = dir.filePath(QStringLiteral("probe"));
    // BENCH_DAEMON: another build of the daemon to compare with.
    daemon_process daemon({platform, QStringLiteral("/bin/true")}, true,
                          {QStringLiteral("PROBE_LOG=") + probe_log},
                          qEnvironmentVariable("BENCH_DAEMON"));
    if (!wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }))
        return false;

    const int idle_threads = thread_count(daemon.pid());
    const long idle_kb = rss_anon_kb(daemon.pid());
    std::printf("\nstart request during the kill of a 200-process storm (ms)\n");
    std::printf("%4s | %10s | %12s | %8s | %s\n", "run", "kill", "start waits", "target", "met");
    std::vector<double> kills, starts;
    for (int run = 1; run <= runs; ++run) {
        const QString log = dir.filePath(QStringLiteral("tree-%1").arg(run));
        sim.start_app(platform, QString::fromUtf8(tree_bin),
                      {QStringLiteral("storm"), QStringLiteral("200"), log});
        if (!wait_until([&] { return pids_in_file(log).size() == 200; }, 60000))
            return false;
        const QList<pid_t> members = pids_in_file(log);
        const QJsonArray running = sim.payloads(QStringLiteral("set_app_status")).last();
        const QString root = status_list(running).value(2);
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
        if (!wait_until([&] { return launch_time(probe_log) > 0; }))
            return false;
        const double kill_ms = (gone - emitted(sim, QStringLiteral("kill_app"))) * 1e3;
        const double start_ms =
            (launch_time(probe_log) - emitted(sim, QStringLiteral("app_start"))) * 1e3;
        const double target = std::max(15.0, 0.3 * kill_ms);
        const double start_sent = emitted(sim, QStringLiteral("app_start"));
        std::printf("%4d | %10.1f | %12.1f | %8.1f | %3s | %.1f\n", run, kill_ms, start_ms, target,
                    start_ms <= target ? "yes" : "NO", (taken(sim, start_sent) - start_sent) * 1e3);
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
    std::printf("median: kill %.1f ms, start waits %.1f ms (max %.1f ms)\n",
                kills[kills.size() / 2], starts[starts.size() / 2], starts.back());
    return true;
}
