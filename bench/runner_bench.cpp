// Times the runner end to end on a private bus and prints a table:
//   start:   the stand-in emits app_start -> the application's first instruction
//   restart: the application raises SIGSEGV -> the relaunched one's first instruction
//   fork+exec baseline: a plain fork + execv of the same probe from C++
// and the daemon's footprint: threads and anonymous resident memory, idle and
// per running application.
#include "harness.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct probe_event {
    QByteArray event;
    pid_t pid;
    double t;
};

QList<probe_event> read_events(const QString &path)
{
    QList<probe_event> events;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return events;
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> w = line.split(' ');
        if (w.size() >= 3)
            events.append({w.at(0), static_cast<pid_t>(w.at(1).toInt()), w.at(2).toDouble()});
    }
    return events;
}

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

struct stats {
    double median, p99;
};

stats summarize(std::vector<double> us)
{
    std::sort(us.begin(), us.end());
    if (us.empty())
        return {0, 0};
    return {us[us.size() / 2], us[std::min(us.size() - 1, us.size() * 99 / 100)]};
}

double last_signal_time(runtime_sim_process &sim)
{
    const QList<QJsonObject> records = sim.records();
    for (auto it = records.crbegin(); it != records.crend(); ++it)
        if (it->contains(QStringLiteral("signal")))
            return it->value(QStringLiteral("t")).toDouble();
    return 0;
}

