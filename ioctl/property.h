// Storage property queries: the standard query for the device descriptor
// renames the filter after the device's product and loads the configuration
// stored for that model.
#pragma once
#include "driver/extension.h"
#include "platform/nt.h"

// Whether the request's query is the standard one (its first field 0); FALSE
// too for an input shorter than that field.
BOOLEAN ZK_IsStandardPropertyQuery(PIRP Irp);

// IOCTL_STORAGE_QUERY_PROPERTY, traced: a line per query; the standard
// query is passed on with ZK_CompletionRoutineDeviceControl, the others
// unchanged.
NTSTATUS ZK_PropertyRequest(PZK_EXTENSION Extension, PIRP Irp);

// Completion routine: up to DISPATCH_LEVEL, in any thread. Traces the
// descriptor, renames the filter and records its device type; the
// configuration under the new name is loaded by a work item.
IO_COMPLETION_ROUTINE ZK_CompletionRoutineDeviceControl;
