// Killing supervised process trees through the real daemon: whole trees, bad
// requests, names that look like pids, long listings, fork storms and trees
// with stopped members.
#include "harness.h"

#include <QtTest>

#include <csignal>

namespace {

const QString platform = QStringLiteral("shop@c1@0");

QString tree_binary()
{
    return QStringLiteral(LAVROSK_TREE_BIN);
}

// A tree made by the tree helper: its root (the runner's child), the file
// every member writes its pid to, and those pids.
struct app_tree {
    pid_t root = -1;
    QString log;
    QList<pid_t> members;
};

// State and parent of a process, from the fields after its name.
QList<QByteArray> stat_fields(const QString &pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray text = stat.readAll();
    return text.mid(text.lastIndexOf(')') + 2).split(' ');
}

char state_of(pid_t pid)
{
    const QByteArray state = stat_fields(QString::number(pid)).value(0);
    return state.isEmpty() ? 0 : state.at(0);
}

// Processes, zombies included, whose parent is one of parents. Storm
// children live a few milliseconds; as zombies they wait a little longer for
// their parent, so a scan sees them.
int children_of(const QList<pid_t> &parents)
{
    int n = 0;
    for (const QString &name : QDir(QStringLiteral("/proc")).entryList({"[0-9]*"}, QDir::Dirs))
        n += parents.contains(stat_fields(name).value(1).toInt()) ? 1 : 0;
    return n;
}

bool none_alive(const QList<pid_t> &pids)
{
    return std::none_of(pids.begin(), pids.end(), process_alive);
}

bool all_alive(const QList<pid_t> &pids)
{
    return std::all_of(pids.begin(), pids.end(), process_alive);
}

// The longest line of the tree's listing, run as the daemon runs it.
int longest_listing_line(pid_t root)
{
    QProcess pstree;
    pstree.start(QStringLiteral("pstree"), {"-l", "-p", QString::number(root)});
    pstree.waitForFinished(10000);
    int longest = 0;
    for (const QByteArray &line : pstree.readAllStandardOutput().split('\n'))
        longest = std::max(longest, int(line.size()));
    return longest;
}

} // namespace

class tst_kill : public QObject
{
    Q_OBJECT

    QScopedPointer<private_bus> bus;
    QTemporaryDir dir;
    int serial = 0;
    QStringList logs; // of every tree started, for the clean-up

    // Starts the tree helper through the daemon with these arguments (shape,
    // count, then optional name arguments), and waits until every member is
    // in place.
    bool start_tree(runtime_sim_process &sim, const QString &shape, int n, app_tree *tree,
                    const QStringList &name_args = {})
    {
        tree->log = dir.filePath(QStringLiteral("tree-%1.log").arg(++serial));
        logs.append(tree->log);
        const int before = running_reports(sim).size();
        sim.start_app(platform, tree_binary(),
                      QStringList{shape, QString::number(n), tree->log} + name_args);
        if (!wait_until([&] { return running_reports(sim).size() == before + 1; }))
            return false;
        tree->root = running_reports(sim).last().value(2).toInt();
        if (!wait_until([&] { return pids_in_file(tree->log).size() == n; }, 30000))
            return false;
        tree->members = pids_in_file(tree->log);
        return tree->members.contains(tree->root);
    }

    static QList<QStringList> running_reports(runtime_sim_process &sim)
    {
        QList<QStringList> lists;
        for (const QJsonArray &p : sim.payloads(QStringLiteral("set_app_status"))) {
            if (status_list(p).value(3) == QLatin1String("running"))
                lists.append(status_list(p));
        }
        return lists;
    }

    // Whether the daemon has taken every request sent before: its slots run
    // one at a time, and this one's log line comes after theirs. A tree kill
    // they queued may still be running.
    bool settle(runtime_sim_process &sim)
    {
        const QString marker = QStringLiteral("marker-%1pid:").arg(++serial);
        sim.kill_app(marker.chopped(4), QStringLiteral("1"));
        return wait_until([&] { return sim.daemon_logs().filter(marker).size() == 1; });
    }

