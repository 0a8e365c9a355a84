// The power manager's part in power IRPs: PoStartNextPowerIrp and
// PoCallDriver. Every driver calls PoStartNextPowerIrp for each power IRP
// while the IRP is at its own stack location, before it passes the IRP on or
// completes it; the I/O manager checks that at both places (iomgr.cpp).
#include "simkernel/core.h"
#include "simkernel/iomgr.h"

extern "C" VOID PoStartNextPowerIrp(PIRP Irp) {
    sim::RequireAtMostDispatch("PoStartNextPowerIrp");
    sim::detail::NotePowerIrpStarted(Irp, "PoStartNextPowerIrp");
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return sim::detail::CallDriver(DeviceObject, Irp, true);
}
