#include "driver/forward.h"

#include "platform/nt.h"

NTSTATUS ZK_CompleteOnControl(PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
