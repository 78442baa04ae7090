#include "kill_worker.h"

#include "own_priority.h"

#include <QDebug>

#include <cstring>
#include <malloc.h>

kill_worker::kill_worker(std::function<void(const std::vector<process_id> &)> kill)
    : kill_batch(std::move(kill))
{
}

kill_worker::~kill_worker()
{
    std::unique_lock<std::mutex> lock(mutex);
    idle.wait(lock, [this] { return !running; });
}

void kill_worker::enqueue(const process_id &root)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(root);
        if (running)
            return; // the thread at work takes it in turn
        running = true;
    }
    // Detached: it ends by itself once the queue is empty, and nothing
    // joins it; the destructor waits on "running" instead.
    const int err = kill_priority::start_thread(
        [](void *worker) -> void * {
            static_cast<kill_worker *>(worker)->drain();
            return nullptr;
        },
        this);
    if (err != 0) {
        // No thread to be had: kill here, as a kill that waits is better than none.
        qDebug() << "kill thread not started:" << std::strerror(err) << "; killing on this thread";
        drain();
    }
}

void kill_worker::drain()
{
    for (;;) {
        std::vector<process_id> roots;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (queue.empty()) {
                running = false;
                idle.notify_all();
                return;
            }
            roots.swap(queue);
        }
        kill_batch(roots);
        // Hand back what the listing and the process table took: the daemon
        // idles as small as before the kill.
        malloc_trim(0);
    }
}
