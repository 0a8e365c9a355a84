// What the driver fuzz targets share: a filtered stack built afresh for each
// input, buffers whose pages the input makes valid, missing, paged out or
// read-only, pointers into them planted where the input says, a lower driver
// that answers as the input says, and the end of every run: the device
// removed, the driver unloaded, and nothing left behind. A broken kernel rule
// is the simulated kernel's bug check, which aborts: a finding.
#pragma once
#include <fuzzer/FuzzedDataProvider.h>
#include <pthread.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "platform/nt1394.h"
#include "platform/ntusb.h"
#include "platform/guarded.h"
#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"
#include "simkernel/registry_store.h"
#include "simkernel/workitem.h"

namespace fuzz {

// A few statuses lower drivers really answer with, and now and then any
// other value (never STATUS_PENDING, which no completion may carry).
inline NTSTATUS PickStatus(FuzzedDataProvider& input) {
    static constexpr NTSTATUS kStatuses[] = {
        STATUS_SUCCESS,       (NTSTATUS)0xC0000001, (NTSTATUS)0xC0000010, (NTSTATUS)0xC000000D, (NTSTATUS)0xC0000185,
        (NTSTATUS)0xC00000BB, (NTSTATUS)0xC0000120, (NTSTATUS)0x80000005, (NTSTATUS)0xC0000023, (NTSTATUS)0x00000102,
    };
    if (input.ConsumeBool())
        return kStatuses[input.ConsumeIntegralInRange<size_t>(0, sizeof(kStatuses) / sizeof(kStatuses[0]) - 1)];
    NTSTATUS status = input.ConsumeIntegral<int32_t>();
    return status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

struct LockRequest {
    PMDL mdl;
    KPROCESSOR_MODE mode;
};

inline VOID ProbeAndLock(PVOID context) {
    auto* lock = static_cast<LockRequest*>(context);
    MmProbeAndLockPages(lock->mdl, lock->mode, IoWriteAccess);
}

// A locked MDL for `bytes` at `address`, as its owner builds it (mapped to
// system space or not); nullptr when the kernel refuses.
inline PMDL LockedMdl(void* address, size_t bytes, KPROCESSOR_MODE mode, bool mapped, PIRP irp = nullptr) {
    PMDL mdl = IoAllocateMdl(address, static_cast<ULONG>(bytes), FALSE, FALSE, irp);
    if (mdl == nullptr) return nullptr;
    LockRequest lock{mdl, mode};
    if (!NT_SUCCESS(ZkGuardedCall(ProbeAndLock, &lock))) {
        if (irp != nullptr) irp->MdlAddress = nullptr;
        IoFreeMdl(mdl);
        return nullptr;
    }
    if (mapped)
        MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE,
                                     NormalPagePriority | MdlMappingNoExecute);
    return mdl;
}

class Stack {
public:
    static constexpr size_t kBufferBytes = 2 * 4096;
    static constexpr int kBuffers = 4;  // 0: the request's block; 1..3: what it points to
    static constexpr ULONG kFlags[] = {0, DO_BUFFERED_IO, DO_DIRECT_IO};
    static constexpr size_t kMdlSlots[] = {offsetof(_URB_CONTROL_TRANSFER, TransferBufferMDL),
                                           offsetof(IRB, u.AsyncRead.Mdl), offsetof(IRB, u.AsyncWrite.Mdl),
                                           offsetof(IRB, u.AllocateAddressRange.Mdl)};
    static constexpr ULONG kEveryLevel = 0x2FF;
    static constexpr ULONG kAnyMask = 0x3FF;
    static constexpr DEVICE_TYPE kDeviceTypes[] = {FILE_DEVICE_DISK, FILE_DEVICE_CD_ROM, FILE_DEVICE_UNKNOWN,
                                                   FILE_DEVICE_MASS_STORAGE};

