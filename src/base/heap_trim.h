// Hands the heap's free pages back to the system (no bus here). A large
// message grows the heap while it is read and unpacked; once freed, malloc
// keeps that memory for later, and an idle daemon would hold it for good.
#pragma once

// Trims the heap once the event being handled is done (its message and
// copies freed). On the main thread; several calls before then trim once.
void trim_heap_soon();
