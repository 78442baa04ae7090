// Many daemons on one bus. One daemon under test and N idle daemons share a
// private bus; the stand-in sends each request either as a broadcast or
// directed to the daemon that announced the platform. Prints a table:
//   app_start -> the application's first instruction, alone and in the crowd
//   show_daemon_log calls caused by one kill_app meant for another daemon
//   idle daemons woken by one foreign kill_daemon (their context switches)
//   Pss and threads of an idle daemon
//   how fast the whole crowd exits once the bus goes away
//
//   bench_crowd [N idle daemons, 200] [runs per figure, 30]
#include "harness.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

namespace {

// Above the kernel's largest pid: a kill request for it can never hit.
const char no_pid[] = "4194305";
const char nobody[] = "nobody@none@0";

struct stats {
    double median, p90;
};

stats summarize(std::vector<double> v)
{
    if (v.empty())
        return {0, 0};
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 9 / 10)]};
}

// The first "launch" time in a probe log, 0 when there is none yet.
double first_launch(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> words = file.readLine().split(' ');
    return words.size() >= 3 && words.at(0) == "launch" ? words.at(2).toDouble() : 0;
}

// Asks the watch to emit, over its control interface, and returns once it has.
bool emit_request(const QStringList &command, bool directed)
{
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("com.quorl.runtime"), QStringLiteral("/com/quorl/runtime/sim"),
        QStringLiteral("com.quorl.runtime.sim"),
        directed ? QStringLiteral("emit_directed") : QStringLiteral("emit_signal"));
    call << command;
    const QDBusMessage reply = QDBusConnection::systemBus().call(call);
    return reply.type() == QDBusMessage::ReplyMessage &&
           reply.arguments().value(0).toString() == "";
}

// Microseconds from the emitted app_start to the probe's first instruction.
double time_start(runtime_sim_process &sim, const QString &platform, const QString &log,
                  bool directed)
{
    QFile::remove(log);
    const int stops = sim.platform_stops();
    if (!emit_request({QStringLiteral("start"), platform, probe_binary(), QStringLiteral("exit"),
                       QStringLiteral("0")},
                      directed))
        return -1;
    // The whole run is over, so the next one starts from a quiet daemon.
    if (!wait_until([&] { return sim.platform_stops() == stops + 1; }))
        return -1;
    return (first_launch(log) - sim.last_signal_time()) * 1e6;
}

// Runs broadcast and directed starts in turn, so that drift hits both alike.
void time_starts(runtime_sim_process &sim, const QString &platform, const QString &log, int runs,
                 std::vector<double> &broadcast, std::vector<double> &directed)
{
    for (int i = 0; i < runs; ++i) {
        const double b = time_start(sim, platform, log, false);
        const double d = time_start(sim, platform, log, true);
        if (b > 0)
            broadcast.push_back(b);
        if (d > 0)
            directed.push_back(d);
    }
}

long status_field(const QString &path, const QByteArray &field)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : file.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toLong();
    return 0;
}

// Context switches of every thread of a process: each wake-up counts one.
long switches(pid_t pid)
{
    long sum = 0;
    const QString dir = QStringLiteral("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(dir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        const QString status = dir + QLatin1Char('/') + task + QStringLiteral("/status");
        sum += status_field(status, "voluntary_ctxt_switches:") +
               status_field(status, "nonvoluntary_ctxt_switches:");
    }
    return sum;
}

struct wakeups {
    int woken;
    long total;
};

wakeups count_wakeups(const std::vector<long> &before, const std::vector<long> &after)
{
    wakeups w{0, 0};
    for (size_t i = 0; i < before.size(); ++i) {
        w.woken += after[i] > before[i] ? 1 : 0;
        w.total += after[i] - before[i];
    }
    return w;
}

using crowd = std::vector<std::unique_ptr<child_process>>;

std::vector<long> switches_of(const crowd &daemons)
{
    std::vector<long> counts;
    for (const auto &d : daemons)
        counts.push_back(switches(static_cast<pid_t>(d->processId())));
    return counts;
}

