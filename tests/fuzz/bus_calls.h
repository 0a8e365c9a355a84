// The internal target's lower driver as a 1394 bus and host: it takes the
// routine and context an allocation block names, answers a level-4 host
// query with a mapping routine of its own, and after the request calls what
// it took as the input says: the allocation's routine (also after the client
// released the range, and after the client sent its block again), the
// mapping routine the client holds (whose host routine completes the
// allocation at once, later, or never, or refuses it), and the mapping
// routine again once the device is gone. Every choice is read after the ones
// tests/fuzz/make_seeds.cpp writes, so a seed of a golden scenario calls
// nothing.
#pragma once
#include <mutex>
#include <vector>

#include "internal/callback.h"
#include "platform/nt1394.h"
#include "tests/fuzz/fuzz_stack.h"

namespace fuzz {

// The client's own routines: they do nothing but be there.
inline VOID ClientAllocated(PVOID) {}
inline VOID ClientNotified(PNOTIFICATION_INFO) {}

// A routine the bus took from a block, with what it calls it with.
struct Taken {
    PVOID routine = nullptr;
    PVOID context = nullptr;
    ULONG options = 0;
    PMDL mdl = nullptr;
};

class BusCalls {
public:
    static constexpr uintptr_t kHostContext = 0x13940C0;

    // Made before the stack, so that it is still there when the stack's end
    // removes the device and calls the mapping routine after it.
    explicit BusCalls(FuzzedDataProvider& input) : input_(input) {}
    void Attach(Stack& stack) { stack_ = &stack; }
    ~BusCalls() {
        if (mapping_.address != nullptr) sim::FreeBuffer(mapping_);
    }

    // For ProgramAnswer: the bus's part of the answer, before the lower
    // driver's own changes.
    std::function<void(PIRP)> Taker() {
        return [this](PIRP irp) {
            if (active_) Take(static_cast<uint8_t*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1));
        };
    }

    // Whether the bus plays at all, and the client puts routines of its own
    // into an allocation block (the routines a golden scenario's client
    // named are not in this process).
    void Choose(uint8_t* block) {
        active_ = input_.ConsumeIntegralInRange<int>(0, 1) == 1;
        block_ = block;
        if (!active_ || !Fits(block, sizeof(IRB))) return;
        IRB irb = Load(block);
        if (irb.FunctionNumber == REQUEST_ALLOCATE_ADDRESS_RANGE && irb.u.AllocateAddressRange.Callback != nullptr) {
            irb.u.AllocateAddressRange.Callback = irb.u.AllocateAddressRange.fulNotificationOptions != 0
                                                      ? reinterpret_cast<PVOID>(&ClientNotified)
                                                      : reinterpret_cast<PVOID>(&ClientAllocated);
            std::memcpy(block, &irb, sizeof(irb));
        }
    }

    // After the request: the client reads what it was answered, then the
    // bus, the host and the client act as the input says.
    void Play() {
        if (!active_) return;
        ReadAnswer();
        for (int round = input_.ConsumeIntegralInRange<int>(0, 6); round > 0; --round) {
            // The last three no seed of a golden scenario picks.
            switch (input_.ConsumeIntegralInRange<int>(0, 7)) {
            case 0:
                CallTaken();
                break;
            case 1:
                Release();
                break;
            case 2:
                SendAgain();
                break;
            case 3:
                Map(true);
                break;
            case 4:
                Map(false);
                break;
            case 5:
                CallHostile();
                break;
            case 6:
                Rewrite();
                break;
            default:
                MapWithoutPool();
                break;
            }
        }
        if (input_.ConsumeBool()) stack_->AfterRemoval([this] { Map(true); });
    }

private:
    // An address the block names may be any value, the top of the address
    // space included: its last byte is found without pointer arithmetic.
    static bool Fits(const void* address, size_t size) {
        const auto first = reinterpret_cast<uintptr_t>(address);
        if (address == nullptr || size == 0 || first + (size - 1) < first) return false;
        const auto* last = reinterpret_cast<const uint8_t*>(first + (size - 1));
        return Stack::Writable(address) && Stack::Writable(last) && sim::QueryPage(address) == sim::PageState::Valid &&
               sim::QueryPage(last) == sim::PageState::Valid;
    }

