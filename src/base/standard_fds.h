// The three standard descriptors, made sure of before anything opens a file
// (no bus here).
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed. Started
// with them closed, the daemon's first files would land there: its bus
// connection on 2, and every debug line written into the bus stream.
// Returns false when one could not be filled.
bool fill_standard_fds();
