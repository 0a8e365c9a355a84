// Wine 8's kernel lacks routines that Windows' exports and the filter calls:
// SeCaptureSubjectContext is a stub there that ends the process, so the
// filter's check that a program may change its configuration cannot run.
// The stack driver stands in for the subject-context routines in the
// filter's import table, answering as Windows answers for the one user a
// Wine prefix has, an administrator; everything else the filter does for
// such a request is its own, on Wine's kernel.
//
// It stands in for MmIsAddressValid too, which Wine answers truthfully: the
// stand-in asks Wine, except for the one page a story freed under the filter
// (freed.cpp), which it vouches for, as a test that went stale would. So
// the filter's guarded reads of that page really fault.
//
// And for IoQueueWorkItem: Wine runs a work item in its thread pool whenever
// it gets there, while the simulator runs it before the next step, so the
// stand-in counts the filter's items (each goes on to Wine's) and the story
// waits for them at each step's end.
#pragma once
#include "platform/nt.h"

namespace zkt {

// Puts the stand-ins into the loaded filter's import table (once; again
// does nothing); FALSE when the table cannot be read or a slot of it cannot
// be written.
BOOLEAN StandIn(PDRIVER_OBJECT filter);
// The page MmIsAddressValid says is valid whatever it holds (0: none).
VOID VouchFor(ULONG_PTR page);
// Returns once every work item the filter queued has run: the stand-in
// IoQueueWorkItem counts them on their way to Wine's.
VOID WaitForWorkItems();
// Waits for the work items and puts Wine's own entries back (before the
// stack driver goes).
VOID StandDown();

}  // namespace zkt
