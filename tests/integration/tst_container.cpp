// The daemon as a container's supervisor: the first process of a pid
// namespace, and kills that race a relaunch.
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

int line_count(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll().count('\n') : 0;
}

} // namespace

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
        daemon_process d(
            {"--pid", "--mount-proc", "--kill-child", daemon_binary(), platform, "/bin/true"}, true,
            {}, QStringLiteral("unshare"));
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const QList<pid_t> inside = children_of(d.pid());
        QCOMPARE(inside.size(), 1);
        const pid_t daemon = inside.first();

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
