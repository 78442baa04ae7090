// The daemon under valgrind through 200-odd launches, restarts and tree
// kills: no byte definitely lost from our code, and no invalid access.
#include "harness.h"

#include <QRegularExpression>
#include <QtTest>

#include <csignal>

class tst_leaks : public QObject
{
    Q_OBJECT

    QScopedPointer<private_bus> bus;
    QTemporaryDir dir;
    const QString platform = QStringLiteral("shop@c1@0");

    QString path(const QString &name) const { return dir.filePath(name); }
private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("valgrind").isEmpty())
            QSKIP("valgrind is not installed");
        QVERIFY(dir.isValid());
        bus.reset(new private_bus);
        QVERIFY(bus->ok());
    }

    void no_leak_through_launches_restarts_and_kills()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QString report = path("memcheck.log");
        const QString log = path("launches");
        daemon_process d({"--leak-check=full", "--show-leak-kinds=definite",
                          "--errors-for-leak-kinds=definite", "--num-callers=30",
                          "--log-file=" + report, daemon_binary(), platform, "/bin/true"},
                         true, {"PROBE_LOG=" + log}, QStringLiteral("valgrind"));
        QVERIFY(wait_until([&] { return sim.calls("daemon_ready").size() == 1; }, 60000));

        int launches = 0;
        int stops = 0;
        for (int round = 0; round < 5; ++round) {
            const QString gate = path(QStringLiteral("gate%1").arg(round));
            // Per round: 20 normal ends, 6 crashes restarted once, 10 trees killed.
            for (int i = 0; i < 20; ++i)
                sim.start_app(platform, probe_binary(), {"exit", "0"});
            for (int i = 0; i < 6; ++i)
                sim.start_app(platform, probe_binary(),
                              {"signal", QString::number(SIGSEGV), "1",
                               path(QStringLiteral("state%1-%2").arg(round).arg(i))});
            for (int i = 0; i < 10; ++i)
                sim.start_app(platform, probe_binary(), {"wait", gate, "60"});
            launches += 20 + 12 + 10;
            // This round's waiting probes, by their own record: a pid from an
            // earlier round may belong to somebody else by now. Waited for by
            // name: a count of all launches that reaches its mark says nothing
            // of which probes are in. On a failure the log is shown whole.
            QList<pid_t> waiting;
            QByteArray text;
            const bool all_in = wait_until(
                [&] {
                    QFile records(log);
                    if (!records.open(QIODevice::ReadOnly))
                        return false;
                    text = records.readAll();
                    waiting.clear();
                    for (const QByteArray &line : text.split('\n')) {
                        const QList<QByteArray> words = line.split(' ');
                        if (words.size() >= 5 && words.at(0) == "launch" && words.at(3) == "wait" &&
                            words.at(4) == gate.toUtf8())
                            waiting.append(static_cast<pid_t>(words.at(1).toInt()));
                    }
                    return waiting.size() == 10 && probe_launches(log).size() >= launches;
                },
                120000);
            QVERIFY2(all_in, text.constData());
            for (const pid_t pid : waiting)
                sim.kill_app(platform, QString::number(pid));
            QVERIFY(wait_until([&] { return sim.platform_stops() > stops; }, 120000));
            stops = sim.platform_stops();
        }
        QVERIFY(launches >= 200);

        sim.kill_daemon(platform);
        QVERIFY(d.wait_exit(120000));
        QCOMPARE(d.process.exitCode(), 0);
        QFile file(report);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(file.readAll());
        for (const QString &line : text.split(QLatin1Char('\n')))
            if (line.contains("lost:") || line.contains("ERROR SUMMARY"))
                qInfo("%s", qPrintable(line));
        QVERIFY2(text.contains("ERROR SUMMARY: 0 errors"), qPrintable(text.right(4000)));
        // A leak check that did not run proves nothing.
        QVERIFY(text.contains("LEAK SUMMARY") || text.contains("All heap blocks were freed"));
        const QRegularExpressionMatch lost =
            QRegularExpression(QStringLiteral("definitely lost: ([0-9,]+) bytes")).match(text);
        QVERIFY2(!lost.hasMatch() || lost.captured(1) == QLatin1String("0"),
                 qPrintable(text.right(4000)));
    }
};

QTEST_GUILESS_MAIN(tst_leaks)
#include "tst_leaks.moc"
