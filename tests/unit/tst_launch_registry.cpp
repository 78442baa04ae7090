#include "launch_registry.h"

#include <QtTest>

#include <unistd.h>

class tst_launch_registry : public QObject
{
    Q_OBJECT

private slots:
    // A kill naming any launch of a running application reaches its latest
    // one and stops relaunches; a pid reused by another application's latest
    // launch belongs to that one.
    void a_kill_reaches_the_latest_launch()
    {
        launch_registry registry;
        const auto crashed = registry.add();
        const auto other = registry.add();
        QVERIFY(!registry.launched(crashed, 100));
        QVERIFY(!registry.launched(crashed, 101));
        QVERIFY(!registry.launched(other, 100)); // 100 reused

        QCOMPARE(registry.kill_requested(100), 100);
        QVERIFY(registry.killed(other));
        QVERIFY(!registry.killed(crashed));
        QCOMPARE(registry.kill_requested(555), 555);
        QVERIFY(!registry.killed(crashed));

        QCOMPARE(registry.kill_requested(101), 101);
        QVERIFY(registry.killed(crashed));
        registry.remove(crashed);
        QCOMPARE(registry.kill_requested(101), 101);
        QVERIFY(!registry.killed(crashed));
    }

    // Killed between a launch's death and the next launch: the next launch
    // learns it as it is recorded.
    void a_launch_after_the_kill_is_told()
    {
        launch_registry registry;
        const auto runner = registry.add();
        QVERIFY(!registry.launched(runner, 200));
        QCOMPARE(registry.kill_requested(200), 200);
        QVERIFY(registry.launched(runner, 201));
        QCOMPARE(registry.kill_requested(200), 201);
    }

    // What a status request sees across a launch, a death and relaunch, and
    // a kill; in launch order, launches not yet made left out.
    void states_follow_the_runner()
    {
        launch_registry registry;
        const auto first = registry.add(application_info{QStringLiteral("a"), {}, {}, {}, -1});
        const auto unlaunched = registry.add();
        QVERIFY(registry.snapshot().empty());
        QVERIFY(!registry.launched(first, 300));
        auto apps = registry.snapshot();
        QCOMPARE(apps.size(), size_t(1));
        QCOMPARE(apps[0].info.name, QStringLiteral("a"));
        QCOMPARE(apps[0].state, application_state::running);
        QCOMPARE(apps[0].last_signal, 0);

        registry.ended(first);
        QVERIFY(registry.relaunching(first, 11));
        apps = registry.snapshot();
        QCOMPARE(apps[0].state, application_state::relaunching);
        QCOMPARE(apps[0].last_signal, 11);
        QCOMPARE(apps[0].pid, 300);

        QVERIFY(!registry.launched(first, 301));
        QVERIFY(!registry.launched(unlaunched, 400));
        apps = registry.snapshot();
        QCOMPARE(apps.size(), size_t(2));
        QCOMPARE(apps[0].pid, 301);
        QCOMPARE(apps[0].launches, 2u);
        QCOMPARE(apps[0].state, application_state::running);
        QCOMPARE(apps[1].pid, 400);

        QCOMPARE(registry.kill_requested(301), 301);
        QCOMPARE(registry.snapshot()[0].state, application_state::killing);
        registry.ended(first);
        QVERIFY(!registry.relaunching(first, 11)); // killed: no relaunch
    }

    // A cgroup is killed through its kept descriptor only while root is the
    // application's live launch.
    void cgroup_kill_needs_a_live_root()
    {
        int pipe_fds[2];
        QCOMPARE(pipe(pipe_fds), 0);
        launch_registry registry;
        const auto runner =
            registry.add(application_info{QStringLiteral("a"), {}, {}, "/cg/a", pipe_fds[1]});
        QCOMPARE(registry.kill_cgroup(500), cgroup_kill_result::not_in_cgroup);
        QVERIFY(!registry.launched(runner, 500));
        QCOMPARE(registry.cgroup_of(500), std::string("/cg/a"));
        QCOMPARE(registry.kill_cgroup(500), cgroup_kill_result::killed);
        char written[4] = {};
        QCOMPARE(read(pipe_fds[0], written, sizeof written), ssize_t(1));
        QCOMPARE(written[0], '1');
        registry.ended(runner);
        QCOMPARE(registry.kill_cgroup(500), cgroup_kill_result::not_in_cgroup);
        QVERIFY(registry.cgroup_of(500).empty());
        close(pipe_fds[0]);
        close(pipe_fds[1]);
    }
};

QTEST_APPLESS_MAIN(tst_launch_registry)
#include "tst_launch_registry.moc"
