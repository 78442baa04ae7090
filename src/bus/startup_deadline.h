// One deadline for the whole of start-up (no Qt here). Each bus request of
// start-up has its own timeout at best (the authentication has none), so a
// stalled bus could hold a daemon that never announces itself for as long as
// it stays stalled. A timer thread calls expired with the step that has not
// finished; it lives only until start-up is over.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

class startup_deadline
{
public:
    // expired runs on the timer thread and is expected not to return.
    startup_deadline(std::chrono::milliseconds limit, std::function<void(const char *)> expired);
    ~startup_deadline(); // as cancel()
    startup_deadline(const startup_deadline &) = delete;
    startup_deadline &operator=(const startup_deadline &) = delete;

    // What start-up waits for now; what must outlive the deadline (a literal).
    void step(const char *what) { current.store(what, std::memory_order_release); }
    // Start-up is over: the timer thread ends without calling expired.
    void cancel();

private:
    void run(std::chrono::milliseconds limit);

    std::function<void(const char *)> expired;
    std::atomic<const char *> current{""};
    std::mutex mutex;
    std::condition_variable wake;
    bool cancelled = false;
    std::thread timer;
};
