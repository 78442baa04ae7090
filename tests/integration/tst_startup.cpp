// Start-up, identity, control requests and log forwarding of the real daemon.
#include "harness.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QtTest>

class tst_startup : public QObject
{
    Q_OBJECT

private:
    QScopedPointer<private_bus> bus;
    const QString platform = QStringLiteral("shop@c1@0");

    // A launch request the daemon surely acts on: a probe that exits at once.
    void start_probe(runtime_sim_process &sim, const QString &who)
    {
        sim.start_app(who, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
    }
    static int runners_started(runtime_sim_process &sim)
    {
        return sim.daemon_logs().filter(QStringLiteral("~~~~~~~~~app_shell=")).size();
    }

private slots:
    void initTestCase()
    {
        bus.reset(new private_bus);
        QVERIFY(bus->ok());
    }

    void usage_for_too_few_arguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::newRow("none") << QStringList{};
        QTest::newRow("platform only") << QStringList{platform};
    }
    void usage_for_too_few_arguments()
    {
        QFETCH(QStringList, args);
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d(args, false);
        QVERIFY(d.wait_exit());
        QCOMPARE(d.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(d.process.exitCode(), 255);
        QCOMPARE(QString::fromUtf8(d.out()),
                 QStringLiteral("命令格式为---lavrosk-daemon app名@容器名@is_root app命令路径 "
                                "参数1 参数2...\n"));
        QCOMPARE(d.err(), QByteArray());
        // A real daemon announces itself; it must be the only announcement.
        daemon_process real({platform, QStringLiteral("/bin/true")});
        QVERIFY(wait_until([&] { return sim.calls().size() >= 1; }));
        QCOMPARE(sim.calls().size(), 1);
        QCOMPARE(sim.calls().first().value("method").toString(), QStringLiteral("daemon_ready"));
    }

    void startup_lines_and_announcement()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/opt/app/bin/run")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const QJsonArray ready = sim.payloads(QStringLiteral("daemon_ready")).first();
        QCOMPARE(ready, (QJsonArray{platform, QStringLiteral("/opt/app/bin/run"), QJsonArray{}}));

        const QStringList lines = QString::fromUtf8(d.err()).split(QLatin1Char('\n'));
        QVERIFY(lines.size() >= 4);
        QVERIFY2(QRegularExpression(
                     QStringLiteral(
                         "^目标文件名称:  \\S+main\\.cpp 目标行数编号:  \\d+ 目标函数名称:  main$"))
                     .match(lines.at(0))
                     .hasMatch(),
                 qPrintable(lines.at(0)));
        QCOMPARE(lines.at(1), QStringLiteral("3"));
        QCOMPARE(lines.at(2), platform);
        QCOMPARE(lines.at(3), QStringLiteral("/opt/app/bin/run"));
        QCOMPARE(sim.calls().size(), 1); // the announcement is all it sends
    }

    void arguments_are_latin1_and_kept_whole()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        // QProcess passes these as UTF-8; the daemon must read every byte as
        // one Latin-1 character.
        const QString utf8_platform = QStringLiteral("商店@容器@0");
        const QString latin1_platform = QString::fromLatin1(utf8_platform.toUtf8());
        daemon_process d({utf8_platform, QStringLiteral("/bin/é"), QString(), QStringLiteral("a b"),
                          QStringLiteral("x@y"), QStringLiteral("~")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const QJsonArray ready = sim.payloads(QStringLiteral("daemon_ready")).first();
        QCOMPARE(ready.at(0).toString(), latin1_platform);
        QCOMPARE(ready.at(1).toString(), QString::fromLatin1(QByteArray("/bin/\xc3\xa9")));
        QCOMPARE(ready.at(2).toArray(), (QJsonArray{QString(), QStringLiteral("a b"),
                                                    QStringLiteral("x@y"), QStringLiteral("~")}));
        QCOMPARE(QString::fromUtf8(d.err()).split(QLatin1Char('\n')).value(2), utf8_platform);

        // Only the same characters match: the UTF-8 reading is another identity.
        start_probe(sim, utf8_platform);
        start_probe(sim, latin1_platform);
        QVERIFY(wait_until([&] { return runners_started(sim) == 1; }));
        QVERIFY(wait_until(
            [&] { return sim.payloads(QStringLiteral("set_platform_app_status")).size() == 2; }));
        QCOMPARE(status_list(sim.payloads(QStringLiteral("set_platform_app_status")).last()),
                 (QStringList{latin1_platform, QStringLiteral("stop")}));
        QCOMPARE(runners_started(sim), 1);
    }

    // A stand-in that answers the announcement with a launch at once: the
    // request must find the subscription already in place, every time.
    void subscribed_before_announcing()
    {
        for (int round = 0; round < 10; ++round) {
            const QString line = QStringLiteral("[\"app_start\", \"%1\", \"%2\", \"exit\", \"0\"]")
                                     .arg(platform, probe_binary());
            runtime_sim_process sim({QStringLiteral("--on-ready"), line});
            QVERIFY(sim.ok());
            daemon_process d({platform, QStringLiteral("/bin/true")});
            QVERIFY2(wait_until([&] { return runners_started(sim) == 1; }, 5000),
                     qPrintable(QStringLiteral("round %1").arg(round)));
        }
    }

    void requests_match_the_identity_exactly()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        for (const QString &other :
             {QStringLiteral("SHOP@c1@0"), QStringLiteral(" shop@c1@0"),
              QStringLiteral("shop@c1@0 "), QStringLiteral("shop@c1"), QString()})
            start_probe(sim, other);
        // An empty argument list is a valid request too.
        sim.start_app(platform, QStringLiteral("/bin/true"));
        QVERIFY(wait_until([&] { return runners_started(sim) == 1; }));
        QVERIFY(wait_until([&] { return sim.daemon_logs().filter("app剩余：0").size() == 1; }));
        QCOMPARE(runners_started(sim), 1);
        QCOMPARE(sim.daemon_logs().filter("app_shell=/bin/true").size(), 1);

        // Two identical requests start two runners.
        start_probe(sim, platform);
        start_probe(sim, platform);
        QVERIFY(wait_until([&] { return runners_started(sim) == 3; }));
    }

