// Times the runner end to end on a private bus and prints a table:
//   start:   the stand-in emits app_start -> the application's first instruction
//   restart: the application raises SIGSEGV -> the relaunched one's first instruction
// against three yardsticks: a plain fork + execv of the same probe, a vfork +
// execv from a thread of its own, and a minimal Qt daemon that receives the
// same app_start and vforks the probe with no report (bench_qt_vfork). Then
// when a start's reports arrive, by the stand-in's clock, and the daemon's footprint:
// threads and anonymous resident memory, idle, with 200 applications running,
// and once they have ended; and its anonymous memory with 50 applications
// running, before and after 1,000 restarts of the stand-in.
//   bench_runner [RUNS]   (BENCH_DAEMON=path runs another build of the daemon)
#include "harness.h"

#include <QCoreApplication>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <sys/wait.h>
#include <thread>
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

// When the stand-in received the first call of method after since (whose
// first argument starts with prefix, when given); 0 if none.
double call_after(const QList<QJsonObject> &records, double since, const QString &method,
                  const QString &prefix = QString())
{
    for (const QJsonObject &r : records) {
        const double t = r.value(QStringLiteral("t")).toDouble();
        if (t <= since || r.value(QStringLiteral("method")).toString() != method)
            continue;
        const QJsonValue first = r.value(QStringLiteral("args")).toArray().at(0).toArray().at(0);
        if (prefix.isEmpty() || first.toString().startsWith(prefix))
            return t;
    }
    return 0;
}

// A launch of the probe timed to its first instruction, in microseconds: the
// probe's launch record against the time taken right before the launch.
template <typename Launch> double timed_launch(const QString &log, Launch launch)
{
    QFile::remove(log);
    const double before = now();
    launch();
    const QList<probe_event> events = read_events(log);
    return events.isEmpty() ? -1 : (events.first().t - before) * 1e6;
}

