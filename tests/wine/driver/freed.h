// Pages freed under the filter (the freed= and faults= options of the control
// request steps, as the simulator reads them; sim/freed_pages.h): a page of
// zeros followed by a freed page below 2 GB, addresses reaching into it
// written into the request's input, the stand-in MmIsAddressValid vouching
// for it, and the faults the filter takes on it counted by a vectored
// exception handler, which sees every exception before the filter's own
// handler does.
#pragma once
#include "platform/nt.h"
#include "tests/wine/driver/story.h"

namespace zkt {

struct Freed {
    PUCHAR page;   // the page of zeros; the freed page follows (NULL: none)
    PUCHAR block;  // an internal request's own block, for `block`
    LONG faultsBefore;
};

// Finds the process's vectored handler routines (in ntdll, through the
// process environment block) and puts in place the counter of the faults the
// filter's own instructions take; FALSE when they cannot be found.
BOOLEAN CountFaults(PDRIVER_OBJECT filter);
VOID StopCountingFaults();

// Lays out the step's freed pages and writes their addresses into the input
// (Length bytes); FALSE (and Fail) when the step asks for what cannot be.
BOOLEAN FreedBegin(const Step& step, BOOLEAN internal, PUCHAR input, ULONG length, Freed* freed);
// Checks faults= against the faults counted since FreedBegin, and releases
// the pages.
VOID FreedEnd(const Step& step, Freed* freed);

}  // namespace zkt
