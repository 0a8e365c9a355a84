// Wine 8's kernel lacks routines that Windows' exports and the filter calls:
// SeCaptureSubjectContext is a stub there that ends the process, so the
// filter's check that a program may change its configuration cannot run.
// The stack driver stands in for the subject-context routines in the
// filter's import table, answering as Windows answers for the one user a
// Wine prefix has, an administrator; everything else the filter does for
// such a request is its own, on Wine's kernel.
#pragma once
#include "platform/nt.h"

namespace zkt {

// Puts the stand-ins into the loaded filter's import table; FALSE when the
// table cannot be read or a slot of it cannot be written.
BOOLEAN StandIn(PDRIVER_OBJECT filter);
// Puts Wine's own entries back (before the stack driver goes).
VOID StandDown();

}  // namespace zkt
