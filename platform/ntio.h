// I/O manager, object, memory and synchronisation declarations: the request
// packet and its stack locations, device and driver objects, MDLs, events.
// Layouts are the x64 ones; each offset the driver touches is asserted below.
#pragma once
#include "platform/ntbase.h"

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;
struct _MDL;
struct _FILE_OBJECT;
struct _SCSI_REQUEST_BLOCK;
struct _KEVENT;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

// ---------------------------------------------------------------------------
// Dispatcher objects

typedef struct _DISPATCHER_HEADER {
    union {
        struct {
            UCHAR Type;
            UCHAR Signalling;
            UCHAR Size;
            UCHAR Reserved1;
        };
        LONG Lock;
    };
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef enum _EVENT_TYPE { NotificationEvent, SynchronizationEvent } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;

static_assert(sizeof(KEVENT) == 24);

// ---------------------------------------------------------------------------
// Memory descriptor lists

typedef struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
} MDL, *PMDL;

#define MDL_MAPPED_TO_SYSTEM_VA 0x0001
#define MDL_PAGES_LOCKED 0x0002
#define MDL_SOURCE_IS_NONPAGED_POOL 0x0004
#define MDL_ALLOCATED_FIXED_SIZE 0x0008
#define MDL_PARTIAL 0x0010
#define MDL_PARTIAL_HAS_BEEN_MAPPED 0x0020
#define MDL_MAPPING_CAN_FAIL 0x2000

static_assert(sizeof(MDL) == 0x30);
static_assert(__builtin_offsetof(MDL, MdlFlags) == 0x0A);
static_assert(__builtin_offsetof(MDL, MappedSystemVa) == 0x18);
static_assert(__builtin_offsetof(MDL, StartVa) == 0x20);
static_assert(__builtin_offsetof(MDL, ByteCount) == 0x28);
static_assert(__builtin_offsetof(MDL, ByteOffset) == 0x2C);

typedef enum _LOCK_OPERATION { IoReadAccess, IoWriteAccess, IoModifyAccess } LOCK_OPERATION;
typedef enum _MEMORY_CACHING_TYPE { MmNonCached, MmCached, MmWriteCombined } MEMORY_CACHING_TYPE;
typedef enum _MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 } MM_PAGE_PRIORITY;
// Or'ed into MmMapLockedPagesSpecifyCache's priority: a mapping that may not
// be executed, the only kind a memory-integrity system grants.
#define MdlMappingNoExecute 0x40000000

// The page frame numbers that follow an MDL's header.
typedef ULONG_PTR PFN_NUMBER;

// NonPagedPool is executable memory (its other name is NonPagedPoolExecute):
// a memory-integrity system refuses it to drivers. NonPagedPoolNx is not.
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

// ---------------------------------------------------------------------------
// Routine types

typedef NTSTATUS DRIVER_DISPATCH(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS DRIVER_ADD_DEVICE(struct _DRIVER_OBJECT* DriverObject, struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS IO_COMPLETION_ROUTINE(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef VOID DRIVER_CANCEL(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;

// ---------------------------------------------------------------------------
// Stack location

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
} DEVICE_POWER_STATE;
typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum
} SYSTEM_POWER_STATE;
typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState } POWER_STATE_TYPE;

typedef enum _DEVICE_USAGE_NOTIFICATION_TYPE {
    DeviceUsageTypeUndefined = 0,
    DeviceUsageTypePaging,
    DeviceUsageTypeHibernation,
    DeviceUsageTypeDumpFile,
} DEVICE_USAGE_NOTIFICATION_TYPE;
typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            alignas(8) USHORT FileAttributes;
            USHORT ShareAccess;
            alignas(8) ULONG EaLength;
        } Create;
        struct {
            ULONG Length;
            alignas(8) ULONG Key;
            ULONG Flags;
            LARGE_INTEGER ByteOffset;
        } Read;
        struct {
            ULONG Length;
            alignas(8) ULONG Key;
            ULONG Flags;
            LARGE_INTEGER ByteOffset;
        } Write;
        struct {
            ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            struct _SCSI_REQUEST_BLOCK* Srb;
        } Scsi;
        struct {
            ULONG_PTR ProviderId;
            PVOID DataPath;
            ULONG BufferSize;
            PVOID Buffer;
        } WMI;
        struct {
            ULONG SystemContext;
            alignas(8) POWER_STATE_TYPE Type;
            alignas(8) POWER_STATE State;
            alignas(8) ULONG ShutdownType;
        } Power;
        struct {
            BOOLEAN InPath;
            BOOLEAN Reserved[3];
            alignas(8) DEVICE_USAGE_NOTIFICATION_TYPE Type;
        } UsageNotification;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    struct _DEVICE_OBJECT* DeviceObject;
    struct _FILE_OBJECT* FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

