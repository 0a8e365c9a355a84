// The IEEE 1394 bus interface: the request block (IRB) that travels with
// IOCTL_1394_CLASS, the members of its union that the driver reads, the
// notification information, the host-information buffers by level, the
// routine types of the callbacks a client hands to the bus, and spin locks.
// Layouts are the x64 ones, each asserted below; only the union members the
// driver uses are declared, plus the largest, which sets the union's size.
#pragma once
#include "platform/ntio.h"

// ---------------------------------------------------------------------------
// Spin locks. On x64 KeAcquireSpinLock is the exported
// KeAcquireSpinLockRaiseToDpc, and a lock starts as zero.

typedef ULONG_PTR KSPIN_LOCK, *PKSPIN_LOCK;

extern "C" {
KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
}

FORCEINLINE VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock)
{
    *SpinLock = 0;
}
#define KeAcquireSpinLock(SpinLock, OldIrql) (*(OldIrql) = KeAcquireSpinLockRaiseToDpc(SpinLock))

// ---------------------------------------------------------------------------
// Addresses on the bus

typedef struct _NODE_ADDRESS {
    USHORT NA_Node_Number : 6;
    USHORT NA_Bus_Number : 10;
} NODE_ADDRESS, *PNODE_ADDRESS;

typedef struct _ADDRESS_OFFSET {
    USHORT Off_High;
    ULONG Off_Low;
} ADDRESS_OFFSET, *PADDRESS_OFFSET;

typedef struct _IO_ADDRESS {
    NODE_ADDRESS IA_Destination_ID;
    ADDRESS_OFFSET IA_Destination_Offset;
} IO_ADDRESS, *PIO_ADDRESS;

typedef struct _ADDRESS_RANGE {
    USHORT AR_Off_High;
    USHORT AR_Length;
    ULONG AR_Off_Low;
} ADDRESS_RANGE, *PADDRESS_RANGE;

static_assert(sizeof(NODE_ADDRESS) == 0x2);
static_assert(sizeof(ADDRESS_OFFSET) == 0x8 && __builtin_offsetof(ADDRESS_OFFSET, Off_Low) == 0x4);
static_assert(sizeof(IO_ADDRESS) == 0xC && __builtin_offsetof(IO_ADDRESS, IA_Destination_Offset) == 0x4);
static_assert(sizeof(ADDRESS_RANGE) == 0x8 && __builtin_offsetof(ADDRESS_RANGE, AR_Length) == 0x2 &&
              __builtin_offsetof(ADDRESS_RANGE, AR_Off_Low) == 0x4);

// ---------------------------------------------------------------------------
// The request block

#define REQUEST_ASYNC_READ 0x00
#define REQUEST_ASYNC_WRITE 0x01
#define REQUEST_ASYNC_LOCK 0x02
#define REQUEST_ALLOCATE_ADDRESS_RANGE 0x11
#define REQUEST_FREE_ADDRESS_RANGE 0x12
#define REQUEST_GET_LOCAL_HOST_INFO 0x13
#define REQUEST_BUS_RESET 0x19
#define REQUEST_GET_GENERATION_COUNT 0x1A
#define REQUEST_SET_LOCAL_HOST_PROPERTIES 0x1F

#define NOTIFY_FLAGS_NEVER 0
#define NOTIFY_FLAGS_AFTER_READ 1
#define NOTIFY_FLAGS_AFTER_WRITE 2
#define NOTIFY_FLAGS_AFTER_LOCK 4

#define ACCESS_FLAGS_TYPE_READ 1
#define ACCESS_FLAGS_TYPE_WRITE 2
#define ACCESS_FLAGS_TYPE_LOCK 4

#define GET_HOST_UNIQUE_ID 1
#define GET_HOST_CAPABILITIES 2
#define GET_POWER_SUPPLIED 3
#define GET_PHYS_ADDR_ROUTINE 4
#define GET_HOST_CONFIG_ROM 5
#define GET_HOST_CSR_CONTENTS 6
#define GET_HOST_DMA_CAPABILITIES 7

#define STATUS_INVALID_GENERATION ((NTSTATUS)0xC0120090L)

#define IRB_BUS_RESERVED_SZ 8
#define IRB_PORT_RESERVED_SZ 8

typedef struct _IRB_REQ_ASYNC_READ {
    IO_ADDRESS DestinationAddress;
    ULONG nNumberOfBytesToRead;
    ULONG nBlockSize;
    ULONG fulFlags;
    PMDL Mdl;
    ULONG ulGeneration;
    UCHAR chPriority;
    UCHAR nSpeed;
    UCHAR tCode;
    UCHAR Reserved;
    ULONG ElapsedTime;
} IRB_REQ_ASYNC_READ;

