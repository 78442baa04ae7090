// The daemon treated as a buggy runtime service or a careless host would:
// signals of another signature, closed standard descriptors, an application
// that traces itself, kills of no process or of the kernel's threads, a path
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
    const QString log = dir.filePath(QStringLiteral("launches"));
    QScopedPointer<runtime_sim_process> sim;
    QScopedPointer<daemon_process> d;

    // The stand-in and an announced daemon whose probes log to `log`;
    // closed_fds: started by a shell that closes descriptors 0, 1 and 2 first.
    bool start(const QStringList &sim_args = {}, bool closed_fds = false)
    {
        QFile::remove(log);
        d.reset();
        sim.reset(); // its name must be free for the next one
        sim.reset(new runtime_sim_process(sim_args));
        const QStringList args{platform, QStringLiteral("/bin/true")};
        const QStringList env{QStringLiteral("PROBE_LOG=") + log};
        const QStringList shell{"-c", "exec \"$0\" \"$@\" <&- >&- 2>&-", daemon_binary()};
        d.reset(closed_fds ? new daemon_process(shell + args, false, env, "/bin/sh")
                           : new daemon_process(args, true, env));
        return sim->ok() &&
               wait_until([&] { return sim->calls(QStringLiteral("daemon_ready")).size() == 1; });
    }
    QList<QStringList> app_reports()
    {
        QList<QStringList> lists;
        for (const QJsonArray &p : sim->payloads(QStringLiteral("set_app_status")))
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
        QVERIFY(start());
        const QStringList shapes{
            "kill_app av [\"P\",\"4242\"]", "kill_daemon av [\"P\"]",
            "kill_daemon a{sv} {\"P\":1}",  "kill_daemon (s) [\"P\"]",
            "app_start ai [1,2]",           "app_start (sss) [\"P\",\"/bin/true\",\"x\"]"};
        for (QString shape : shapes) {
            const QStringList w = shape.replace(QLatin1Char('P'), platform).split(QLatin1Char(' '));
            sim->send(QStringLiteral(R"({"signal": "%1", "signature": "%2", "payload": %3})")
                          .arg(w[0], w[1], w[2]));
        }
        QVERIFY(wait_until([&] { return sim->emitted_count() == shapes.size(); }));
        sim->start_app(platform, probe_binary(), {"exit", "0"});
        QVERIFY(wait_until([&] { return sim->platform_stops() == 1; }));
        sim->kill_daemon(platform);
        QVERIFY(d->wait_exit(5000));
        QCOMPARE(d->process.exitCode(), 0);
    }

    void started_with_standard_descriptors_closed()
    {
        QVERIFY(start({}, true));
        sim->start_app(platform, probe_binary(), {"exit", "0"});
        QVERIFY(wait_until([&] { return sim->platform_stops() == 1; }));
        QCOMPARE(probe_launches(log).size(), 1);
        QCOMPARE(sim->daemon_logs().filter(QStringLiteral("app剩余：0")).size(), 1);
        QCOMPARE(d->process.state(), QProcess::Running);
    }

    void application_that_traces_itself()
    {
        QVERIFY(start());
        const QString gate = dir.filePath(QStringLiteral("traced-gate"));
        sim->start_app(platform, probe_binary(), {"traced", gate});
        // It took a SIGCHLD and a SIGUSR1, each a stop for its tracer.
        QVERIFY(wait_until([&] {
            QFile events(log);
            return events.open(QIODevice::ReadOnly) && events.readAll().contains("\nready ");
        }));
        const pid_t pid = probe_launches(log).value(0);
        QCOMPARE(app_reports().size(), 1);

        // Stopped by a signal it stays stopped, and goes on with SIGCONT.
        ::kill(pid, SIGSTOP);
        QVERIFY(wait_until(
            [&] { return is_frozen_state(read_proc_stat(pid).value_or(proc_stat{}).state); }));
        QFile(gate).open(QIODevice::WriteOnly);
        QVERIFY(!wait_until([&] { return probe_launches(log).size() > 1; }, 300));
        ::kill(pid, SIGCONT);

        // It executes itself (the kernel's exec trap must not kill it) and exits.
        QVERIFY(wait_until([&] { return sim->platform_stops() == 1; }));
        QCOMPARE(probe_launches(log), (QList<pid_t>{pid, pid}));
        const QString p = QString::number(pid);
        QCOMPARE(app_reports(), (QList<QStringList>{{"c1", "probe", p, "running", probe_binary()},
                                                    {"c1", "probe", p, "stop"}}));
        QVERIFY(!read_proc_stat(pid)); // reaped
    }

    void kills_of_no_process_or_of_kernel_threads()
    {
        QVERIFY(start());
        // kthreadd's children are the kernel's threads.
        pid_t kthread = 0;
        for (const pid_t pid : read_children(2)) {
            const std::optional<proc_stat> p = read_proc_stat(pid);
            kthread = p && is_kernel_thread(*p) ? pid : kthread;
        }
        QVERIFY(kthread > 2);
        // Without the check, each costs a listing and a scan of /proc, and
        // the real kill behind them waits seconds.
        const int absent = 300;
        QStringList lines{QStringLiteral("kill %1 2").arg(platform),
                          QStringLiteral("kill %1 %2").arg(platform).arg(kthread)};
        for (int i = 0; i < absent; ++i)
            lines.append(QStringLiteral("kill %1 %2").arg(platform).arg(5000000 + i));
        sim->send(lines.join(QLatin1Char('\n')));
        sim->start_app(platform, probe_binary(), {"wait", dir.filePath("never"), "30"});
        QVERIFY(wait_until([&] { return app_reports().size() == 1; }));
        sim->kill_app(platform, app_reports().at(0).at(2));
        QVERIFY(wait_until([&] { return sim->platform_stops() == 1; }));
        const QString err = QString::fromUtf8(d->err());
        QCOMPARE(err.count(QStringLiteral("kill_app: no process")), absent);
        QCOMPARE(err.count(QStringLiteral("kill_app refused:")), 2);
        QVERIFY(!err.contains(QStringLiteral("\n()\n"))); // not one empty listing
    }

    void path_within_latin1_named_in_utf8()
    {
        QVERIFY(start());
        QCOMPARE(::symlink(QFile::encodeName(probe_binary()).constData(),
                           (QFile::encodeName(dir.path()) + "/caf\xc3\xa9").constData()),
                 0);
        sim->start_app(platform, dir.path() + QStringLiteral("/caf\u00e9"), {"exit", "0"});
        QVERIFY(wait_until([&] { return sim->platform_stops() == 1; }));
        QCOMPARE(probe_launches(log).size(), 1);
    }

    // More start/end cycles than the bus lets calls of a connection await a
    // reply (128), with a service that never answers.
    void final_report_refused_by_the_bus()
    {
        QVERIFY(start({QStringLiteral("--no-reply")}));
        for (int i = 1; i <= 140; ++i) {
            sim->start_app(platform, QStringLiteral("/bin/true"));
            QVERIFY2(wait_until([&] { return sim->platform_stops() == i; }),
                     qPrintable(QStringLiteral("cycle %1").arg(i)));
        }
        QVERIFY(d->err().contains("sent again without awaiting a reply"));
    }
};

QTEST_GUILESS_MAIN(tst_hostile)
#include "tst_hostile.moc"