static_assert(sizeof(IO_STACK_LOCATION) == 0x48);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Control) == 0x03);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters) == 0x08);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.Read.Key) == 0x10);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.Read.ByteOffset) == 0x18);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.Write.ByteOffset) == 0x18);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.InputBufferLength) == 0x10);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.IoControlCode) == 0x18);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.DeviceIoControl.Type3InputBuffer) == 0x20);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.WMI.BufferSize) == 0x18);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.WMI.Buffer) == 0x20);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.UsageNotification.Type) == 0x10);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.Power.Type) == 0x10);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Parameters.Power.State) == 0x18);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, DeviceObject) == 0x28);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, CompletionRoutine) == 0x38);
static_assert(__builtin_offsetof(IO_STACK_LOCATION, Context) == 0x40);

#define SL_PENDING_RETURNED 0x01
#define SL_ERROR_RETURNED 0x02
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

// ---------------------------------------------------------------------------
// The request packet

typedef struct _KDEVICE_QUEUE_ENTRY {
    LIST_ENTRY DeviceListEntry;
    ULONG SortKey;
    BOOLEAN Inserted;
} KDEVICE_QUEUE_ENTRY;

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    struct _MDL* MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                KDEVICE_QUEUE_ENTRY DeviceQueueEntry;
                struct {
                    PVOID DriverContext[4];
                };
            };
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            struct {
                LIST_ENTRY ListEntry;
                union {
                    struct _IO_STACK_LOCATION* CurrentStackLocation;
                    ULONG PacketType;
                };
            };
            struct _FILE_OBJECT* OriginalFileObject;
        } Overlay;
        UCHAR Apc[88];
        PVOID CompletionKey;
    } Tail;
} IRP, *PIRP;

static_assert(sizeof(IRP) == 0xD0);
static_assert(__builtin_offsetof(IRP, MdlAddress) == 0x08);
static_assert(__builtin_offsetof(IRP, Flags) == 0x10);
static_assert(__builtin_offsetof(IRP, AssociatedIrp.SystemBuffer) == 0x18);
static_assert(__builtin_offsetof(IRP, IoStatus) == 0x30);
static_assert(__builtin_offsetof(IRP, IoStatus.Information) == 0x38);
static_assert(__builtin_offsetof(IRP, RequestorMode) == 0x40);
static_assert(__builtin_offsetof(IRP, PendingReturned) == 0x41);
static_assert(__builtin_offsetof(IRP, StackCount) == 0x42);
static_assert(__builtin_offsetof(IRP, CurrentLocation) == 0x43);
static_assert(__builtin_offsetof(IRP, Cancel) == 0x44);
static_assert(__builtin_offsetof(IRP, CancelRoutine) == 0x68);
static_assert(__builtin_offsetof(IRP, UserBuffer) == 0x70);
static_assert(__builtin_offsetof(IRP, Tail.Overlay.Thread) == 0x98);
static_assert(__builtin_offsetof(IRP, Tail.Overlay.CurrentStackLocation) == 0xB8);
static_assert(__builtin_offsetof(IRP, Tail.Overlay.OriginalFileObject) == 0xC0);