typedef struct _IRB_REQ_ASYNC_WRITE {
    IO_ADDRESS DestinationAddress;
    ULONG nNumberOfBytesToWrite;
    ULONG nBlockSize;
    ULONG fulFlags;
    PMDL Mdl;
    ULONG ulGeneration;
    UCHAR chPriority;
    UCHAR nSpeed;
    UCHAR tCode;
    UCHAR Reserved;
    ULONG ElapsedTime;
} IRB_REQ_ASYNC_WRITE;

// Lock transactions (fulTransactionType).
#define LOCK_TRANSACTION_MASK_SWAP 1
#define LOCK_TRANSACTION_COMPARE_SWAP 2
#define LOCK_TRANSACTION_FETCH_ADD 3
#define LOCK_TRANSACTION_LITTLE_ADD 4
#define LOCK_TRANSACTION_BOUNDED_ADD 5
#define LOCK_TRANSACTION_WRAP_ADD 6

typedef struct _IRB_REQ_ASYNC_LOCK {
    IO_ADDRESS DestinationAddress;
    ULONG nNumberOfArgBytes;
    ULONG nNumberOfDataBytes;
    ULONG fulTransactionType;
    ULONG fulFlags;
    ULONG Arguments[2];
    ULONG DataValues[2];
    PVOID pBuffer;  // the old value comes back here
    ULONG ulGeneration;
    UCHAR chPriority;
    UCHAR nSpeed;
    UCHAR tCode;
    UCHAR Reserved;
    ULONG ElapsedTime;
} IRB_REQ_ASYNC_LOCK;

typedef struct _IRB_REQ_ALLOCATE_ADDRESS_RANGE {
    PMDL Mdl;
    ULONG fulFlags;
    ULONG nLength;
    ULONG MaxSegmentSize;
    ULONG fulAccessType;
    ULONG fulNotificationOptions;
    PVOID Callback;
    PVOID Context;
    ADDRESS_OFFSET Required1394Offset;
    PVOID FifoSListHead;
    PKSPIN_LOCK FifoSpinLock;
    ULONG AddressesReturned;
    PADDRESS_RANGE p1394AddressRange;
    HANDLE hAddressRange;
    PVOID DeviceExtension;
} IRB_REQ_ALLOCATE_ADDRESS_RANGE;

typedef struct _IRB_REQ_FREE_ADDRESS_RANGE {
    ULONG nAddressesToFree;
    PADDRESS_RANGE p1394AddressRange;
    PHANDLE pAddressRange;
    PVOID DeviceExtension;
} IRB_REQ_FREE_ADDRESS_RANGE;

typedef struct _IRB_REQ_GET_LOCAL_HOST_INFORMATION {
    ULONG nLevel;
    PVOID Information;
} IRB_REQ_GET_LOCAL_HOST_INFORMATION;

// The largest member: it makes the union 528 bytes.
typedef struct _IRB_REQ_GET_MAX_SPEED_BETWEEN_DEVICES {
    ULONG fulFlags;
    ULONG ulNumberOfDestinations;
    PDEVICE_OBJECT hDestinationDeviceObjects[64];
    ULONG fulSpeed;
} IRB_REQ_GET_MAX_SPEED_BETWEEN_DEVICES;

typedef struct _IRB {
    ULONG FunctionNumber;
    ULONG Flags;
    ULONG_PTR BusReserved[IRB_BUS_RESERVED_SZ];
    ULONG_PTR PortReserved[IRB_PORT_RESERVED_SZ];
    union {
        IRB_REQ_ASYNC_READ AsyncRead;
        IRB_REQ_ASYNC_WRITE AsyncWrite;
        IRB_REQ_ASYNC_LOCK AsyncLock;
        IRB_REQ_ALLOCATE_ADDRESS_RANGE AllocateAddressRange;
        IRB_REQ_FREE_ADDRESS_RANGE FreeAddressRange;
        IRB_REQ_GET_LOCAL_HOST_INFORMATION GetLocalHostInformation;
        IRB_REQ_GET_MAX_SPEED_BETWEEN_DEVICES GetMaxSpeedBetweenDevices;
    } u;
} IRB, *PIRB;

