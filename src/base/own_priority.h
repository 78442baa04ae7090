// The daemon's own threads at a raised priority, what it starts at the one
// it was given (no bus here).
#pragma once

#include <pthread.h>
#include <sched.h>

// Raises the calling thread's priority by ten nice steps, where the right to
// it is had. Once at start-up, before any thread: every thread of the daemon
// inherits it. An application that keeps the CPUs busy (a fork storm) then
// cannot hold back the bus thread and the main thread, which take the very
// request that would stop it, nor a runner's launch of another application.
void raise_own_priority();

// The nice value the daemon was started with, which every program it starts
// gets back; nullptr when the daemon runs with it unchanged.
const int *nice_to_restore();

// While it lives, the calling thread runs at that nice value: a program it
// spawns meanwhile inherits the priority the daemon was given.
class given_priority
{
public:
    given_priority();
    ~given_priority();
    given_priority(const given_priority &) = delete;
    given_priority &operator=(const given_priority &) = delete;

private:
    int own = 0;
    bool lowered = false;
};

// Raises the calling thread's scheduling priority for its lifetime. A
// freezer at the usual priority shares the CPU with every process of a
// fork storm, and the storm can outrun it for seconds.
class kill_priority
{
public:
    // Starts a detached thread running run(arg), at the raised priority from
    // its first instruction on where the right to it is had (a thread just
    // made would wait behind every process of a storm before it first ran),
    // and on CPUs other than the caller's while there are others: a
    // real-time thread takes its CPU from whatever runs there, and the
    // caller is the thread that serves the requests queued behind a kill.
    // Returns 0 or pthread_create's error.
    static int start_thread(void *(*run)(void *), void *arg);

    kill_priority() { raise(); }
    ~kill_priority() { restore(); }
    void raise();
    // Back to the daemon's usual priority (its main thread's), which a
    // process started now inherits.
    void restore();
    kill_priority(const kill_priority &) = delete;
    kill_priority &operator=(const kill_priority &) = delete;

private:
    int old_policy = 0;
    sched_param old_param{};
    bool raised = false; // to a real-time policy
    int tid = 0;
    int old_nice = 0;
    bool niced = false; // failing that, to nice -20, the top of the ordinary priorities
};
