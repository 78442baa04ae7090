// Applications in cgroups of their own (LAVROSK_CGROUP), through the real
// daemon, in a fresh directory of a cgroup v2 hierarchy. Skipped (exit
// status 77) where no writable one is mounted.
#include "harness.h"

#include <QtTest>

#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

const QString platform = QStringLiteral("shop@c1@0");

QList<pid_t> pids_in_file(const QString &path)
{
    QFile file(path);
    QList<pid_t> pids;
    if (file.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : file.readAll().split('\n'))
            if (!line.isEmpty())
                pids.append(line.toInt());
    }
    return pids;
}

// A new directory in the first writable cgroup v2 mount, if it has cgroup.kill.
QString make_test_cgroup()
{
    QFile mounts(QStringLiteral("/proc/self/mounts"));
    mounts.open(QIODevice::ReadOnly);
    for (const QByteArray &line : mounts.readAll().split('\n')) {
        const QList<QByteArray> field = line.split(' ');
        const QString dir =
            QString::fromUtf8(field.value(1)) + QStringLiteral("/lavrosk-test-%1").arg(getpid());
        if (field.value(2) == "cgroup2" && QDir().mkdir(dir)) {
            if (QFile::exists(dir + QStringLiteral("/cgroup.kill")))
                return dir;
            QDir().rmdir(dir);
        }
    }
    return {};
}

// Kills whatever a failed test left in it, then removes it.
void remove_test_cgroup(const QString &base)
{
    QFile kill_file(base + QStringLiteral("/cgroup.kill"));
    if (kill_file.open(QIODevice::WriteOnly))
        kill_file.write("1");
    kill_file.close();
    wait_until([&] {
        for (const QString &name : QDir(base).entryList(QDir::Dirs | QDir::NoDotAndDotDot))
            rmdir(QFile::encodeName(base + QLatin1Char('/') + name).constData());
        return rmdir(QFile::encodeName(base).constData()) == 0;
    });
}

} // namespace

class tst_cgroup : public QObject
{
    Q_OBJECT

public:
    explicit tst_cgroup(QString base) : base(std::move(base)) {}

private:
    QString base;
    QScopedPointer<private_bus> bus;
    QTemporaryDir dir;

    QStringList app_cgroups() const
    {
        return QDir(base).entryList({QStringLiteral("lavrosk-*")}, QDir::Dirs);
    }

private slots:
    void initTestCase()
    {
        bus.reset(new private_bus);
        QVERIFY(bus->ok());
        QVERIFY(dir.isValid());
    }

    // Members that left the tree as daemons do die with the application,
    // through its cgroup; a process outside it stays. The cgroup goes once
    // its runner has ended and it is empty, and not before.
    void the_whole_application_dies_and_its_cgroup_goes()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")}, true,
                         {QStringLiteral("LAVROSK_CGROUP=") + base});
        QVERIFY(sim.ok());
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const int idle_threads = thread_count(d.pid());
        const QString outsider_log = dir.filePath(QStringLiteral("outsider.log"));
        child_process outsider;
        outsider.start(QStringLiteral(LAVROSK_TREE_BIN), {"balanced", "1", outsider_log});
        QVERIFY(wait_until([&] { return pids_in_file(outsider_log).size() == 1; }));

        for (int round = 1; round <= 2; ++round) {
            const QString log = dir.filePath(QStringLiteral("tree-%1.log").arg(round));
            sim.start_app(platform, QStringLiteral(LAVROSK_TREE_BIN), {"daemon", "20", log});
            QVERIFY(wait_until([&] { return pids_in_file(log).size() == 20; }));
            const QList<pid_t> members = pids_in_file(log);
            // The running report may arrive after the tree is in place.
            pid_t root = 0;
            QVERIFY(wait_until([&] {
                const QList<QJsonArray> reports = sim.payloads(QStringLiteral("set_app_status"));
                root = reports.isEmpty() ? 0 : status_list(reports.last()).value(2).toInt();
                return members.contains(root);
            }));
            QCOMPARE(app_cgroups().size(), 1);
            if (round == 1) {
                sim.kill_app(platform, QString::number(root));
                QVERIFY(wait_until(
                    [&] { return std::none_of(members.begin(), members.end(), process_alive); }));
                const QByteArray line = QStringLiteral("cgroup of %1 killed").arg(root).toUtf8();
                QVERIFY(wait_until([&] { return d.err().contains(line); }));
                QVERIFY(!d.err().contains(" is killed\n")); // no tree kill
                QVERIFY(wait_until([&] { return app_cgroups().isEmpty(); }));
            } else {
                // Only the root ends: the rest outlives the application.
                kill(root, SIGKILL);
                QVERIFY(wait_until([&] { return sim.platform_stops() == 2; }));
                QVERIFY(wait_until([&] { return thread_count(d.pid()) == idle_threads; }));
                QCOMPARE(app_cgroups().size(), 1);
                for (const pid_t pid : members)
                    kill(pid, SIGKILL);
                QVERIFY(wait_until([&] { return app_cgroups().isEmpty(); }));
            }
        }
        QVERIFY(process_alive(static_cast<pid_t>(outsider.processId())));
    }

    // A root and a child that moved to another cgroup die with the rest of
    // the tree, and the application is reported stopped.
    void a_root_that_left_its_cgroup_dies_with_its_tree()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")}, true,
                         {QStringLiteral("LAVROSK_CGROUP=") + base});
        QVERIFY(sim.ok());
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const QString elsewhere = base + QStringLiteral("/elsewhere");
        QVERIFY(QDir().mkpath(elsewhere));
        const QString log = dir.filePath(QStringLiteral("moved.log"));
        sim.start_app(platform, QStringLiteral(LAVROSK_TREE_BIN), {"balanced", "5", log});
        QVERIFY(wait_until([&] { return pids_in_file(log).size() == 5; }));
        const QList<pid_t> members = pids_in_file(log);
        pid_t root = 0;
        QVERIFY(wait_until([&] {
            const QList<QJsonArray> reports = sim.payloads(QStringLiteral("set_app_status"));
            root = reports.isEmpty() ? 0 : status_list(reports.last()).value(2).toInt();
            return members.contains(root);
        }));
        const pid_t child = members.value(1);
        for (const pid_t pid : {root, child}) {
            QFile procs(elsewhere + QStringLiteral("/cgroup.procs"));
            QVERIFY(procs.open(QIODevice::WriteOnly));
            QVERIFY(procs.write(QByteArray::number(pid)) > 0);
        }
        sim.kill_app(platform, QString::number(root));
        QVERIFY(wait_until(
            [&] { return std::none_of(members.begin(), members.end(), process_alive); }));
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        const QList<QJsonArray> reports = sim.payloads(QStringLiteral("set_app_status"));
        QCOMPARE(status_list(reports.last()).value(3), QStringLiteral("stop"));
        QVERIFY(d.err().contains(QStringLiteral("cgroup of %1 killed").arg(root).toUtf8()));
        QVERIFY(wait_until([&] { return app_cgroups().isEmpty(); }));
        QVERIFY(QDir().rmdir(elsewhere));
    }
};

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString base = make_test_cgroup();
    if (base.isEmpty()) {
        std::printf("SKIP: no writable cgroup v2 hierarchy with cgroup.kill\n");
        return 77;
    }
    tst_cgroup test(base);
    const int result = QTest::qExec(&test, argc, argv);
    remove_test_cgroup(base);
    return result;
}

#include "tst_cgroup.moc"
