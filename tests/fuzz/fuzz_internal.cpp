// Internal device control with arbitrary request blocks: SRBs, URBs and
// IRBs whose fields, embedded pointers and pages are the input's, under any
// trace mask, answered by a lower driver that changes the block as it likes.
#include "tests/fuzz/fuzz_stack.h"

#include "platform/ntscsi.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    fuzz::Stack stack(input);
    stack.PlantPointers(8);
    const ULONG code = input.ConsumeBool()
                           ? input.PickValueInArray<ULONG>({0u, (ULONG)IOCTL_SCSI_EXECUTE_IN,
                                                            (ULONG)IOCTL_SCSI_EXECUTE_OUT,
                                                            (ULONG)IOCTL_SCSI_EXECUTE_NONE,
                                                            (ULONG)IOCTL_INTERNAL_USB_SUBMIT_URB,
                                                            (ULONG)IOCTL_1394_CLASS,
                                                            (ULONG)IOCTL_INTERNAL_USB_RESET_PORT})
                           : input.ConsumeIntegral<ULONG>();
    const bool noBlock = input.ConsumeIntegralInRange<int>(0, 15) == 0;
    stack.ProgramAnswer(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x10000);
    stack.SpoilPages();
    sim::Send(stack.Top(), sim::Request::InternalDeviceControl(code, noBlock ? nullptr : stack.Block()));
    return 0;
}
