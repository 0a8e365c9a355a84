// How a request whose result is traced leaves the driver.
#pragma once
#include "driver/extension.h"
#include "driver/forward.h"
#include "platform/nt.h"

// Filter device: passes the request down with Routine installed and answers
// STATUS_PENDING. Control device: nothing lies below it, so the request is
// completed at once with success, as every other request there.
FORCEINLINE NTSTATUS ZK_PassDownTraced(PZK_EXTENSION Extension, PIRP Irp, PIO_COMPLETION_ROUTINE Routine)
{
    if (Extension->DeviceKind == ZK_KIND_FILTER)
        return ZK_PassDownWithCompletion(Extension, Irp, Routine);
    return ZK_PassDown(Extension, Irp);
}
