// Jobs spread over the processors: each done once, whatever the count.
#include "spread_over_cpus.h"

#include <QtTest>

#include <mutex>
#include <set>

class tst_spread : public QObject
{
    Q_OBJECT

private slots:
    void every_job_once_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("min_per_thread");
        QTest::newRow("none") << 0 << 64;
        QTest::newRow("fewer than a thread takes") << 5 << 64;
        QTest::newRow("many") << 1000 << 64;
        QTest::newRow("no minimum") << 100 << 0;
    }
    void every_job_once()
    {
        QFETCH(int, count);
        QFETCH(int, min_per_thread);
        std::vector<std::atomic<int>> done(static_cast<size_t>(count));
        std::mutex lock;
        std::set<std::thread::id> threads;
        spread_over_cpus(done.size(), static_cast<size_t>(min_per_thread), [&](size_t i) {
            ++done[i];
            const std::lock_guard<std::mutex> hold(lock);
            threads.insert(std::this_thread::get_id());
        });
        for (const std::atomic<int> &times : done)
            QCOMPARE(times.load(), 1);
        const size_t most = min_per_thread ? static_cast<size_t>(count / min_per_thread) : 100;
        QVERIFY(threads.size() <= std::max<size_t>(1, std::min<size_t>(usable_cpus(), most)));
        if (count > 0 && count < min_per_thread)
            QCOMPARE(*threads.begin(), std::this_thread::get_id());
    }
};

QTEST_GUILESS_MAIN(tst_spread)
#include "tst_spread.moc"
