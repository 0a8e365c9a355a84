// What the device control target sends besides its control request, as the
// input says: the control request's data named by address (a direct
// pass-through's DataBuffer, in the sender's memory, described or not by an
// MDL on the request, in a 32-bit program's layout or a 64-bit one), and
// other requests through the same stack: reads, writes, power, WMI, Plug and
// Play, opening and closing, and requests that arrive while the device is
// being removed. The input reads these choices after
// everything a seed of a golden scenario writes, so that such a seed reads
// "none" for each (tests/fuzz/make_seeds.cpp).
#pragma once
#include <chrono>
#include <cstddef>
#include <future>
#include <thread>
#include <string>
#include <vector>

#include "platform/guarded.h"
#include "platform/nt1394.h"
#include "platform/ntio.h"
#include "platform/ntioctl.h"
#include "simkernel/caller.h"
#include "simkernel/pnp.h"
#include "simkernel/requestor.h"
#include "tests/fuzz/fuzz_stack.h"

namespace fuzz {

inline constexpr char kPdoName[] = "\\Device\\00000062";

// How a control request's data is named: not at all (the input's bytes as
// they are), by address, by address and a locked MDL on the request, or by
// address and a locked MDL already mapped to system space.
enum class DataForm { Plain, Address, Mdl, MappedMdl };

// The data a pass-through names by address: the stack's second buffer for a
// driver, a page of the program's own for a program; its address goes into
// the block's DataBuffer, in the layout the sender uses.
class RequestData {
public:
    static constexpr size_t kBytes = 4096;

    RequestData(Stack& stack, DataForm form, bool program, bool wow64, uint8_t* block, ULONG blockLength)
        : form_(form), program_(program) {
        if (form == DataForm::Plain) return;
        if (program) {
            // What the input put in the second buffer, where its pages are
            // still there.
            area_ = sim::LowUserArea(kBytes);
            const sim::SimBuffer& from = stack.Buffer(1);
            for (size_t i = 0; i < std::min(kBytes, from.size); ++i) {
                const sim::PageState state = sim::QueryPage(from.address + i);
                if (state == sim::PageState::Valid || state == sim::PageState::ReadOnly) area_[i] = from.address[i];
            }
        } else {
            area_ = stack.Buffer(1).address;
        }
        const uintptr_t address = reinterpret_cast<uintptr_t>(area_);
        if (program && wow64) {
            constexpr size_t at = offsetof(SCSI_PASS_THROUGH_DIRECT32, DataBuffer);
            const uint32_t low = static_cast<uint32_t>(address);
            if (blockLength >= at + sizeof(low) && Stack::Writable(block + at))
                std::memcpy(block + at, &low, sizeof(low));
        } else {
            constexpr size_t at = offsetof(SCSI_PASS_THROUGH_DIRECT, DataBuffer);
            if (blockLength >= at + sizeof(address) && Stack::Writable(block + at))
                std::memcpy(block + at, &address, sizeof(address));
        }
    }
    ~RequestData() {
        if (program_ && area_ != nullptr) sim::FreeLowUserArea(area_);
    }
    RequestData(const RequestData&) = delete;
    RequestData& operator=(const RequestData&) = delete;