static_assert(sizeof(IRB_REQ_ASYNC_READ) == 0x30 && sizeof(IRB_REQ_ASYNC_WRITE) == 0x30);
static_assert(sizeof(IRB_REQ_ALLOCATE_ADDRESS_RANGE) == 0x68);
static_assert(sizeof(IRB_REQ_FREE_ADDRESS_RANGE) == 0x20);
static_assert(sizeof(IRB_REQ_GET_LOCAL_HOST_INFORMATION) == 0x10);
static_assert(sizeof(IRB) == 0x298);
static_assert(__builtin_offsetof(IRB, Flags) == 0x4);
static_assert(__builtin_offsetof(IRB, BusReserved) == 0x8);
static_assert(__builtin_offsetof(IRB, PortReserved) == 0x48);
static_assert(__builtin_offsetof(IRB, u) == 0x88);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.DestinationAddress.IA_Destination_Offset.Off_High) == 0x8C);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.DestinationAddress.IA_Destination_Offset.Off_Low) == 0x90);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.nNumberOfBytesToRead) == 0x94);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.nBlockSize) == 0x98);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.fulFlags) == 0x9C);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.Mdl) == 0xA0);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.ulGeneration) == 0xA8);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.chPriority) == 0xAC);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.nSpeed) == 0xAD);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.tCode) == 0xAE);
static_assert(__builtin_offsetof(IRB, u.AsyncRead.ElapsedTime) == 0xB0);
static_assert(__builtin_offsetof(IRB, u.AsyncWrite.nNumberOfBytesToWrite) == 0x94);
static_assert(__builtin_offsetof(IRB, u.AsyncWrite.Mdl) == 0xA0);
static_assert(__builtin_offsetof(IRB, u.AsyncWrite.ulGeneration) == 0xA8);
static_assert(sizeof(IRB_REQ_ASYNC_LOCK) == 0x48);
static_assert(__builtin_offsetof(IRB, u.AsyncLock.nNumberOfArgBytes) == 0x94);
static_assert(__builtin_offsetof(IRB, u.AsyncLock.fulTransactionType) == 0x9C);
static_assert(__builtin_offsetof(IRB, u.AsyncLock.Arguments) == 0xA4);
static_assert(__builtin_offsetof(IRB, u.AsyncLock.DataValues) == 0xAC);
static_assert(__builtin_offsetof(IRB, u.AsyncLock.pBuffer) == 0xB8);
static_assert(__builtin_offsetof(IRB, u.AsyncLock.ulGeneration) == 0xC0);
static_assert(__builtin_offsetof(IRB, u.AsyncLock.nSpeed) == 0xC5);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.Mdl) == 0x88);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.fulFlags) == 0x90);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.nLength) == 0x94);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.MaxSegmentSize) == 0x98);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.fulAccessType) == 0x9C);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.fulNotificationOptions) == 0xA0);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.Callback) == 0xA8);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.Context) == 0xB0);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.Required1394Offset) == 0xB8);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.FifoSListHead) == 0xC0);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.FifoSpinLock) == 0xC8);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.AddressesReturned) == 0xD0);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.p1394AddressRange) == 0xD8);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.hAddressRange) == 0xE0);
static_assert(__builtin_offsetof(IRB, u.AllocateAddressRange.DeviceExtension) == 0xE8);
static_assert(__builtin_offsetof(IRB, u.FreeAddressRange.nAddressesToFree) == 0x88);
static_assert(__builtin_offsetof(IRB, u.FreeAddressRange.p1394AddressRange) == 0x90);
static_assert(__builtin_offsetof(IRB, u.FreeAddressRange.pAddressRange) == 0x98);
static_assert(__builtin_offsetof(IRB, u.FreeAddressRange.DeviceExtension) == 0xA0);
static_assert(__builtin_offsetof(IRB, u.GetLocalHostInformation.nLevel) == 0x88);
static_assert(__builtin_offsetof(IRB, u.GetLocalHostInformation.Information) == 0x90);

// ---------------------------------------------------------------------------
// What the bus hands to a notification routine

typedef struct alignas(16) _SLIST_ENTRY {
    struct _SLIST_ENTRY* Next;
} SLIST_ENTRY, *PSLIST_ENTRY;

typedef struct _ADDRESS_FIFO {
    SLIST_ENTRY FifoList;
    PMDL FifoMdl;
} ADDRESS_FIFO, *PADDRESS_FIFO;

typedef struct _NOTIFICATION_INFO {
    PMDL Mdl;
    ULONG ulOffset;
    ULONG nLength;
    ULONG fulNotificationOptions;
    PVOID Context;
    PADDRESS_FIFO Fifo;
    PVOID RequestPacket;
    PMDL ResponseMdl;
    PVOID* ResponsePacket;
    PULONG ResponseLength;
    PKEVENT* ResponseEvent;
    ULONG ResponseCode;
} NOTIFICATION_INFO, *PNOTIFICATION_INFO;

