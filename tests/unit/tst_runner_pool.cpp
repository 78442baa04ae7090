// The hand-over between the main thread and waiting runner threads.
#include "runner_pool.h"

#include <QtTest>

#include <future>

using namespace std::chrono_literals;

class tst_runner_pool : public QObject
{
    Q_OBJECT

private slots:
    void waiting_thread_gets_the_request_or_ends()
    {
        runner_pool pool(4, 5000ms);
        QVERIFY(pool.claim() == nullptr);
        auto next = std::async(std::launch::async, [&] { return pool.wait_for_next(); });
        QVERIFY(QTest::qWaitFor([&] { return pool.waiting() == 1; }, 5000));
        auto *thread = pool.claim();
        QVERIFY(thread != nullptr);
        QVERIFY(pool.claim() == nullptr); // claimed once only
        pool.give(thread, runner_request{QStringLiteral("/bin/app"), {QStringLiteral("-x")}});
        const std::optional<runner_request> got = next.get();
        QVERIFY(got.has_value());
        QCOMPARE(got->app_shell, QStringLiteral("/bin/app"));
        QCOMPARE(got->argv, QStringList{QStringLiteral("-x")});

        runner_pool short_wait(4, 50ms);
        QVERIFY(!short_wait.wait_for_next().has_value());
        QCOMPARE(short_wait.waiting(), size_t(0));
    }

    void no_more_than_max_idle_wait()
    {
        runner_pool pool(1, 5000ms);
        auto first = std::async(std::launch::async, [&] { return pool.wait_for_next(); });
        QVERIFY(QTest::qWaitFor([&] { return pool.waiting() == 1; }, 5000));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(!pool.wait_for_next().has_value());
        QVERIFY(timer.elapsed() < 2500); // ended at once, did not linger
        pool.give(pool.claim(), runner_request{});
        QVERIFY(first.get().has_value());
    }
};

QTEST_GUILESS_MAIN(tst_runner_pool)
#include "tst_runner_pool.moc"