    // A process of the test's own, outside every tree the daemon runs; -1 if
    // it did not come up.
    pid_t start_outsider(child_process &outsider)
    {
        const QString log = dir.filePath(QStringLiteral("outsider-%1.log").arg(++serial));
        logs.append(log);
        // In a session of its own: in the test's process group, a stopped
        // outsider would take the SIGHUP the kernel sends to a group that a
        // killed tree leaves orphaned with stopped members.
        outsider.start(QStringLiteral("setsid"),
                       {tree_binary(), QStringLiteral("balanced"), "1", log});
        if (!wait_until([&] { return pids_in_file(log).size() == 1; }))
            return -1;
        return static_cast<pid_t>(outsider.processId());
    }

    // Whether every kill queued so far has been carried out: kills run one
    // at a time in arrival order, so a process of the test's own whose kill
    // is queued behind them dies after them.
    static bool kills_done(runtime_sim_process &sim)
    {
        child_process marker;
        marker.start(QStringLiteral("sleep"), {QStringLiteral("300")});
        if (!marker.waitForStarted())
            return false;
        sim.kill_app(platform, QString::number(marker.processId()));
        return wait_until([&] { return marker.state() == QProcess::NotRunning; }, 30000) &&
               marker.exitStatus() == QProcess::CrashExit;
    }

    // The stand-in is up and the daemon has announced itself.
    static bool ready(runtime_sim_process &sim)
    {
        return sim.ok() &&
               wait_until([&] { return sim.calls(QStringLiteral("daemon_ready")).size() == 1; });
    }

private slots:
    void initTestCase()
    {
        bus.reset(new private_bus);
        QVERIFY(bus->ok());
        QVERIFY(dir.isValid());
    }

    void cleanup()
    {
        // Whatever a failed test left running. A storm forks while it is
        // being killed, so kill again until nothing is left.
        for (const QString &log : logs) {
            wait_until([&] {
                const QList<pid_t> left = tagged_processes(log);
                for (const pid_t pid : left)
                    kill(pid, SIGKILL);
                return left.isEmpty();
            });
        }
        logs.clear();
    }

    // Children and grandchildren, some in a process group or session of their
    // own, some ignoring SIGTERM: all die, and the runner ends without a relaunch.
    void kills_the_whole_supervised_tree()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(ready(sim));
        app_tree tree;
        QVERIFY(start_tree(sim, QStringLiteral("balanced"), 40, &tree));

        sim.kill_app(platform, QString::number(tree.root));
        QVERIFY(wait_until([&] { return none_alive(tree.members); }));
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QVERIFY(settle(sim));

        QCOMPARE(running_reports(sim).size(), 1);
        QCOMPARE(status_list(sim.payloads(QStringLiteral("set_app_status")).last()),
                 (QStringList{"c1", "probe_tree", QString::number(tree.root), "stop"}));
        QCOMPARE(pids_in_file(tree.log).size(), 40); // nothing relaunched
        QVERIFY(sim.daemon_logs().contains(QStringLiteral("要杀死的app容器标识:shop@c1@0pid:") +
                                           QString::number(tree.root)));