static_assert(sizeof(SLIST_ENTRY) == 0x10);
static_assert(sizeof(ADDRESS_FIFO) == 0x20 && __builtin_offsetof(ADDRESS_FIFO, FifoMdl) == 0x10);
static_assert(sizeof(NOTIFICATION_INFO) == 0x58);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, ulOffset) == 0x8);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, nLength) == 0xC);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, fulNotificationOptions) == 0x10);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, Context) == 0x18);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, Fifo) == 0x20);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, RequestPacket) == 0x28);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, ResponseMdl) == 0x30);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, ResponsePacket) == 0x38);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, ResponseLength) == 0x40);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, ResponseEvent) == 0x48);
static_assert(__builtin_offsetof(NOTIFICATION_INFO, ResponseCode) == 0x50);

// ---------------------------------------------------------------------------
// Routines a client hands to the bus, and the one the host hands out

typedef VOID DRIVER_NOTIFICATION_ROUTINE(PNOTIFICATION_INFO NotificationInfo);
typedef DRIVER_NOTIFICATION_ROUTINE* PDRIVER_NOTIFICATION_ROUTINE;
typedef VOID ALLOCATION_COMPLETION_ROUTINE(PVOID Context);
typedef ALLOCATION_COMPLETION_ROUTINE* PALLOCATION_COMPLETION_ROUTINE;
typedef NTSTATUS PORT_PHYS_ADDR_ROUTINE(PVOID Context, PIRB Irb);
typedef PORT_PHYS_ADDR_ROUTINE* PPORT_PHYS_ADDR_ROUTINE;

// ---------------------------------------------------------------------------
// Host information, by level

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;
static_assert(sizeof(ULARGE_INTEGER) == 8);

typedef struct _GET_LOCAL_HOST_INFO1 {
    LARGE_INTEGER UniqueId;
} GET_LOCAL_HOST_INFO1, *PGET_LOCAL_HOST_INFO1;

typedef struct _GET_LOCAL_HOST_INFO2 {
    ULONG HostCapabilities;
    ULONG MaxAsyncReadRequest;
    ULONG MaxAsyncWriteRequest;
} GET_LOCAL_HOST_INFO2, *PGET_LOCAL_HOST_INFO2;

typedef struct _GET_LOCAL_HOST_INFO3 {
    ULONG deciWattsSupplied;
    ULONG Voltage;
} GET_LOCAL_HOST_INFO3, *PGET_LOCAL_HOST_INFO3;

typedef struct _GET_LOCAL_HOST_INFO4 {
    PPORT_PHYS_ADDR_ROUTINE PhysAddrMappingRoutine;
    PVOID Context;
} GET_LOCAL_HOST_INFO4, *PGET_LOCAL_HOST_INFO4;

typedef struct _GET_LOCAL_HOST_INFO5 {
    PVOID ConfigRom;
    ULONG ConfigRomLength;
} GET_LOCAL_HOST_INFO5, *PGET_LOCAL_HOST_INFO5;

typedef struct _GET_LOCAL_HOST_INFO6 {
    ADDRESS_OFFSET CsrBaseAddress;
    ULONG CsrDataLength;
    PVOID CsrDataBuffer;
} GET_LOCAL_HOST_INFO6, *PGET_LOCAL_HOST_INFO6;

typedef struct _GET_LOCAL_HOST_INFO7 {
    ULONG HostDmaCapabilities;
    ULARGE_INTEGER MaxDmaBufferSize;
} GET_LOCAL_HOST_INFO7, *PGET_LOCAL_HOST_INFO7;

static_assert(sizeof(GET_LOCAL_HOST_INFO1) == 0x8);
static_assert(sizeof(GET_LOCAL_HOST_INFO2) == 0xC);
static_assert(sizeof(GET_LOCAL_HOST_INFO3) == 0x8);
static_assert(sizeof(GET_LOCAL_HOST_INFO4) == 0x10 && __builtin_offsetof(GET_LOCAL_HOST_INFO4, Context) == 0x8);
static_assert(sizeof(GET_LOCAL_HOST_INFO5) == 0x10 && __builtin_offsetof(GET_LOCAL_HOST_INFO5, ConfigRomLength) == 0x8);
static_assert(sizeof(GET_LOCAL_HOST_INFO6) == 0x18);
static_assert(__builtin_offsetof(GET_LOCAL_HOST_INFO6, CsrDataLength) == 0x8);
static_assert(__builtin_offsetof(GET_LOCAL_HOST_INFO6, CsrDataBuffer) == 0x10);
static_assert(sizeof(GET_LOCAL_HOST_INFO7) == 0x10);
static_assert(__builtin_offsetof(GET_LOCAL_HOST_INFO7, MaxDmaBufferSize) == 0x8);
