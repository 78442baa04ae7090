#include "launch_registry.h"

#include <QtTest>

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
};

QTEST_APPLESS_MAIN(tst_launch_registry)
#include "tst_launch_registry.moc"
