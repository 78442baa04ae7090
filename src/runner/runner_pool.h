// Runner threads kept for the next start request (no bus here). A thread whose
// application has ended waits a short while for another request before it
// ends, so that a start finds a thread ready instead of making one. A waiting
// thread serves no application: there is still one thread per running
// application, and a daemon left alone ends up with none.
#pragma once

#include <QString>
#include <QStringList>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

struct runner_request {
    QString app_shell;
    QStringList argv;
};

class runner_pool
{
    struct waiter {
        std::condition_variable wake;
        bool claimed = false;
        std::optional<runner_request> request;
    };

public:
    // At most max_idle threads wait at once, each for at most linger.
    runner_pool(size_t max_idle, std::chrono::milliseconds linger);
    runner_pool(const runner_pool &) = delete;
    runner_pool &operator=(const runner_pool &) = delete;

    // A waiting thread, now bound to wait for give(); nullptr when none waits.
    waiter *claim();
    void give(waiter *thread, runner_request request);

    // Called by a thread whose application has ended: the next request, or
    // nullopt when none came in time or enough threads wait already. The
    // thread ends on nullopt.
    std::optional<runner_request> wait_for_next();

    // Threads waiting now.
    size_t waiting() const;

private:
    mutable std::mutex mutex;
    std::vector<waiter *> idle; // the longest waiting first
    const size_t max_idle;
    const std::chrono::milliseconds linger;
};
