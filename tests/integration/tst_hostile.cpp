// The daemon treated the way a buggy runtime service or a careless host would:
// signals of another signature, closed standard descriptors, an application
// that traces itself, kills of what is no process or the kernel's, a path
// within Latin-1 named in UTF-8, and a bus that refuses the final report.
#include "harness.h"
#include "process_table.h"

#include <QtTest>

#include <csignal>
#include <unistd.h>

class tst_hostile : public QObject
{
    Q_OBJECT

    QScopedPointer<private_bus> bus;
    QTemporaryDir dir;
    const QString platform = QStringLiteral("shop@c1@0");

    QString path(const QString &name) const { return dir.filePath(name); }
    static QStringList probe_env(const QString &log)
    {
        return {QStringLiteral("PROBE_LOG=") + log};
    }
    static bool announced(runtime_sim_process &sim)
    {
        return wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; });
    }
    static QList<QStringList> app_reports(runtime_sim_process &sim)
    {
        QList<QStringList> lists;
        for (const QJsonArray &p : sim.payloads(QStringLiteral("set_app_status")))
            lists.append(status_list(p));
        return lists;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        bus.reset(new private_bus);
        QVERIFY(bus->ok());
    }

    void signals_of_another_signature_are_dropped()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QString log = path("signature-launches");
        daemon_process d({platform, QStringLiteral("/bin/true")}, true, probe_env(log));
        QVERIFY(announced(sim));
        const QStringList shapes{
            R"j({"signal": "kill_app", "signature": "av", "payload": ["%1", "4242"]})j",
            R"j({"signal": "kill_daemon", "signature": "av", "payload": ["%1"]})j",
            R"j({"signal": "kill_daemon", "signature": "a{sv}", "payload": {"%1": 1}})j",
            R"j({"signal": "kill_daemon", "signature": "(s)", "payload": ["%1"]})j",
            R"j({"signal": "app_start", "signature": "ai", "payload": [1, 2]})j",
            R"j({"signal": "app_start", "signature": "(sss)", "payload": ["%1", "/bin/true", "x"]})j",
        };
        for (const QString &line : shapes)
            sim.send(QString(line).replace(QLatin1String("%1"), platform));
        QVERIFY(wait_until([&] { return sim.emitted_count() == shapes.size(); }));

        sim.start_app(platform, probe_binary(), {"exit", "0"});
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QCOMPARE(probe_launches(log).size(), 1);
        sim.kill_daemon(platform);
        QVERIFY(d.wait_exit(5000));
        QCOMPARE(d.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(d.process.exitCode(), 0);
    }

    void started_with_standard_descriptors_closed()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QString log = path("closed-launches");
        daemon_process d({QStringLiteral("-c"), QStringLiteral("exec \"$0\" \"$@\" <&- >&- 2>&-"),
                          daemon_binary(), platform, QStringLiteral("/bin/true")},
                         false, probe_env(log), QStringLiteral("/bin/sh"));
        QVERIFY(announced(sim));
        sim.start_app(platform, probe_binary(), {"exit", "0"});
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QCOMPARE(probe_launches(log).size(), 1);
        QVERIFY(sim.daemon_logs().filter(QStringLiteral("app剩余：0")).size() == 1);
        QCOMPARE(d.process.state(), QProcess::Running);
    }

    void application_that_traces_itself()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QString log = path("traced-launches");
        const QString gate = path("traced-gate");
        daemon_process d({platform, QStringLiteral("/bin/true")}, true, probe_env(log));
        QVERIFY(announced(sim));
        sim.start_app(platform, probe_binary(), {"traced", gate});
        // It took a SIGCHLD and a SIGUSR1, each a stop for its tracer.
        QVERIFY(wait_until([&] {
            QFile events(log);
            return events.open(QIODevice::ReadOnly) && events.readAll().contains("\nready ");
        }));
        const pid_t pid = probe_launches(log).value(0);
        QCOMPARE(app_reports(sim).size(), 1);

        // Stopped by a signal it stays stopped, and goes on with SIGCONT.
        ::kill(pid, SIGSTOP);
        QVERIFY(wait_until(
            [&] { return is_frozen_state(read_proc_stat(pid).value_or(proc_stat{}).state); }));
        QFile(gate).open(QIODevice::WriteOnly);
        QVERIFY(!wait_until([&] { return probe_launches(log).size() > 1; }, 300));
        ::kill(pid, SIGCONT);

        // It executes itself (the kernel's exec trap must not kill it) and exits.
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QCOMPARE(probe_launches(log), (QList<pid_t>{pid, pid}));
        const QString p = QString::number(pid);
        QCOMPARE(app_reports(sim),
                 (QList<QStringList>{{"c1", "probe", p, "running", probe_binary()},
                                     {"c1", "probe", p, "stop"}}));
        QVERIFY(d.out().contains("退出值为【0】"));
        QVERIFY(!read_proc_stat(pid)); // reaped
    }

    void kills_of_no_process_or_of_kernel_threads()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QString log = path("nokill-launches");
        daemon_process d({platform, QStringLiteral("/bin/true")}, true, probe_env(log));
        QVERIFY(announced(sim));
        pid_t kernel_thread = 0;
        for (const proc_stat &p : read_process_table()) {
            if (p.pid != 2 && is_kernel_thread(p))
                kernel_thread = p.pid;
        }
        QVERIFY(kernel_thread > 2);

        const int absent = 300;
        QStringList lines;
        for (int i = 0; i < absent; ++i)
            lines.append(QStringLiteral("kill_app %1 %2").arg(platform).arg(5000000 + i));
        lines << QStringLiteral("kill_app %1 2").arg(platform)
              << QStringLiteral("kill_app %1 %2").arg(platform).arg(kernel_thread);
        sim.send(lines.join(QLatin1Char('\n')));
        // A real kill after them.
        sim.start_app(platform, probe_binary(), {"wait", path("never"), "30"});
        QVERIFY(wait_until([&] { return app_reports(sim).size() == 1; }));
        sim.kill_app(platform, app_reports(sim).at(0).at(2));
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));

        const QString err = QString::fromUtf8(d.err());
        QCOMPARE(err.count(QStringLiteral("kill_app: no process")), absent);
        QCOMPARE(err.count(QStringLiteral("kill_app refused:")), 2);
        QVERIFY(!err.contains(QStringLiteral("\n()\n"))); // no listing for any of them
    }

    void path_within_latin1_named_in_utf8()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QString log = path("cafe-launches");
        QVERIFY(::symlink(QFile::encodeName(probe_binary()).constData(),
                          (QFile::encodeName(dir.path()) + "/caf\xc3\xa9").constData()) == 0);
        daemon_process d({platform, QStringLiteral("/bin/true")}, true, probe_env(log));
        QVERIFY(announced(sim));
        sim.start_app(platform, dir.path() + QStringLiteral("/caf\u00e9"), {"exit", "0"});
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QCOMPARE(probe_launches(log).size(), 1);
        QVERIFY(!d.err().contains("Err on execv"));
    }

    // More start/end cycles than the bus lets calls await a reply (128), with
    // a service that never answers: every platform "stop" arrives.
    void final_report_refused_by_the_bus()
    {
        runtime_sim_process sim({QStringLiteral("--no-reply")});
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")}, true);
        QVERIFY(announced(sim));
        const int cycles = 140;
        for (int i = 1; i <= cycles; ++i) {
            sim.start_app(platform, QStringLiteral("/bin/true"));
            QVERIFY2(wait_until([&] { return sim.platform_stops() == i; }),
                     qPrintable(QStringLiteral("cycle %1").arg(i)));
        }
        QVERIFY(d.err().count("sent again without awaiting a reply") >= 1);
    }
};

QTEST_GUILESS_MAIN(tst_hostile)
#include "tst_hostile.moc"
