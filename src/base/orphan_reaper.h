// Reaping the orphans a container's first process inherits (no bus here).
//
// Pid 1 of a pid namespace, and a child subreaper, become the parent of every
// process orphaned below them; nobody else will collect their ends. The
// kernel hands such orphans to the main thread, and a waitpid with
// __WNOTHREAD on the main thread collects only the main thread's own
// children: the applications belong to the runner threads that launched
// them, whose waitpid therefore never loses a status to the reaper.
//
// A process the main thread starts itself must be waited for before the
// main thread returns to its event loop, or the reaper may take its status.
#pragma once

// Whether this process inherits orphans. If so, blocks SIGCHLD in the
// calling thread, so that every thread made afterwards has it blocked too and
// the signal stays pending for the reaper. Call on the main thread before any
// other thread exists.
bool prepare_orphan_reaping();

// Reaps, from the main thread's event loop, every child of the main thread
// as it ends. Call after prepare_orphan_reaping() returned true, once the
// application object exists.
void start_orphan_reaper();