// ---------------------------------------------------------------------------
// File object: what a handle to a device refers to. Only the I/O manager
// fills it; drivers see it through the stack location.

typedef struct _FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    PVOID Vpb;
    PVOID FsContext;
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    struct _FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    ULONG Waiters;
    ULONG Busy;
    PVOID LastLock;
    KEVENT Lock;
    KEVENT Event;
    PVOID CompletionContext;
    ULONG_PTR IrpListLock;
    LIST_ENTRY IrpList;
    PVOID FileObjectExtension;
} FILE_OBJECT, *PFILE_OBJECT;

static_assert(sizeof(FILE_OBJECT) == 0xD8);
static_assert(__builtin_offsetof(FILE_OBJECT, DeviceObject) == 0x08);
static_assert(__builtin_offsetof(FILE_OBJECT, FsContext) == 0x18);
static_assert(__builtin_offsetof(FILE_OBJECT, FinalStatus) == 0x38);
static_assert(__builtin_offsetof(FILE_OBJECT, Flags) == 0x50);
static_assert(__builtin_offsetof(FILE_OBJECT, FileName) == 0x58);
static_assert(__builtin_offsetof(FILE_OBJECT, Lock) == 0x80);
static_assert(__builtin_offsetof(FILE_OBJECT, FileObjectExtension) == 0xD0);

// ---------------------------------------------------------------------------
// Device and driver objects

typedef struct _KDEVICE_QUEUE {
    CSHORT Type;
    CSHORT Size;
    LIST_ENTRY DeviceListHead;
    ULONG_PTR Lock;
    BOOLEAN Busy;
} KDEVICE_QUEUE;

typedef struct _KDPC {
    UCHAR Opaque[64];
} KDPC;

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    union {
        LIST_ENTRY ListEntry;
        UCHAR Wcb[72];
    } Queue;
    ULONG AlignmentRequirement;
    KDEVICE_QUEUE DeviceQueue;
    KDPC Dpc;
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

static_assert(__builtin_offsetof(DEVICE_OBJECT, DriverObject) == 0x08);
static_assert(__builtin_offsetof(DEVICE_OBJECT, AttachedDevice) == 0x18);
static_assert(__builtin_offsetof(DEVICE_OBJECT, Flags) == 0x30);
static_assert(__builtin_offsetof(DEVICE_OBJECT, Characteristics) == 0x34);
static_assert(__builtin_offsetof(DEVICE_OBJECT, DeviceExtension) == 0x40);
static_assert(__builtin_offsetof(DEVICE_OBJECT, DeviceType) == 0x48);
static_assert(__builtin_offsetof(DEVICE_OBJECT, StackSize) == 0x4C);
static_assert(__builtin_offsetof(DEVICE_OBJECT, AlignmentRequirement) == 0x98);
static_assert(__builtin_offsetof(DEVICE_OBJECT, DeviceQueue) == 0xA0);
static_assert(__builtin_offsetof(DEVICE_OBJECT, Dpc) == 0xC8);
static_assert(__builtin_offsetof(DEVICE_OBJECT, DeviceLock) == 0x118);
static_assert(__builtin_offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 0x138);
static_assert(sizeof(DEVICE_OBJECT) == 0x148);

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

static_assert(sizeof(DRIVER_EXTENSION) == 0x28);
static_assert(__builtin_offsetof(DRIVER_EXTENSION, AddDevice) == 0x08);
static_assert(__builtin_offsetof(DRIVER_EXTENSION, ServiceKeyName) == 0x18);

#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

static_assert(sizeof(DRIVER_OBJECT) == 0x150);
static_assert(__builtin_offsetof(DRIVER_OBJECT, DriverExtension) == 0x30);
static_assert(__builtin_offsetof(DRIVER_OBJECT, DriverName) == 0x38);
static_assert(__builtin_offsetof(DRIVER_OBJECT, DriverUnload) == 0x68);
static_assert(__builtin_offsetof(DRIVER_OBJECT, MajorFunction) == 0x70);

