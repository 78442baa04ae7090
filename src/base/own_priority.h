// The daemon's own threads at a raised priority, what it starts at the one
// it was given (no bus here).
#pragma once

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
