// The control device's private request. A program sends the 12-byte record
// (ioctl/request.h) in the system buffer; the data area it names is either
// its own memory (DataAddress, a 32-bit signed value sign-extended to a
// pointer) or, with DataAddress 0, the request's own buffers right after the
// record.
//
// Everything here comes from a program and is hostile until checked: the
// record's length, the address (for a user-mode requestor it must lie in user
// space, is probed, and is touched only inside a guarded region, in the
// program's own thread, where a page that vanishes ends the request with
// STATUS_ACCESS_VIOLATION), the lengths of the in-request data area and the
// trailer's end. A failed request changes nothing. Only an administrator (or
// SYSTEM) may change the configuration.
#include "ioctl/control.h"

#include "driver/registry.h"

namespace {

// Marks the remove lock's holders in a checked build's tracking ('ZkRq').
constexpr ULONG ZK_REQUEST_LOCK_TAG = 0x71526B5A;

struct ZK_ANSWER {
    NTSTATUS Status;
    ULONG Returned;  // bytes of the in-request data area that were filled
};

ULONG ReadUlong(const UCHAR* Bytes)
{
    return (ULONG)Bytes[0] | ((ULONG)Bytes[1] << 8) | ((ULONG)Bytes[2] << 16) | ((ULONG)Bytes[3] << 24);
}

VOID WriteUlong(UCHAR* Bytes, ULONG Value)
{
    Bytes[0] = (UCHAR)Value;
    Bytes[1] = (UCHAR)(Value >> 8);
    Bytes[2] = (UCHAR)(Value >> 16);
    Bytes[3] = (UCHAR)(Value >> 24);
}

// Where the operation's data goes or comes from.
struct ZK_DATA_AREA {
    PUCHAR Address;
    ULONG Capacity;     // bytes the caller gave; the operation's size for its own memory
    BOOLEAN InRequest;  // the area follows the record in the system buffer
    BOOLEAN Probe;      // a user-mode program's own memory
};

// One guarded copy between the caller's data area and a local buffer. A
// read from the caller may stop after the first NUL at or after StopAtNulFrom.
struct ZK_CALLER_COPY {
    PUCHAR Caller;
    PUCHAR Local;
    ULONG Length;
    ULONG StopAtNulFrom;  // Length: never stops early
    BOOLEAN Probe;
    ULONG Copied;
    ULONG Reach;  // writes: bytes from Caller that must all be writable first
};

// Makes sure the byte may be written, without changing it: a locked
// compare-exchange of the byte with itself is a write access to its page
// whatever the byte holds (a read-only or vanished page faults here), and
// loses no store of another thread.
VOID TouchForWrite(volatile UCHAR* Byte)
{
    UCHAR seen = *Byte;
    __atomic_compare_exchange_n(Byte, &seen, seen, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);
}

// All or nothing: every page of the reach is touched for writing before the
// first byte is written, so that an area running into a page that is gone
// or read-only fails with nothing of it changed.
VOID CopyToCaller(PVOID Context)
{
    ZK_CALLER_COPY* copy = (ZK_CALLER_COPY*)Context;
    if (copy->Probe)
        ProbeForWrite(copy->Caller, copy->Reach, 1);
    volatile UCHAR* to = copy->Caller;
    constexpr ULONG_PTR page = 0x1000;
    for (ULONG at = 0; at < copy->Reach; at += (ULONG)(page - (((ULONG_PTR)to + at) & (page - 1))))
        TouchForWrite(to + at);
    if (copy->Reach != 0)
        TouchForWrite(to + copy->Reach - 1);
    for (ULONG i = 0; i < copy->Length; ++i) {
        to[i] = copy->Local[i];
        copy->Copied = i + 1;
    }
}

VOID CopyFromCaller(PVOID Context)
{
    ZK_CALLER_COPY* copy = (ZK_CALLER_COPY*)Context;
    if (copy->Probe)
        ProbeForRead(copy->Caller, copy->Length, 1);
    const volatile UCHAR* from = copy->Caller;
    for (ULONG i = 0; i < copy->Length; ++i) {
        UCHAR byte = from[i];
        copy->Local[i] = byte;
        copy->Copied = i + 1;
        if (byte == 0 && i >= copy->StopAtNulFrom)
            break;
    }
}

// Writes Length local bytes at Offset of the data area, after making sure
// that all Reach bytes from there may be written (at least Length). The
// status of the guarded region: STATUS_ACCESS_VIOLATION when the caller's
// memory fails, and then nothing was written.
NTSTATUS PutData(const ZK_DATA_AREA* Area, ULONG Offset, const UCHAR* Local, ULONG Length, ULONG Reach = 0)
{
    ZK_CALLER_COPY copy = {Area->Address + Offset,         (PUCHAR)Local, Length, Length, Area->Probe, 0,
                           Reach > Length ? Reach : Length};
    return ZkGuardedCall(CopyToCaller, &copy);
}

// A kernel-mode sender's address in the kernel's part of the address space is
// neither probed nor guarded: there a page that is not present stops the
// machine at any IRQL, it raises nothing. Every page of the operation's data
// area must be valid before the area is touched; the sender keeps it so for
// the request's life (no more than a page: two tests cover it).
BOOLEAN KernelAreaValid(PUCHAR Address, ULONG Operation)
{
    ULONG size = Operation == ZK_REQUEST_VERSION       ? ZK_VERSION_DATA_SIZE
                 : Operation == ZK_REQUEST_DEVICE_INFO ? ZK_INFO_DATA_SIZE
                                                       : ZK_CONFIG_DATA_SIZE;
    ULONG_PTR last = (ULONG_PTR)Address + size - 1;
    return last > (ULONG_PTR)Address && MmIsAddressValid(Address) && MmIsAddressValid((PVOID)last);
}

// Only the administrators and SYSTEM may change the configuration; a
// kernel-mode requestor is trusted as the kernel trusts it.
BOOLEAN MayConfigure(PIRP Irp)
{
    if (Irp->RequestorMode == KernelMode)
        return TRUE;
    SECURITY_SUBJECT_CONTEXT subject;
    SeCaptureSubjectContext(&subject);
    PACCESS_TOKEN token = subject.ClientToken != NULL ? subject.ClientToken : subject.PrimaryToken;
    BOOLEAN administrator = SeTokenIsAdmin(token);
    SeReleaseSubjectContext(&subject);
    return administrator;
}

ZK_ANSWER Version(const ZK_DATA_AREA* Area)
{
    if (Area->Capacity < ZK_VERSION_DATA_SIZE)
        return {STATUS_BUFFER_TOO_SMALL, 0};
    UCHAR data[ZK_VERSION_DATA_SIZE];
    WriteUlong(data, ZK_INTERFACE_VERSION);
    return {PutData(Area, 0, data, sizeof(data)), ZK_VERSION_DATA_SIZE};
}

// Each text field is 255 bytes: the text, NUL-padded, its last byte NUL.
// Byte 255 lies between the fields and is written only in the request's own
// buffer, whose content would otherwise go back to the program unset.
ZK_ANSWER DeviceInfo(const ZK_DATA_AREA* Area, PZK_EXTENSION Filter)
{
    if (Area->Capacity < ZK_INFO_DATA_SIZE)
        return {STATUS_BUFFER_TOO_SMALL, 0};
    UCHAR data[ZK_INFO_DATA_SIZE];
    strncpy((char*)data + ZK_INFO_NAME_OFFSET, Filter->DeviceName, ZK_INFO_TEXT_FIELD);
    data[ZK_INFO_NAME_OFFSET + ZK_INFO_TEXT_FIELD - 1] = 0;
    data[ZK_INFO_TEXT_FIELD] = 0;
    WriteUlong(data + ZK_INFO_TYPE_OFFSET, (ULONG)Filter->StorageDeviceType);
    strncpy((char*)data + ZK_INFO_DRIVER_OFFSET, Filter->LowerDriverName, ZK_INFO_TEXT_FIELD);
    data[ZK_INFO_DRIVER_OFFSET + ZK_INFO_TEXT_FIELD - 1] = 0;

    if (Area->InRequest)
        return {PutData(Area, 0, data, ZK_INFO_DATA_SIZE), ZK_INFO_DATA_SIZE};
    // Byte 255 stays as it is, yet the whole area is made sure of first.
    NTSTATUS status = PutData(Area, 0, data, ZK_INFO_TEXT_FIELD, ZK_INFO_DATA_SIZE);
    if (NT_SUCCESS(status))
        status =
            PutData(Area, ZK_INFO_TYPE_OFFSET, data + ZK_INFO_TYPE_OFFSET, ZK_INFO_DATA_SIZE - ZK_INFO_TYPE_OFFSET);
    return {status, 0};
}

ZK_ANSWER GetConfig(const ZK_DATA_AREA* Area, PZK_EXTENSION Filter)
{
    UCHAR data[ZK_CONFIG_DATA_SIZE];
    WriteUlong(data, Filter->TraceMask);
    // The trailer may be rewritten meanwhile: at most its field, always ended.
    ULONG length = 0;
    CHAR next;
    while (length < ZK_CONFIG_TRAILER_SIZE - 1 && (next = ZK_ReadSharedChar(&Filter->Trailer[length])) != 0) {
        data[ZK_CONFIG_TRAILER_OFFSET + length] = (UCHAR)next;
        ++length;
    }
    data[ZK_CONFIG_TRAILER_OFFSET + length] = 0;
    ULONG size = ZK_CONFIG_TRAILER_OFFSET + length + 1;
    if (Area->Capacity < size)
        return {STATUS_BUFFER_TOO_SMALL, 0};
    return {PutData(Area, 0, data, size), size};
}

// Stores the mask and trailer as the per-device values of the filter's
// current configuration name. Failures are not reported.
VOID StoreConfig(PDRIVER_OBJECT DriverObject, PZK_EXTENSION Filter, ULONG Mask, PCHAR Trailer)
{
    CHAR name[ZK_DEVICE_NAME_SIZE];
    strncpy(name, Filter->DeviceName, ZK_DEVICE_NAME_SIZE - 1);
    name[ZK_DEVICE_NAME_SIZE - 1] = 0;

    WCHAR valueName[ZK_VALUE_NAME_CHARS];
    if (ZK_BuildValueName(name, u"_Config", valueName))
        ZK_RegWriteDword(DriverObject, valueName, Mask);
    if (ZK_BuildValueName(name, u"_Trailer", valueName)) {
        ANSI_STRING text;
        text.Length = (USHORT)strlen(Trailer);
        text.MaximumLength = ZK_CONFIG_TRAILER_SIZE;
        text.Buffer = Trailer;
        ZK_RegWriteString(DriverObject, valueName, &text);
    }
}

ZK_ANSWER SetConfig(const ZK_DATA_AREA* Area, PZK_EXTENSION Filter, PIRP Irp, PDRIVER_OBJECT DriverObject)
{
    if (!MayConfigure(Irp))
        return {STATUS_ACCESS_DENIED, 0};
    if (Area->Capacity < ZK_CONFIG_TRAILER_OFFSET + 1)
        return {STATUS_BUFFER_TOO_SMALL, 0};

    // The whole text is read before anything changes.
    UCHAR data[ZK_CONFIG_DATA_SIZE];
    ULONG length = Area->Capacity < ZK_CONFIG_DATA_SIZE ? Area->Capacity : ZK_CONFIG_DATA_SIZE;
    ZK_CALLER_COPY copy = {Area->Address, data, length, ZK_CONFIG_TRAILER_OFFSET, Area->Probe, 0, 0};
    NTSTATUS status = ZkGuardedCall(CopyFromCaller, &copy);
    if (!NT_SUCCESS(status))
        return {status, 0};
    // A trailer of more than 99 characters, or one that does not end within
    // the data given, is refused.
    if (copy.Copied <= ZK_CONFIG_TRAILER_OFFSET || data[copy.Copied - 1] != 0)
        return {STATUS_INVALID_PARAMETER, 0};

    ULONG mask = ReadUlong(data);
    PCHAR trailer = (PCHAR)data + ZK_CONFIG_TRAILER_OFFSET;
    Filter->TraceMask = mask;
    for (ULONG i = 0;; ++i) {
        ZK_WriteSharedChar(&Filter->Trailer[i], trailer[i]);
        if (trailer[i] == 0)
            break;
    }
    StoreConfig(DriverObject, Filter, mask, trailer);
    return {STATUS_SUCCESS, 0};
}

ZK_ANSWER Serve(PDEVICE_OBJECT DeviceObject, PIRP Irp, ULONG InputLength, ULONG OutputLength)
{
    PUCHAR system = (PUCHAR)Irp->AssociatedIrp.SystemBuffer;
    if (system == NULL || InputLength < ZK_REQUEST_SIZE)
        return {STATUS_INFO_LENGTH_MISMATCH, 0};
    ULONG magic = ReadUlong(system + ZK_REQUEST_MAGIC_OFFSET);
    ULONG operation = ReadUlong(system + ZK_REQUEST_OPERATION_OFFSET);
    LONG address = (LONG)ReadUlong(system + ZK_REQUEST_ADDRESS_OFFSET);
    if (magic != ZK_REQUEST_MAGIC || operation < ZK_REQUEST_VERSION || operation > ZK_REQUEST_SET_CONFIG)
        return {STATUS_INVALID_DEVICE_REQUEST, 0};

    ZK_DATA_AREA area;
    if (address == 0) {
        area.Address = system + ZK_REQUEST_SIZE;
        ULONG given = operation == ZK_REQUEST_SET_CONFIG ? InputLength : OutputLength;
        area.Capacity = given > ZK_REQUEST_SIZE ? given - ZK_REQUEST_SIZE : 0;
        area.InRequest = TRUE;
        area.Probe = FALSE;
    } else {
        // A negative value sign-extends to a kernel address, which a program
        // may not name.
        if (Irp->RequestorMode != KernelMode && address < 0)
            return {STATUS_ACCESS_VIOLATION, 0};
        if (address < 0 && !KernelAreaValid((PUCHAR)(LONG_PTR)address, operation))
            return {STATUS_ACCESS_VIOLATION, 0};
        area.Address = (PUCHAR)(LONG_PTR)address;
        area.Capacity = ZK_INFO_DATA_SIZE;  // no operation needs more
        area.InRequest = FALSE;
        area.Probe = Irp->RequestorMode != KernelMode;
    }

    PZK_EXTENSION control = ZK_GetExtension(DeviceObject);
    if (!NT_SUCCESS(IoAcquireRemoveLock(&control->RequestLock, Irp)))
        return {STATUS_NO_SUCH_DEVICE, 0};
    ZK_ANSWER answer = {STATUS_NO_SUCH_DEVICE, 0};
    PDEVICE_OBJECT filterDevice = control->FilterDevice;
    if (filterDevice != NULL) {
        PZK_EXTENSION filter = ZK_GetExtension(filterDevice);
        switch (operation) {
        case ZK_REQUEST_VERSION:
            answer = Version(&area);
            break;
        case ZK_REQUEST_DEVICE_INFO:
            answer = DeviceInfo(&area, filter);
            break;
        case ZK_REQUEST_GET_CONFIG:
            answer = GetConfig(&area, filter);
            break;
        default:
            answer = SetConfig(&area, filter, Irp, DeviceObject->DriverObject);
            break;
        }
    }
    IoReleaseRemoveLock(&control->RequestLock, Irp);
    if (!area.InRequest || !NT_SUCCESS(answer.Status))
        answer.Returned = 0;
    return answer;
}

}  // namespace

VOID ZK_ControlDeviceReady(PZK_EXTENSION ControlRecord)
{
    IoInitializeRemoveLock(&ControlRecord->RequestLock, ZK_REQUEST_LOCK_TAG, 0, 0);
}

VOID ZK_ControlDeviceRetire(PZK_EXTENSION ControlRecord)
{
    // Waits until no request holds the lock; from then on every acquire
    // fails, so no request reaches the filter's record again.
    if (NT_SUCCESS(IoAcquireRemoveLock(&ControlRecord->RequestLock, ControlRecord)))
        IoReleaseRemoveLockAndWait(&ControlRecord->RequestLock, ControlRecord);
    ControlRecord->FilterDevice = NULL;
}

NTSTATUS ZK_ControlDeviceRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    ULONG inputLength = location->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
    ZK_ANSWER answer = Serve(DeviceObject, Irp, inputLength, outputLength);

    // The record goes back with the data that follows it; never more than
    // the program's output buffer holds.
    ULONG information = ZK_REQUEST_SIZE + answer.Returned;
    Irp->IoStatus.Status = answer.Status;
    Irp->IoStatus.Information = information < outputLength ? information : outputLength;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return answer.Status;
}
