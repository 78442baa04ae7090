// The daemon as a container's supervisor: the first process of a pid
// namespace, its stops, kills that race a relaunch, and kills of what the
// request no longer names.
#include "harness.h"

#include <QtTest>

#include <csignal>
#include <unistd.h>

namespace {

const QString platform = QStringLiteral("shop@c1@0");

// The kernel's list of a thread's children, zombies included.
QList<pid_t> children_of(pid_t pid)
{
    QFile file(QStringLiteral("/proc/%1/task/%1/children").arg(pid));
    QList<pid_t> pids;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &word : file.readAll().simplified().split(' '))
            if (!word.isEmpty())
                pids.append(word.toInt());
    }
    return pids;
}

// A task's id inside its pid namespace (the last NSpid field), or 0.
pid_t ns_pid(pid_t host_tid)
{
    QFile file(QStringLiteral("/proc/%1/status").arg(host_tid));
    if (!file.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith("NSpid:"))
            return line.mid(6).simplified().split(' ').last().toInt();
    }
    return 0;
}

QString cgroup2_mount()
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    if (!mounts.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.value(2) == "cgroup2")
            return QString::fromUtf8(fields.value(1));
    }
    return {};
}

bool write_file(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// Stop reports of applications, in the order received.
QStringList app_stops(runtime_sim_process &sim)
{
    QStringList pids;
    for (const QJsonArray &p : sim.payloads(QStringLiteral("set_app_status"))) {
        if (status_list(p).value(3) == QLatin1String("stop"))
            pids.append(status_list(p).value(2));
    }
    return pids;
}

int line_count(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
}

} // namespace

// The daemon's command line as the first process of a new pid namespace.
QStringList as_pid_1()
{
    return {"--pid", "--mount-proc", "--kill-child", daemon_binary(), platform, "/bin/true"};
}

// The daemon (the child of unshare) once it has announced itself; 0 if never.
pid_t announced(daemon_process &d, runtime_sim_process &sim)
{
    if (!wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }))
        return 0;
    return children_of(d.pid()).value(0);
}

class tst_container : public QObject
{
    Q_OBJECT

