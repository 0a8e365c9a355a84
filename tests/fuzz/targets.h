// The driver fuzz targets' bodies, apart from libFuzzer's entry point, so that
// the seed maker can run an input it wrote exactly as the fuzzer will. What
// each consumes from the input, and in what order, is what
// tests/fuzz/make_seeds.cpp writes: keep the two in step.
#pragma once
#include <optional>
#include <thread>

#include "ioctl/request.h"
#include "platform/ntscsi.h"
#include "simkernel/caller.h"
#include "tests/fuzz/bus_calls.h"
#include "tests/fuzz/fuzz_stack.h"
#include "tests/fuzz/more_requests.h"

namespace fuzz {

// The codes each target picks from most of the time (any value otherwise).
inline constexpr ULONG kInternalCodes[] = {
    0u,
    (ULONG)IOCTL_SCSI_EXECUTE_IN,
    (ULONG)IOCTL_SCSI_EXECUTE_OUT,
    (ULONG)IOCTL_SCSI_EXECUTE_NONE,
    (ULONG)IOCTL_INTERNAL_USB_SUBMIT_URB,
    (ULONG)IOCTL_1394_CLASS,
    (ULONG)IOCTL_INTERNAL_USB_RESET_PORT,
    (ULONG)IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND,
};
inline constexpr ULONG kDeviceControlCodes[] = {
    0x4D004u,
    0x4D014u,
    0x4D008u,
    0x4D028u,
    0x4D02Cu,
    0x2D1400u,
    0x2D1080u,
    0x220003u,
    0x220007u,
    0x220013u,
    0x70000u,
    0x2D0800u,
    (ULONG)ZK_REQUEST_CODE,
};

// Internal device control with arbitrary request blocks: SRBs, URBs and
// IRBs whose fields, embedded pointers and pages are the input's, under any
// trace mask, answered by a lower driver that changes the block as it likes
// and, as a 1394 bus and host, calls the routines the request named
// (tests/fuzz/bus_calls.h).
inline void InternalRequest(FuzzedDataProvider& input) {
    fuzz::BusCalls bus(input);
    fuzz::Stack stack(input);
    if (!stack.Ready()) return;
    bus.Attach(stack);
    stack.PlantPointers(8);
    const ULONG code = input.ConsumeBool() ? input.PickValueInArray(kInternalCodes) : input.ConsumeIntegral<ULONG>();
    const bool noBlock = input.ConsumeIntegralInRange<int>(0, 15) == 0;
    stack.ProgramAnswer(IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x10000, false, bus.Taker());
    stack.SpoilPages();
    bus.Choose(noBlock ? nullptr : stack.Block());
    // A floppy controller's command names its parameters in Argument4
    // (Type3InputBuffer): the block, or nothing.
    sim::Request request = sim::Request::InternalDeviceControl(code, noBlock ? nullptr : stack.Block());
    if (code == IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND && !noBlock)
        request.Argument(1, stack.Block()).Argument(4, stack.Block());
    sim::Send(stack.Top(), request);
    bus.Play();
}

// Device control with arbitrary codes, buffers and lengths, from kernel-mode
// senders and from programs, on the filter and on the control device,
// answered by a lower driver that writes what it likes into the buffer it
// returns (pass-through structures, storage descriptors, ...).
inline void DeviceControlRequest(FuzzedDataProvider& input) {
    fuzz::Stack stack(input);
    if (!stack.Ready()) return;
    const ULONG code =
        input.ConsumeBool() ? input.PickValueInArray(kDeviceControlCodes) : input.ConsumeIntegral<ULONG>();
    std::vector<uint8_t> in = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 600));
    const ULONG outLength = input.ConsumeIntegralInRange<ULONG>(0, 1024);
    const bool program = input.ConsumeBool();
    const bool onControl = input.ConsumeIntegralInRange<int>(0, 7) == 0;
    stack.ProgramAnswer(IRP_MJ_DEVICE_CONTROL, outLength, input.ConsumeBool());
    // A program's buffers lie in user space; a driver's anywhere.
    uint8_t* inBuffer = program ? sim::LowUserArea(in.size() + 1) : stack.Block();
    uint8_t* outBuffer = program ? sim::LowUserArea(outLength + 1) : stack.Block() + 2048;
    if (!in.empty()) std::memcpy(inBuffer, in.data(), std::min<size_t>(in.size(), program ? in.size() : 2048));
    const ULONG inLength = static_cast<ULONG>(program ? in.size() : std::min<size_t>(in.size(), 2048));
    fuzz::Stack::Defang(inBuffer, inLength);
    stack.SpoilPages();
    const ULONG outUsable = program ? outLength : std::min<ULONG>(outLength, 2048);
    // What no seed of a golden scenario chooses (tests/fuzz/more_requests.h).
    const auto form = static_cast<DataForm>(input.ConsumeIntegralInRange<int>(0, 3));
    const bool wow64 = program && input.ConsumeBool();
    stack.SetReply(input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 256)));
    const int other = input.ConsumeIntegralInRange<int>(0, kOtherRequests);
    if (other != 0) {
        SendOther(stack, input, other, Buffers{inBuffer, inLength, outBuffer, outUsable, program}, code);
    } else {
        RequestData data(stack, form, program, wow64, inBuffer, inLength);
        // A 32-bit program's request comes through a handle of its own.
        std::optional<Handle> handle;
        if (wow64) {
            handle.emplace(onControl ? "\\Device\\Zelkor1" : kPdoName, UserMode);
            if (handle->File() != nullptr) sim::SetFileObject32bit(handle->File(), true);
        }
        PDEVICE_OBJECT target = onControl ? sim::FindDevice(std::string("\\Device\\Zelkor1")) : stack.Top();
        sim::Request request = sim::Request::DeviceControl(code, inBuffer, inLength, outBuffer, outUsable)
                                   .Mode(program ? UserMode : KernelMode)
                                   .ExactDevice(onControl)
                                   .Setup([&data](PIRP irp, PIO_STACK_LOCATION) { data.Describe(irp); });
        if (handle && handle->File() != nullptr) request.File(handle->File());
        sim::Send(target, request);
    }
    if (program) {
        sim::FreeLowUserArea(inBuffer);
        sim::FreeLowUserArea(outBuffer);
    }
}

