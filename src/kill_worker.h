// Tree kills, run one at a time in arrival order on a thread of their own
// (no bus here). Killing a tree that keeps forking takes a tenth of a second
// and more, up to seconds; the thread that serves start and stop requests
// must not wait for it.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <sys/types.h>

class kill_worker
{
public:
    explicit kill_worker(std::function<void(pid_t)> kill);
    // Waits for the kills already queued.
    ~kill_worker();
    kill_worker(const kill_worker &) = delete;
    kill_worker &operator=(const kill_worker &) = delete;

    // Queues a kill of the tree rooted at root and returns at once. The
    // thread exists only while kills are queued, so an idle daemon keeps no
    // thread (and no stack) for it.
    void enqueue(pid_t root);

private:
    void drain();

    std::function<void(pid_t)> kill_one;
    std::mutex mutex; // guards queue and running
    std::condition_variable idle;
    std::deque<pid_t> queue;
    bool running = false;
};
