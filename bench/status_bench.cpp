// The cost of asking daemons what they run, on a private bus, as a table:
//   start:  app_start -> the application's first instruction, quiet and while
//           another client calls status as fast as it can (runs interleaved)
//   answer: one status call with APPS applications running
//   memory: the daemon's anonymous resident memory across CALLS status calls
//   crowd:  lavrosk-runtime-sim status with DAEMONS daemons on the bus
//   bench_status [RUNS [APPS [CALLS [DAEMONS]]]]   (defaults 200 1000 100000 200)
//   (BENCH_DAEMON=path runs another build of the daemon)
#include "harness.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <thread>
#include <unistd.h>

namespace {

const QString platform = QStringLiteral("bench@c1@0");

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double first_launch_t(const QString &log)
{
    QFile file(log);
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> w = file.readLine().split(' ');
    return w.size() >= 3 ? w.at(2).toDouble() : 0;
}

QString bus_name_of(QDBusConnection bus, pid_t pid)
{
    for (const QString &name : bus.interface()->registeredServiceNames().value())
        if (name.startsWith(QLatin1Char(':')) &&
            bus.interface()->servicePid(name).value() == static_cast<uint>(pid))
            return name;
    return QString();
}

QDBusMessage status_call(const QString &name)
{
    return QDBusMessage::createMethodCall(name, QStringLiteral("/com/quorl/runtime/daemon"),
                                          QStringLiteral("com.quorl.runtime.daemon"),
                                          QStringLiteral("status"));
}

// Another client calling status back to back until stopped.
class flood
{
public:
    explicit flood(const QString &name)
        : thread([this, name] {
              QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus,
                                                                  QStringLiteral("flood"));
              while (!stop)
                  if (bus.call(status_call(name)).type() == QDBusMessage::ReplyMessage)
                      ++calls;
          })
    {
    }
    ~flood()
    {
        stop = true;
        thread.join();
    }
    std::atomic<long> calls{0};

private:
    std::atomic<bool> stop{false};
    std::thread thread;
};

// app_start -> first instruction, quiet and flooded, interleaved.
bool start_latency(runtime_sim_process &sim, const QString &name, const QString &log, int runs)
{
    std::vector<double> quiet, flooded;
    long flood_calls = 0;
    for (int i = 0; i < 2 * runs; ++i) {
        std::unique_ptr<flood> f;
        if (i % 2) {
            f = std::make_unique<flood>(name);
            QThread::msleep(20); // the flood under way
        }
        QFile::remove(log);
        const int stops = sim.platform_stops();
        sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        if (!wait_until([&] { return first_launch_t(log) > 0; }) ||
            !wait_until([&] { return sim.platform_stops() == stops + 1; }))
            return false;
        const double us = (first_launch_t(log) - sim.last_signal_time()) * 1e6;
        (i % 2 ? flooded : quiet).push_back(us);
        if (f)
            flood_calls += f->calls;
    }
    const double q = median(quiet), fl = median(flooded);
    std::printf("start, quiet      median %8.0f us  (%d runs)\n", q, runs);
    std::printf("start, flooded    median %8.0f us  (%d runs, %ld status answers meanwhile)\n", fl,
                runs, flood_calls);
    std::printf("flooded / quiet   %.3f\n", q > 0 ? fl / q : 0);
    return true;
}

void answer_time(QDBusConnection bus, runtime_sim_process &sim, const QString &name, int apps)
{
    const int stops = sim.platform_stops();
    // Applications that only sleep: a thousand that poll a gate would take
    // both cores, and the figure would be theirs.
    for (int i = 0; i < apps; ++i)
        sim.start_app(platform, QStringLiteral("/bin/sleep"), {QStringLiteral("600")});
    QList<QVariantMap> running;
    wait_until(
        [&] {
            const QDBusMessage reply = bus.call(status_call(name));
            running = qdbus_cast<QList<QVariantMap>>(reply.arguments().value(1));
            return reply.type() == QDBusMessage::ReplyMessage && running.size() == apps;
        },
        300000);
    std::vector<double> ms;
    size_t shown = 0;
    for (int i = 0; i < 50; ++i) {
        QElapsedTimer t;
        t.start();
        const QDBusMessage reply = bus.call(status_call(name));
        ms.push_back(t.nsecsElapsed() / 1e6);
        shown = qdbus_cast<QList<QVariantMap>>(reply.arguments().value(1)).size();
    }
    std::printf("answer, %zu apps   median %6.2f ms  max %6.2f ms  (50 calls)\n", shown, median(ms),
                *std::max_element(ms.begin(), ms.end()));
    for (const QVariantMap &app : running)
        sim.kill_app(platform, QString::number(app.value(QStringLiteral("pid")).toUInt()));
    wait_until([&] { return sim.platform_stops() > stops; }, 120000);
}

