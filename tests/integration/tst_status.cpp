// The daemon's status method through the real daemon, by process tree and
// by cgroup (that row skipped without a writable cgroup v2 mount), and the
// stand-in's "status" finding it without its announcement.
#include "harness.h"

#include <QDBusConnection>
#include <QtTest>

#include <sys/time.h>
#include <unistd.h>

namespace {

const QString platform = QStringLiteral("shop@c1@0");

quint64 now_usec()
{
    timeval now{};
    gettimeofday(&now, nullptr);
    return static_cast<quint64>(now.tv_sec) * 1000000u + static_cast<quint64>(now.tv_usec);
}

} // namespace

class tst_status : public QObject
{
    Q_OBJECT

    QScopedPointer<private_bus> bus;
    QTemporaryDir dir;
    QString cgroup_base;

private slots:
    void initTestCase()
    {
        bus.reset(new private_bus);
        QVERIFY(bus->ok());
        QVERIFY(dir.isValid());
        cgroup_base = make_test_cgroup();
    }

    void cleanupTestCase()
    {
        if (!cgroup_base.isEmpty())
            remove_test_cgroup(cgroup_base);
    }

    void keys_and_states_across_a_life_data()
    {
        QTest::addColumn<bool>("cgroup");
        QTest::newRow("tree") << false;
        QTest::newRow("cgroup") << true;
    }

    // A launch that dies by a signal, its relaunch, and a kill. The service
    // never answers, so the runner stays blocked in its final report: the
    // answer must not wait for it.
    void keys_and_states_across_a_life()
    {
        QFETCH(bool, cgroup);
        if (cgroup && cgroup_base.isEmpty())
            QSKIP("no writable cgroup v2 hierarchy with cgroup.kill");
        runtime_sim_process sim({QStringLiteral("--no-reply")});
        QVERIFY(sim.ok());
        const quint64 before = now_usec();
        const QString log = dir.filePath(QStringLiteral("launches-%1").arg(cgroup));
        QStringList env{QStringLiteral("PROBE_LOG=") + log};
        if (cgroup)
            env << QStringLiteral("LAVROSK_CGROUP=") + cgroup_base;
        daemon_process d({platform, QStringLiteral("/bin/true")}, true, env);
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));

        QVariantMap about;
        QList<QVariantMap> apps;
        QVERIFY(daemon_status(d.pid(), &about, &apps));
        QCOMPARE(about.value("platform").toString(), platform);
        QCOMPARE(about.value("pid").toUInt(), static_cast<uint>(d.pid()));
        QVERIFY(about.value("started_usec").toULongLong() >= before);
        QVERIFY(about.value("started_usec").toULongLong() <= now_usec());
        QCOMPARE(about.value("cgroup_root").toString(), cgroup ? cgroup_base : QString());
        QVERIFY(apps.isEmpty());

        // Dies by SIGSEGV once, then runs until killed.
        const QStringList args{QStringLiteral("signal"), QStringLiteral("11"), QStringLiteral("1"),
                               dir.filePath(QStringLiteral("state-%1").arg(cgroup)),
                               QStringLiteral("60")};
        sim.start_app(platform, probe_binary(), args);
        QVERIFY(wait_until([&] { return probe_launches(log).size() == 2; }));
        const pid_t second = probe_launches(log).last();
        QVERIFY(wait_until([&] {
            return daemon_status(d.pid(), &about, &apps) && apps.size() == 1 &&
                   apps[0].value("pid").toUInt() == static_cast<uint>(second);
        }));
        const QVariantMap app = apps.first();
        QCOMPARE(app.value("name").toString(), QStringLiteral("probe"));
        QCOMPARE(app.value("path").toString(), probe_binary());
        QCOMPARE(app.value("arguments").toStringList(), args);
        QCOMPARE(app.value("launches").toUInt(), 2u);
        QCOMPARE(app.value("state").toString(), QStringLiteral("running"));
        QCOMPARE(app.value("last_end").toString(), QStringLiteral("signal 11"));
        QCOMPARE(app.value("tasks").toUInt(), 1u);
        QVERIFY(app.value("since_usec").toULongLong() > about.value("started_usec").toULongLong());
        QCOMPARE(app.contains("cgroup"), cgroup);
        if (cgroup)
            QVERIFY(app.value("cgroup").toString().startsWith(cgroup_base + "/"));

        // The stand-in finds it by its command line, without daemon_ready.
        QProcess status;
        status.start(sim_binary(), {QStringLiteral("status"), QStringLiteral("--json"), platform});
        QVERIFY(status.waitForFinished(10000));
        QCOMPARE(status.exitCode(), 0);
        const QJsonObject shown = QJsonDocument::fromJson(status.readAllStandardOutput()).object();
        QCOMPARE(shown.value("daemon").toObject().value("pid").toInt(), static_cast<int>(d.pid()));
        QCOMPARE(shown.value("applications").toArray().first().toObject().value("pid").toInt(),
                 static_cast<int>(second));

        // Arguments, an unknown method or an unknown path: an error, nothing else.
        const int calls = sim.calls().size();
        QCOMPARE(call_daemon(d.pid(), QStringLiteral("status"), {QStringLiteral("x")}).type(),
                 QDBusMessage::ErrorMessage);
        QCOMPARE(call_daemon(d.pid(), QStringLiteral("stop")).type(), QDBusMessage::ErrorMessage);
        QCOMPARE(call_daemon(d.pid(), QStringLiteral("status"), {}, QStringLiteral("/")).type(),
                 QDBusMessage::ErrorMessage);
        QVERIFY(process_alive(second));
        QCOMPARE(sim.calls().size(), calls);

        sim.kill_app(platform, QString::number(second));
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QVERIFY(!process_alive(second));
        // The runner now waits for an answer to its final report that never
        // comes; the status answer does not.
        QElapsedTimer timer;
        timer.start();
        QVERIFY(daemon_status(d.pid(), &about, &apps));
        QVERIFY2(timer.elapsed() < 1000, QByteArray::number(timer.elapsed()).constData());
        QVERIFY(apps.isEmpty());
    }
};

QTEST_GUILESS_MAIN(tst_status)
#include "tst_status.moc"