// The control device's private request from a program: any record, any data
// address (in the request, in the program's memory, freed under the probe,
// in kernel space, anywhere), any lengths, from an administrator or a
// standard user. Besides the common end checks, no subject context may stay
// captured.
inline constexpr sim::Account kAccounts[] = {sim::Account::Administrator, sim::Account::StandardUser,
                                             sim::Account::System};

inline void ControlRequest(FuzzedDataProvider& input) {
    {
        Stack stack(input);
        if (!stack.Ready()) return;
        const sim::Account account = input.PickValueInArray(kAccounts);
        sim::ActingAs actingAs(account);
        sim::OpenResult opened = sim::OpenFile("\\\\.\\Zelkor1", UserMode);
        if (opened.handle == nullptr) {
            if (stack.Faulted()) return;
            Stack::Finding("the control device does not open");
        }

        uint8_t* area = sim::LowUserArea(4096);
        std::vector<uint8_t> record(12, 0);
        const uint32_t magic =
            input.ConsumeIntegralInRange<int>(0, 15) ? 0x5A654C6B : input.ConsumeIntegral<uint32_t>();
        const uint32_t operation = input.ConsumeIntegralInRange<uint32_t>(0, 5);
        uint32_t address = 0;
        switch (input.ConsumeIntegralInRange<int>(0, 4)) {
        case 0:
            break;  // the data follows the record
        case 1:
            address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(area) +
                                            input.ConsumeIntegralInRange<uint32_t>(0, 4096));
            break;
        case 2:
            address = 0x80001000u + input.ConsumeIntegralInRange<uint32_t>(0, 0x1000);
            break;  // kernel, sign-extended
        case 3:
            address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(area));
            sim::FreeLowUserAreaAfterProbe(area);
            area = nullptr;
            break;
        default:
            address = input.ConsumeIntegral<uint32_t>();
            break;
        }
        std::memcpy(&record[0], &magic, 4);
        std::memcpy(&record[4], &operation, 4);
        std::memcpy(&record[8], &address, 4);
        std::vector<uint8_t> tail = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 600));
        record.insert(record.end(), tail.begin(), tail.end());
        if (input.ConsumeBool() && area != nullptr) {
            std::vector<uint8_t> content = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 300));
            if (!content.empty()) std::memcpy(area, content.data(), content.size());
        }
        const size_t cut = input.ConsumeIntegralInRange<size_t>(0, record.size());
        record.resize(input.ConsumeBool() ? record.size() : cut);
        std::vector<uint8_t> output(input.ConsumeIntegralInRange<size_t>(0, 1024));
        // The filtered device goes while the request is in the driver (right
        // after the driver probed the program's data, or before it came), or
        // stays (what every seed of a golden scenario reads).
        // The removal runs in a thread of its own, as the Plug and Play
        // manager's: the request goes on once the removal is done or waits
        // for the request to leave the driver, so that the two meet at the
        // same point on every run.
        std::thread remover;
        switch (input.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            break;
        case 1:
            sim::RunAfterNextProbe([&stack, &remover] {
                remover = std::thread([&stack] { stack.Remove(); });
                while (!stack.RemovalDone() && sim::RemoveLockWaiters() == 0)
                    std::this_thread::yield();
            });
            break;
        default:
            stack.Remove();
            break;
        }
        sim::DeviceIoControl(opened.handle, ZK_REQUEST_CODE, record, output);
        sim::RunAfterNextProbe(nullptr);
        if (remover.joinable()) remover.join();
        sim::CloseFile(opened.handle);
        if (area != nullptr) sim::FreeLowUserArea(area);
        if (sim::OpenSubjectContexts() != 0) Stack::Finding("a subject context was left captured");
    }
}

}  // namespace fuzz
