// The per-device record. Both device objects of an instance carry one as
// their device extension; DeviceKind tells them apart. It is the driver's
// only state: every routine finds its configuration, its lower device and its
// counters here.
#pragma once
#include "platform/ntcaller.h"
#include "platform/nt1394.h"
#include "platform/ntio.h"

enum : UCHAR {
    ZK_KIND_CONTROL = 0,  // the named control device a tool opens
    ZK_KIND_FILTER = 1,   // the filter device attached to the stack
};

// RecordFlags
enum : ULONG {
    ZK_FLAG_LINK_CREATED = 0x1,  // SymbolicLinkName exists in the namespace
};

// Plug and Play states. There is no 3: a stopped device stays StopPending.
enum ZK_PNP_STATE : LONG {
    NotStarted = 0,
    Started = 1,
    StopPending = 2,
    RemovePending = 4,
    SurpriseRemoved = 5,
    Deleted = 6,
};

constexpr ULONG ZK_TRAILER_SIZE = 100;
constexpr ULONG ZK_REMOVE_LOCK_TAG = 0x6D526B5A;  // 'ZkRm'
constexpr ULONG ZK_DEVICE_NAME_SIZE = 256;
constexpr ULONG ZK_DRIVER_NAME_SIZE = 256;

// TraceMask and Trailer are rewritten in place while other processors print
// with them, without a lock: each access is one relaxed atomic load or store
// of the mask or of one character (a plain move on x64), so a line carries
// the old mask or the new one, and its trailer ends within the field.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define ZK_THREAD_CHECKED 1
#endif
#endif
#ifndef ZK_THREAD_CHECKED
#define ZK_THREAD_CHECKED 0
#endif
struct ZK_SHARED_ULONG {
    ULONG Value;
    FORCEINLINE operator ULONG() const
    {
#if ZK_THREAD_CHECKED
        return __atomic_load_n(&Value, __ATOMIC_RELAXED);
#else
        // The same plain move, written so that the compiler may still fold
        // it into the mask test of the untraced paths.
        return *(const volatile ULONG*)&Value;
#endif
    }
    FORCEINLINE ZK_SHARED_ULONG& operator=(ULONG New)
    {
        __atomic_store_n(&Value, New, __ATOMIC_RELAXED);
        return *this;
    }
};
FORCEINLINE CHAR ZK_ReadSharedChar(const CHAR* Text)
{
    return __atomic_load_n(Text, __ATOMIC_RELAXED);
}
FORCEINLINE VOID ZK_WriteSharedChar(PCHAR Text, CHAR Value)
{
    __atomic_store_n(Text, Value, __ATOMIC_RELAXED);
}

typedef struct ZK_EXTENSION {
    UCHAR DeviceKind;
    ULONG RecordFlags;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT FilterDevice;   // control record: the filter of the instance
    PDEVICE_OBJECT ControlDevice;  // filter record: the control device
    UNICODE_STRING SymbolicLinkName;
    PDEVICE_OBJECT LowerDevice;
    LONG PnpState;
    LONG PreviousPnpState;
    ZK_SHARED_ULONG TraceMask;
    CHAR Trailer[ZK_TRAILER_SIZE];
    CHAR DeviceName[ZK_DEVICE_NAME_SIZE];
    LONG StorageDeviceType;
    CHAR LowerDriverName[ZK_DRIVER_NAME_SIZE];
    LONG CallbackSerial;
    // Control record only: held by every request that reaches the filter's
    // record through FilterDevice (ioctl/control.cpp).
    IO_REMOVE_LOCK RequestLock;
    // Filter record only: held by every request from its dispatch until it
    // has left the driver (passed down, or its completion routine done), so
    // that the removal can wait for them before the device goes.
    IO_REMOVE_LOCK RemoveLock;
    // The 1394 substitutes running for this filter now, and what its
    // removal waits on until the last of them has let go of this record
    // (internal/callback.cpp; guarded by the driver's record lock there).
    LONG CallbackCalls;
    BOOLEAN CallbackRetiring;
    KEVENT CallbackIdle;
} ZK_EXTENSION, *PZK_EXTENSION;

FORCEINLINE PZK_EXTENSION ZK_GetExtension(PDEVICE_OBJECT DeviceObject)
{
    return (PZK_EXTENSION)DeviceObject->DeviceExtension;
}

FORCEINLINE VOID ZK_InitCallbackRecords(PZK_EXTENSION Extension)
{
    Extension->CallbackCalls = 0;
    Extension->CallbackRetiring = FALSE;
    KeInitializeEvent(&Extension->CallbackIdle, NotificationEvent, FALSE);
}

// Hands out the next 1394 callback serial: 0..999, then 10..999 again.
FORCEINLINE LONG ZK_NextCallbackSerial(PZK_EXTENSION Extension)
{
    LONG serial = Extension->CallbackSerial;
    Extension->CallbackSerial = serial + 1;
    if (Extension->CallbackSerial > 999)
        Extension->CallbackSerial = 10;
    return serial;
}
