// Fixed addresses for routines of the simulation. A driver prints the
// addresses of the routines other drivers hand it (a client's callback, the
// host's mapping routine); those of the simulation differ from build to
// build, so a routine that a scenario shows is handed out as a jump at a
// fixed address instead.
#pragma once

namespace sim {

// The fixed address that jumps to `routine`, given out in the order asked
// for since the last kernel reset; the same routine keeps its address until
// then. The routine itself when no fixed page can be had.
void* FixedEntry(void* routine);

}  // namespace sim