// When the stand-in received call number index of method (from the end
// when negative, counting the calls of the last request).
double call_time(runtime_sim_process &sim, const QString &method, int index)
{
    const QList<QJsonObject> calls = sim.calls(method);
    if (index < 0) {
        // The first call of the newest request: after the last emitted signal.
        const double since = last_signal_time(sim);
        for (const QJsonObject &call : calls)
            if (call.value(QStringLiteral("t")).toDouble() > since)
                return call.value(QStringLiteral("t")).toDouble();
        return 0;
    }
    return calls.value(index).value(QStringLiteral("t")).toDouble();
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("events"));
    private_bus bus;
    runtime_sim_process sim;
    if (!bus.ok() || !sim.ok()) {
        std::fprintf(stderr, "runner_bench: no private bus or stand-in\n");
        return 1;
    }
    const QString platform = QStringLiteral("bench@c1@0");
    daemon_process daemon({platform, QStringLiteral("/bin/true")}, true,
                          {QStringLiteral("PROBE_LOG=") + log});
    wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; });

    std::vector<double> start_us, restart_us, baseline_us, fork_us, delivery_us, work_us;
    const QByteArray probe = probe_binary().toUtf8();
    qputenv("PROBE_LOG", log.toUtf8());
    for (int i = 0; i < runs; ++i) {
        // Baseline: what fork + execv alone cost here.
        QFile::remove(log);
        const double before = now();
        const pid_t pid = fork();
        if (pid == 0) {
            char *args[] = {const_cast<char *>("probe"), const_cast<char *>("exit"),
                            const_cast<char *>("0"), nullptr};
            execv(probe.constData(), args);
            _exit(127);
        }
        waitpid(pid, nullptr, 0);
        const double fork_before = now();
        const pid_t bare = fork();
        if (bare == 0)
            _exit(0);
        fork_us.push_back((now() - fork_before) * 1e6);
        waitpid(bare, nullptr, 0);
        const QList<probe_event> base = read_events(log);
        if (!base.isEmpty())
            baseline_us.push_back((base.first().t - before) * 1e6);

        // Start: emitted signal to first instruction.
        QFile::remove(log);
        sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        if (!wait_until([&] { return sim.platform_stops() == 3 * i + 1; }))
            return 1;
        const QList<probe_event> started = read_events(log);
        if (!started.isEmpty())
            start_us.push_back((started.first().t - last_signal_time(sim)) * 1e6);
        // Eight status reports per round before this one. The runner's first
        // log line leaves the daemon as the request is
        // taken; its "running" report right after its fork returns.
        const double first_log = call_time(sim, QStringLiteral("show_daemon_log"), -1);
        const double running_report = call_time(sim, QStringLiteral("set_app_status"), 8 * i);
        delivery_us.push_back((first_log - last_signal_time(sim)) * 1e6);
        work_us.push_back((running_report - first_log) * 1e6);

        // Restart: raise to the relaunched instance's first instruction.
        QFile::remove(log);
        const QString state = dir.filePath(QStringLiteral("state%1").arg(i));
        sim.start_app(platform, probe_binary(),
                      {QStringLiteral("signal"), QStringLiteral("11"), QStringLiteral("1"), state});
        if (!wait_until([&] { return sim.platform_stops() == 3 * i + 2; }))
            return 1;
        const QList<probe_event> crashed = read_events(log);
        if (crashed.size() == 3 && crashed.at(1).event == "raise")
            restart_us.push_back((crashed.at(2).t - crashed.at(1).t) * 1e6);

        // Keep the count of platform stops in step: one more plain start.
        sim.start_app(platform, QStringLiteral("/bin/true"), {});
        if (!wait_until([&] { return sim.platform_stops() == 3 * i + 3; }))
            return 1;
    }

    // Footprint: idle, then with 50 applications running, then idle again.
    const pid_t dpid = daemon.pid();
    const int idle_threads = thread_count(dpid);
    const long idle_kb = rss_anon_kb(dpid);
    const int running = 50;
    const QString gate = dir.filePath(QStringLiteral("gate"));
    for (int i = 0; i < running; ++i)
        sim.start_app(platform, probe_binary(), {QStringLiteral("wait"), gate});
    wait_until([&] { return thread_count(dpid) == idle_threads + running; }, 30000);
    QTest::qWait(200);
    const int busy_threads = thread_count(dpid);
    const long busy_kb = rss_anon_kb(dpid);
    QFile(gate).open(QIODevice::WriteOnly);
    wait_until([&] { return thread_count(dpid) == idle_threads; }, 30000);
    QTest::qWait(200);
    const long after_kb = rss_anon_kb(dpid);

    const stats s = summarize(start_us), r = summarize(restart_us), b = summarize(baseline_us);
    const stats f = summarize(fork_us), dl = summarize(delivery_us), w = summarize(work_us);
    std::printf("runner latency over %d runs (microseconds)\n", runs);
    std::printf("%-40s %10s %10s %12s\n", "", "median", "p99", "median/base");
    std::printf("%-40s %10.0f %10.0f %12s\n", "fork+execv baseline", b.median, b.p99, "1.00");
    std::printf("%-40s %10.0f %10.0f %12.2f\n", "app_start emitted -> first instruction", s.median,
                s.p99, s.median / b.median);
    std::printf("%-40s %10.0f %10.0f %12.2f\n", "SIGSEGV -> relaunched first instruction", r.median,
                r.p99, r.median / b.median);
    std::printf("\nwhere the start goes (microseconds)\n");
    std::printf("%-40s %10.0f %10.0f\n", "signal -> first log line at the stand-in", dl.median,
                dl.p99);
    std::printf("%-40s %10.0f %10.0f\n", "first log line -> running report", w.median, w.p99);
    std::printf("%-40s %10.0f %10.0f\n", "  of which a plain fork (parent side)", f.median, f.p99);
    std::printf("%-40s %10.0f\n", "  the daemon's own work, about", w.median - f.median);
    std::printf("\nfootprint\n");
    std::printf("%-40s %10d threads %8ld kB anon\n", "idle", idle_threads, idle_kb);
    std::printf("%-40s %10d threads %8ld kB anon  (%.1f kB per application)\n",
                "with 50 applications running", busy_threads, busy_kb,
                static_cast<double>(busy_kb - idle_kb) / running);
    std::printf("%-40s %10d threads %8ld kB anon\n", "after they ended", thread_count(dpid),
                after_kb);
    return 0;
}