    QScopedPointer<private_bus> bus;
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        bus.reset(new private_bus);
        QVERIFY(bus->ok());
    }

    // As pid 1 the daemon inherits every orphan of its applications and
    // collects their ends; a runner still gets its own child's status.
    void orphans_are_reaped_as_pid_1()
    {
        if (geteuid() != 0)
            QSKIP("a pid namespace needs root here");
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d(as_pid_1(), true, {}, QStringLiteral("unshare"));
        const pid_t daemon = announced(d, sim);
        QVERIFY(daemon > 0);
        QCOMPARE(children_of(d.pid()).size(), 1);

        // Twenty helpers, each left behind by a shell that exits at once.
        const QString log = path("orphans");
        const QString script =
            QStringLiteral("for i in $(seq 20); do ( (sleep 0.2; echo x >> %1) & ); done; "
                           "exec sleep 60")
                .arg(log);
        sim.start_app(platform, QStringLiteral("/bin/sh"), {"-c", script});
        QVERIFY(wait_until([&] { return line_count(log) == 20; }));
        QVERIFY2(wait_until([&] { return children_of(daemon).isEmpty(); }),
                 qPrintable(QString::number(children_of(daemon).size()) + " left"));

        QVERIFY(
            wait_until([&] { return sim.payloads(QStringLiteral("set_app_status")).size() == 1; }));
        const QString root =
            status_list(sim.payloads(QStringLiteral("set_app_status")).first()).value(2);
        sim.kill_app(platform, root);
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QCOMPARE(sim.payloads(QStringLiteral("set_app_status")).size(), 2); // no relaunch
        sim.start_app(platform, probe_binary(), {"exit", "3"});
        QVERIFY(wait_until([&] { return sim.platform_stops() == 2; }));
        QVERIFY(d.out().contains("退出值为【3】"));
    }

    // As pid 1, a stop signal stops every application in order (SIGTERM,
    // the grace, then SIGKILL), and kill_daemon kills them at once; each
    // end is reported, the platform's last, and the daemon exits 0.
    void stops_as_pid_1_data()
    {
        QTest::addColumn<int>("signal"); // 0: kill_daemon
        QTest::addColumn<int>("grace");
        QTest::addColumn<bool>("twice");
        QTest::newRow("SIGTERM") << int(SIGTERM) << 1 << false;
        QTest::newRow("SIGINT") << int(SIGINT) << 1 << false;
        QTest::newRow("SIGHUP") << int(SIGHUP) << 1 << false;
        QTest::newRow("SIGTERM twice") << int(SIGTERM) << 30 << true;
        QTest::newRow("kill_daemon") << 0 << 30 << false;
    }
    void stops_as_pid_1()
    {
        if (geteuid() != 0)
            QSKIP("a pid namespace needs root here");
        QFETCH(int, signal);
        QFETCH(int, grace);
        QFETCH(bool, twice);
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d(as_pid_1(), true, {QStringLiteral("LAVROSK_STOP_TIMEOUT=%1").arg(grace)},
                         QStringLiteral("unshare"));
        const pid_t daemon = announced(d, sim);
        QVERIFY(daemon > 0);
        // One application dies of SIGTERM (and is not relaunched), one ignores it.
        const QString tag = path(QStringLiteral("stop-%1-%2").arg(signal).arg(twice));
        sim.start_app(platform, probe_binary(), {"wait", tag + "-a", "60"});
        sim.start_app(platform, QStringLiteral("/bin/sh"),
                      {"-c", "trap '' TERM; exec " + probe_binary() + " wait " + tag + "-b 60"});
        // Both are the probe by now: the shell has set its trap and executed it.
        const auto probes = [&] {
            int n = 0;
            for (const pid_t pid : tagged_processes(tag)) {
                QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
                n += comm.open(QIODevice::ReadOnly) && comm.readAll() == "probe\n";
            }
            return n;
        };
        QVERIFY(wait_until([&] { return probes() == 2; }));
        QVERIFY(
            wait_until([&] { return sim.payloads(QStringLiteral("set_app_status")).size() == 2; }));

        QElapsedTimer timer;
        timer.start();
        if (signal == 0) {
            sim.kill_daemon(platform);
        } else {
            QCOMPARE(kill(daemon, signal), 0);
            if (twice) {
                QTest::qWait(300);
                QCOMPARE(kill(daemon, signal), 0);
            }
        }
        QVERIFY(d.wait_exit(15000));
        const qint64 took = timer.elapsed();
        QCOMPARE(d.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(d.process.exitCode(), 0);
        QVERIFY(tagged_processes(tag).isEmpty());
        if (signal != 0 && !twice)
            QVERIFY2(took >= grace * 1000, qPrintable(QString::number(took) + " ms"));
        else
            QVERIFY2(took < 2000, qPrintable(QString::number(took) + " ms"));

        // Every report was on the bus before the daemon ended.
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }, 2000));
        QCOMPARE(app_stops(sim).size(), 2);
        QCOMPARE(sim.payloads(QStringLiteral("set_app_status")).size(), 4); // no relaunch
        const QList<QJsonObject> reports = sim.calls();
        QString last;
        for (const QJsonObject &r : reports) {
            const QString method = r.value(QStringLiteral("method")).toString();
            if (method.startsWith(QLatin1String("set_")))
                last = method;
        }
        QCOMPARE(last, QStringLiteral("set_platform_app_status"));
    }

    // A kill names a process, not a thread: the daemon's own threads are
    // refused (a stopped thread stops the daemon), and a kill queued behind
    // a slow one spares the process that took its target's pid meanwhile.
    void kills_of_threads_and_of_reused_pids()
    {
        if (geteuid() != 0)
            QSKIP("a pid namespace needs root here");
        const QString mount = cgroup2_mount();
        const QString frozen_cgroup = mount + QStringLiteral("/lavrosk-test-%1").arg(getpid());
        if (mount.isEmpty() || !QDir().mkpath(frozen_cgroup))
            QSKIP("no writable cgroup v2 mount to stall a kill with");
        const auto remove_cgroup = qScopeGuard([&] {
            write_file(frozen_cgroup + "/cgroup.freeze", "0");
            wait_until([&] { return QDir().rmdir(frozen_cgroup); });
        });
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d(as_pid_1(), true, {}, QStringLiteral("unshare"));
        const pid_t daemon = announced(d, sim);
        QVERIFY(daemon > 0);

        const QStringList tasks =
            QDir(QStringLiteral("/proc/%1/task").arg(daemon)).entryList({"[0-9]*"}, QDir::Dirs);
        QVERIFY(tasks.size() > 1);
        for (const QString &task : tasks)
            sim.kill_app(platform, QString::number(ns_pid(task.toInt())));

        // The slow kill: its root sits in a frozen cgroup, where it never
        // shows stopped. The kill queued behind it names v.
        const QString slow_tag = path("slow"), v_tag = path("victim");
        sim.start_app(platform, probe_binary(), {"wait", slow_tag, "60"});
        QVERIFY(wait_until([&] { return tagged_processes(slow_tag).size() == 1; }));
        sim.start_app(platform, probe_binary(), {"wait", v_tag, "60"});
        QVERIFY(wait_until([&] { return tagged_processes(v_tag).size() == 1; }));
        const pid_t slow = tagged_processes(slow_tag).first();
        const pid_t v = ns_pid(tagged_processes(v_tag).first());
        QVERIFY(write_file(frozen_cgroup + "/cgroup.procs", QByteArray::number(slow)));
        QVERIFY(write_file(frozen_cgroup + "/cgroup.freeze", "1"));
        sim.kill_app(platform, QString::number(ns_pid(slow)));
        sim.kill_app(platform, QString::number(v));
        QVERIFY(wait_until(
            [&] { return sim.daemon_logs().filter(QStringLiteral("pid:%1").arg(v)).size() == 1; }));

        // v ends by itself, and the next process of the namespace takes its pid.
        QFile(v_tag).open(QIODevice::WriteOnly);
        QVERIFY(wait_until([&] { return app_stops(sim).contains(QString::number(v)); }));
        const QString intruder_tag = QStringLiteral("30.%1").arg(getpid());
        QProcess::startDetached(
            QStringLiteral("nsenter"),
            {"-t", QString::number(daemon), "-p", "-m", "sh", "-c",
             QStringLiteral("echo %1 > /proc/sys/kernel/ns_last_pid && sleep %2; exit 0")
                 .arg(v - 1)
                 .arg(intruder_tag)});
        pid_t intruder = 0;
        wait_until([&] {
            for (const pid_t pid : tagged_processes(intruder_tag)) {
                if (ns_pid(pid) == v && QFile(QStringLiteral("/proc/%1/exe").arg(pid))
                                            .symLinkTarget()
                                            .endsWith(QLatin1String("sleep")))
                    intruder = pid;
            }
            return intruder > 0;
        });
        QVERIFY2(intruder > 0, "the pid was not reused");

        QVERIFY(wait_until([&] { return !process_alive(slow); }));
        QTest::qWait(300);
        const bool intruder_alive = process_alive(intruder);
        for (const pid_t pid : tagged_processes(intruder_tag))
            kill(pid, SIGKILL);
        QVERIFY(intruder_alive);
        for (const QString &task : tasks) {
            const QByteArray stat = [&] {
                QFile f(QStringLiteral("/proc/%1/task/%2/stat").arg(daemon).arg(task));
                return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
            }();
            QVERIFY2(stat.mid(stat.lastIndexOf(')') + 2, 1) != "T", qPrintable(task));
        }
        // And it still serves.
        sim.start_app(platform, probe_binary(), {"exit", "0"});
        QVERIFY(wait_until([&] { return sim.platform_stops() == 2; }));
    }

    // A kill naming a launch that has just crashed ends the application:
    // the relaunch already made is killed, and no other follows.
    void kill_during_relaunch_data()
    {
        QTest::addColumn<bool>("after_relaunch");
        QTest::newRow("relaunched") << true;
        QTest::newRow("at the crash") << false;
    }
    void kill_during_relaunch()
    {
        QFETCH(bool, after_relaunch);
        const QString tag = QString::number(after_relaunch);
        const QString log = path("relaunch-log" + tag);
        const QString gate = path("relaunch-gate" + tag);
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")}, true,
                         {QStringLiteral("PROBE_LOG=") + log});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        sim.start_app(platform, probe_binary(),
                      {"gate-signal", gate, QString::number(SIGSEGV), "1",
                       path("relaunch-state" + tag), "60"});
        QVERIFY(wait_until([&] { return probe_launches(log).size() == 1; }));
        const pid_t first = probe_launches(log).first();
        QFile(gate).open(QIODevice::WriteOnly);
        if (after_relaunch)
            QVERIFY(wait_until([&] { return probe_launches(log).size() == 2; }));
        else
            QVERIFY(wait_until([&] { return !process_alive(first); }));
        sim.kill_app(platform, QString::number(first));

        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        const QList<pid_t> launched = probe_launches(log);
        QVERIFY(launched.size() <= 2);
        for (const pid_t pid : launched)
            QVERIFY(wait_until([&] { return !process_alive(pid); }));
        QCOMPARE(probe_launches(log), launched);
    }
};

QTEST_GUILESS_MAIN(tst_container)
#include "tst_container.moc"