        // The root is signalled first.
        QVERIFY(wait_until([&] { return d.err().contains(" exist\n"); }));
        const QString err = QString::fromUtf8(d.err());
        const int first_exist = err.indexOf(QStringLiteral(" exist\n"));
        QCOMPARE(err.mid(0, first_exist).section(QLatin1Char('\n'), -1),
                 QStringLiteral("\"%1\"").arg(tree.root));
    }

    void requests_for_another_platform_kill_nothing()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(ready(sim));
        app_tree tree;
        QVERIFY(start_tree(sim, QStringLiteral("balanced"), 5, &tree));
        const QString pid = QString::number(tree.root);
        for (const QString &other : {QStringLiteral("SHOP@c1@0"), QStringLiteral("other@c2@1")})
            sim.kill_app(other, pid);
        QVERIFY(settle(sim));
        QVERIFY(
            sim.daemon_logs().contains(QStringLiteral("要杀死的app容器标识:SHOP@c1@0pid:") + pid));
        QVERIFY(
            sim.daemon_logs().contains(QStringLiteral("要杀死的app容器标识:other@c2@1pid:") + pid));
        QVERIFY(all_alive(tree.members));
    }

    // "0" would list every process on the machine, this test included.
    void bad_pids_kill_nothing()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(ready(sim));
        app_tree tree;
        QVERIFY(start_tree(sim, QStringLiteral("balanced"), 5, &tree));
        const QStringList bad{"abc",         "",           "0",
                              "1",           "-1",         "12x",
                              "99999999999", "2147483648", " " + QString::number(tree.root)};
        for (const QString &text : bad)
            sim.kill_app(platform, text);
        sim.send(QStringLiteral("{\"signal\": \"kill_app\", \"payload\": [\"%1\"]}").arg(platform));
        QVERIFY(settle(sim));
        QVERIFY(all_alive(tree.members));
        QCOMPARE(QString::fromUtf8(d.err()).count(QStringLiteral("kill_app ignored")),
                 bad.size() + 1);
        QCOMPARE(d.process.state(), QProcess::Running);

        sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        QVERIFY(wait_until([&] { return running_reports(sim).size() == 2; }));
    }

    // Stopping the daemon's own tree would leave nobody to kill it.
    void a_tree_holding_the_daemon_is_refused()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(ready(sim));
        sim.kill_app(platform, QString::number(d.pid()));
        QVERIFY(wait_until([&] { return d.err().contains("refused"); }));
        QVERIFY(state_of(d.pid()) != 'T');
        sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});
        QVERIFY(wait_until([&] { return running_reports(sim).size() == 1; }));
    }

    // A member names itself after a process outside the tree.
    void names_are_not_pids()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(ready(sim));
        child_process outsider;
        const pid_t outside = start_outsider(outsider);
        QVERIFY(outside > 0);

        app_tree tree;
        const QString name = QStringLiteral("s(%1)").arg(outside);
        QVERIFY(start_tree(sim, QStringLiteral("balanced"), 6, &tree, {name, "last"}));
        QProcess pstree;
        pstree.start(QStringLiteral("pstree"), {"-l", "-p", QString::number(tree.root)});
        QVERIFY(pstree.waitForFinished());
        QVERIFY(pstree.readAllStandardOutput().contains(name.toUtf8())); // the bait is there

        sim.kill_app(platform, QString::number(tree.root));
        QVERIFY(wait_until([&] { return none_alive(tree.members); }));
        QVERIFY(kills_done(sim));
        QVERIFY(process_alive(outside));
    }

    void long_and_deep_trees_die_whole_data()
    {
        QTest::addColumn<QString>("shape");
        QTest::addColumn<int>("count");
        QTest::addColumn<QStringList>("name_args");
        QTest::addColumn<int>("min_line");
        QTest::newRow("chain of 100") << "chain" << 100 << QStringList{} << 0;
        // Each level is a 15-character name, its pid and a connector.
        QTest::newRow("listing line over 4 KB")
            << "chain" << 200 << QStringList{"abcdefghijklmno", "all"} << 4096;
    }
    void long_and_deep_trees_die_whole()
    {
        QFETCH(QString, shape);
        QFETCH(int, count);
        QFETCH(QStringList, name_args);
        QFETCH(int, min_line);
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(ready(sim));
        app_tree tree;
        QVERIFY(start_tree(sim, shape, count, &tree, name_args));
        QVERIFY(longest_listing_line(tree.root) > std::max(min_line, 132));

        sim.kill_app(platform, QString::number(tree.root));
        QVERIFY(wait_until([&] { return none_alive(tree.members); }));
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        // The listing itself named them all: a cut line would have lost most.
        QString listing;
        for (const QString &line : QString::fromUtf8(d.err()).split(QLatin1Char('\n')))
            if (line.startsWith(QStringLiteral("(\"%1\"").arg(tree.root)))
                listing = line;
        for (const pid_t pid : tree.members)
            QVERIFY2(listing.contains(QStringLiteral("\"%1\"").arg(pid)), qPrintable(listing));
    }

    // Every member keeps forking short-lived children; a child that outlives
    // its parent stays, so an escape from the kill is counted.
    void fork_storm_leaves_no_survivor()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(ready(sim));
#ifdef LAVROSK_SANITIZED
        // There the daemon's memory and threads are on trial, and each storm
        // takes several times as long: two trials do.
        const int trials = 2;