    void kill_daemon_ends_only_its_own_daemon()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")});
        daemon_process other({QStringLiteral("other@c2@1"), QStringLiteral("/bin/true")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 2; }));
        sim.kill_daemon(QStringLiteral("Shop@c1@0"));
        sim.kill_daemon(platform);
        QVERIFY(d.wait_exit());
        QCOMPARE(d.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(d.process.exitCode(), 0);
        // The other daemon heard the same requests and goes on working.
        QCOMPARE(other.process.state(), QProcess::Running);
        start_probe(sim, QStringLiteral("other@c2@1"));
        QVERIFY(wait_until([&] { return runners_started(sim) == 1; }));
    }

    void runtime_service_absent_at_start()
    {
        QVERIFY(wait_until([] { return !service_owned(); }));
        daemon_process d({platform, QStringLiteral("/bin/true")});
        // Four start-up lines, then one line about the missing service.
        QVERIFY(wait_until([&] { return d.err().count('\n') >= 5; }));
        const QByteArray missing = d.err().split('\n').value(4);
        QVERIFY(!missing.isEmpty());
        QCOMPARE(d.process.state(), QProcess::Running);

        runtime_sim_process sim;
        QVERIFY(sim.ok());
        start_probe(sim, platform);
        QVERIFY(wait_until([&] { return runners_started(sim) == 1; }));
        QVERIFY(wait_until(
            [&] { return sim.payloads(QStringLiteral("set_platform_app_status")).size() == 2; }));
        // Said once for the whole time the service was missing.
        QCOMPARE(d.err().count(missing), 1);
    }

    void log_lines_are_forwarded_unchanged()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        // A kill request for another daemon: every daemon forwards its line.
        const QStringList texts{QString(), QStringLiteral("商店，容器！（测试）"),
                                QStringLiteral("line one\nline two\r\n\ttab"),
                                QStringLiteral("%1 %s \\ \"quoted\"")};
        for (const QString &text : texts)
            sim.kill_app(text, text);
        QVERIFY(wait_until([&] { return sim.daemon_logs().size() == texts.size(); }));
        QStringList expected;
        for (const QString &text : texts)
            expected.append(QStringLiteral("要杀死的app容器标识:") + text + QStringLiteral("pid:") +
                            text);
        QCOMPARE(sim.daemon_logs(), expected);
        QCOMPARE(d.process.state(), QProcess::Running);
    }

    void malformed_start_requests_are_refused()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const int lines_before = d.err().count('\n');
        const QStringList payloads{
            QStringLiteral("[]"),
            QStringLiteral("[\"%1\"]"),
            QStringLiteral("[\"%1\", \"/bin/true\"]"),
            QStringLiteral("[\"%1\", 5, [\"x\"]]"),
            QStringLiteral("[\"%1\", \"/bin/true\", \"not a list\"]"),
            QStringLiteral("[[\"%1\"], \"/bin/true\", [\"x\"]]"),
        };
        for (const QString &payload : payloads)
            sim.send(QStringLiteral("{\"signal\": \"app_start\", \"payload\": %1}")
                         .arg(payload.arg(platform)));
        QVERIFY(wait_until([&] { return d.err().count('\n') == lines_before + payloads.size(); }));
        // Still up and still obeying: a good request after the bad ones works.
        start_probe(sim, platform);
        QVERIFY(wait_until([&] { return runners_started(sim) == 1; }));
        QCOMPARE(runners_started(sim), 1);
    }

    // Signals with the right path, interface and name from a client that does
    // not own the service's name are not the runtime service's.
    void signals_from_other_clients_are_ignored()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        QDBusConnection spoofer =
            QDBusConnection::connectToBus(bus->address, QStringLiteral("spoofer"));
        QVERIFY(spoofer.isConnected());
        const QString path = QStringLiteral("/com/quorl/runtime");
        const QString iface = QStringLiteral("com.quorl.runtime.interface");
        QDBusMessage start = QDBusMessage::createSignal(path, iface, QStringLiteral("app_start"));
        start << QVariantList{platform, probe_binary(), QStringList{"exit", "0"}};
        QDBusMessage kill = QDBusMessage::createSignal(path, iface, QStringLiteral("kill_app"));
        kill << QStringList{platform, QString::number(d.pid())};
        QDBusMessage stop = QDBusMessage::createSignal(path, iface, QStringLiteral("kill_daemon"));
        stop << platform;
        QVERIFY(spoofer.send(start));
        QVERIFY(spoofer.send(kill));
        QVERIFY(spoofer.send(stop));
        // A round trip: the bus has routed the three before it answers.
        QVERIFY(spoofer.interface()->isServiceRegistered(QStringLiteral("com.quorl.runtime")));
        // The real service's request goes through the same bus after them.
        sim.kill_app(QStringLiteral("marker"), QStringLiteral("1"));
        QVERIFY(wait_until([&] { return sim.daemon_logs().size() == 1; }));
        QCOMPARE(sim.daemon_logs().first(), QStringLiteral("要杀死的app容器标识:markerpid:1"));
        QCOMPARE(d.process.state(), QProcess::Running);
        QDBusConnection::disconnectFromBus(QStringLiteral("spoofer"));
    }
};

QTEST_GUILESS_MAIN(tst_startup)
#include "tst_startup.moc"
