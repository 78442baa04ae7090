// A daemon without a bus, and signals addressed to one daemon.
#include "harness.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

class tst_bus : public QObject
{
    Q_OBJECT

private:
    const QString platform = QStringLiteral("shop@c1@0");
    // Above the kernel's largest pid: a kill request for it can never hit.
    const QString no_pid = QStringLiteral("4194305");

    static QString announced_by(runtime_sim_process &sim, const QString &who)
    {
        for (const QJsonObject &call : sim.calls(QStringLiteral("daemon_ready")))
            if (call.value("args").toArray().at(0).toArray().at(0).toString() == who)
                return call.value("sender").toString();
        return QString();
    }
    static QJsonObject last_signal(runtime_sim_process &sim)
    {
        QJsonObject last;
        for (const QJsonObject &r : sim.records())
            last = r.contains(QStringLiteral("signal")) ? r : last;
        return last;
    }

private slots:
    void directed_signals_reach_one_daemon_from_the_owner_only()
    {
        private_bus bus;
        QVERIFY(bus.ok());
        runtime_sim_process sim({QStringLiteral("--directed")});
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")});
        daemon_process other({QStringLiteral("other@c2@1"), QStringLiteral("/bin/true")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 2; }));
        const QString name = announced_by(sim, platform);
        QVERIFY(name.startsWith(QLatin1Char(':')));

        // Addressed to this daemon alone.
        sim.kill_app(platform, no_pid);
        QVERIFY(wait_until([&] { return sim.emitted_count() == 1; }));
        QCOMPARE(last_signal(sim).value("destination").toString(), name);

        // Addressed to the daemon by someone else than the owner: ignored.
        QDBusConnection spoofer =
            QDBusConnection::connectToBus(bus.address, QStringLiteral("spoofer"));
        QDBusMessage start = QDBusMessage::createTargetedSignal(
            name, QStringLiteral("/com/quorl/runtime"),
            QStringLiteral("com.quorl.runtime.interface"), QStringLiteral("app_start"));
        start << QVariantList{platform, probe_binary(), QStringList{"exit", "0"}};
        QVERIFY(spoofer.send(start));
        // A round trip: the bus has routed it before the owner's request.
        QVERIFY(spoofer.interface()->isServiceRegistered(QStringLiteral("com.quorl.runtime")));
        QDBusConnection::disconnectFromBus(QStringLiteral("spoofer"));
        sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QCOMPARE(sim.daemon_logs().filter(QStringLiteral("~~~~~~~~~app_shell=")).size(), 1);

        // No daemon announced this platform: a broadcast, and the record says
        // so. Both daemons forward its line, after any line of the kill above.
        sim.kill_app(QStringLiteral("nobody@c9@0"), no_pid);
        QVERIFY(wait_until([&] { return sim.daemon_logs().filter("nobody@c9@0").size() == 2; }));
        QVERIFY(last_signal(sim).value("destination").isNull());
        QVERIFY(last_signal(sim).contains("destination"));
        const QList<QJsonObject> logs = sim.calls(QStringLiteral("show_daemon_log"));
        const auto kill_line = [&](const QJsonObject &call) {
            return call.value("args").toArray().at(0).toArray().at(0).toString().contains(no_pid);
        };
        QCOMPARE(std::count_if(logs.begin(), logs.end(), kill_line), 3);
        QCOMPARE(std::find_if(logs.begin(), logs.end(), kill_line)->value("sender").toString(),
                 name);