void memory_across_calls(QDBusConnection bus, runtime_sim_process &sim, const QString &name,
                         pid_t daemon, const QString &dir, long calls)
{
    const QString gate = dir + QStringLiteral("/gate2");
    for (int i = 0; i < 10; ++i)
        sim.start_app(platform, probe_binary(), {QStringLiteral("wait"), gate});
    wait_until([&] {
        const QDBusMessage reply = bus.call(status_call(name));
        return qdbus_cast<QList<QVariantMap>>(reply.arguments().value(1)).size() == 10;
    });
    std::printf("memory, 10 apps   ");
    for (long done = 0; done <= calls; done += calls / 4) {
        if (done > 0)
            for (long i = 0; i < calls / 4; ++i)
                bus.call(status_call(name));
        std::printf(" %ld calls: %ld kB ", done, rss_anon_kb(daemon));
        std::fflush(stdout);
    }
    std::printf("\n");
    QFile(gate).open(QIODevice::WriteOnly);
}

void crowd(int daemons)
{
    std::vector<std::unique_ptr<daemon_process>> crowd;
    for (int i = 0; i < daemons; ++i)
        crowd.push_back(std::make_unique<daemon_process>(
            QStringList{QStringLiteral("crowd%1@c1@0").arg(i), QStringLiteral("/bin/true")},
            false));
    QDBusConnection bus = QDBusConnection::systemBus();
    wait_until([&] { return bus.interface()->registeredServiceNames().value().size() > daemons; },
               60000);
    std::vector<double> ms;
    int rows = 0;
    for (int i = 0; i < 5; ++i) {
        QProcess status;
        QElapsedTimer t;
        t.start();
        status.start(sim_binary(), {QStringLiteral("status"), QStringLiteral("--json")});
        status.waitForFinished(120000);
        ms.push_back(t.nsecsElapsed() / 1e6);
        rows = status.readAllStandardOutput().count('\n');
    }
    std::printf("crowd, %d daemons  sim status median %6.0f ms  max %6.0f ms  (%d answers)\n",
                daemons, median(ms), *std::max_element(ms.begin(), ms.end()), rows);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 200;
    const int apps = argc > 2 ? atoi(argv[2]) : 1000;
    const long calls = argc > 3 ? atol(argv[3]) : 100000;
    const int daemons = argc > 4 ? atoi(argv[4]) : 200;
    qDBusRegisterMetaType<QList<QVariantMap>>();
    QTemporaryDir dir;
    const QString log = dir.filePath(QStringLiteral("events"));
    private_bus bus;
    runtime_sim_process sim;
    if (!bus.ok() || !sim.ok()) {
        std::fprintf(stderr, "bench_status: no private bus or stand-in\n");
        return 1;
    }
    daemon_process daemon({platform, QStringLiteral("/bin/true")}, true,
                          {QStringLiteral("PROBE_LOG=") + log},
                          QString::fromLocal8Bit(qgetenv("BENCH_DAEMON")));
    wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; });
    QDBusConnection connection = QDBusConnection::systemBus();
    const QString name = bus_name_of(connection, daemon.pid());
    if (name.isEmpty() || !start_latency(sim, name, log, runs))
        return 1;
    qunsetenv("PROBE_LOG");
    if (apps > 0)
        answer_time(connection, sim, name, apps);
    if (calls > 0)
        memory_across_calls(connection, sim, name, daemon.pid(), dir.path(), calls);
    if (daemons > 0)
        crowd(daemons);
    return 0;
}
