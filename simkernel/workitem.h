// Work items: IoAllocateWorkItem, IoQueueWorkItem, IoFreeWorkItem. A queued
// item runs its routine at PASSIVE_LEVEL on the kernel's worker thread; its
// device object stays referenced from the queueing until the routine has
// returned.
//
// The verifier checks: queueing at most at DISPATCH_LEVEL, an item queued
// once at a time, an item freed once and never while it waits in the queue,
// a device object that is alive when its item is allocated and queued. An
// item never freed is a pool leak under its own tag ('IoWk').
#pragma once
#include <cstddef>

namespace sim {

// Blocks until every queued item has run (and, while held, releases none).
void WaitForWorkItems();
// Held: queued items wait until released, so a test can let something
// happen between the queueing and the run (a removal, say).
void HoldWorkItems(bool hold);
// Items queued and not yet run.
size_t QueuedWorkItems();

}  // namespace sim
