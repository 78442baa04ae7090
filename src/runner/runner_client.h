// What a runner needs of the daemon that started it (no bus here): the
// daemon's identity, its log, the count of running applications, the kill of
// a tree and the means to report. The daemon object implements it; the runner
// knows no more.
#pragma once

#include <QString>

#include <memory>
#include <mutex>
#include <sys/types.h>

// Runners that have reported their application and not yet ended. Read and
// changed only through a lock, which also orders the platform reports that
// go with each change: a "stop" can never be delivered after a later "running".
class running_count
{
public:
    // Holds the count's lock while it lives.
    class locked
    {
    public:
        explicit locked(running_count &count) : count(count), hold(count.mutex) {}
        int raise() { return ++count.app_nums; }
        int lower() { return --count.app_nums; }
        int value() const { return count.app_nums; }

    private:
        running_count &count;
        std::lock_guard<std::mutex> hold;
    };

    locked lock() { return locked(*this); }

private:
    // A std::mutex rather than a QMutex: ThreadSanitizer sees its ordering, so
    // a real race on the count is never lost among false ones.
    std::mutex mutex;
    int app_nums = 0;
};

class runner_reports;

class runner_client
{
public:
    virtual QString get_app_platform() const = 0;
    // One line for the runtime service's log; callable from any thread.
    virtual void send_daemon_log(QString log) = 0;
    virtual running_count &running() = 0;
    // Queues the kill of the tree (or application) of pid; callable from any thread.
    virtual void kill_all_sub_process(pid_t pid) = 0;
    // Reports for one runner, or for a path that runs with none; callable
    // from any thread. Making them sends nothing.
    virtual std::unique_ptr<runner_reports> make_reports() = 0;

protected:
    ~runner_client() = default;
};
