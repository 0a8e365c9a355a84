// The completion routine shared by the requests whose result is traced
// without decoding of its own. Declarations only, as in driver/dispatch.h,
// so that tests can name the routine.
#pragma once
#include "platform/ntio.h"

// Completion routine: up to DISPATCH_LEVEL, in any thread. Prints the final
// status and, for device control, the system buffer; changes nothing and lets
// completion go on. Registered with a NULL context for success, error and
// cancel.
IO_COMPLETION_ROUTINE ZK_CompletionRoutineGeneric;
