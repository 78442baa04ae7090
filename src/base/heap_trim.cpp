#include "heap_trim.h"

#include <QTimer>

#include <malloc.h>

namespace {

bool trim_queued = false; // main thread only

} // namespace

void trim_heap_soon()
{
    if (trim_queued)
        return;
    trim_queued = true;
    QTimer::singleShot(0, [] {
        trim_queued = false;
        malloc_trim(0);
    });
}
