// The cost of asking daemons what they run, on a private bus, as a table:
//   start:  app_start -> the application's first instruction, quiet, while
//           another client calls status as fast as it can, and while it
//           calls the bus itself as fast (what a busy bus costs a start
//           with the daemon out of it); runs interleaved
//   answer: one status call with APPS applications running, and beside it
//           the same answer from a process that only sends it back
//   memory: the daemon's anonymous resident memory across CALLS status calls
//   crowd:  lavrosk-runtime-sim status with DAEMONS daemons on the bus
//   bench_status [RUNS [APPS [CALLS [DAEMONS]]]]   (defaults 200 1000 100000 200)
//   (BENCH_DAEMON=path runs another build of the daemon)
#include "harness.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
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

// The bus's own cheapest method: a flood of it loads the bus and the
// client as much, and the daemon not at all.
QDBusMessage bus_call()
{
    return QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetId"));
}

// Another client making one call back to back until stopped.
class flood
{
public:
    explicit flood(const QDBusMessage &call)
        : thread([this, call] {
              QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus,
                                                                  QStringLiteral("flood"));
              while (!stop)
                  if (bus.call(call).type() == QDBusMessage::ReplyMessage)
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

// app_start -> first instruction, quiet and under either flood, interleaved.
bool start_latency(runtime_sim_process &sim, const QString &name, const QString &log, int runs)
{
    enum { quiet, status_flood, bus_flood, conditions };
    const QDBusMessage calls[] = {QDBusMessage(), status_call(name), bus_call()};
    std::vector<double> us[conditions];
    long answers[conditions] = {};
    for (int i = 0; i < conditions * runs; ++i) {
        const int condition = i % conditions;
        std::unique_ptr<flood> f;
        if (condition != quiet) {
            f = std::make_unique<flood>(calls[condition]);
            QThread::msleep(20); // the flood under way
        }
        QFile::remove(log);
        const int stops = sim.platform_stops();
        sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        if (!wait_until([&] { return first_launch_t(log) > 0; }) ||
            !wait_until([&] { return sim.platform_stops() == stops + 1; }))
            return false;
        us[condition].push_back((first_launch_t(log) - sim.last_signal_time()) * 1e6);
        if (f)
            answers[condition] += f->calls;
    }
    const double q = median(us[quiet]);
    std::printf("start, quiet          median %8.0f us  (%d runs)\n", q, runs);
    std::printf("start, status flood   median %8.0f us  (%ld answers meanwhile)\n",
                median(us[status_flood]), answers[status_flood]);
    std::printf("start, bus flood      median %8.0f us  (%ld answers meanwhile)\n",
                median(us[bus_flood]), answers[bus_flood]);
    std::printf("status flood / quiet  %.3f\n", q > 0 ? median(us[status_flood]) / q : 0);
    std::printf("bus flood / quiet     %.3f  (the daemon out of it)\n",
                q > 0 ? median(us[bus_flood]) / q : 0);
    return true;
}

// Sends back the answer it was given, as it is: what Qt and the bus take to
// carry that answer, with no daemon behind it.
class echo : public QDBusVirtualObject
{
public:
    explicit echo(const QDBusMessage &answer) : arguments(answer.arguments())
    {
        arguments[0] = QVariant::fromValue(qdbus_cast<QVariantMap>(arguments.value(0)));
        arguments[1] = QVariant::fromValue(qdbus_cast<QList<QVariantMap>>(arguments.value(1)));
    }
    QString introspect(const QString &) const override { return QString(); }
    bool handleMessage(const QDBusMessage &call, const QDBusConnection &connection) override
    {
        return connection.send(call.createReply(arguments));
    }

private:
    QVariantList arguments;
};

double call_ms(QDBusConnection bus, const QDBusMessage &call, QDBusMessage *reply)
{
    QElapsedTimer t;
    t.start();
    *reply = bus.call(call);
    return t.nsecsElapsed() / 1e6;
}

void answer_time(QDBusConnection bus, runtime_sim_process &sim, const QString &name, int apps)
{
    const int stops = sim.platform_stops();
    // Applications that only sleep: a thousand that poll a gate would take
    // both cores, and the figure would be theirs.
    for (int i = 0; i < apps; ++i)
        sim.start_app(platform, QStringLiteral("/bin/sleep"), {QStringLiteral("600")});
    QDBusMessage reply;
    wait_until(
        [&] {
            reply = bus.call(status_call(name));
            return qdbus_cast<QList<QVariantMap>>(reply.arguments().value(1)).size() == apps;
        },
        300000);
    QThread::sleep(2); // the host settled after a thousand starts
    QDBusConnection echo_bus =
        QDBusConnection::connectToBus(QDBusConnection::SystemBus, QStringLiteral("echo"));
    echo same(reply);
    QThread echo_thread; // not this one, which waits for the answer
    same.moveToThread(&echo_thread);
    echo_thread.start();
    echo_bus.registerVirtualObject(QStringLiteral("/echo"), &same);
    const QDBusMessage echo_call = QDBusMessage::createMethodCall(
        echo_bus.baseService(), QStringLiteral("/echo"), QStringLiteral("com.quorl.runtime.daemon"),
        QStringLiteral("status"));
    // Interleaved, so that both see the host alike.
    std::vector<double> ms, floor_ms;
    QDBusMessage echoed;
    for (int i = 0; i < 100; ++i) {
        ms.push_back(call_ms(bus, status_call(name), &reply));
        floor_ms.push_back(call_ms(bus, echo_call, &echoed));
    }
    const QList<QVariantMap> running = qdbus_cast<QList<QVariantMap>>(reply.arguments().value(1));
    std::printf("answer, %d apps    median %6.2f ms  (100 calls)\n", running.size(), median(ms));
    std::printf("same answer echoed  median %6.2f ms  (%s: Qt and the bus alone)\n",
                median(floor_ms), echoed.type() == QDBusMessage::ReplyMessage ? "floor" : "failed");
    echo_bus.unregisterObject(QStringLiteral("/echo"));
    QDBusConnection::disconnectFromBus(QStringLiteral("echo"));
    echo_thread.quit();
    echo_thread.wait();
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
