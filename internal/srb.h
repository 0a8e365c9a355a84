// SCSI request blocks: the line of an SRB on its way down, and the
// completion routine that traces its outcome. Needs no more than the I/O
// and SCSI declarations, so that tests can name the routine.
#pragma once
#include "driver/extension.h"
#include "platform/ntio.h"
#include "platform/ntscsi.h"

// The control codes under which an IRP_MJ_SCSI request carries an SRB in
// Parameters.Scsi.Srb. The port interface leaves the code slot to the sender:
// class drivers leave 0 or 1 there, or one of two execute codes. The third
// execute code (data out) lies between them but is not one of them.
constexpr BOOLEAN ZK_IsSrbControlCode(ULONG Code)
{
    return Code == 0 || Code == 1 || Code == IOCTL_SCSI_EXECUTE_IN || Code == IOCTL_SCSI_EXECUTE_NONE;
}

// Prints the dispatch line of Srb, a copy of the request's block: its
// function by name, for a command with the 16 CDB bytes and the command's
// name. Dispatch, up to DISPATCH_LEVEL.
VOID ZK_TraceSrb(PZK_EXTENSION Extension, PIRP Irp, const SCSI_REQUEST_BLOCK* Srb, ULONG ControlCode);

// Completion routine: up to DISPATCH_LEVEL, in any thread. Prints the
// request's and the SRB's status, dumps the data of a successful command and
// the sense data the port driver returned; changes nothing and lets
// completion go on. Registered with a NULL context.
IO_COMPLETION_ROUTINE SrbCompletion;
