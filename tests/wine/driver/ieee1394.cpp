#include "tests/wine/driver/ieee1394.h"

#include "tests/wine/driver/play.h"

namespace zkt {

constexpr ULONG kMaxRanges = 8;

// A range as the bus keeps it.
struct BusRange {
    BOOLEAN used;
    ULONG64 address;
    ULONG length;
    PMDL mdl;
    ULONG options;
    ULONG access;
    PVOID callback;  // a notification routine (options not 0), else none kept
    PVOID context;
    HANDLE handle;
};

// A range as the client holds it: its request block's page (the IRB, then
// the range list the bus fills, the handle it gives back, and the word whose
// address is the client's context), and the memory behind the range.
struct ClientRange {
    CHAR name[32];
    PUCHAR block;
    PUCHAR memory;
    PMDL mdl;
    BOOLEAN allocated;
};

struct Bus1394 {
    BusRange ranges[kMaxRanges];
    ULONG nextSlot;
    ULONG_PTR nextHandle;
    ClientRange clients[kMaxRanges];
};

namespace {

// As the simulator's bus and client lay them out.
constexpr ULONG kBlockBytes = 0x400;
constexpr ULONG kRangesAt = 0x300;
constexpr ULONG kHandleAt = 0x340;
constexpr ULONG kContextAt = 0x380;
constexpr USHORT kRangeHigh = 0x0001;
constexpr ULONG kRangeSlot = 0x10000;
constexpr ULONG_PTR kFirstHandle = 0x13940010;
constexpr ULONG kMaxBuses = 16;

// Every bus, for the client's routines, which know only their context.
Bus1394* gBuses[kMaxBuses];

IRB* IrbOf(const ClientRange* range) { return (IRB*)range->block; }
PADDRESS_RANGE RangesOf(const ClientRange* range) { return (PADDRESS_RANGE)(range->block + kRangesAt); }
PHANDLE HandleOf(const ClientRange* range) { return (PHANDLE)(range->block + kHandleAt); }
PVOID ContextOf(const ClientRange* range) { return range->block + kContextAt; }

ClientRange* ClientOf(PVOID context) {
    for (Bus1394* bus : gBuses)
        for (ULONG i = 0; bus != NULL && i < kMaxRanges; ++i)
            if (bus->clients[i].block != NULL && ContextOf(&bus->clients[i]) == context) return &bus->clients[i];
    return NULL;
}

// The client's own routines: they say what they were given.
VOID ClientNotification(PNOTIFICATION_INFO info) {
    ClientRange* range = ClientOf(info->Context);
    if (range == NULL) {
        DbgPrint("client: notification with a context it never gave: 0x%llX.\n", (ULONG64)(ULONG_PTR)info->Context);
        return;
    }
    DbgPrint("client: %s notified, offset 0x%X, length 0x%X, with its own context.\n", range->name, info->ulOffset,
             info->nLength);
}

VOID ClientAllocated(PVOID context) {
    ClientRange* range = ClientOf(context);
    if (range == NULL) {
        DbgPrint("client: allocation completed with a context it never gave: 0x%llX.\n", (ULONG64)(ULONG_PTR)context);
        return;
    }
    DbgPrint("client: %s allocated, with its own context.\n", range->name);
}

ULONG64 AddressOf(USHORT high, ULONG low) { return (ULONG64)high << 32 | low; }

// ---------------------------------------------------------------------------
// The bus

NTSTATUS AllocateRange(Bus1394* bus, IRB* irb, PVOID* completion, PVOID* completionContext) {
    IRB_REQ_ALLOCATE_ADDRESS_RANGE& request = irb->u.AllocateAddressRange;
    if (request.nLength == 0 || request.Mdl == NULL || request.nLength > request.Mdl->ByteCount)
        return STATUS_INVALID_PARAMETER;
    if (request.fulNotificationOptions != 0 && request.Callback == NULL) return STATUS_INVALID_PARAMETER;
    BusRange* range = NULL;
    for (BusRange& slot : bus->ranges)
        if (!slot.used && range == NULL) range = &slot;
    if (range == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    ULONG64 address = AddressOf(request.Required1394Offset.Off_High, request.Required1394Offset.Off_Low);
    if (address == 0) address = AddressOf(kRangeHigh, kRangeSlot * bus->nextSlot++);
    for (const BusRange& other : bus->ranges)
        if (other.used && address < other.address + other.length && other.address < address + request.nLength)
            return STATUS_INSUFFICIENT_RESOURCES;
    memset(range, 0, sizeof(*range));
    range->used = TRUE;
    range->address = address;
    range->length = request.nLength;
    range->mdl = request.Mdl;
    range->options = request.fulNotificationOptions;
    range->access = request.fulAccessType;
    range->handle = (HANDLE)bus->nextHandle++;
    if (range->options != 0) {
        range->callback = request.Callback;
        range->context = request.Context;
    } else if (request.Callback != NULL) {
        // Without notifications a routine is an allocation completion
        // routine, called once the range is in place.
        *completion = request.Callback;
        *completionContext = request.Context;
    }
    request.hAddressRange = range->handle;
    request.AddressesReturned = 1;
    if (request.p1394AddressRange != NULL) {
        request.p1394AddressRange[0].AR_Off_High = (USHORT)(address >> 32);
        request.p1394AddressRange[0].AR_Off_Low = (ULONG)address;
        request.p1394AddressRange[0].AR_Length = (USHORT)range->length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS FreeRange(Bus1394* bus, IRB* irb) {
    if (irb->u.FreeAddressRange.pAddressRange == NULL) return STATUS_INVALID_PARAMETER;
    HANDLE handle = *irb->u.FreeAddressRange.pAddressRange;
    for (BusRange& range : bus->ranges)
        if (range.used && range.handle == handle) {
            range.used = FALSE;
            return STATUS_SUCCESS;
        }
    return STATUS_INVALID_PARAMETER;
}

// ---------------------------------------------------------------------------
// The client's steps

ClientRange* Named(Lower* lower, const CHAR* name, BOOLEAN create) {
    if (name == NULL) {
        Fail("the 1394 step needs range=NAME");
        return NULL;
    }
    ClientRange* free = NULL;
    for (ClientRange& range : lower->bus1394->clients) {
        if (range.block != NULL && Same(range.name, name)) return &range;
        if (range.block == NULL && free == NULL) free = &range;
    }
    if (!create) {
        Fail("no range ", name);
        return NULL;
    }
    if (free == NULL || strlen(name) >= sizeof(free->name)) {
        Fail("too many ranges, or a long range name: ", name);
        return NULL;
    }
    free->block = (PUCHAR)Allocate(kBlockBytes);
    if (free->block == NULL) {
        Fail("no memory for the request block");
        return NULL;
    }
    strncpy(free->name, name, sizeof(free->name) - 1);
    return free;
}

VOID ReleaseMemory(ClientRange* range) {
    if (range->mdl != NULL) IoFreeMdl(range->mdl);
    if (range->memory != NULL) ExFreePoolWithTag(range->memory, kTag);
    range->mdl = NULL;
    range->memory = NULL;
    range->allocated = FALSE;
}

VOID ClientAllocate(const Step& step, Lower* lower) {
    ClientRange* range = Named(lower, Option(step, "range"), TRUE);
    ULONG64 length, notify, access, address;
    if (range == NULL || !NumberOption(step, "length", 0x100, &length) || !NumberOption(step, "notify", 0, &notify) ||
        !NumberOption(step, "access", ACCESS_FLAGS_TYPE_READ | ACCESS_FLAGS_TYPE_WRITE, &access) ||
        !NumberOption(step, "address", 0, &address))
        return;
    if (range->allocated) return Fail("the range is allocated already: ", range->name);
    if (Option(step, "like") != NULL) return Fail("the stack driver's client does not know like=");
    // again=yes: the block the range went down with before, as the client
    // holds it now, sent once more with new memory behind it.
    IRB* irb = IrbOf(range);
    const BOOLEAN again = Same(Option(step, "again"), "yes");
    if (again && irb->FunctionNumber != REQUEST_ALLOCATE_ADDRESS_RANGE)
        return Fail("again=yes needs a range that was sent before: ", range->name);
    if (again) length = irb->u.AllocateAddressRange.nLength;
    if (length > 0x10000) return Fail("length= is too large for the stack driver");
    ULONG size = length == 0 ? 1 : (ULONG)length;
    range->memory = (PUCHAR)Allocate(size);
    if (range->memory == NULL) return Fail("no memory for the range");
    for (ULONG i = 0; i < (ULONG)length; ++i)
        range->memory[i] = (UCHAR)i;
    // Pool memory: the MDL describes locked pages with a system address.
    range->mdl = IoAllocateMdl(range->memory, size, FALSE, FALSE, NULL);
    if (range->mdl == NULL) {
        ReleaseMemory(range);
        return Fail("IoAllocateMdl failed");
    }
    range->mdl->MappedSystemVa = range->memory;
    range->mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;

    IRB_REQ_ALLOCATE_ADDRESS_RANGE& request = irb->u.AllocateAddressRange;
    if (!again) {
        memset(irb, 0, sizeof(IRB));
        irb->FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
        request.fulNotificationOptions = (ULONG)notify;
        request.fulAccessType = (ULONG)access;
        if (!Same(Option(step, "callback"), "no"))
            request.Callback = notify != 0 ? (PVOID)&ClientNotification : (PVOID)&ClientAllocated;
        request.Context = ContextOf(range);
        request.Required1394Offset.Off_High = (USHORT)(address >> 32);
        request.Required1394Offset.Off_Low = (ULONG)address;
    }
    request.p1394AddressRange = RangesOf(range);
    request.Mdl = range->mdl;
    request.nLength = (ULONG)length;

    NTSTATUS status = SendInternal(lower, IOCTL_1394_CLASS, irb);
    if (NT_SUCCESS(status)) {
        *HandleOf(range) = request.hAddressRange;
        range->allocated = TRUE;
    } else {
        ReleaseMemory(range);
    }
    Expect(step, status);
}

VOID ClientFree(const Step& step, Lower* lower) {
    ClientRange* range = Named(lower, Option(step, "range"), FALSE);
    if (range == NULL) return;
    if (!range->allocated) return Fail("free needs an allocated range: ", range->name);
    IRB* irb = (IRB*)Allocate(kBlockBytes);
    if (irb == NULL) return Fail("no memory for the request block");
    irb->FunctionNumber = REQUEST_FREE_ADDRESS_RANGE;
    irb->u.FreeAddressRange.nAddressesToFree = 1;
    irb->u.FreeAddressRange.p1394AddressRange = Same(Option(step, "addresses"), "none") ? NULL : RangesOf(range);
    irb->u.FreeAddressRange.pAddressRange = HandleOf(range);
    NTSTATUS status = SendInternal(lower, IOCTL_1394_CLASS, irb);
    ExFreePoolWithTag(irb, kTag);
    if (NT_SUCCESS(status)) ReleaseMemory(range);
    Expect(step, status);
}

// A remote node reads or writes bytes of a range: the bus moves them and
// calls the range's notification routine when the range asked for it.
VOID RemoteAccess(const Step& step, Lower* lower, BOOLEAN write) {
    ClientRange* client = Named(lower, Option(step, "range"), FALSE);
    if (client == NULL) return;
    if (!client->allocated) return Fail("remote-read and remote-write need an allocated range: ", client->name);
    UCHAR data[256];
    LONG count = 0;
    const CHAR* dataWord = Option(step, "data");
    if (dataWord != NULL && (count = Bytes(dataWord, data, sizeof(data))) < 0) return Fail("data= takes hex bytes");
    ULONG64 length, offset;
    if (!NumberOption(step, "length", count == 0 ? 4 : (ULONG64)count, &length) ||
        !NumberOption(step, "offset", 0, &offset))
        return;
    const ADDRESS_RANGE& first = RangesOf(client)[0];
    ULONG64 address = AddressOf(first.AR_Off_High, first.AR_Off_Low) + offset;
    BusRange* range = NULL;
    for (BusRange& slot : lower->bus1394->ranges)
        if (slot.used && address >= slot.address && address + length <= slot.address + slot.length) range = &slot;
    if (range == NULL) return Fail("no address range of the local node holds those bytes");
    ULONG needed = write ? ACCESS_FLAGS_TYPE_WRITE : ACCESS_FLAGS_TYPE_READ;
    if (range->access != 0 && !(range->access & needed)) return Fail("the range does not allow that access");
    ULONG at = (ULONG)(address - range->address);
    PUCHAR memory = (PUCHAR)range->mdl->MappedSystemVa;
    if (memory != NULL && write)
        for (ULONG i = 0; i < (ULONG)length; ++i)
            memory[at + i] = i < (ULONG)count ? data[i] : 0;

    ULONG notify = write ? NOTIFY_FLAGS_AFTER_WRITE : NOTIFY_FLAGS_AFTER_READ;
    if (range->callback == NULL || !(range->options & notify)) return;
    NOTIFICATION_INFO info;
    memset(&info, 0, sizeof(info));
    info.Mdl = range->mdl;
    info.ulOffset = at;
    info.nLength = (ULONG)length;
    info.fulNotificationOptions = notify;
    info.Context = range->context;
    ((PDRIVER_NOTIFICATION_ROUTINE)range->callback)(&info);
}

}  // namespace

NTSTATUS Dispatch1394(Lower* lower, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    IRB* irb = (IRB*)location->Parameters.Others.Argument1;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    PVOID completion = NULL;
    PVOID completionContext = NULL;
    if (location->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL &&
        location->Parameters.DeviceIoControl.IoControlCode == IOCTL_1394_CLASS && irb != NULL) {
        switch (irb->FunctionNumber) {
        case REQUEST_ALLOCATE_ADDRESS_RANGE:
            status = AllocateRange(lower->bus1394, irb, &completion, &completionContext);
            break;
        case REQUEST_FREE_ADDRESS_RANGE:
            status = FreeRange(lower->bus1394, irb);
            break;
        default:
            Fail("the stack driver's 1394 bus knows the allocation and the release of address ranges only");
            status = STATUS_NOT_IMPLEMENTED;
            break;
        }
    }
    if (completion != NULL) ((PALLOCATION_COMPLETION_ROUTINE)completion)(completionContext);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

VOID Play1394(const Step& step, Lower* lower) {
    const CHAR* what = step.args[1];
    if (Same(what, "bus")) {
        if (Option(step, "answer") != NULL && !Same(Option(step, "answer"), "sync"))
            return Fail("the stack driver's 1394 bus answers at once only (answer=sync)");
        if (Option(step, "rom") != NULL) return Fail("the stack driver's 1394 bus has no configuration ROM");
        if (lower->bus1394 != NULL) return;
        ULONG free = kMaxBuses;
        for (ULONG i = 0; i < kMaxBuses; ++i)
            if (gBuses[i] == NULL && free == kMaxBuses) free = i;
        Bus1394* bus = free == kMaxBuses ? NULL : (Bus1394*)Allocate(sizeof(Bus1394));
        if (bus == NULL) return Fail("no room for another 1394 bus");
        bus->nextSlot = 1;
        bus->nextHandle = kFirstHandle;
        gBuses[free] = bus;
        lower->bus1394 = bus;
        return;
    }
    if (lower->bus1394 == NULL) return Fail("put a 1394 bus behind the device first: ieee1394 NAME bus");
    if (Same(what, "allocate")) return ClientAllocate(step, lower);
    if (Same(what, "free")) return ClientFree(step, lower);
    if (Same(what, "remote-read") || Same(what, "remote-write"))
        return RemoteAccess(step, lower, Same(what, "remote-write"));
    Fail("the stack driver knows the 1394 steps bus, allocate, free, remote-read and remote-write, not ", what);
}

VOID Release1394(Lower* lower) {
    Bus1394* bus = lower->bus1394;
    if (bus == NULL) return;
    for (ClientRange& range : bus->clients) {
        ReleaseMemory(&range);
        if (range.block != NULL) ExFreePoolWithTag(range.block, kTag);
    }
    for (Bus1394*& slot : gBuses)
        if (slot == bus) slot = NULL;
    ExFreePoolWithTag(bus, kTag);
    lower->bus1394 = NULL;
}

}  // namespace zkt
