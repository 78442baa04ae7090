// Where the daemon's standard output goes, which it does not choose: a reader
// gone, a file at its size limit, a stalled pipe it may not reopen (another
// user's), a terminal with tostop while it runs in the background. Whatever
// the destination, each application runs once, as it would anywhere, and
// every action is prompt; the lines lost are told truly.
#include "harness.h"

#include <QElapsedTimer>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr qint64 prompt_ms = 2000;

// Sum of the counts of the drop notes on standard error, and how many notes.
QPair<unsigned long, int> noted_drops(const QByteArray &err)
{
    unsigned long n = 0;
    int notes = 0;
    for (const QByteArray &line : err.split('\n')) {
        const int at = line.indexOf(" lines of output dropped: ");
        if (line.startsWith("lavrosk-daemon: ") && at > 0) {
            n += line.mid(16, at - 16).toULong();
            ++notes;
        }
    }
    return {n, notes};
}

// The probe's report line that starts with key, its value.
QByteArray reported(const QString &path, const QByteArray &key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (line.startsWith(key + ' '))
            return line.mid(key.size() + 1);
    }
    return {};
}

} // namespace

class tst_output : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QString open_dir; // writable by the daemon run as nobody
    QString probe;    // a copy nobody can execute, wherever the build is
    const QString platform = QStringLiteral("shop@c1@0");

    // sh runs the daemon, through wrapper words if any, with standard output
    // redirected as redirect says.
    QStringList through_sh(const QString &redirect, const QStringList &wrapper = {}) const
    {
        return QStringList{QStringLiteral("-c"), QStringLiteral("exec \"$@\" ") + redirect,
                           QStringLiteral("sh")} +
               wrapper + QStringList{daemon_binary(), platform, QStringLiteral("/bin/true")};
    }

    QString fifo(const QString &name) const
    {
        const QString path = dir.filePath(name);
        return mkfifo(path.toLocal8Bit().constData(), 0600) == 0 ? path : QString();
    }

    // One launch that runs once and is reported ended, one that cannot be
    // executed and is not relaunched either, and a stop request obeyed: each
    // within prompt_ms. The probe reports how it was started.
    void check_prompt(runtime_sim_process &sim, daemon_process &d, const QString &name)
    {
        const QString log = open_dir + QLatin1Char('/') + name + QStringLiteral("-launches");
        const QString report = open_dir + QLatin1Char('/') + name + QStringLiteral("-report");
        QElapsedTimer action;
        action.start();
        sim.start_app(platform, probe, {QStringLiteral("argv"), report});
        QVERIFY2(wait_until([&] { return sim.platform_stops() == 1; }, prompt_ms),
                 d.err().constData());
        QVERIFY(action.elapsed() < prompt_ms);
        // Ran, once: a child that died before its exec would be relaunched.
        QCOMPARE(probe_launches(log).size(), 1);
        QCOMPARE(reported(report, "handled"), QByteArray("0"));
        QCOMPARE(reported(report, "blocked"), QByteArray("0"));
        QCOMPARE(reported(report, "stdout-nonblock"), QByteArray("0"));
        action.restart();
        sim.start_app(platform, dir.filePath(QStringLiteral("missing")));
        QVERIFY(wait_until([&] { return sim.platform_stops() == 2; }, prompt_ms));
        QVERIFY(action.elapsed() < prompt_ms);
        int launches = 0;
        for (const QJsonArray &p : sim.payloads(QStringLiteral("set_app_status")))
            launches += status_list(p).value(3) == QLatin1String("running") ? 1 : 0;
        QCOMPARE(launches, 2);
        action.restart();
        sim.kill_daemon(platform);
        QVERIFY(d.wait_exit(prompt_ms));
        QVERIFY(action.elapsed() < prompt_ms);
        QCOMPARE(d.process.exitCode(), 0);
    }

    // Started by program with args: announced within prompt_ms.
    void check_announced(runtime_sim_process &sim, daemon_process &d)
    {
        QVERIFY2(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; },
                            prompt_ms),
                 (d.err() + d.out()).constData());
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        open_dir = dir.filePath(QStringLiteral("open"));
        QVERIFY(QDir().mkdir(open_dir));
        QCOMPARE(chmod(dir.path().toLocal8Bit().constData(), 0755), 0);
        QCOMPARE(chmod(open_dir.toLocal8Bit().constData(), 0777), 0);
        probe = open_dir + QStringLiteral("/probe");
        QVERIFY(QFile::copy(probe_binary(), probe));
    }

    void destinations_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("reader gone") << "gone";
        QTest::newRow("file at its size limit") << "fsize";
        QTest::newRow("stalled pipe of another user") << "stalled";
        QTest::newRow("terminal with tostop, in the background") << "tostop";
    }

    void destinations()
    {
        QFETCH(QString, kind);
        private_bus bus;
        QVERIFY(bus.ok());
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QStringList env{QStringLiteral("PROBE_LOG=") + open_dir + QLatin1Char('/') + kind +
                              QStringLiteral("-launches")};
        QStringList args;
        QString program = QStringLiteral("sh");
        int held = -1;
        if (kind == QLatin1String("gone")) {
            const QString path = fifo(kind);
            QVERIFY(!path.isEmpty());
            held = open(path.toLocal8Bit().constData(), O_RDWR | O_CLOEXEC);
            // Both streams: a failed exec's line goes to standard error.
            args = through_sh(QStringLiteral(">'%1' 2>&1").arg(path));
        } else if (kind == QLatin1String("fsize")) {
            // Full already; the probe's own files stay well under the limit.
            QFile full(dir.filePath(kind));
            QVERIFY(full.open(QIODevice::WriteOnly));
            QCOMPARE(full.write(QByteArray(4096, '.')), qint64(4096));
            full.close();
            args = through_sh(
                QStringLiteral(">>'%1'").arg(full.fileName()),
                {QStringLiteral("prlimit"), QStringLiteral("--fsize=4096"), QStringLiteral("--")});
        } else if (kind == QLatin1String("stalled")) {
            // Full before the daemon starts; made by root, so a daemon run as
            // nobody cannot open a description of its own.
            const QString path = fifo(kind);
            QVERIFY(!path.isEmpty());
            held = open(path.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
            const QByteArray block(4096, '.');
            while (held >= 0 && write(held, block.constData(), block.size()) > 0) {
            }
            args = through_sh(QStringLiteral(">'%1'").arg(path),
                              {QStringLiteral("setpriv"), QStringLiteral("--reuid=65534"),
                               QStringLiteral("--regid=65534"), QStringLiteral("--clear-groups")});
        } else {
            // script gives the shell a terminal; set -m puts the daemon in a
            // background process group of it.
            program = QStringLiteral("script");
            args = QStringList{QStringLiteral("-qec"),
                               QStringLiteral("sh -c 'set -m; stty tostop; %1 %2 /bin/true & wait'")
                                   .arg(daemon_binary(), platform),
                               QStringLiteral("/dev/null")};
        }
        QVERIFY(kind == QLatin1String("fsize") || kind == QLatin1String("tostop") || held >= 0);
        QElapsedTimer started;
        started.start();
        daemon_process d(args, false, env, program);
        check_announced(sim, d);
        QVERIFY(started.elapsed() < prompt_ms);
        if (kind == QLatin1String("gone")) {
            close(held);
            held = -1;
        }
        check_prompt(sim, d, kind);
        if (held >= 0)
            close(held);
    }

    // Every line lost is counted, the children's own included, with its
    // cause, in at most one note a second.
    void drop_count()
    {
        private_bus bus;
        QVERIFY(bus.ok());
        const int apps = 20;
        // How many lines those launches write when nothing is lost.
        const QString file = dir.filePath(QStringLiteral("all-lines"));
        int lines = 0;
        {
            runtime_sim_process sim;
            QVERIFY(sim.ok());
            daemon_process d(through_sh(QStringLiteral(">'%1'").arg(file)), false, {},
                             QStringLiteral("sh"));
            check_announced(sim, d);
            for (int i = 0; i < apps; ++i)
                sim.start_app(platform, probe_binary(),
                              {QStringLiteral("exit"), QStringLiteral("0")});
            QVERIFY(wait_until([&] {
                return sim.platform_stops() >= 1 &&
                       sim.calls(QStringLiteral("set_app_status")).size() == 2 * apps;
            }));
            sim.kill_daemon(platform);
            QVERIFY(d.wait_exit());
            QFile written(file);
            QVERIFY(written.open(QIODevice::ReadOnly));
            lines = written.readAll().count('\n');
            QVERIFY(lines >= 3 * apps); // the children's two each among them
        }
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QString path = fifo(QStringLiteral("drops"));
        QVERIFY(!path.isEmpty());
        const int held = open(path.toLocal8Bit().constData(), O_RDWR | O_CLOEXEC);
        QVERIFY(held >= 0);
        daemon_process d(through_sh(QStringLiteral(">'%1'").arg(path)), false, {},
                         QStringLiteral("sh"));
        check_announced(sim, d);
        close(held);
        QElapsedTimer timer;
        timer.start();
        for (int i = 0; i < apps; ++i)
            sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        QVERIFY2(wait_until([&] {
                     return noted_drops(d.err()).first >= static_cast<unsigned long>(lines);
                 }),
                 d.err().constData());
        // No more than that, and not a note a line.
        QTest::qWait(1500);
        const QPair<unsigned long, int> noted = noted_drops(d.err());
        QCOMPARE(noted.first, static_cast<unsigned long>(lines));
        QVERIFY2(noted.second <= timer.elapsed() / 1000 + 1, d.err().constData());
        QVERIFY(d.err().contains("lines of output dropped: Broken pipe"));
        sim.kill_daemon(platform);
        QVERIFY(d.wait_exit());
    }
};

QTEST_GUILESS_MAIN(tst_output)
#include "tst_output.moc"
