// The bus limits the operating guide recommends, on both system buses: the bus starts
// with them, and takes daemons past dbus-daemon's default of 256 connections
// per user.
#include "harness.h"

#include <QDBusConnection>
#include <QtTest>

Q_DECLARE_METATYPE(bus_kind)

class tst_bus_limits : public QObject
{
    Q_OBJECT

private slots:
    void recommended_limits_hold_many_daemons_data()
    {
        QTest::addColumn<bus_kind>("kind");
        QTest::newRow("dbus-daemon") << bus_kind::dbus_daemon;
        QTest::newRow("dbus-broker") << bus_kind::dbus_broker;
    }
    void recommended_limits_hold_many_daemons()
    {
        QFETCH(bus_kind, kind);
        if (kind == bus_kind::dbus_broker && !broker_missing().isEmpty())
            QSKIP(qPrintable(broker_missing()));
        private_bus bus(QStringLiteral(LAVROSK_LIMITS_CONF), kind);
        QVERIFY2(bus.ok(), "the bus does not start with the recommended limits");

        // Root's connections beyond the default limit, as other services hold them.
        QStringList held;
        for (int i = 0; i < 300; ++i) {
            held.append(QStringLiteral("held-%1").arg(i));
            QVERIFY2(QDBusConnection::connectToBus(bus.address, held.last()).isConnected(),
                     qPrintable(held.last()));
        }
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QString platform = QStringLiteral("shop@c1@0");
        daemon_process d({platform, QStringLiteral("/bin/true")});
        daemon_process other({QStringLiteral("other@c2@0"), QStringLiteral("/bin/true")});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 2; }));
        sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QCOMPARE(d.process.state(), QProcess::Running);
        QCOMPARE(other.process.state(), QProcess::Running);
        for (const QString &name : held)
            QDBusConnection::disconnectFromBus(name);
    }
};

QTEST_GUILESS_MAIN(tst_bus_limits)
#include "tst_bus_limits.moc"
