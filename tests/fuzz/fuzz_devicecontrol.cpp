// Device control with arbitrary codes, buffers and lengths, from kernel-mode
// senders and from programs, on the filter and on the control device,
// answered by a lower driver that writes what it likes into the buffer it
// returns (pass-through structures, storage descriptors, ...).
#include "tests/fuzz/fuzz_stack.h"

#include "ioctl/request.h"
#include "platform/ntscsi.h"
#include "simkernel/caller.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    fuzz::Stack stack(input);
    const ULONG code = input.ConsumeBool()
                           ? input.PickValueInArray<ULONG>({0x4D004u, 0x4D014u, 0x4D008u, 0x4D028u, 0x4D02Cu,
                                                            0x2D1400u, 0x2D1080u, 0x220003u, 0x220007u,
                                                            0x220013u, 0x70000u, 0x2D0800u, (ULONG)ZK_REQUEST_CODE})
                           : input.ConsumeIntegral<ULONG>();
    std::vector<uint8_t> in = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 600));
    const ULONG outLength = input.ConsumeIntegralInRange<ULONG>(0, 1024);
    const bool program = input.ConsumeBool();
    const bool onControl = input.ConsumeIntegralInRange<int>(0, 7) == 0;
    stack.ProgramAnswer(IRP_MJ_DEVICE_CONTROL, outLength, input.ConsumeBool());
    // A program's buffers lie in user space; a driver's anywhere.
    uint8_t* inBuffer = program ? sim::LowUserArea(in.size() + 1) : stack.Block();
    uint8_t* outBuffer = program ? sim::LowUserArea(outLength + 1) : stack.Block() + 2048;
    if (!in.empty())
        std::memcpy(inBuffer, in.data(), std::min<size_t>(in.size(), program ? in.size() : 2048));
    const ULONG inLength = static_cast<ULONG>(program ? in.size() : std::min<size_t>(in.size(), 2048));
    fuzz::Stack::Defang(inBuffer, inLength);
    stack.SpoilPages();
    const ULONG outUsable = program ? outLength : std::min<ULONG>(outLength, 2048);
    PDEVICE_OBJECT target = onControl ? sim::FindDevice(std::string("\\Device\\Zelkor1")) : stack.Top();
    sim::Send(target, sim::Request::DeviceControl(code, inBuffer, inLength, outBuffer, outUsable)
                          .Mode(program ? UserMode : KernelMode)
                          .ExactDevice(onControl));
    if (program) {
        sim::FreeLowUserArea(inBuffer);
        sim::FreeLowUserArea(outBuffer);
    }
    return 0;
}