    // A block lies at any alignment: it is read and written as bytes.
    static IRB Load(const void* block) {
        IRB irb;
        std::memcpy(&irb, block, sizeof(irb));
        return irb;
    }

    static bool Known(PVOID routine) {
        return routine == reinterpret_cast<PVOID>(&ClientAllocated) ||
               routine == reinterpret_cast<PVOID>(&ClientNotified) ||
               routine == reinterpret_cast<PVOID>(&ZK_AllocationCompletionRoutine) ||
               routine == reinterpret_cast<PVOID>(&ZK_DriverNotificationRoutine);
    }

    // The bus takes the pair an allocation names (and gives the range a
    // handle), or answers level 4 with its host's routine.
    void Take(uint8_t* block) {
        if (!Fits(block, sizeof(IRB))) return;
        IRB irb = Load(block);
        if (irb.FunctionNumber == REQUEST_ALLOCATE_ADDRESS_RANGE) {
            IRB_REQ_ALLOCATE_ADDRESS_RANGE& allocate = irb.u.AllocateAddressRange;
            std::lock_guard<std::mutex> guard(lock_);
            if (Known(allocate.Callback))
                taken_.push_back({allocate.Callback, allocate.Context, allocate.fulNotificationOptions, allocate.Mdl});
            allocate.hAddressRange = reinterpret_cast<HANDLE>(0x13940000 + ++handles_);
            std::memcpy(block, &irb, sizeof(irb));
        } else if (irb.FunctionNumber == REQUEST_GET_LOCAL_HOST_INFO &&
                   irb.u.GetLocalHostInformation.nLevel == GET_PHYS_ADDR_ROUTINE) {
            void* information = irb.u.GetLocalHostInformation.Information;
            if (Fits(information, sizeof(GET_LOCAL_HOST_INFO4))) {
                const GET_LOCAL_HOST_INFO4 answer{&HostMaps, reinterpret_cast<PVOID>(kHostContext)};
                std::memcpy(information, &answer, sizeof(answer));
            }
        }
    }

    void ReadAnswer() {
        if (!Fits(block_, sizeof(IRB))) return;
        const IRB irb = Load(block_);
        if (irb.FunctionNumber == REQUEST_GET_LOCAL_HOST_INFO &&
            irb.u.GetLocalHostInformation.nLevel == GET_PHYS_ADDR_ROUTINE &&
            Fits(irb.u.GetLocalHostInformation.Information, sizeof(GET_LOCAL_HOST_INFO4))) {
            std::memcpy(&held_, irb.u.GetLocalHostInformation.Information, sizeof(held_));
            if (held_.PhysAddrMappingRoutine != &ZK_PhysAddrMappingRoutine && held_.PhysAddrMappingRoutine != &HostMaps)
                held_ = {};
        }
    }

    static void Call(const Taken& taken) {
        sim::IrqlScope irql(DISPATCH_LEVEL);
        if (taken.options == 0) {
            reinterpret_cast<PALLOCATION_COMPLETION_ROUTINE>(taken.routine)(taken.context);
            return;
        }
        NOTIFICATION_INFO info{};
        info.Mdl = taken.mdl;
        info.nLength = 1;
        info.fulNotificationOptions = taken.options;
        info.Context = taken.context;
        reinterpret_cast<PDRIVER_NOTIFICATION_ROUTINE>(taken.routine)(&info);
    }

    // One of the routines the bus or the host took, whenever: before or
    // after a release, once or again.
    void CallTaken() {
        std::vector<Taken> taken;
        {
            std::lock_guard<std::mutex> guard(lock_);
            taken = taken_;
        }
        if (!taken.empty()) Call(taken[input_.ConsumeIntegralInRange<size_t>(0, taken.size() - 1)]);
    }

