#include "runner_pool.h"

#include <algorithm>

runner_pool::runner_pool(size_t max_idle, std::chrono::milliseconds linger)
    : max_idle(max_idle), linger(linger)
{
}

runner_pool::waiter *runner_pool::claim()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (idle.empty())
        return nullptr;
    // The newest: the others age out first.
    waiter *thread = idle.back();
    idle.pop_back();
    thread->claimed = true;
    return thread;
}

void runner_pool::give(waiter *thread, runner_request request)
{
    std::lock_guard<std::mutex> lock(mutex);
    thread->request = std::move(request);
    thread->wake.notify_one();
}

std::optional<runner_request> runner_pool::wait_for_next()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (idle.size() >= max_idle)
        return std::nullopt;
    waiter self;
    idle.push_back(&self);
    if (!self.wake.wait_for(lock, linger, [&] { return self.claimed; })) {
        idle.erase(std::find(idle.begin(), idle.end(), &self));
        return std::nullopt;
    }
    // Claimed: the request follows at once.
    self.wake.wait(lock, [&] { return self.request.has_value(); });
    return std::move(self.request);
}

size_t runner_pool::waiting() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return idle.size();
}