#else
        const int trials = 10;
#endif
        const int members = 100;
        for (int trial = 1; trial <= trials; ++trial) {
            app_tree tree;
            QVERIFY(start_tree(sim, QStringLiteral("storm"), members, &tree));
            // The storm is on: children besides the members' own (each
            // member has about one at any moment).
            QVERIFY(wait_until([&] { return children_of(tree.members) > members / 2; }));
            sim.kill_app(platform, QString::number(tree.root));
            QVERIFY(wait_until([&] { return none_alive(tree.members); }, 30000));
            // What the kill reached is gone once torn down; an orphaned
            // child stays (it checks for its parent within 5 ms).
            wait_until([&] { return tagged_processes(tree.log).isEmpty(); });
            const QList<pid_t> survivors = tagged_processes(tree.log);
            for (const pid_t pid : survivors)
                kill(pid, SIGKILL);
            QVERIFY2(survivors.isEmpty(),
                     qPrintable(
                         QStringLiteral("trial %1: %2 survived").arg(trial).arg(survivors.size())));
            QVERIFY(wait_until([&] { return sim.platform_stops() == trial; }));
        }
    }

    // A vfork parent whose child the freeze stopped waits in the kernel and
    // never shows stopped: its kill, and a kill queued behind it, end at once.
    void a_vfork_parent_does_not_stall_the_kill()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(ready(sim));
        sim.start_app(platform, probe_binary(), {"vfork-stop"});
        QVERIFY(
            wait_until([&] { return sim.payloads(QStringLiteral("set_app_status")).size() == 1; }));
        const pid_t vforker =
            status_list(sim.payloads(QStringLiteral("set_app_status")).first()).value(2).toInt();
        pid_t child = 0;
        QVERIFY(wait_until([&] {
            QFile file(QStringLiteral("/proc/%1/task/%1/children").arg(vforker));
            child = file.open(QIODevice::ReadOnly) ? file.readAll().trimmed().toInt() : 0;
            return child > 0 && state_of(child) == 'T' && state_of(vforker) == 'D';
        }));
        const QString never = dir.filePath(QStringLiteral("vfork-never"));
        sim.start_app(platform, probe_binary(), {"wait", never, "60"});
        QVERIFY(wait_until([&] { return tagged_processes(never).size() == 1; }));
        const pid_t behind = tagged_processes(never).first();

        QElapsedTimer timer;
        timer.start();
        sim.kill_app(platform, QString::number(vforker));
        sim.kill_app(platform, QString::number(behind));
        QVERIFY(wait_until(
            [&] {
                return !process_alive(vforker) && !process_alive(child) && !process_alive(behind);
            },
            15000));
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed()) + " ms"));
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
    }

    // A start request right behind the kill of a tree that keeps forking is
    // served while the kill runs. The kill is held, the tree frozen, until
    // the test lets the listing run: the new application is reported running
    // meanwhile, and the killed root stopped only after.
    void a_start_is_served_during_a_kill()
    {
        const QString gate = dir.filePath(QStringLiteral("listing-gate"));
        const QString bin = dir.filePath(QStringLiteral("held-bin"));
        QVERIFY(QDir().mkpath(bin));
        const QString real = QStandardPaths::findExecutable(QStringLiteral("pstree"));
        QVERIFY(!real.isEmpty());
        QFile held(bin + QStringLiteral("/pstree"));
        QVERIFY(held.open(QIODevice::WriteOnly));
        held.write(QStringLiteral("#!/bin/sh\nwhile [ ! -e '%1' ]; do sleep 0.01; done\n"
                                  "exec '%2' \"$@\"\n")
                       .arg(gate, real)
                       .toUtf8());
        held.close();
        QVERIFY(held.setPermissions(QFile::ReadOwner | QFile::ExeOwner));

        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")}, true,
                         {QStringLiteral("PATH=") + bin + QLatin1Char(':') + qgetenv("PATH")});
        QVERIFY(ready(sim));
        app_tree tree;
        // Held, the kill lasts as long as the test wants: a small storm will do.
        QVERIFY(start_tree(sim, QStringLiteral("storm"), 20, &tree));
        QVERIFY(wait_until([&] { return children_of(tree.members) > 10; }));
        sim.kill_app(platform, QString::number(tree.root));
        sim.start_app(platform, probe_binary(), {QStringLiteral("exit"), QStringLiteral("0")});

        const auto reports = [&] {
            QList<QStringList> lists;
            for (const QJsonArray &p : sim.payloads(QStringLiteral("set_app_status")))
                lists.append(status_list(p));
            return lists;
        };
        // The probe runs and ends while the tree waits, frozen, for its kill.
        QVERIFY(wait_until([&] { return reports().size() == 3; }, 30000));
        QCOMPARE(reports().at(1).mid(0, 2), (QStringList{"c1", "probe"}));
        QCOMPARE(reports().at(1).value(3), QStringLiteral("running"));
        QVERIFY(wait_until([&] { return state_of(tree.root) == 'T'; }));
        QCOMPARE(reports().size(), 3);

        QFile(gate).open(QIODevice::WriteOnly);
        QVERIFY(wait_until([&] { return none_alive(tree.members); }, 30000));
        QVERIFY(wait_until([&] { return reports().size() == 4; }));
        QCOMPARE(reports().last(),
                 (QStringList{"c1", "probe_tree", QString::number(tree.root), "stop"}));
    }

    // A LAVROSK_CGROUP that is no cgroup v2 directory: said once, and the
    // daemon launches and kills by process tree as without it.
    void an_unusable_cgroup_directory_is_named_and_left_alone()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")}, true,
                         {QStringLiteral("LAVROSK_CGROUP=") + dir.path()});
        QVERIFY(ready(sim));
        app_tree tree;
        QVERIFY(start_tree(sim, QStringLiteral("balanced"), 10, &tree));
        sim.kill_app(platform, QString::number(tree.root));
        QVERIFY(wait_until([&] { return none_alive(tree.members); }));
        const QString line =
            QStringLiteral("LAVROSK_CGROUP=%1 not used: not a cgroup v2 directory").arg(dir.path());
        QCOMPARE(QString::fromUtf8(d.err()).count(line), 1);
    }

    void stopped_members_die_and_stopped_outsiders_stay_stopped()
    {
        runtime_sim_process sim;
        daemon_process d({platform, QStringLiteral("/bin/true")});
        QVERIFY(ready(sim));
        child_process outsider;
        const pid_t outside = start_outsider(outsider);
        QVERIFY(outside > 0);
        kill(outside, SIGSTOP);
        QVERIFY(wait_until([&] { return state_of(outside) == 'T'; }));

        app_tree tree;
        QVERIFY(start_tree(sim, QStringLiteral("balanced"), 20, &tree));
        const QList<pid_t> stopped{tree.root, tree.members.at(3), tree.members.at(19)};
        for (const pid_t pid : stopped)
            kill(pid, SIGSTOP);
        QVERIFY(wait_until([&] {
            return std::all_of(stopped.begin(), stopped.end(),
                               [](pid_t p) { return state_of(p) == 'T'; });
        }));

        sim.kill_app(platform, QString::number(tree.root));
        QVERIFY(wait_until([&] { return none_alive(tree.members); }));
        QVERIFY(wait_until([&] { return sim.platform_stops() == 1; }));
        QVERIFY(settle(sim));
        if (!process_alive(outside)) {
            // Say who ended it: the daemon's lines that name it, and how it ended.
            outsider.waitForFinished(1000);
            QStringList named;
            for (const QString &line : QString::fromUtf8(d.err()).split(QLatin1Char('\n')))
                if (line.contains(QString::number(outside)))
                    named.append(line);
            QFAIL(qPrintable(QStringLiteral("outsider %1 gone: exit status %2, code %3; "
                                            "daemon lines naming it: %4")
                                 .arg(outside)
                                 .arg(int(outsider.exitStatus()))
                                 .arg(outsider.exitCode())
                                 .arg(named.join(QStringLiteral(" | ")))));
        }
        QCOMPARE(state_of(outside), 'T');
        QCOMPARE(running_reports(sim).size(), 1); // a stopped root is not an ended one
    }
};

QTEST_GUILESS_MAIN(tst_kill)
#include "tst_kill.moc"