    // The client releases the range its block holds; the bus agrees or not.
    void Release() {
        if (!Fits(block_, sizeof(IRB))) return;
        HANDLE handle = Load(block_).u.AllocateAddressRange.hAddressRange;
        sim::SimBuffer request = sim::AllocateBuffer(sizeof(IRB) + sizeof(HANDLE));
        IRB* irb = reinterpret_cast<IRB*>(request.address);
        std::memset(irb, 0, sizeof(IRB));
        std::memcpy(request.address + sizeof(IRB), &handle, sizeof(handle));
        irb->FunctionNumber = REQUEST_FREE_ADDRESS_RANGE;
        irb->u.FreeAddressRange.nAddressesToFree = 1;
        irb->u.FreeAddressRange.pAddressRange = reinterpret_cast<PHANDLE>(request.address + sizeof(IRB));
        stack_->Pdo().SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(PickStatus(input_)));
        sim::Send(stack_->Top(), sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, irb));
        sim::FreeBuffer(request);
    }

    // The client sends its block again, as it holds it now.
    void SendAgain() {
        sim::Reply reply = sim::Reply::Complete(PickStatus(input_));
        reply.Fill(Taker());
        stack_->Pdo().SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, reply);
        sim::Send(stack_->Top(), sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, block_));
    }

    // A bus, a host or a client gone wrong calls a substitute with what the
    // filter never handed out, or no longer holds: a context that is no
    // record of its own (a buffer, or a record the bus took and may have
    // seen freed since), a notification whose information lies in no page,
    // a mapping of a block that lies in no page.
    void CallHostile() {
        const int kind = input_.ConsumeIntegralInRange<int>(0, 3);
        PVOID context = stack_->Buffer(1).address;
        switch (input_.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            break;
        case 1: {
            // The last the bus took for a routine of this kind.
            std::lock_guard<std::mutex> guard(lock_);
            for (const Taken& taken : taken_)
                if ((taken.options != 0) == (kind == 1)) context = taken.context;
            break;
        }
        default:
            context = held_.Context;  // the mapping routine's own
            break;
        }
        PVOID nowhere = const_cast<void*>(sim::InvalidKernelAddress());
        sim::IrqlScope irql(DISPATCH_LEVEL);
        switch (kind) {
        case 0:
            ZK_AllocationCompletionRoutine(context);
            break;
        case 1: {
            NOTIFICATION_INFO info{};
            info.Context = context;
            info.nLength = 1;
            info.fulNotificationOptions = NOTIFY_FLAGS_AFTER_READ;
            ZK_DriverNotificationRoutine(&info);
            break;
        }
        case 2:
            ZK_DriverNotificationRoutine(static_cast<PNOTIFICATION_INFO>(nowhere));
            break;
        default:
            if (held_.PhysAddrMappingRoutine == &ZK_PhysAddrMappingRoutine)
                ZK_PhysAddrMappingRoutine(
                    context, input_.ConsumeBool() ? static_cast<PIRB>(nowhere) : reinterpret_cast<PIRB>(block_));
            break;
        }
    }

    // The client writes another routine or context into its block (the one
    // it sent, or the one it mapped last) while the allocation is in the
    // bus's or the host's hands: the filter's pair is then no longer there
    // to give back.
    void Rewrite() {
        uint8_t* block = mapping_.address != nullptr && input_.ConsumeBool() ? mapping_.address : block_;
        if (!Fits(block, sizeof(IRB))) return;
        IRB irb = Load(block);
        // A routine of the kind the block's options call for, as a client's
        // own routine is (called as the other kind, it would be called with
        // an argument of another type).
        if (input_.ConsumeBool())
            irb.u.AllocateAddressRange.Callback = irb.u.AllocateAddressRange.fulNotificationOptions != 0
                                                      ? reinterpret_cast<PVOID>(&ClientNotified)
                                                      : reinterpret_cast<PVOID>(&ClientAllocated);
        else
            irb.u.AllocateAddressRange.Context = reinterpret_cast<PVOID>(input_.ConsumeIntegral<uintptr_t>() & 0xFFFF);
        std::memcpy(block, &irb, sizeof(irb));
    }

    // The pool refuses the filter's first allocation while the client maps
    // a range of its own.
    void MapWithoutPool() {
        sim::FailNthCall("ExAllocatePoolWithTag", 1);
        Map(true);
        sim::ClearFaults();
    }

    // The client has the host map a range through the routine it holds: in
    // its block (as it holds it now) or in a block of its own.
    void Map(bool ownBlock) {
        if (held_.PhysAddrMappingRoutine == nullptr) return;
        Host& host = TheHost();
        {
            std::lock_guard<std::mutex> guard(host.lock);
            host.status = PickStatus(input_);
            host.now = input_.ConsumeBool();
            host.taken = &taken_;
            host.takenLock = &lock_;
        }
        uint8_t* block = block_;
        // The client hands over a block of its own only: an allocation whose
        // routine is its own (or the filter's, still in the block), or none.
        if (!ownBlock && (!Fits(block, sizeof(IRB)) || Load(block).FunctionNumber != REQUEST_ALLOCATE_ADDRESS_RANGE ||
                          (Load(block).u.AllocateAddressRange.Callback != nullptr &&
                           !Known(Load(block).u.AllocateAddressRange.Callback))))
            return;
        if (ownBlock) {
            if (mapping_.address == nullptr) mapping_ = sim::AllocateBuffer(sizeof(IRB));
            IRB* irb = reinterpret_cast<IRB*>(mapping_.address);
            std::memset(irb, 0, sizeof(IRB));
            irb->FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
            irb->u.AllocateAddressRange.fulNotificationOptions = input_.ConsumeIntegralInRange<ULONG>(0, 1);
            irb->u.AllocateAddressRange.nLength = 0x10;
            if (input_.ConsumeBool()) irb->u.AllocateAddressRange.Callback = reinterpret_cast<PVOID>(&ClientAllocated);
            irb->u.AllocateAddressRange.Context = irb;
            block = mapping_.address;
        }
        if (!Fits(block, sizeof(IRB))) return;
        sim::IrqlScope irql(DISPATCH_LEVEL);
        held_.PhysAddrMappingRoutine(held_.Context, reinterpret_cast<PIRB>(block));
    }

    // The host's mapping routine: the context it handed out, the pair the
    // block names taken, and the allocation completed at once or later (by
    // CallTaken), or refused.
    struct Host {
        std::mutex lock;
        NTSTATUS status = STATUS_SUCCESS;
        bool now = true;
        std::vector<Taken>* taken = nullptr;
        std::mutex* takenLock = nullptr;
    };
    static Host& TheHost() {
        static Host* host = new Host;
        return *host;
    }

    static NTSTATUS HostMaps(PVOID Context, PIRB Irb) {
        if (Context != reinterpret_cast<PVOID>(kHostContext))
            Stack::Finding("the host's mapping routine was called with a context it never handed out");
        // The client's block in no page: the host refuses it (a real one
        // would fault on the client's behalf).
        if (!Fits(Irb, sizeof(IRB))) return STATUS_INVALID_PARAMETER;
        Host& host = TheHost();
        Taken taken;
        NTSTATUS status;
        bool now;
        {
            std::lock_guard<std::mutex> guard(host.lock);
            status = host.status;
            now = host.now;
            const IRB irb = Load(Irb);
            const IRB_REQ_ALLOCATE_ADDRESS_RANGE& allocate = irb.u.AllocateAddressRange;
            if (!NT_SUCCESS(status) || allocate.fulNotificationOptions != 0 || !Known(allocate.Callback))
                return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
            taken = {allocate.Callback, allocate.Context, 0, allocate.Mdl};
            std::lock_guard<std::mutex> takenGuard(*host.takenLock);
            host.taken->push_back(taken);
        }
        if (now) Call(taken);
        return status;
    }

    FuzzedDataProvider& input_;
    Stack* stack_ = nullptr;
    bool active_ = false;
    uint8_t* block_ = nullptr;
    std::mutex lock_;
    std::vector<Taken> taken_;
    uintptr_t handles_ = 0;
    GET_LOCAL_HOST_INFO4 held_{};
    sim::SimBuffer mapping_{};
};

}  // namespace fuzz
