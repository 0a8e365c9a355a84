// SCSI pass-through requests: a program's command with its data and sense
// areas, traced on the way down and on completion.
#pragma once
#include "driver/extension.h"
#include "platform/nt.h"

// IOCTL_SCSI_PASS_THROUGH or IOCTL_SCSI_PASS_THROUGH_DIRECT on the filter
// device, traced (the caller has found a level of its own set): the command,
// its parameters and the data going out, then passed on with
// ZK_CompletionRoutinePassThrough. Runs in the sender's thread.
NTSTATUS ZK_PassThroughRequest(PZK_EXTENSION Extension, PIRP Irp, ULONG Code);

// Completion routine: up to DISPATCH_LEVEL, in any thread. The request's
// status and SCSI status, then its sense data or the data that came in.
IO_COMPLETION_ROUTINE ZK_CompletionRoutinePassThrough;