        // Platforms the bus cannot match on its side still hear a broadcast stop.
        for (const QString &odd : {QStringLiteral("it's@c3@0"), QString(900, QLatin1Char('x'))}) {
            daemon_process q({odd, QStringLiteral("/bin/true")});
            QVERIFY(wait_until([&] { return !announced_by(sim, odd).isEmpty(); }));
            const QJsonObject raw{{"signal", "kill_daemon"}, {"payload", odd}};
            sim.send(QString::fromUtf8(QJsonDocument(raw).toJson(QJsonDocument::Compact)));
            QVERIFY2(q.wait_exit(5000), qPrintable(odd.left(20)));
            QCOMPARE(q.process.exitCode(), 0);
        }
        QCOMPARE(d.process.state(), QProcess::Running);
        QCOMPARE(other.process.state(), QProcess::Running);
    }

    // A bus that stops before the daemon has authenticated: start-up ends
    // all the same, within its one deadline, and says what got no answer.
    void stalled_bus_bounds_start_up()
    {
        if (test_bus_kind() != bus_kind::dbus_daemon)
            QSKIP("the broker's launcher is not the bus: stopping it stalls nothing");
        private_bus bus;
        QVERIFY(bus.ok());
        QCOMPARE(kill(bus.pid(), SIGSTOP), 0);
        QElapsedTimer clock;
        clock.start();
        daemon_process d({platform, QStringLiteral("/bin/true")}, false);
        const bool exited = d.wait_exit(40000);
        const qint64 took = clock.elapsed();
        kill(bus.pid(), SIGCONT);
        QVERIFY(exited);
        qInfo("daemon gone %lld ms after it started on a stopped bus", took);
        QCOMPARE(d.process.exitCode(), 69);
        QVERIFY2(took >= 24000 && took < 32000, qPrintable(QString::number(took)));
        const QString line = QString::fromUtf8(d.err()).trimmed().section(QLatin1Char('\n'), -1);
        QCOMPARE(line, QStringLiteral("lavrosk-daemon shop@c1@0: start-up timed out on the system "
                                      "bus at %1: no answer to the connection and its "
                                      "authentication in 25 s")
                           .arg(bus.address));
    }

    void lost_bus_ends_the_daemon_and_spares_the_application()
    {
        QTemporaryDir dir;
        private_bus bus;
        QVERIFY(bus.ok());
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const QString gate = dir.filePath(QStringLiteral("gate"));
        sim.start_app(platform, probe_binary(), {QStringLiteral("wait"), gate});
        QVERIFY(
            wait_until([&] { return sim.payloads(QStringLiteral("set_app_status")).size() == 1; }));
        const pid_t app =
            status_list(sim.payloads(QStringLiteral("set_app_status")).first()).value(2).toInt();

        QElapsedTimer clock;
        clock.start();
        bus.stop();
        QVERIFY(d.wait_exit(2000));
        qInfo("daemon gone %lld ms after its bus", clock.elapsed());
        QCOMPARE(d.process.exitCode(), 69);
        const QString line = QString::fromUtf8(d.err()).trimmed().section(QLatin1Char('\n'), -1);
        QVERIFY2(line.startsWith(QStringLiteral("lavrosk-daemon shop@c1@0: lost the connection to "
                                                "the system bus at ") +
                                 bus.address),
                 qPrintable(line));
        QVERIFY(process_alive(app));
        QFile(gate).open(QIODevice::WriteOnly);
        QVERIFY(wait_until([&] { return !process_alive(app); }));
    }
};

// A bus full for this user refuses the daemon. dbus-broker has no such
// limit (it counts bytes, descriptors and match rules per user instead).
class tst_bus_refused : public QObject
{
    Q_OBJECT

private:
    const QString platform = QStringLiteral("shop@c1@0");

private slots:
    void refused_connection_ends_the_daemon()
    {
        private_bus bus(QStringLiteral(LAVROSK_ONE_CONNECTION_CONF));
        QVERIFY(bus.ok());
        // The stand-in holds the one connection the bus allows; this test
        // process stays off the bus.
        child_process sim;
        sim.start(sim_binary(), {QStringLiteral("--json")});
        QVERIFY(wait_until([&] { return sim.canReadLine(); }));
        QVERIFY(sim.readLine().contains("\"ready\""));

        QElapsedTimer clock;
        clock.start();
        daemon_process d({platform, QStringLiteral("/bin/true")}, false);
        QVERIFY(d.wait_exit(2000));
        qInfo("refused daemon gone after %lld ms", clock.elapsed());
        QCOMPARE(d.process.exitCode(), 69);
        const QString line = QString::fromUtf8(d.err()).trimmed().section(QLatin1Char('\n'), -1);
        QCOMPARE(line, QStringLiteral("lavrosk-daemon shop@c1@0: cannot connect to the system bus "
                                      "at %1: The maximum number of active connections for UID "
                                      "%2 has been reached")
                           .arg(bus.address)
                           .arg(getuid()));
    }
};

// "tst_bus refused" runs the refused connection alone, so that a bus without
// the limit can skip it with CTest's skip code.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "refused") == 0) {
        if (test_bus_kind() == bus_kind::dbus_broker) {
            std::puts("SKIP: dbus-broker counts no connections per user, so none is refused");
            return 77;
        }
        tst_bus_refused refused;
        argv[1] = argv[0];
        return QTest::qExec(&refused, argc - 1, argv + 1);
    }
    tst_bus test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_bus.moc"
