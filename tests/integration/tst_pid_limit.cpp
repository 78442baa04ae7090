// A daemon out of pids (a cgroup v1 "pids" limit). Start requests: none may
// end the daemon or leave an application unreported, and each request that
// launched nothing says so. A kill: the daemon can start neither a listing
// nor a thread, and still kills the whole tree. Skipped (status 77) without a
// writable pids cgroup.
#include "harness.h"

#include <QtTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

QString pids_mount()
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (!mounts.open(QIODevice::ReadOnly))
        return QString();
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() >= 4 && f.at(2) == "cgroup" && f.at(3).split(',').contains("pids"))
            return QString::fromLocal8Bit(f.at(1));
    }
    return QString();
}

bool write_file(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

QByteArray read_file(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().trimmed() : QByteArray();
}

int failed_lines(runtime_sim_process &sim)
{
    int n = 0;
    for (const QString &line : sim.daemon_logs())
        n += line.contains(QLatin1String("app_start failed")) ||
                     line.contains(QLatin1String("app launch failed"))
                 ? 1
                 : 0;
    return n;
}

int reported(runtime_sim_process &sim, const char *status)
{
    int n = 0;
    for (const QJsonArray &p : sim.payloads(QStringLiteral("set_app_status")))
        n += status_list(p).value(3) == QLatin1String(status) ? 1 : 0;
    return n;
}

int reported_running(runtime_sim_process &sim)
{
    return reported(sim, "running");
}

} // namespace

class tst_pid_limit : public QObject
{
    Q_OBJECT

    const QString cgroup;
    QScopedPointer<private_bus> bus;
    QTemporaryDir dir;
    const QString platform = QStringLiteral("shop@c1@0");