    // Puts a locked MDL for the data on the request, as a sender that built
    // its own IRP does; the I/O manager frees it with the request. A request
    // whose code is of a direct method has the I/O manager's own already.
    void Describe(PIRP irp) const {
        if ((form_ == DataForm::Mdl || form_ == DataForm::MappedMdl) && irp->MdlAddress == nullptr)
            LockedMdl(area_, kBytes, static_cast<KPROCESSOR_MODE>(program_ ? UserMode : KernelMode),
                      form_ == DataForm::MappedMdl, irp);
    }

private:
    DataForm form_;
    bool program_;
    uint8_t* area_ = nullptr;
};

// A handle on the filtered device, opened by a program or a driver: what a
// 32-bit program's requests go through.
class Handle {
public:
    Handle(const std::string& name, KPROCESSOR_MODE mode) : handle_(sim::OpenFile(name, mode).handle) {}
    ~Handle() {
        if (handle_ != nullptr) sim::CloseFile(handle_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const { return handle_; }
    PFILE_OBJECT File() const { return handle_ != nullptr ? sim::FileObjectOf(handle_) : nullptr; }

private:
    HANDLE handle_;
};

// Requests other than device control, by the input's choice (1 to
// kOtherRequests). The buffers are the device control target's: the input
// buffer is what a write sends, the output buffer what a read fills. The
// last two no seed of a golden scenario picks.
inline constexpr int kOtherRequests = 10;

struct Buffers {
    uint8_t* in;
    ULONG inLength;
    uint8_t* out;
    ULONG outLength;
    bool program;
};

inline void SendPnp(Stack& stack, FuzzedDataProvider& input) {
    PDEVICE_OBJECT pdo = stack.Pdo().Device();
    for (int count = input.ConsumeIntegralInRange<int>(1, 3); count > 0; --count) {
        const UCHAR minor = input.ConsumeBool()
                                ? input.ConsumeIntegralInRange<UCHAR>(0, IRP_MN_QUERY_LEGACY_BUS_INFORMATION)
                                : input.ConsumeIntegral<UCHAR>();
        if (minor == IRP_MN_REMOVE_DEVICE) {
            stack.Remove();
            return;
        }
        if (minor == IRP_MN_DEVICE_USAGE_NOTIFICATION) {
            const auto type = static_cast<DEVICE_USAGE_NOTIFICATION_TYPE>(input.ConsumeIntegralInRange<int>(0, 3));
            sim::PnpUsageNotification(pdo, type, input.ConsumeBool());
            continue;
        }
        // The lower driver answers a start as the input says; other requests
        // as a bus driver does (their answers carry what the manager reads).
        if (minor == IRP_MN_START_DEVICE) stack.AnswerAlso(IRP_MJ_PNP);
        sim::PnpRequest(pdo, minor);
        stack.Pdo().WaitIdle();
        stack.Pdo().ClearRules();
    }
}

inline void SendPower(Stack& stack, FuzzedDataProvider& input) {
    const UCHAR minor = input.ConsumeIntegralInRange<UCHAR>(0, IRP_MN_QUERY_POWER + 1);
    const POWER_STATE_TYPE type = input.ConsumeBool() ? SystemPowerState : DevicePowerState;
    const ULONG state = input.ConsumeIntegralInRange<ULONG>(0, 6);
    stack.AnswerAlso(IRP_MJ_POWER);
    sim::PowerRequest(stack.Pdo().Device(), minor, [type, state](PIRP, PIO_STACK_LOCATION location) {
        location->Parameters.Power.Type = type;
        if (type == SystemPowerState)
            location->Parameters.Power.State.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
        else
            location->Parameters.Power.State.DeviceState = static_cast<DEVICE_POWER_STATE>(state);
    });
}

inline void SendWmi(Stack& stack, FuzzedDataProvider& input, const Buffers& buffers) {
    const UCHAR minor = input.ConsumeIntegralInRange<UCHAR>(0, IRP_MN_REGINFO_EX + 1);
    stack.AnswerAlso(IRP_MJ_SYSTEM_CONTROL);
    PDEVICE_OBJECT top = stack.Top();
    sim::Send(top, sim::Request(IRP_MJ_SYSTEM_CONTROL, minor).Setup([top, buffers](PIRP, PIO_STACK_LOCATION location) {
        location->Parameters.WMI.ProviderId = reinterpret_cast<ULONG_PTR>(top);
        location->Parameters.WMI.DataPath = buffers.out;
        location->Parameters.WMI.BufferSize = buffers.inLength;
        location->Parameters.WMI.Buffer = buffers.in;
    }));
}

// Requests that arrive while the device is being removed: a read held
// below the filter keeps the removal waiting for it, and meanwhile a
// request of the input's kind comes; then the read is let go.
inline void SendDuringRemoval(Stack& stack, FuzzedDataProvider& input, ULONG code) {
    stack.Pdo().SetRule(IRP_MJ_READ, sim::Reply::Hold(STATUS_SUCCESS));
    std::vector<uint8_t> held(16);
    std::future<sim::IoResult> read = sim::SendAsync(stack.Top(), sim::Request::Read(held.data(), 16));
    while (stack.Pdo().HeldCount() == 0 && read.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        std::this_thread::yield();
    std::thread remover([&stack] { stack.Remove(); });
    while (sim::RemoveLockWaiters() == 0 && !stack.RemovalDone())
        std::this_thread::yield();
    // A read that was not held (a fault the input injected failed it) kept
    // nothing: the device is gone already, and nothing more is sent.
    if (stack.RemovalDone()) {
        remover.join();
        return;
    }
    std::vector<uint8_t> data(64);
    PDEVICE_OBJECT top = stack.Top();
    // The last no seed of a golden scenario picks.
    switch (input.ConsumeIntegralInRange<int>(0, 6)) {
    case 0:
        sim::Send(top, sim::Request::DeviceControl(code, data.data(), 64, data.data(), 64));
        break;
    case 1:
        sim::Send(top, sim::Request::Read(data.data(), 64));
        break;
    case 2:
        sim::Send(top, sim::Request::Write(data.data(), 64));
        break;
    case 3:
        sim::Send(top, sim::Request::InternalDeviceControl(IOCTL_SCSI_EXECUTE_NONE, nullptr));
        break;
    case 4:
        sim::Send(top, sim::Request::Power(IRP_MN_QUERY_POWER));
        break;
    case 5:
        sim::Send(top, sim::Request(IRP_MJ_FLUSH_BUFFERS));
        break;
    default:
        sim::Send(top, sim::Request(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES));
        break;
    }
    stack.Pdo().Release();
    read.wait();
    remover.join();
}

// What another kernel driver may send straight to the control device, which
// has nothing below it: Plug and Play (any minor, the usage notification and
// the removal among them), power, WMI, a read, or a 1394 request whose block
// is the input buffer.
inline void SendToControl(FuzzedDataProvider& input, const Buffers& buffers) {
    PDEVICE_OBJECT control = sim::FindDevice(std::string("\\Device\\Zelkor1"));
    if (control == nullptr) return;
    sim::Request request(IRP_MJ_FLUSH_BUFFERS);
    switch (input.ConsumeIntegralInRange<int>(0, 4)) {
    case 0:
        request = sim::Request(IRP_MJ_PNP, input.ConsumeIntegralInRange<UCHAR>(0, IRP_MN_QUERY_LEGACY_BUS_INFORMATION));
        break;
    case 1:
        request = sim::Request::Power(input.ConsumeIntegralInRange<UCHAR>(0, IRP_MN_QUERY_POWER + 1),
                                      input.ConsumeBool() ? SystemPowerState : DevicePowerState,
                                      input.ConsumeIntegralInRange<ULONG>(0, 6));
        break;
    case 2:
        request = sim::Request(IRP_MJ_SYSTEM_CONTROL, input.ConsumeIntegralInRange<UCHAR>(0, IRP_MN_REGINFO_EX + 1));
        break;
    case 3:
        request = sim::Request::Read(buffers.out, buffers.outLength);
        break;
    default:
        request = sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, buffers.in);
        break;
    }
    sim::Send(control, request.ExactDevice(true));
}

// A driver's URB through device control: the same code as the internal
// request, the URB (the input buffer) in Argument1, where the I/O manager
// puts the output length for a program.
inline void SendUrbByDeviceControl(Stack& stack, const Buffers& buffers) {
    uint8_t* urb = buffers.in;
    sim::Send(stack.Top(),
              sim::Request::DeviceControl(IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr, 0, nullptr, 0)
                  .Setup([urb](PIRP, PIO_STACK_LOCATION location) { location->Parameters.Others.Argument1 = urb; }));
}

// Majors the filter passes on as they are (the last three it does not name).
inline constexpr UCHAR kPlainMajors[] = {IRP_MJ_FLUSH_BUFFERS, IRP_MJ_SHUTDOWN, IRP_MJ_CREATE_NAMED_PIPE,
                                         IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION};

inline void SendOther(Stack& stack, FuzzedDataProvider& input, int which, const Buffers& buffers, ULONG code) {
    const auto mode = static_cast<KPROCESSOR_MODE>(buffers.program ? UserMode : KernelMode);
    switch (which) {
    case 1:
        stack.AnswerAlso(IRP_MJ_READ);
        sim::Send(stack.Top(),
                  sim::Request::Read(buffers.out, buffers.outLength, input.ConsumeIntegral<int64_t>()).Mode(mode));
        break;
    case 2:
        stack.AnswerAlso(IRP_MJ_WRITE);
        sim::Send(stack.Top(),
                  sim::Request::Write(buffers.in, buffers.inLength, input.ConsumeIntegral<int64_t>()).Mode(mode));
        break;
    case 3:
        SendPower(stack, input);
        break;
    case 4:
        SendWmi(stack, input, buffers);
        break;
    case 5:
        SendPnp(stack, input);
        break;
    case 6: {
        Handle handle(kPdoName, mode);
        break;
    }
    case 7: {
        const UCHAR major = input.PickValueInArray(kPlainMajors);
        stack.AnswerAlso(major);
        sim::Send(stack.Top(), sim::Request(major).Mode(mode));
        break;
    }
    case 8:
        SendDuringRemoval(stack, input, code);
        break;
    case 9:
        SendToControl(input, buffers);
        break;
    default:
        SendUrbByDeviceControl(stack, buffers);
        break;
    }
}

}  // namespace fuzz
