// The IEEE 1394 side of the detail level (TRACE_BUS_DETAIL): the generation
// of asynchronous reads and writes, and the fields of lock requests.
#pragma once
#include "driver/extension.h"
#include "platform/ntio.h"

// The detail line of the IRB at Block, read under guard; nothing for other
// functions or a block that cannot be read. The caller has tested
// TRACE_BUS_DETAIL. Dispatch, up to DISPATCH_LEVEL.
VOID ZK_TraceIrbDetail(PZK_EXTENSION Extension, PIRP Irp, const void* Block);
