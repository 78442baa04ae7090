// Tree kills, run in arrival order on a thread of their own
// (no bus here). Killing a tree that keeps forking takes a tenth of a second
// and more, up to seconds; the thread that serves start and stop requests
// must not wait for it.
#pragma once

#include "process_table.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <sys/types.h>
#include <vector>

class kill_worker
{
public:
    // kill gets every root queued since its last call: kills that queued up
    // behind a long one are served together.
    explicit kill_worker(std::function<void(const std::vector<process_id> &)> kill);
    // Waits for the kills already queued.
    ~kill_worker();
    kill_worker(const kill_worker &) = delete;
    kill_worker &operator=(const kill_worker &) = delete;

    // Queues a kill of the tree rooted at root and returns at once. root is
    // the process as the request found it: one that has ended by the time
    // the kill comes is not confused with a newcomer of the same pid. The
    // thread exists only while kills are queued, so an idle daemon keeps no
    // thread (and no stack) for it.
    void enqueue(const process_id &root);

private:
    void drain();

    std::function<void(const std::vector<process_id> &)> kill_batch;
    std::mutex mutex; // guards queue and running
    std::condition_variable idle;
    std::vector<process_id> queue;
    bool running = false;
};