void keep(std::vector<double> &samples, double us)
{
    if (us >= 0)
        samples.push_back(us);
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
    // The yardstick daemon, on the same bus: it wakes for every app_start as
    // ours does. The bus hands a broadcast to its subscribers in turn, in an
    // order set by when they subscribed: the yardstick subscribes before our
    // daemon for the first half of the runs and after it for the second, so
    // that neither is always served first.
    const QString qt_platform = QStringLiteral("yardstick@c1@0");
    child_process yardstick;
    QProcessEnvironment yardstick_env = QProcessEnvironment::systemEnvironment();
    yardstick_env.insert(QStringLiteral("PROBE_LOG"), log);
    yardstick.setProcessEnvironment(yardstick_env);
    const auto start_yardstick = [&] {
        yardstick.start(QStringLiteral(BENCH_QT_VFORK_BIN), {qt_platform});
        if (yardstick.waitForReadyRead(10000) && yardstick.readAll().startsWith("ready"))
            return true;
        std::fprintf(stderr, "runner_bench: the yardstick daemon did not start\n");
        return false;
    };
    if (!start_yardstick())
        return 1;

    const QString platform = QStringLiteral("bench@c1@0");
    const QStringList probe_env{QStringLiteral("PROBE_LOG=") + log};
    daemon_process daemon({platform, QStringLiteral("/bin/true")}, true, probe_env,
                          QString::fromLocal8Bit(qgetenv("BENCH_DAEMON")));
    wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; });
    const pid_t dpid = daemon.pid();
    const int fresh_threads = thread_count(dpid);

    std::vector<double> start_us, restart_us, fork_us, vfork_us, qt_us;
    std::vector<double> announce_us, thread_us, launch_us;
    const QByteArray probe = probe_binary().toUtf8();
    char *probe_args[] = {const_cast<char *>("probe"), const_cast<char *>("exit"),
                          const_cast<char *>("0"), nullptr};
    qputenv("PROBE_LOG", log.toUtf8());
    for (int i = 0; i < runs; ++i) {
        if (i == runs / 2 && i > 0) {
            yardstick.stop();
            if (!start_yardstick())
                return 1;
        }
        keep(fork_us, timed_launch(log, [&] {
                 const pid_t pid = fork();
                 if (pid == 0) {
                     execv(probe.constData(), probe_args);
                     _exit(127);
                 }
                 waitpid(pid, nullptr, 0);
             }));
        // From a thread that exists already, as a runner relaunches.
        double vfork_sample = -1;
        std::thread([&] {
            vfork_sample = timed_launch(log, [&] {
                const pid_t pid = vfork();
                if (pid == 0) {
                    execv(probe.constData(), probe_args);
                    _exit(127);
                }
                waitpid(pid, nullptr, 0);
            });
        }).join();
        keep(vfork_us, vfork_sample);

        // The yardstick: emitted signal to first instruction.
        QFile::remove(log);
        sim.start_app(qt_platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        if (!wait_until([&] { return !read_events(log).isEmpty(); }))
            return 1;
        keep(qt_us, (read_events(log).first().t - sim.last_signal_time()) * 1e6);

        // Start: emitted signal to first instruction, and when the stand-in
        // had the start's reports: the request's log line, the platform's
        // "running", the application's "running".
        QFile::remove(log);
        sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        // Watched as the yardstick is: the count of stops goes through every
        // record so far, and must not run while the launch is timed.
        if (!wait_until([&] { return !read_events(log).isEmpty(); }) ||
            !wait_until([&] { return sim.platform_stops() == 3 * i + 1; }))
            return 1;
        const double signal_t = sim.last_signal_time();
        const QList<probe_event> started = read_events(log);
        if (!started.isEmpty())
            start_us.push_back((started.first().t - signal_t) * 1e6);
        const QList<QJsonObject> records = sim.records();
        const double announced = call_after(records, signal_t, QStringLiteral("show_daemon_log"),
                                            QStringLiteral("~~~~~~~~~app_shell="));
        const double running =
            call_after(records, signal_t, QStringLiteral("set_platform_app_status"));
        const double launched = call_after(records, signal_t, QStringLiteral("set_app_status"));
        announce_us.push_back((announced - signal_t) * 1e6);
        thread_us.push_back((running - announced) * 1e6);
        launch_us.push_back((launched - running) * 1e6);

        // Restart: raise to the relaunched instance's first instruction.
        QFile::remove(log);
        const QString state = dir.filePath(QStringLiteral("state%1").arg(i));
        sim.start_app(platform, probe_binary(),
                      {QStringLiteral("signal"), QStringLiteral("11"), QStringLiteral("1"), state});
        if (!wait_until([&] { return read_events(log).size() >= 3; }) ||
            !wait_until([&] { return sim.platform_stops() == 3 * i + 2; }))
            return 1;
        const QList<probe_event> crashed = read_events(log);
        if (crashed.size() == 3 && crashed.at(1).event == "raise")
            restart_us.push_back((crashed.at(2).t - crashed.at(1).t) * 1e6);

        // Keep the count of platform stops in step: one more plain start.
        sim.start_app(platform, QStringLiteral("/bin/true"), {});
        if (!wait_until([&] { return sim.platform_stops() == 3 * i + 3; }))
            return 1;
    }

    // Footprint: idle once the runners are gone, then with a peak of
    // applications running, then once they have ended and the runners are gone.
    const bool drained = wait_until([&] { return thread_count(dpid) == fresh_threads; }, 30000);
    QTest::qWait(200);
    const int idle_threads = thread_count(dpid);
    const long idle_kb = rss_anon_kb(dpid);
    const int peak = 200;
    const QString gate = dir.filePath(QStringLiteral("gate"));
    for (int i = 0; i < peak; ++i)
        sim.start_app(platform, probe_binary(), {QStringLiteral("wait"), gate});
    wait_until([&] { return thread_count(dpid) == idle_threads + peak; }, 30000);
    QTest::qWait(200);
    const int busy_threads = thread_count(dpid);
    const long busy_kb = rss_anon_kb(dpid);
    QFile(gate).open(QIODevice::WriteOnly);
    wait_until([&] { return thread_count(dpid) == idle_threads; }, 30000);
    QTest::qWait(200);
    const long after_kb = rss_anon_kb(dpid);

    // Memory against restarts of the runtime service, with applications
    // running: each change of the service's owner must leave nothing behind.
    const int restart_apps = 50;
    const int restarts = 1000;
    const QString restart_gate = dir.filePath(QStringLiteral("restart-gate"));
    for (int i = 0; i < restart_apps; ++i)
        sim.start_app(platform, probe_binary(),
                      {QStringLiteral("wait"), restart_gate, QStringLiteral("3600")});
    wait_until([&] { return thread_count(dpid) == idle_threads + restart_apps; }, 30000);
    QTest::qWait(200);
    const long before_restarts_kb = rss_anon_kb(dpid);
    sim.stop();
    int restarted = 0;
    for (int i = 0; i < restarts; ++i) {
        runtime_sim_process again;
        restarted += again.ok() ? 1 : 0;
    }
    QTest::qWait(500);
    const long after_restarts_kb = rss_anon_kb(dpid);
    QFile(restart_gate).open(QIODevice::WriteOnly);

    const stats s = summarize(start_us), r = summarize(restart_us), f = summarize(fork_us);
    const stats v = summarize(vfork_us), q = summarize(qt_us);
    std::printf("runner latency over %d runs (microseconds)\n", runs);
    std::printf("%-42s %8s %8s %8s %8s %8s\n", "", "median", "p99", "/fork", "/vfork", "/qt");
    auto row = [&](const char *name, const stats &x) {
        std::printf("%-42s %8.0f %8.0f %8.2f %8.2f %8.2f\n", name, x.median, x.p99,
                    x.median / f.median, x.median / v.median, x.median / q.median);
    };
    row("fork+execv (main thread)", f);
    row("vfork+execv (from a thread)", v);
    row("minimal Qt daemon: app_start -> vfork", q);
    row("app_start emitted -> first instruction", s);
    row("SIGSEGV -> relaunched first instruction", r);
    std::printf("targets: start <= 1.40 x qt (%.2f), relaunch <= 1.50 x vfork (%.2f)\n",
                s.median / q.median, r.median / v.median);

    const stats a = summarize(announce_us), t = summarize(thread_us), l = summarize(launch_us);
    std::printf("\nwhen the start's reports arrive, by the stand-in's clock (microseconds)\n");
    std::printf("%-42s %8.0f %8.0f\n", "signal -> the request's log line", a.median, a.p99);
    std::printf("%-42s %8.0f %8.0f\n", "  -> the platform's running", t.median, t.p99);
    std::printf("%-42s %8.0f %8.0f\n", "  -> the application's running", l.median, l.p99);
    std::printf("\nfootprint\n");
    std::printf("%-42s %6d threads %8ld kB anon%s\n", "idle", idle_threads, idle_kb,
                drained ? "" : "  (runners still there after 30 s)");
    std::printf("%-42s %6d threads %8ld kB anon  (%.1f kB per application)\n",
                "with 200 applications running", busy_threads, busy_kb,
                static_cast<double>(busy_kb - idle_kb) / peak);
    std::printf("%-42s %6d threads %8ld kB anon  (%+ld kB against idle)\n", "after they ended",
                thread_count(dpid), after_kb, after_kb - idle_kb);
    std::printf("\nanonymous memory across restarts of the runtime service\n");
    std::printf("%-42s %8ld kB anon\n", "50 applications running", before_restarts_kb);
    std::printf("%-42s %8ld kB anon  (%+ld kB, %d of %d restarts)\n",
                "after the stand-in restarted", after_restarts_kb,
                after_restarts_kb - before_restarts_kb, restarted, restarts);
    return 0;
}
