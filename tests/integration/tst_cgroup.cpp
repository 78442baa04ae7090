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

bool write_file(const QString &path, const QByteArray &text)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush();
}

} // namespace

class tst_cgroup : public QObject
{
    Q_OBJECT

public:
    explicit tst_cgroup(QString base) : base(std::move(base)), mount(QFileInfo(this->base).path())
    {
    }

private:
    QString base;
    QString mount;
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
            const pid_t root = reported_root(sim, members);
            QVERIFY(root > 0);
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

    // A daemon that starts removes what daemons no longer alive left: not
    // the cgroup of a live daemon, nor one with a process in it until that
    // has gone. An application's own sub-cgroups go with its cgroup.
    void stale_and_nested_cgroups_go()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process live({QStringLiteral("other@c2@0"), QStringLiteral("/bin/true")});
        QProcess gone;
        gone.start(QStringLiteral("/bin/true"), QStringList());
        QVERIFY(gone.waitForStarted());
        const QString dead = QString::number(gone.processId());
        QVERIFY(gone.waitForFinished());
        const QString stale = base + "/lavrosk-" + dead + "-0";
        const QString populated = base + "/lavrosk-" + dead + "-1";
        const QString owned = base + QStringLiteral("/lavrosk-%1-0").arg(live.pid());
        for (const QString &d : {stale, stale + "/inner", populated, owned})
            QVERIFY(QDir().mkdir(d));
        child_process sleeper;
        sleeper.start(QStringLiteral("sleep"), {"60"});
        QVERIFY(sleeper.waitForStarted());
        QVERIFY(write_file(populated + "/cgroup.procs", QByteArray::number(sleeper.processId())));

        daemon_process d({platform, QStringLiteral("/bin/true")}, true,
                         {QStringLiteral("LAVROSK_CGROUP=") + base});
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 2; }));
        QVERIFY(wait_until([&] { return !QFile::exists(stale); }));
        QVERIFY(QFile::exists(populated));
        QVERIFY(QFile::exists(owned));
        sleeper.stop();
        QVERIFY(wait_until([&] { return !QFile::exists(populated); }));
        QVERIFY(QDir().rmdir(owned));

        const QString ready = dir.filePath(QStringLiteral("nested-ready"));
        const QString script =
            QStringLiteral("cg=%1$(sed -n 's/^0:://p' /proc/self/cgroup); "
                           "mkdir $cg/sub $cg/sub/deeper && echo $$ > $cg/sub/deeper/cgroup.procs "
                           "&& touch %2; exec sleep 60")
                .arg(mount, ready);
        sim.start_app(platform, QStringLiteral("/bin/sh"), {"-c", script});
        QVERIFY(wait_until([&] { return QFile::exists(ready); }));
        QVERIFY(
            wait_until([&] { return sim.payloads(QStringLiteral("set_app_status")).size() == 1; }));
        const QString root =
            status_list(sim.payloads(QStringLiteral("set_app_status")).first()).value(2);
        QCOMPARE(app_cgroups().size(), 1);
        QVERIFY(QFile::exists(base + "/" + app_cgroups().first() + "/sub/deeper"));
        sim.kill_app(platform, root);
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QVERIFY(wait_until([&] { return app_cgroups().isEmpty(); }));
    }

    // At the descriptor limit every application that runs in a cgroup can
    // still be killed: the kill needs no new descriptor. The daemon never
    // calls a live process gone.
    void kills_at_the_descriptor_limit()
    {
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        daemon_process d(
            {QStringLiteral("--nofile=64:64"), QStringLiteral("--"), daemon_binary(), platform,
             QStringLiteral("/bin/true")},
            true, {QStringLiteral("LAVROSK_CGROUP=") + base, sanitizer_env_without_descriptors()},
            QStringLiteral("prlimit"));
        QVERIFY(wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; }));
        const QString gate = dir.filePath(QStringLiteral("limit-gate"));
        const int apps = 57;
        for (int i = 0; i < apps; ++i)
            sim.start_app(platform, probe_binary(), {QStringLiteral("wait"), gate});
        QVariantMap about;
        QList<QVariantMap> running;
        QVERIFY2(
            wait_until(
                [&] { return daemon_status(d.pid(), &about, &running) && running.size() == apps; },
                30000),
            d.err().constData());
        QList<pid_t> in_cgroups;
        for (const QVariantMap &app : running)
            if (app.contains(QStringLiteral("cgroup")))
                in_cgroups.append(static_cast<pid_t>(app.value(QStringLiteral("pid")).toUInt()));
        // The first ones at least got a cgroup; the descriptors ran out later.
        QVERIFY2(in_cgroups.size() >= 20, QByteArray::number(in_cgroups.size()).constData());
        QVERIFY(in_cgroups.size() < apps);
        for (const pid_t pid : in_cgroups)
            sim.kill_app(platform, QString::number(pid));
        QVERIFY2(wait_until([&] {
                     return std::none_of(in_cgroups.begin(), in_cgroups.end(), process_alive);
                 }),
                 d.err().constData());
        // Where a tree could not be read, the line says why.
        QVERIFY(!d.err().contains("kill_app: no process"));
        QVERIFY(write_file(gate, ""));
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }, 30000));
    }

    // A threaded cgroup, or a domain made threaded, refuses processes: the
    // daemon says so once and launches without it.
    void threaded_cgroup_is_not_used()
    {
        const QString domain = base + QStringLiteral("/threaded-domain");
        const QString threaded = domain + QStringLiteral("/threaded");
        QVERIFY(QDir().mkdir(domain));
        QVERIFY(QDir().mkdir(threaded));
        QVERIFY(write_file(threaded + "/cgroup.type", "threaded"));
        runtime_sim_process sim;
        QVERIFY(sim.ok());
        const QString log = dir.filePath(QStringLiteral("threaded-launches"));
        int stops = 0;
        for (const QString &unusable : {threaded, domain}) {
            daemon_process d(
                {platform, QStringLiteral("/bin/true")}, true,
                {QStringLiteral("LAVROSK_CGROUP=") + unusable, QStringLiteral("PROBE_LOG=") + log});
            QVERIFY(wait_until([&] { return d.err().contains("LAVROSK_CGROUP="); }));
            // Said before it subscribes: a request sent at once could be lost.
            QVERIFY(wait_until(
                [&] { return sim.calls(QStringLiteral("daemon_ready")).size() == stops + 1; }));
            sim.start_app(platform, probe_binary(), {"exit", "0"});
            QVERIFY(wait_until([&] { return sim.platform_stops() == stops + 1; }));
            ++stops;
            QCOMPARE(probe_launches(log).size(), stops);
            const QByteArray said = "LAVROSK_CGROUP=" + unusable.toUtf8() + " not used";
            QCOMPARE(d.err().count(said), 1);
        }
        QVERIFY(QDir().rmdir(threaded));
        QVERIFY(QDir().rmdir(domain));
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
        const pid_t root = reported_root(sim, members);
        QVERIFY(root > 0);
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
