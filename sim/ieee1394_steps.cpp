#include "sim/ieee1394_steps.h"

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "driver/pool.h"
#include "platform/guarded.h"
#include "platform/nt1394.h"
#include "platform/ntscsi.h"
#include "simkernel/bus1394.h"
#include "simkernel/core.h"
#include "simkernel/fixed_entry.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"

namespace scn {
namespace {

// The client's tag for its own pool: its MDLs show under it.
constexpr size_t kBlockBytes = 0x400;
// Within a request block's page: the IRB, then the client's range list,
// the handle the bus gives back, and the word that serves as the client's
// context.
constexpr size_t kRangesAt = 0x300;
constexpr size_t kHandleAt = 0x340;
constexpr size_t kContextAt = 0x380;

struct ClientRange {
    std::string name;
    sim::SimBuffer block{};
    sim::SimBuffer memory{};
    PMDL mdl = nullptr;
    bool allocated = false;

    IRB* Irb() const
    {
        return reinterpret_cast<IRB*>(block.address);
    }
    PADDRESS_RANGE Ranges() const
    {
        return reinterpret_cast<PADDRESS_RANGE>(block.address + kRangesAt);
    }
    PHANDLE Handle() const
    {
        return reinterpret_cast<PHANDLE>(block.address + kHandleAt);
    }
    PVOID Context() const
    {
        return block.address + kContextAt;
    }
};

struct Client {
    std::shared_ptr<sim::Bus1394> bus;
    std::map<std::string, std::unique_ptr<ClientRange>> ranges;
    PPORT_PHYS_ADDR_ROUTINE mapping = nullptr;
    PVOID mappingContext = nullptr;
};

struct Clients {
    std::recursive_mutex lock;
    std::map<PDEVICE_OBJECT, Client> byDevice;
    std::map<PVOID, ClientRange*> byContext;
};

// A kernel reset unmaps every buffer and forgets every MDL: the clients go
// with them.
void Forget();

Clients& TheClients()
{
    static Clients* clients = [] {
        sim::RegisterResetHook(Forget);
        return new Clients;
    }();
    return *clients;
}

void Forget()
{
    Clients& clients = TheClients();
    std::lock_guard<std::recursive_mutex> guard(clients.lock);
    clients.byDevice.clear();
    clients.byContext.clear();
}

void Say(const std::string& text)
{
    DbgPrint("%s", text.c_str());
}

std::string Hex(const char* format, unsigned long long value)
{
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

ClientRange* RangeOf(PVOID context)
{
    Clients& clients = TheClients();
    std::lock_guard<std::recursive_mutex> guard(clients.lock);
    auto found = clients.byContext.find(context);
    return found == clients.byContext.end() ? nullptr : found->second;
}

// The client's own routines: they say what they were given.
VOID ClientNotification(PNOTIFICATION_INFO info)
{
    ClientRange* range = RangeOf(info->Context);
    if (range == nullptr) {
        Say(Hex("client: notification with a context it never gave: 0x%llX.\n",
                reinterpret_cast<uintptr_t>(info->Context)));
        return;
    }
    Say("client: " + range->name + " notified" + Hex(", offset 0x%llX", info->ulOffset) +
        Hex(", length 0x%llX", info->nLength) + ", with its own context.\n");
}

VOID ClientAllocated(PVOID context)
{
    ClientRange* range = RangeOf(context);
    if (range == nullptr) {
        Say(Hex("client: allocation completed with a context it never gave: 0x%llX.\n",
                reinterpret_cast<uintptr_t>(context)));
        return;
    }
    Say("client: " + range->name + " allocated, with its own context.\n");
}

PVOID Fixed(void* routine)
{
    return sim::FixedEntry(routine);
}

std::vector<unsigned char> Bytes(const Step& step, const char* key)
{
    if (!step.Has(key))
        return {};
    return ParseBytes(step.Option(key)).value();
}

unsigned long long Number(const Step& step, const char* key, unsigned long long fallback)
{
    if (!step.Has(key))
        return fallback;
    return ParseNumber(step.Option(key)).value();
}

void ProbeAndLock(PVOID mdl)
{
    MmProbeAndLockPages(static_cast<PMDL>(mdl), KernelMode, IoModifyAccess);
}

// Memory of the client's, described by a locked MDL as the bus wants it; no
// MDL when it cannot be had (the probe raises, as a client expects it to).
PMDL LockedMdl(const sim::SimBuffer& buffer, ULONG length)
{
    PMDL mdl = IoAllocateMdl(buffer.address, length, FALSE, FALSE, nullptr);
    if (mdl != nullptr && !NT_SUCCESS(ZkGuardedCall(ProbeAndLock, mdl))) {
        IoFreeMdl(mdl);
        mdl = nullptr;
    }
    return mdl;
}

void ReleaseMdl(PMDL mdl)
{
    if (mdl == nullptr)
        return;
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

void ReleaseRange(ClientRange* range)
{
    ReleaseMdl(range->mdl);
    range->mdl = nullptr;
    range->allocated = false;
}

std::string CheckExpect(const Step& step, NTSTATUS status)
{
    if (!step.Has("expect"))
        return "";
    NTSTATUS expected = static_cast<NTSTATUS>(ParseNumber(step.Option("expect")).value());
    if (status == expected)
        return "";
    return Hex("the request ended with 0x%08llX", static_cast<ULONG>(status)) +
           Hex(", expected 0x%08llX", static_cast<ULONG>(expected));
}

NTSTATUS SendIrb(sim::Pdo& pdo, PVOID irb)
{
    return sim::Send(pdo.Device(), sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, irb)).final;
}

sim::SimBuffer NewBlock()
{
    sim::SimBuffer block = sim::AllocateBuffer(kBlockBytes);
    std::memset(block.address, 0, kBlockBytes);
    return block;
}

std::string Async(const Step& step, sim::Pdo& pdo, Client& client, bool write)
{
    std::vector<unsigned char> data = Bytes(step, "data");
    ULONG length = static_cast<ULONG>(Number(step, "length", data.empty() ? 8 : data.size()));
    sim::SimBuffer block = NewBlock();
    sim::SimBuffer memory = sim::AllocateBuffer(length == 0 ? 1 : length);
    for (ULONG i = 0; i < length; ++i)
        memory.address[i] = data.empty() ? 0 : data[i % data.size()];
    PMDL mdl = step.Option("mdl") == "none" ? nullptr : LockedMdl(memory, length);

    IRB* irb = reinterpret_cast<IRB*>(block.address);
    irb->FunctionNumber = write ? REQUEST_ASYNC_WRITE : REQUEST_ASYNC_READ;
    IRB_REQ_ASYNC_READ& request = irb->u.AsyncRead;  // the write has the same shape
    USHORT node = static_cast<USHORT>(Number(step, "node", 0xFFC1));
    std::memcpy(&request.DestinationAddress.IA_Destination_ID, &node, sizeof(node));
    unsigned long long offset = Number(step, "offset", 0);
    request.DestinationAddress.IA_Destination_Offset.Off_High = static_cast<USHORT>(offset >> 32);
    request.DestinationAddress.IA_Destination_Offset.Off_Low = static_cast<ULONG>(offset);
    request.nNumberOfBytesToRead = length;
    request.nBlockSize = static_cast<ULONG>(Number(step, "block", 0));
    request.fulFlags = static_cast<ULONG>(Number(step, "flags", 0));
    request.Mdl = mdl;
    request.ulGeneration = static_cast<ULONG>(Number(step, "generation", client.bus->Generation()));

    NTSTATUS status = SendIrb(pdo, irb);
    ReleaseMdl(mdl);
    sim::FreeBuffer(memory);
    sim::FreeBuffer(block);
    return CheckExpect(step, status);
}

std::string Allocate(const Step& step, sim::Pdo& pdo, Client& client, bool viaMapping)
{
    if (!step.Has("range"))
        return "allocate and map need range=NAME";
    std::string name = step.Option("range");
    Clients& clients = TheClients();
    std::unique_ptr<ClientRange>& slot = client.ranges[name];
    if (slot && slot->allocated)
        return "range '" + name + "' is allocated already";
    if (viaMapping && client.mapping == nullptr)
        return "the client has no mapping routine: ask for host information at level 4 first";
    if (!slot) {
        slot = std::make_unique<ClientRange>();
        slot->name = name;
    }
    ClientRange* range = slot.get();
    // again=yes: the very block the range went down with before, as the
    // client holds it now, sent once more (with a new MDL for its memory).
    const bool again = step.Option("again", "no") == "yes";
    if (again && range->block.address == nullptr)
        return "again=yes needs a range that was sent before";
    ULONG length =
        again ? range->Irb()->u.AllocateAddressRange.nLength : static_cast<ULONG>(Number(step, "length", 0x100));
    if (!again) {
        range->block = NewBlock();
        range->memory = sim::AllocateBuffer(length == 0 ? 1 : length);
        std::memset(range->memory.address, 0, length == 0 ? 1 : length);
        for (ULONG i = 0; i < length; ++i)
            range->memory.address[i] = static_cast<unsigned char>(i);
    }
    range->mdl = LockedMdl(range->memory, length == 0 ? 1 : length);
    {
        std::lock_guard<std::recursive_mutex> guard(clients.lock);
        clients.byContext[range->Context()] = range;
    }

    IRB* irb = range->Irb();
    if (step.Has("like")) {
        // The block another range went down with, as the client holds it now.
        auto other = client.ranges.find(step.Option("like"));
        if (other == client.ranges.end() || other->second.get() == range)
            return "like= names another range of the client";
        std::memcpy(irb, other->second->Irb(), sizeof(IRB));
    } else if (!again) {
        ULONG notify = static_cast<ULONG>(Number(step, "notify", 0));
        bool callback = step.Option("callback", "yes") == "yes";
        irb->FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
        IRB_REQ_ALLOCATE_ADDRESS_RANGE& request = irb->u.AllocateAddressRange;
        request.fulNotificationOptions = notify;
        request.fulAccessType =
            static_cast<ULONG>(Number(step, "access", ACCESS_FLAGS_TYPE_READ | ACCESS_FLAGS_TYPE_WRITE));
        request.Callback = !callback     ? nullptr
                           : notify != 0 ? Fixed(reinterpret_cast<void*>(&ClientNotification))
                                         : Fixed(reinterpret_cast<void*>(&ClientAllocated));
        request.Context = range->Context();
        unsigned long long address = Number(step, "address", 0);
        request.Required1394Offset.Off_High = static_cast<USHORT>(address >> 32);
        request.Required1394Offset.Off_Low = static_cast<ULONG>(address);
        request.p1394AddressRange = range->Ranges();
    }
    irb->u.AllocateAddressRange.Mdl = range->mdl;
    irb->u.AllocateAddressRange.nLength = length;
    irb->u.AllocateAddressRange.p1394AddressRange = range->Ranges();

    NTSTATUS status;
    if (viaMapping) {
        sim::IrqlScope irql(DISPATCH_LEVEL);
        status = client.mapping(client.mappingContext, irb);
    } else {
        status = SendIrb(pdo, irb);
    }
    if (NT_SUCCESS(status)) {
        *range->Handle() = irb->u.AllocateAddressRange.hAddressRange;
        range->allocated = true;
    } else {
        ReleaseRange(range);
    }
    return CheckExpect(step, status);
}

std::string Free(const Step& step, sim::Pdo& pdo, Client& client)
{
    auto found = client.ranges.find(step.Option("range"));
    if (found == client.ranges.end() || !found->second->allocated)
        return "free needs range=NAME of an allocated range";
    ClientRange* range = found->second.get();
    sim::SimBuffer block = NewBlock();
    IRB* irb = reinterpret_cast<IRB*>(block.address);
    irb->FunctionNumber = REQUEST_FREE_ADDRESS_RANGE;
    irb->u.FreeAddressRange.nAddressesToFree = 1;
    irb->u.FreeAddressRange.p1394AddressRange = step.Option("addresses") == "none" ? nullptr : range->Ranges();
    irb->u.FreeAddressRange.pAddressRange = range->Handle();
    NTSTATUS status = SendIrb(pdo, irb);
    sim::FreeBuffer(block);
    if (NT_SUCCESS(status))
        ReleaseRange(range);
    return CheckExpect(step, status);
}

std::string HostInformation(const Step& step, sim::Pdo& pdo, Client& client)
{
    sim::SimBuffer block = NewBlock();
    IRB* irb = reinterpret_cast<IRB*>(block.address);
    unsigned char* information = block.address + kRangesAt;
    irb->FunctionNumber = REQUEST_GET_LOCAL_HOST_INFO;
    irb->u.GetLocalHostInformation.nLevel = static_cast<ULONG>(Number(step, "level", 1));
    irb->u.GetLocalHostInformation.Information = step.Option("information") == "none" ? nullptr : information;
    if (irb->u.GetLocalHostInformation.nLevel == GET_HOST_CSR_CONTENTS) {
        auto* csr = reinterpret_cast<PGET_LOCAL_HOST_INFO6>(information);
        csr->CsrBaseAddress.Off_High = 0xFFFF;
        csr->CsrBaseAddress.Off_Low = 0xF0000400;
        csr->CsrDataLength = 0x10;
        csr->CsrDataBuffer = information + 0x40;
    }
    NTSTATUS status = SendIrb(pdo, irb);
    if (NT_SUCCESS(status) && irb->u.GetLocalHostInformation.nLevel == GET_PHYS_ADDR_ROUTINE &&
        irb->u.GetLocalHostInformation.Information != nullptr) {
        auto* answer = reinterpret_cast<PGET_LOCAL_HOST_INFO4>(information);
        client.mapping = answer->PhysAddrMappingRoutine;
        client.mappingContext = answer->Context;
    }
    sim::FreeBuffer(block);
    return CheckExpect(step, status);
}

std::string Plain(const Step& step, sim::Pdo& pdo)
{
    sim::SimBuffer block = NewBlock();
    IRB* irb = reinterpret_cast<IRB*>(block.address);
    irb->FunctionNumber = static_cast<ULONG>(Number(step, "function", REQUEST_GET_GENERATION_COUNT));
    irb->Flags = static_cast<ULONG>(Number(step, "flags", 0));
    PVOID argument = step.Option("irb") == "invalid" ? const_cast<void*>(sim::InvalidKernelAddress())
                     : step.Option("irb") == "none"  ? nullptr
                                                     : static_cast<PVOID>(irb);
    NTSTATUS status = SendIrb(pdo, argument);
    sim::FreeBuffer(block);
    return CheckExpect(step, status);
}

// A lock request as a client builds one: the bus below takes it as it
// takes every function it does not model.
std::string Lock(const Step& step, sim::Pdo& pdo, Client& client)
{
    sim::SimBuffer block = NewBlock();
    sim::SimBuffer old = sim::AllocateBuffer(8);
    IRB* irb = reinterpret_cast<IRB*>(block.address);
    irb->FunctionNumber = REQUEST_ASYNC_LOCK;
    IRB_REQ_ASYNC_LOCK& lock = irb->u.AsyncLock;
    USHORT node = static_cast<USHORT>(Number(step, "node", 0xFFC1));
    std::memcpy(&lock.DestinationAddress.IA_Destination_ID, &node, sizeof(node));
    unsigned long long offset = Number(step, "offset", 0);
    lock.DestinationAddress.IA_Destination_Offset.Off_High = static_cast<USHORT>(offset >> 32);
    lock.DestinationAddress.IA_Destination_Offset.Off_Low = static_cast<ULONG>(offset);
    lock.fulTransactionType = static_cast<ULONG>(Number(step, "type", LOCK_TRANSACTION_COMPARE_SWAP));
    lock.nNumberOfArgBytes = static_cast<ULONG>(Number(step, "args", 4));
    lock.nNumberOfDataBytes = static_cast<ULONG>(Number(step, "length", 4));
    lock.Arguments[0] = static_cast<ULONG>(Number(step, "argument", 0));
    lock.DataValues[0] = static_cast<ULONG>(Number(step, "value", 0));
    lock.pBuffer = old.address;
    lock.ulGeneration = static_cast<ULONG>(Number(step, "generation", client.bus->Generation()));
    NTSTATUS status = SendIrb(pdo, irb);
    sim::FreeBuffer(old);
    sim::FreeBuffer(block);
    return CheckExpect(step, status);
}

std::string RemoteAccess(const Step& step, Client& client, bool write)
{
    auto found = client.ranges.find(step.Option("range"));
    if (found == client.ranges.end() || !found->second->allocated)
        return "remote-read and remote-write need range=NAME of an allocated range";
    ClientRange* range = found->second.get();
    std::vector<unsigned char> data = Bytes(step, "data");
    ULONG length = static_cast<ULONG>(Number(step, "length", data.empty() ? 4 : data.size()));
    const ADDRESS_RANGE& first = range->Ranges()[0];
    uint64_t address = ((uint64_t{first.AR_Off_High} << 32) | first.AR_Off_Low) + Number(step, "offset", 0);
    std::string reason;
    if (!client.bus->RemoteAccess(address, write, data, length, &reason))
        return reason;
    return "";
}

std::string CountRecords(const Step& step)
{
    // The filter's callback records: pool blocks under the driver's tag.
    size_t count = 0;
    for (const sim::PoolLeak& block : sim::PoolLeaks())
        count += block.tag == ZK_POOL_TAG ? 1 : 0;
    unsigned long long expected = Number(step, "count", 0);
    if (count == expected)
        return "";
    return "the filter holds " + std::to_string(count) + " callback records, expected " + std::to_string(expected);
}

}  // namespace

bool IsIeee1394Command(const std::string& command)
{
    return command == "ieee1394";
}

std::string RunIeee1394Step(const Step& step, sim::Pdo& pdo)
{
    const std::string& what = step.args[1];
    // Only the scenario's thread touches the clients' devices; the lock
    // guards the contexts, which the bus's worker looks up too.
    Client& client = TheClients().byDevice[pdo.Device()];

    if (what == "bus") {
        if (!client.bus) {
            client.bus = sim::AttachBus1394(pdo);
            // The client lets go of its memory when its device goes.
            PDEVICE_OBJECT device = pdo.Device();
            client.bus->OnRemoved([device] {
                Clients& all = TheClients();
                std::lock_guard<std::recursive_mutex> lock(all.lock);
                for (auto& [name, range] : all.byDevice[device].ranges)
                    if (range->allocated)
                        ReleaseRange(range.get());
            });
        }
        std::string answer = step.Option("answer", "sync");
        if (answer == "sync") {
            client.bus->AnswerSynchronously();
        } else if (answer == "pend") {
            KIRQL irql = step.Option("irql", "dispatch") == "passive" ? PASSIVE_LEVEL : DISPATCH_LEVEL;
            client.bus->AnswerLater(irql, std::chrono::milliseconds(Number(step, "delay", 0)));
        } else {
            return "answer= takes sync or pend";
        }
        if (step.Has("rom"))
            client.bus->SetConfigRom(Bytes(step, "rom"));
        return "";
    }
    if (!client.bus)
        return "put a 1394 bus behind the device first: ieee1394 " + step.args[0] + " bus";
    if (what == "remote") {
        client.bus->SetRemote(static_cast<USHORT>(Number(step, "node", 0xFFC1)), Number(step, "offset", 0),
                              Bytes(step, "data"));
        return "";
    }
    if (what == "read" || what == "write")
        return Async(step, pdo, client, what == "write");
    if (what == "allocate" || what == "map")
        return Allocate(step, pdo, client, what == "map");
    if (what == "free")
        return Free(step, pdo, client);
    if (what == "host-info")
        return HostInformation(step, pdo, client);
    if (what == "request")
        return Plain(step, pdo);
    if (what == "lock")
        return Lock(step, pdo, client);
    if (what == "remote-read" || what == "remote-write")
        return RemoteAccess(step, client, what == "remote-write");
    if (what == "bus-reset") {
        client.bus->BusReset();
        return "";
    }
    if (what == "expect-records")
        return CountRecords(step);
    return "unknown ieee1394 step '" + what +
           "': expected bus, remote, read, write, allocate, map, free, host-info, request, remote-read, "
           "remote-write, bus-reset or expect-records";
}

void ReleaseIeee1394Clients()
{
    Clients& clients = TheClients();
    std::lock_guard<std::recursive_mutex> guard(clients.lock);
    for (auto& [device, client] : clients.byDevice)
        for (auto& [name, range] : client.ranges)
            ReleaseRange(range.get());
}

}  // namespace scn