// Waits until the stand-in's count of log lines has not moved for quiet_ms.
int settled_logs(runtime_sim_process &sim, int quiet_ms)
{
    int count = sim.daemon_logs().size();
    for (;;) {
        QTest::qWait(quiet_ms);
        const int now = sim.daemon_logs().size();
        if (now == count)
            return count;
        count = now;
    }
}

// Log lines forwarded for one kill_app meant for the daemon of target.
int logs_for_one_kill(runtime_sim_process &sim, const QString &target, bool directed)
{
    const int before = settled_logs(sim, 200);
    emit_request({QStringLiteral("kill"), target, QString::fromLatin1(no_pid)}, directed);
    return settled_logs(sim, 500) - before;
}

// Starts idle daemons and waits for their announcements: milliseconds from
// the first start to the last announcement, -1 when some never came.
qint64 start_crowd(runtime_sim_process &sim, int idle, crowd &daemons)
{
    const int announced = sim.calls(QStringLiteral("daemon_ready")).size();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < idle; ++i) {
        auto d = std::make_unique<child_process>();
        d->setStandardInputFile(QProcess::nullDevice());
        d->setStandardOutputFile(QProcess::nullDevice());
        d->setStandardErrorFile(QProcess::nullDevice());
        d->start(daemon_binary(),
                 {QStringLiteral("idle-%1@c%1@0").arg(i), QStringLiteral("/bin/true")});
        daemons.push_back(std::move(d));
    }
    if (!wait_until(
            [&] { return sim.calls(QStringLiteral("daemon_ready")).size() == announced + idle; },
            120000))
        return -1;
    const qint64 up_ms = clock.elapsed();
    QTest::qWait(1000); // let the start-up traffic die down
    return up_ms;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int idle = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 30;
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("events"));
    private_bus bus(QStringLiteral(LAVROSK_CROWD_CONF));
    runtime_sim_process sim;
    if (!bus.ok() || !sim.ok()) {
        std::fprintf(stderr, "crowd_bench: no private bus or stand-in\n");
        return 1;
    }
    const QString platform = QStringLiteral("bench@c0@0");
    daemon_process test({platform, QStringLiteral("/bin/true")}, true,
                        {QStringLiteral("PROBE_LOG=") + log});
    wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; });

    // Alone and in the crowd by turns, the crowd started afresh each time, so
    // that the load of the machine weighs on both alike.
    std::vector<double> alone_b, alone_d, crowd_b, crowd_d;
    const int blocks = 3;
    crowd daemons;
    qint64 crowd_up_ms = 0;
    for (int block = 0; block < blocks; ++block) {
        time_starts(sim, platform, log, (runs + blocks - 1) / blocks, alone_b, alone_d);
        crowd_up_ms = start_crowd(sim, idle, daemons);
        if (crowd_up_ms < 0) {
            std::fprintf(stderr, "crowd_bench: not every idle daemon announced itself\n");
            return 1;
        }
        time_starts(sim, platform, log, (runs + blocks - 1) / blocks, crowd_b, crowd_d);
        if (block + 1 < blocks)
            daemons.clear();
    }

    const QString first_idle = QStringLiteral("idle-0@c0@0");
    const int logs_broadcast = logs_for_one_kill(sim, first_idle, false);
    const int logs_directed = logs_for_one_kill(sim, first_idle, true);
    const int logs_unannounced = logs_for_one_kill(sim, QString::fromLatin1(nobody), true);

    // Wake-ups of the idle daemons: a quiet half second, then one foreign stop
    // request, then one foreign kill request, broadcast and then directed,
    // each followed by half a second.
    const std::vector<long> s0 = switches_of(daemons);
    QTest::qWait(500);
    const std::vector<long> s1 = switches_of(daemons);
    emit_request({QStringLiteral("stop"), QString::fromLatin1(nobody)}, false);
    QTest::qWait(500);
    const std::vector<long> s2 = switches_of(daemons);
    emit_request({QStringLiteral("kill"), QString::fromLatin1(nobody), QString::fromLatin1(no_pid)},
                 false);
    QTest::qWait(500);
    const std::vector<long> s3 = switches_of(daemons);
    // The same request directed to the daemon under test.
    emit_request({QStringLiteral("kill"), platform, QString::fromLatin1(no_pid)}, true);
    QTest::qWait(500);
    const std::vector<long> s4 = switches_of(daemons);
    const wakeups quiet = count_wakeups(s0, s1), stop = count_wakeups(s1, s2),
                  kill = count_wakeups(s2, s3), kill_directed = count_wakeups(s3, s4);

    double pss_kb = 0, threads = 0;
    for (const auto &d : daemons) {
        const QString proc = QStringLiteral("/proc/%1/").arg(d->processId());
        pss_kb += status_field(proc + QStringLiteral("smaps_rollup"), "Pss:");
        threads += thread_count(static_cast<pid_t>(d->processId()));
    }
    pss_kb /= idle;
    threads /= idle;

    // The bus goes away: every daemon must notice and exit on its own.
    QElapsedTimer clock;
    clock.start();
    bus.stop();
    const bool all_gone = wait_until(
        [&] {
            return std::all_of(daemons.begin(), daemons.end(),
                               [](const auto &d) { return d->state() == QProcess::NotRunning; });
        },
        10000);
    const qint64 gone_ms = clock.elapsed();
    const int status_69 =
        static_cast<int>(std::count_if(daemons.begin(), daemons.end(), [](const auto &d) {
            return d->state() == QProcess::NotRunning && d->exitCode() == 69;
        }));

    const stats ab = summarize(alone_b), ad = summarize(alone_d);
    const stats cb = summarize(crowd_b), cd = summarize(crowd_d);
    std::printf("%d idle daemons and one under test on one bus; the idle daemons announced "
                "themselves %lld ms after the first was started\n\n",
                idle, static_cast<long long>(crowd_up_ms));
    std::printf("app_start -> first instruction, %d runs (us)  %9s %9s %12s\n",
                static_cast<int>(alone_b.size()), "median", "p90", "vs alone");
    std::printf("  %-43s %9.0f %9.0f %12s\n", "one daemon alone, broadcast", ab.median, ab.p90,
                "1.00");
    std::printf("  %-43s %9.0f %9.0f %12.2f\n", "one daemon alone, directed", ad.median, ad.p90,
                ad.median / ab.median);
    std::printf("  %-43s %9.0f %9.0f %12.2f\n", "among the idle daemons, broadcast", cb.median,
                cb.p90, cb.median / ab.median);
    std::printf("  %-43s %9.0f %9.0f %12.2f\n", "among the idle daemons, directed", cd.median,
                cd.p90, cd.median / ab.median);
    std::printf("\nshow_daemon_log calls for one kill_app meant for one idle daemon\n");
    std::printf("  %-43s %9d\n", "broadcast", logs_broadcast);
    std::printf("  %-43s %9d\n", "directed", logs_directed);
    std::printf("  %-43s %9d\n", "directed, platform nobody announced", logs_unannounced);
    std::printf("\nidle daemons woken in half a second %16s %12s\n", "woken", "switches");
    std::printf("  %-43s %9d %12ld\n", "quiet", quiet.woken, quiet.total);
    std::printf("  %-43s %9d %12ld\n", "one foreign kill_daemon (broadcast)", stop.woken,
                stop.total);
    std::printf("  %-43s %9d %12ld\n", "one foreign kill_app (broadcast)", kill.woken, kill.total);
    std::printf("  %-43s %9d %12ld\n", "one foreign kill_app (directed)", kill_directed.woken,
                kill_directed.total);
    std::printf("\nper idle daemon: Pss %.0f kB, %.1f threads\n", pss_kb, threads);
    std::printf("bus stopped: %s after %lld ms; %d of %d idle daemons with status 69\n",
                all_gone ? "every daemon gone" : "daemons still up",
                static_cast<long long>(gone_ms), status_69, idle);
    return 0;
}
