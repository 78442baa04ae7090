#include "startup_deadline.h"

#include "console_out.h"

#include <system_error>

startup_deadline::startup_deadline(std::chrono::milliseconds limit,
                                   std::function<void(const char *)> expired)
    : expired(std::move(expired))
{
    try {
        timer = std::thread([this, limit] { run(limit); });
    } catch (const std::system_error &e) {
        // Out of threads: start-up goes on with each request's own timeout.
        console::err("start-up deadline not set: %s\n", e.what());
    }
}

startup_deadline::~startup_deadline()
{
    cancel();
}

void startup_deadline::cancel()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        cancelled = true;
    }
    wake.notify_one();
    if (timer.joinable())
        timer.join();
}

void startup_deadline::run(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (wake.wait_for(lock, limit, [this] { return cancelled; }))
        return;
    lock.unlock();
    expired(current.load(std::memory_order_acquire));
}
