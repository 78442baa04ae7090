// Many small jobs that share nothing and run mostly in the kernel (reads
// of /proc, say), spread over the processors this process may run on (no
// bus here).
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <system_error>
#include <thread>
#include <vector>

// The processors this process may run on, as its affinity allows.
unsigned usable_cpus();

// Runs work(i) for each i below count, on the calling thread and on up to
// usable_cpus() - 1 threads more, as long as each thread has min_per_thread
// jobs (a thread costs more than a few jobs). Helpers inherit the caller's
// priority. Where no thread can be made (at the host's task limit), the
// threads there are do it all. Returns once every job is done.
template <typename Work>
void spread_over_cpus(size_t count, size_t min_per_thread, const Work &work)
{
    std::atomic<size_t> next{0};
    const auto take = [&] {
        for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;)
            work(i);
    };
    const size_t most = std::max<size_t>(1, min_per_thread ? count / min_per_thread : count);
    const size_t helpers = std::min<size_t>(usable_cpus(), most) - 1;
    std::vector<std::thread> threads;
    for (size_t n = 0; n < helpers; ++n) {
        try {
            threads.emplace_back(take);
        } catch (const std::system_error &) {
            break;
        }
    }
    take();
    for (std::thread &thread : threads)
        thread.join();
}