    // A daemon inside the cgroup, from its first instruction on.
    daemon_process *start_daemon(const QString &log)
    {
        return new daemon_process(
            {QStringLiteral("-c"),
             QStringLiteral("echo $$ > '%1/cgroup.procs' && exec \"$0\" \"$@\"").arg(cgroup),
             daemon_binary(), platform, QStringLiteral("/bin/true")},
            true, {QStringLiteral("PROBE_LOG=") + log}, QStringLiteral("sh"));
    }
    void limit_to(int extra)
    {
        const int current = read_file(cgroup + QStringLiteral("/pids.current")).toInt();
        QVERIFY(
            write_file(cgroup + QStringLiteral("/pids.max"), QByteArray::number(current + extra)));
    }

public:
    explicit tst_pid_limit(QString cgroup) : cgroup(std::move(cgroup)) {}

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        bus.reset(new private_bus);
        QVERIFY(bus->ok());
    }
    void cleanup() { write_file(cgroup + QStringLiteral("/pids.max"), "max"); }

    // Not one more task: no runner thread can be made.
    void nothing_can_start()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        QScopedPointer<daemon_process> d(start_daemon(dir.filePath(QStringLiteral("none"))));
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        limit_to(0);
        for (int i = 0; i < 3; ++i)
            sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        QVERIFY2(wait_until([&] { return failed_lines(sim) == 3; }), d->err().constData());
        // Nothing runs: the platform is reported stopped for each.
        QVERIFY(wait_until([&] { return sim.platform_stops() == 3; }));
        QCOMPARE(reported_running(sim), 0);
        QVERIFY(process_alive(d->pid()));
    }

    // Room for a few: every request launched and reported, or said failed.
    void some_start()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QString log = dir.filePath(QStringLiteral("some"));
        QScopedPointer<daemon_process> d(start_daemon(log));
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        limit_to(12);
        const QString gate = dir.filePath(QStringLiteral("gate"));
        const int requests = 20;
        for (int i = 0; i < requests; ++i)
            sim.start_app(platform, probe_binary(), {QStringLiteral("wait"), gate});
        QVERIFY2(wait_until([&] { return reported_running(sim) + failed_lines(sim) == requests; },
                            20000),
                 d->err().constData());
        QVERIFY(failed_lines(sim) > 0);
        // A report may come before its probe has written its line.
        QVERIFY(wait_until([&] { return probe_launches(log).size() == reported_running(sim); }));
        QVERIFY(process_alive(d->pid()));
        write_file(cgroup + QStringLiteral("/pids.max"), "max");
        QFile(gate).open(QIODevice::WriteOnly);
        // Failures while nothing was counted in may each have stopped the
        // platform already; what matters is the end: every application
        // reported stopped, and the platform last.
        QVERIFY(
            wait_until([&] { return reported(sim, "stop") == reported(sim, "running"); }, 20000));
        QVERIFY(wait_until([&] {
            const QStringList logs = sim.daemon_logs().filter(QStringLiteral("app剩余："));
            const QList<QJsonArray> platform =
                sim.payloads(QStringLiteral("set_platform_app_status"));
            return !logs.isEmpty() &&
                   logs.last() == QStringLiteral("~~~~~~~~~app剩余：0~~~~~~~~~") &&
                   status_list(platform.last()).value(1) == QLatin1String("stop");
        }));
    }

    // A service that answers nothing, while applications end one by one at
    // about 10 a second: each end waits for the answer to its platform
    // "stop" for 25 s, and must not hold a thread (a task) for it.
    void silent_service_holds_no_thread_per_end()
    {
        runtime_sim_process sim({QStringLiteral("--no-reply")});
        QVERIFY(sim.ok());
        const QString log = dir.filePath(QStringLiteral("silent"));
        QScopedPointer<daemon_process> d(start_daemon(log));
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const int threads_before = thread_count(d->pid());
        limit_to(20);
        const int ends = 60;
        int most_threads = 0;
        QElapsedTimer clock;
        clock.start();
        for (int i = 1; i <= ends; ++i) {
            sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
            QVERIFY2(wait_until([&] { return sim.platform_stops() + failed_lines(sim) >= i; }),
                     d->err().constData());
            most_threads = std::max(most_threads, thread_count(d->pid()));
            QTest::qWait(int(std::max<qint64>(0, i * 100 - clock.elapsed())));
        }
        qInfo("threads: %d at start, at most %d over %d ends", threads_before, most_threads, ends);
        QCOMPARE(failed_lines(sim), 0);
        QCOMPARE(probe_launches(log).size(), ends);
        // The pool keeps a few runners; nothing grows with the ends.
        QVERIFY2(most_threads <= threads_before + 6, qPrintable(QString::number(most_threads)));
    }

    // Every member of the tree keeps trying to fork, so the limit stays used up.
    void a_fork_bomb_at_the_pid_limit_dies_whole()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        QScopedPointer<daemon_process> d(start_daemon(dir.filePath(QStringLiteral("bomb"))));
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        limit_to(30);
        const int limit = read_file(cgroup + QStringLiteral("/pids.max")).toInt();
        const QString log = dir.filePath(QStringLiteral("bomb.log"));
        sim.start_app(platform, QStringLiteral(LAVROSK_TREE_BIN), {"storm", "100", log});
        QVERIFY(wait_until(
            [&] { return read_file(cgroup + QStringLiteral("/pids.current")).toInt() >= limit; }));
        const pid_t root = reported_root(sim, tagged_processes(log));
        QVERIFY(root > 0);
        sim.kill_app(platform, QString::number(root));
        // Orphaned storm children check for their parent within 5 ms.
        const bool all_gone = wait_until([&] { return tagged_processes(log).isEmpty(); }, 20000);
        for (const pid_t pid : tagged_processes(log))
            kill(pid, SIGKILL);
        QVERIFY(all_gone);
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        if (!d->err().contains("listing not run"))
            qWarning("the listing found a free pid this time: the kill went as usual");
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString mount = pids_mount();
    const QString cgroup =
        mount + QStringLiteral("/lavrosk-test-%1").arg(QCoreApplication::applicationPid());
    if (mount.isEmpty() || !QDir().mkdir(cgroup)) {
        std::printf("SKIP: no writable cgroup v1 \"pids\" hierarchy\n");
        return 77;
    }
    int result;
    {
        tst_pid_limit test(cgroup);
        result = QTest::qExec(&test, argc, argv);
    }
    // Whatever is left in it ends with the test.
    for (const QByteArray &pid : read_file(cgroup + QStringLiteral("/cgroup.procs")).split('\n'))
        if (pid.toInt() > 0)
            kill(pid.toInt(), SIGKILL);
    wait_until([&] { return QDir().rmdir(cgroup); }, 5000);
    return result;
}

#include "tst_pid_limit.moc"