// ---------------------------------------------------------------------------
// Constants

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CREATE_NAMED_PIPE 0x01
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_QUERY_INFORMATION 0x05
#define IRP_MJ_SET_INFORMATION 0x06
#define IRP_MJ_FLUSH_BUFFERS 0x09
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_SCSI IRP_MJ_INTERNAL_DEVICE_CONTROL
#define IRP_MJ_SHUTDOWN 0x10
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_DEVICE_RELATIONS 0x07
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_QUERY_RESOURCES 0x0A
#define IRP_MN_QUERY_RESOURCE_REQUIREMENTS 0x0B
#define IRP_MN_QUERY_DEVICE_TEXT 0x0C
#define IRP_MN_FILTER_RESOURCE_REQUIREMENTS 0x0D
#define IRP_MN_READ_CONFIG 0x0F
#define IRP_MN_WRITE_CONFIG 0x10
#define IRP_MN_EJECT 0x11
#define IRP_MN_SET_LOCK 0x12
#define IRP_MN_QUERY_ID 0x13
#define IRP_MN_QUERY_PNP_DEVICE_STATE 0x14
#define IRP_MN_QUERY_BUS_INFORMATION 0x15
#define IRP_MN_DEVICE_USAGE_NOTIFICATION 0x16
#define IRP_MN_SURPRISE_REMOVAL 0x17
#define IRP_MN_QUERY_LEGACY_BUS_INFORMATION 0x18
#define IRP_MN_BUS_RESET 0x87

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

#define IRP_MN_QUERY_ALL_DATA 0x00
#define IRP_MN_QUERY_SINGLE_INSTANCE 0x01
#define IRP_MN_CHANGE_SINGLE_INSTANCE 0x02
#define IRP_MN_CHANGE_SINGLE_ITEM 0x03
#define IRP_MN_ENABLE_EVENTS 0x04
#define IRP_MN_DISABLE_EVENTS 0x05
#define IRP_MN_ENABLE_COLLECTION 0x06
#define IRP_MN_DISABLE_COLLECTION 0x07
#define IRP_MN_REGINFO 0x08
#define IRP_MN_EXECUTE_METHOD 0x09
#define IRP_MN_REGINFO_EX 0x0b

// The head of the WMI registration buffer of IRP_MN_REGINFO_EX; the
// WMIREGGUIDW array that follows GuidCount is never read by the driver.
typedef struct _WMIREGINFOW {
    ULONG BufferSize;
    ULONG NextWmiRegInfo;
    ULONG RegistryPath;
    ULONG MofResourceName;
    ULONG GuidCount;
} WMIREGINFOW, *PWMIREGINFOW;

static_assert(__builtin_offsetof(WMIREGINFOW, MofResourceName) == 0x0C);
static_assert(__builtin_offsetof(WMIREGINFOW, GuidCount) == 0x10);

#define FILE_DEVICE_CD_ROM 0x00000002
#define FILE_DEVICE_DISK 0x00000007
#define FILE_DEVICE_KEYBOARD 0x0000000b
#define FILE_DEVICE_MASS_STORAGE 0x0000002d
#define FILE_DEVICE_MOUSE 0x0000000f
#define FILE_DEVICE_BUS_EXTENDER 0x0000002a
#define FILE_DEVICE_CONTROLLER 0x00000004
#define FILE_DEVICE_UNKNOWN 0x00000022

#define FILE_DEVICE_SECURE_OPEN 0x00000100

#define DO_VERIFY_VOLUME 0x00000002
#define DO_BUFFERED_IO 0x00000004
#define DO_EXCLUSIVE 0x00000008
#define DO_DIRECT_IO 0x00000010
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000
#define DO_POWER_INRUSH 0x00004000

#define IO_NO_INCREMENT 0

