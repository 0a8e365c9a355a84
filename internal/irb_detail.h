// The IEEE 1394 side of the detail level (TRACE_BUS_DETAIL): the generation
// of asynchronous reads and writes, and the fields of lock requests.
#pragma once
#include "driver/extension.h"
#include "platform/nt1394.h"
#include "platform/ntio.h"

// The detail line of a request, from the copy of its IRB the caller made
// under guard; nothing for other functions. The caller has tested
// TRACE_BUS_DETAIL. Dispatch, up to DISPATCH_LEVEL.
VOID ZK_TraceIrbDetail(PZK_EXTENSION Extension, PIRP Irp, const IRB* Irb);