    explicit Stack(FuzzedDataProvider& input) : input_(input) {
        sim::ResetKernel();
        sim::PdoOptions options;
        options.flags = input.PickValueInArray(kFlags);
        options.deviceType = input.PickValueInArray(kDeviceTypes);
        // Every level, the bus detail included, most of the time; any mask,
        // time stamps included, now and then.
        const ULONG mask = input.ConsumeBool() ? kEveryLevel : input.ConsumeIntegral<uint16_t>() & kAnyMask;
        // The driver steps through a block by the lengths it gives (a
        // selection's records by theirs, as far as the URB's 16-bit length;
        // isochronous packets by their offsets, as far as the 32-bit
        // transfer length) and need not read the pages between: no-access
        // pages as far as any such length reaches keep each step inside the
        // simulation's memory, where an address past a buffer is invalid as
        // on Windows. Beyond lies this process's own memory, which the
        // simulated kernel cannot tell from a resident system page.
        for (int i = 0; i < kBuffers; ++i) {
            size_t offset = input.ConsumeIntegralInRange<size_t>(0, 4095);
            buffers_[i] = sim::AllocateBuffer(kBufferBytes - 4096, offset, sim::kMaxGuardPages);
            std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 512));
            if (!bytes.empty())
                std::memcpy(buffers_[i].address, bytes.data(), std::min(bytes.size(), buffers_[i].size));
        }
        const int configuration = input.ConsumeIntegralInRange<int>(0, kConfigurations - 1);
        const int fault = input.ConsumeIntegralInRange<int>(0, kNoFault);
        const int nth = fault < kNoFault ? input.ConsumeIntegralInRange<int>(1, 16) : 0;
        pdo_ = &sim::CreatePdo("\\Device\\00000062", options);
        Configure(configuration);
        // A kernel routine the input names fails its Nth call from here on:
        // while the driver loads, adds its device, or serves the request.
        faulted_ = fault < kNoFault;
        if (faulted_) sim::FailNthCall(kFaultRoutines[fault], nth);
        driver_ = sim::LoadDriver(DriverEntry, "zelkor");
        if (driver_ == nullptr) {
            if (!faulted_) Finding("the driver did not load");
            return;
        }
        if (sim::PnpAddDevice(driver_, pdo_->Device()) != STATUS_SUCCESS) {
            if (!faulted_) Finding("add-device failed");
            return;
        }
        top_ = sim::TopOfStack(pdo_->Device());
        ready_ = true;
        static_cast<PZK_EXTENSION>(top_->DeviceExtension)->TraceMask = mask;
    }

    ~Stack() {
        sim::ClearFaults();
        Remove();
        if (afterRemoval_) afterRemoval_();
        // A planted MDL is also just memory the block names: the bus or the
        // driver may have written a reply into it. It is the harness's own,
        // and gets back its bytes as they were before it goes.
        for (const auto& [mdl, bytes] : mdls_) {
            std::memcpy(mdl, bytes.data(), bytes.size());
            MmUnlockPages(mdl);
            IoFreeMdl(mdl);
        }
        if (driver_ != nullptr && sim::UnloadDriver(driver_) != STATUS_SUCCESS) Finding("unloading failed");
        std::string leaks = sim::LeakReport();
        for (const std::string& mdl : sim::OutstandingMdls())
            leaks += "MDL still allocated: " + mdl + "\n";
        if (!leaks.empty()) Finding("left behind after unload:\n" + leaks);
        for (const sim::SimBuffer& buffer : buffers_)
            if (buffer.address != nullptr) sim::FreeBuffer(buffer);
    }

    // What a client still does once the device is gone, before the unload.
    void AfterRemoval(std::function<void()> hook) { afterRemoval_ = std::move(hook); }

    // Whether the driver loaded and its filter sits on the PDO (a fault the
    // input injected may have stopped either).
    bool Ready() const { return ready_; }
    // Whether the input made a kernel routine fail.
    bool Faulted() const { return faulted_; }

    // The Plug and Play manager removes the device, once.
    void Remove() {
        if (removed_ || driver_ == nullptr) return;
        removed_ = true;
        // What the driver queued for the kernel's worker runs before the
        // device goes, as the work item's reference on the device ensures.
        pdo_->WaitIdle();
        sim::WaitForWorkItems();
        pdo_->ClearRules();
        if (sim::PnpRemoveDevice(pdo_->Device()).final != STATUS_SUCCESS) Finding("the removal failed");
        removalDone_ = true;
    }
    bool RemovalDone() const { return removalDone_; }

    // Bytes the lower driver writes from the start of what it answers into
    // (the block, or the request's system buffer), ahead of its edits.
    void SetReply(std::vector<uint8_t> bytes) { reply_ = std::move(bytes); }
    // The answer programmed last, for requests of another major function too.
    void AnswerAlso(UCHAR major) { pdo_->SetRule(major, answer_); }

    uint8_t* Block() { return buffers_[0].address; }
    const sim::SimBuffer& Buffer(int index) const { return buffers_[index]; }
    size_t BlockSize() const { return buffers_[0].size; }
    PDEVICE_OBJECT Top() { return top_; }
    sim::Pdo& Pdo() { return *pdo_; }

    // Plants up to `count` pointers in the block, each at a pointer-aligned
    // offset the input gives, to a buffer and an offset the input gives (or
    // null, or a kernel address no one mapped).
    void PlantPointers(int count) {
        std::vector<std::pair<size_t, PMDL>> mdls;
        for (int i = 0; i < count && input_.remaining_bytes() != 0; ++i) {
            size_t slot = input_.ConsumeIntegralInRange<size_t>(0, 63) * sizeof(void*);
            if (slot + sizeof(void*) > BlockSize()) continue;
            const void* target = nullptr;
            switch (input_.ConsumeIntegralInRange<int>(0, 6)) {
            case 0:
                break;
            case 1:
                target = sim::InvalidKernelAddress();
                break;
            case 6: {
                // An MDL of the last buffer, locked, mapped or not, where a
                // block names an MDL: only there, for the driver reads what
                // other pointers name as data, and an MDL here is a small
                // heap block.
                slot = kMdlSlots[input_.ConsumeIntegralInRange<size_t>(0, std::size(kMdlSlots) - 1)];
                const sim::SimBuffer& buffer = buffers_[kBuffers - 1];
                PMDL mdl = LockedMdl(buffer.address, buffer.size, KernelMode, input_.ConsumeBool());
                if (mdl != nullptr) {
                    const auto* bytes = reinterpret_cast<const uint8_t*>(mdl);
                    mdls_.emplace_back(mdl, std::vector<uint8_t>(bytes, bytes + mdl->Size));
                    mdls.emplace_back(slot, mdl);
                }
                target = mdl;
                break;
            }
            default: {
                const sim::SimBuffer& buffer = buffers_[input_.ConsumeIntegralInRange<int>(1, kBuffers - 1)];
                target = buffer.address + input_.ConsumeIntegralInRange<size_t>(0, buffer.size);
            }
            }
            std::memcpy(Block() + slot, &target, sizeof(target));
        }
        // What the input wrote: at most 512 bytes of each buffer. An MDL
        // still planted (no later plant took its slot) is pool memory of
        // this process, and stays.
        std::vector<std::pair<size_t, PMDL>> planted;
        for (const auto& [slot, mdl] : mdls)
            if (std::memcmp(Block() + slot, &mdl, sizeof(mdl)) == 0) planted.emplace_back(slot, mdl);
        for (const sim::SimBuffer& buffer : buffers_)
            Defang(buffer.address, std::min<size_t>(buffer.size, 512 + sizeof(void*)));
        for (const auto& [slot, mdl] : planted)
            std::memcpy(Block() + slot, &mdl, sizeof(mdl));
    }

    // A pointer-sized value in the block that names this process's own memory
    // (outside the simulation's buffers) becomes an unmapped kernel address.
    // The fuzzer learns such addresses from the comparisons it watches, and a
    // driver rightly reads any resident system address a kernel sender gives
    // it; in this process that memory may be the sanitizer's freed heap. A
    // hostile pointer here is therefore a buffer of the test's or nothing.
    // Only memory that is there counts, and the top of the user range, where
    // this process's program, heap, mappings and stacks lie and where memory
    // the run allocates later will be (the fuzzer learns such addresses from
    // earlier runs): most values in the user range (an SRB's header, a length
    // beside flags) name nothing and stay as they are.
    static bool NamesOwnMemory(const void* value) {
        const auto address = reinterpret_cast<uintptr_t>(value);
        if (address < 0x10000 || address > 0x7FFFFFFFFFFFull) return false;
        if (sim::QueryPage(value) != sim::PageState::Unknown) return false;  // a buffer of the test's
        if (address >= 0x550000000000ull) return true;
        const auto [stackLow, stackHigh] = ThreadStack();
        if (address >= stackLow && address < stackHigh) return true;
        char byte;
        iovec local{&byte, 1};
        iovec remote{const_cast<void*>(value), 1};
        return process_vm_readv(getpid(), &local, 1, &remote, 1, 0) == 1;
    }

    static std::pair<uintptr_t, uintptr_t> ThreadStack() {
        thread_local std::pair<uintptr_t, uintptr_t> range{0, 0};
        if (range.second == 0) {
            pthread_attr_t attributes;
            void* low = nullptr;
            size_t size = 0;
            if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
                pthread_attr_getstack(&attributes, &low, &size);
                pthread_attr_destroy(&attributes);
            }
            range = {reinterpret_cast<uintptr_t>(low), reinterpret_cast<uintptr_t>(low) + size};
        }
        return range;
    }

    // Whether the test may write at `address`: a buffer page the input left
    // valid, or ordinary memory (the pool's system buffers, a program's
    // pages), which the input cannot take away.
    static bool Writable(const void* address) {
        const sim::PageState state = sim::QueryPage(address);
        return state == sim::PageState::Valid || state == sim::PageState::Unknown;
    }

    // The pointer-sized slot at `offset` (aligned as the block's fields are),
    // where its pages can be read and written.
    static void DefangSlot(uint8_t* block, size_t offset) {
        if (!Writable(block + offset) || !Writable(block + offset + sizeof(void*) - 1)) return;
        const void* value;
        std::memcpy(&value, block + offset, sizeof(value));
        if (NamesOwnMemory(value)) {
            const void* invalid = sim::InvalidKernelAddress();
            std::memcpy(block + offset, &invalid, sizeof(invalid));
        }
    }

    static void Defang(uint8_t* block, size_t size) {
        for (size_t offset = 0; offset + sizeof(void*) <= size; offset += sizeof(void*))
            DefangSlot(block, offset);
    }

    // Makes some pages of the buffers invalid, paged out or read-only.
    void SpoilPages() {
        int count = input_.ConsumeIntegralInRange<int>(0, 3);
        for (int i = 0; i < count; ++i) {
            const sim::SimBuffer& buffer = buffers_[input_.ConsumeIntegralInRange<int>(0, kBuffers - 1)];
            const uint8_t* page = buffer.address + input_.ConsumeIntegralInRange<size_t>(0, buffer.size);
            switch (input_.ConsumeIntegralInRange<int>(0, 2)) {
            case 0:
                sim::InvalidatePage(page);
                break;
            case 1:
                sim::PageOut(page);
                break;
            default:
                sim::MakeReadOnly(page);
                break;
            }
        }
    }

    // The lower driver's answer for `major`: completed at once or later at
    // PASSIVE_LEVEL or DISPATCH_LEVEL, with a status, an Information value,
    // and changes to the block as a port or bus driver makes them.
    // With intoSystemBuffer, the changes go to the request's system buffer
    // (within its size) instead of the block: a port driver's answer to a
    // buffered control request.
    // `before` is the lower driver's own part, ahead of those changes.
    void ProgramAnswer(UCHAR major, ULONG_PTR informationLimit, bool intoSystemBuffer = false,
                       std::function<void(PIRP)> before = nullptr) {
        NTSTATUS status = PickStatus(input_);
        ULONG_PTR information = input_.ConsumeIntegralInRange<ULONG_PTR>(0, informationLimit);
        std::vector<std::pair<size_t, uint8_t>> edits;
        int count = input_.ConsumeIntegralInRange<int>(0, 8);
        for (int i = 0; i < count; ++i)
            edits.emplace_back(input_.ConsumeIntegralInRange<size_t>(0, 255), input_.ConsumeIntegral<uint8_t>());
        uint8_t* block = Block();
        const std::vector<uint8_t>* bytes = &reply_;
        auto fill = [block, edits, intoSystemBuffer, before, bytes](PIRP irp) {
            if (before) before(irp);
            uint8_t* target = block;
            size_t size = 256;
            if (intoSystemBuffer && IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
                PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
                target = static_cast<uint8_t*>(irp->AssociatedIrp.SystemBuffer);
                size = std::max(location->Parameters.DeviceIoControl.InputBufferLength,
                                location->Parameters.DeviceIoControl.OutputBufferLength);
                if ((location->Parameters.DeviceIoControl.IoControlCode & 3) != 0)  // METHOD_BUFFERED
                    size = location->Parameters.DeviceIoControl.InputBufferLength;
            }
            // The lower driver writes only where it can: not into pages the
            // input took away or made read-only.
            for (size_t offset = 0; target != nullptr && offset < std::min(size, bytes->size()); ++offset)
                if (Writable(target + offset)) target[offset] = (*bytes)[offset];
            for (size_t slot = 0; target != nullptr && slot + sizeof(void*) <= std::min(size, bytes->size());
                 slot += sizeof(void*))
                DefangSlot(target, slot);
            for (const auto& [offset, value] : edits)
                if (target != nullptr && offset < size && Writable(target + offset)) {
                    target[offset] = value;
                    const size_t slot = offset & ~(sizeof(void*) - 1);
                    if (slot + sizeof(void*) <= size) DefangSlot(target, slot);
                }
        };
        sim::Reply reply;
        switch (input_.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            reply = sim::Reply::Complete(status, information);
            break;
        case 1:
            reply = sim::Reply::Pend(status, information, std::chrono::milliseconds(0), DISPATCH_LEVEL);
            break;
        default:
            reply = sim::Reply::Pend(status, information, std::chrono::milliseconds(0), PASSIVE_LEVEL);
            break;
        }
        reply.Fill(fill);
        answer_ = reply;
        pdo_->SetRule(major, reply);
    }

    [[noreturn]] static void Finding(const std::string& what) {
        std::fprintf(stderr, "FINDING: %s\n", what.c_str());
        std::abort();
    }

    // Kernel routines the input may make fail (those the simulated kernel
    // can fail), and the choice that fails none.
    static constexpr const auto& kFaultRoutines = sim::kFallibleRoutines;
    static constexpr int kNoFault = sizeof(kFaultRoutines) / sizeof(kFaultRoutines[0]);
    // The configuration in the registry: none; a model's own values (for
    // the product name kModel a lower driver may answer with); the same
    // values in the wrong types; the driver-wide values.
    static constexpr int kConfigurations = 4;
    static constexpr char kModel[] = "FUZZ";