typedef enum _DEVICE_REGISTRY_PROPERTY {
    DevicePropertyDeviceDescription = 0,
    DevicePropertyPhysicalDeviceObjectName = 11
} DEVICE_REGISTRY_PROPERTY;

// ---------------------------------------------------------------------------
// Routines exported by the kernel

extern "C" {
NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);
VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName);
NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName);
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice);
PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject);
LONG_PTR ObfDereferenceObject(PVOID Object);
NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT DeviceObject, DEVICE_REGISTRY_PROPERTY Property, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength);
BOOLEAN IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion);
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID IoFreeIrp(PIRP Irp);
PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota, PIRP Irp);
VOID IoFreeMdl(PMDL Mdl);

VOID PoStartNextPowerIrp(PIRP Irp);
NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);

BOOLEAN MmIsAddressValid(PVOID VirtualAddress);
VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation);
VOID MmUnlockPages(PMDL MemoryDescriptorList);
PVOID MmMapLockedPagesSpecifyCache(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, MEMORY_CACHING_TYPE CacheType,
                                   PVOID RequestedAddress, ULONG BugCheckOnFailure, ULONG Priority);
VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList);
VOID MmUnmapLockedPages(PVOID BaseAddress, PMDL MemoryDescriptorList);
VOID IoBuildPartialMdl(PMDL SourceMdl, PMDL TargetMdl, PVOID VirtualAddress, ULONG Length);

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID ExFreePool(PVOID P);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                               PLARGE_INTEGER Timeout);
ULONG KeQueryTimeIncrement(void);
// KeQueryPerformanceCounter is exported by the hardware layer on older
// systems: the driver, which imports from ntoskrnl.exe alone, finds it with
// MmGetSystemRoutineAddress and calls it through this type.
typedef LARGE_INTEGER (*PKE_QUERY_PERFORMANCE_COUNTER)(PLARGE_INTEGER PerformanceFrequency);
PVOID MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName);

ULONG DbgPrint(PCSTR Format, ...) ZK_PRINTF_FORMAT(1, 2);
}

#define IoCallDriver(a, b) IofCallDriver(a, b)
#define IoCompleteRequest(a, b) IofCompleteRequest(a, b)
#define ObDereferenceObject(a) ObfDereferenceObject(a)

// The tick count and the current IRQL are read inline on x64 Windows: the
// tick count from the shared user data page, the IRQL from CR8. The
// simulated kernel exports both as routines.
#if defined(ZK_PLATFORM_WINDOWS)
FORCEINLINE VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount)
{
    CurrentCount->QuadPart = *(volatile LONGLONG*)(0xFFFFF78000000000ULL + 0x320);
}
FORCEINLINE KIRQL KeGetCurrentIrql(void)
{
    ULONG64 irql;
    __asm__ volatile("mov %%cr8, %0" : "=r"(irql));
    return (KIRQL)irql;
}
#else
extern "C" VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount);
extern "C" KIRQL KeGetCurrentIrql(void);
#endif

// ---------------------------------------------------------------------------
// Stack-location operations, as the platform defines them inline

FORCEINLINE PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    return Irp->Tail.Overlay.CurrentStackLocation;
}

FORCEINLINE PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp)
{
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

FORCEINLINE VOID IoSkipCurrentIrpStackLocation(PIRP Irp)
{
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

FORCEINLINE VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    __builtin_memcpy(next, current, __builtin_offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}

FORCEINLINE VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine, PVOID Context,
                                        BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
    next->CompletionRoutine = CompletionRoutine;
    next->Context = Context;
    next->Control = 0;
    if (InvokeOnSuccess)
        next->Control = SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}

// The dispatch routine and a completion routine running on another
// processor may mark the same location: one atomic or of the bit.
FORCEINLINE VOID IoMarkIrpPending(PIRP Irp)
{
    __atomic_fetch_or(&IoGetCurrentIrpStackLocation(Irp)->Control, (UCHAR)SL_PENDING_RETURNED, __ATOMIC_RELAXED);
}