private:
    void Configure(int configuration) {
        if (configuration == 0) return;
        const std::string parameters = std::string(sim::kServicesRoot) + "\\zelkor\\Parameters";
        sim::RegistryStore& registry = sim::Registry();
        registry.CreateKey(parameters);
        const std::string prefix = configuration == 3 ? "" : std::string(kModel) + "_";
        if (configuration == 2) {
            registry.SetString(parameters, prefix + "Config", std::string_view("0x2FF"));
            registry.SetDword(parameters, prefix + "Trailer", 0x2A2A);
        } else {
            registry.SetDword(parameters, prefix + "Config", kEveryLevel);
            registry.SetString(parameters, prefix + "Trailer", std::string_view("fz "));
        }
    }

    FuzzedDataProvider& input_;
    PDRIVER_OBJECT driver_ = nullptr;
    sim::Pdo* pdo_ = nullptr;
    PDEVICE_OBJECT top_ = nullptr;
    sim::SimBuffer buffers_[kBuffers];
    std::function<void()> afterRemoval_;
    bool ready_ = false;
    bool faulted_ = false;
    bool removed_ = false;
    std::atomic<bool> removalDone_{false};
    std::vector<uint8_t> reply_;
    sim::Reply answer_;
    std::vector<std::pair<PMDL, std::vector<uint8_t>>> mdls_;  // with their bytes as made
};

}  // namespace fuzz
