#include "ioctl/property.h"

#include "driver/registry.h"
#include "driver/traced.h"
#include "platform/nt.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

// The first field of the query, PropertyId; the query type after it is not
// looked at. FALSE for an input shorter than the field.
BOOLEAN QueryField(PIRP Irp, ULONG* Field)
{
    const void* buffer = Irp->AssociatedIrp.SystemBuffer;
    if (buffer == NULL ||
        IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.InputBufferLength < sizeof(ULONG))
        return FALSE;
    memcpy(Field, buffer, sizeof(ULONG));
    return TRUE;
}

}  // namespace

BOOLEAN ZK_IsStandardPropertyQuery(PIRP Irp)
{
    ULONG field;
    return QueryField(Irp, &field) && field == 0;
}

NTSTATUS ZK_PropertyRequest(PZK_EXTENSION Extension, PIRP Irp)
{
    ULONG field;
    if (!QueryField(Irp, &field)) {
        // No query to read: named only.
        ZK_Print(TRACE_DEVICE_CONTROL, Extension, "Irp: 0x%X - IOCTL_STORAGE_QUERY_PROPERTY.\n", ZK_Low32(Irp));
        return ZK_PassDown(Extension, Irp);
    }
    switch (field) {
    case 0:
        ZK_Print(TRACE_DEVICE_CONTROL, Extension, "Irp: 0x%X - IOCTL_STORAGE_QUERY_PROPERTY - PropertyStandardQuery.\n",
                 ZK_Low32(Irp));
        return ZK_PassDownTraced(Extension, Irp, ZK_CompletionRoutineDeviceControl);
    case 1:
        ZK_Print(TRACE_DEVICE_CONTROL, Extension, "Irp: 0x%X - IOCTL_STORAGE_QUERY_PROPERTY - PropertyExistsQuery.\n",
                 ZK_Low32(Irp));
        break;
    case 2:
        ZK_Print(TRACE_DEVICE_CONTROL, Extension, "Irp: 0x%X - IOCTL_STORAGE_QUERY_PROPERTY - PropertyMaskQuery.\n",
                 ZK_Low32(Irp));
        break;
    default:
        ZK_Print(TRACE_DEVICE_CONTROL, Extension, "Irp: 0x%X - IOCTL_STORAGE_QUERY_PROPERTY - unknown 0x%X request.\n",
                 ZK_Low32(Irp), field);
        break;
    }
    return ZK_PassDown(Extension, Irp);
}

namespace {

// The descriptor's fixed part, as the traces count it.
constexpr ULONG ZK_DESCRIPTOR_SIZE = 0x28;
static_assert(ZK_DESCRIPTOR_SIZE == sizeof(STORAGE_DEVICE_DESCRIPTOR));
// Where the name is taken from when the descriptor gives no product offset.
constexpr ULONG ZK_FALLBACK_NAME_OFFSET = 0x30;
// The longest product name kept.
constexpr ULONG ZK_PRODUCT_CHARS = 28;
// How much of the reply is dumped.
constexpr ULONG ZK_DESCRIPTOR_DUMP = 0x60;

// Copies the text at Offset of the reply, up to its NUL, Max characters and
// the end of the reply, into Name; returns its length.
ULONG CopyText(const UCHAR* Reply, ULONG Returned, ULONG Offset, PCHAR Name)
{
    ULONG length = 0;
    while (length < ZK_PRODUCT_CHARS && Offset + length < Returned && Reply[Offset + length] != '\0') {
        Name[length] = (CHAR)Reply[Offset + length];
        ++length;
    }
    Name[length] = '\0';
    return length;
}

// The new name: the product identification, at most 28 characters with its
// trailing blanks; without a product offset, the text at byte 48 right-aligned
// in 28 characters. Only the bytes the lower driver returned are read.
VOID FormName(const UCHAR* Reply, ULONG Returned, ULONG ProductIdOffset, PCHAR Name)
{
    if (ProductIdOffset != 0) {
        CopyText(Reply, Returned, ProductIdOffset, Name);
        return;
    }
    CHAR text[ZK_PRODUCT_CHARS + 1];
    ULONG length = CopyText(Reply, Returned, ZK_FALLBACK_NAME_OFFSET, text);
    ULONG pad = ZK_PRODUCT_CHARS - length;
    memset(Name, ' ', pad);
    memcpy(Name + pad, text, length + 1);
}

// The configuration stored under the filter's new name replaces the one it
// has; a value that is missing leaves its field as it is. PASSIVE_LEVEL.
VOID LoadModelConfiguration(PDEVICE_OBJECT DeviceObject)
{
    ZK_RegReadDeviceConfiguration(DeviceObject->DriverObject, ZK_GetExtension(DeviceObject));
}

// The deferred load: the work item holds the device object until it
// returns, and frees itself.
VOID LoadModelConfigurationItem(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    LoadModelConfiguration(DeviceObject);
    IoFreeWorkItem((PIO_WORKITEM)Context);
}

// The registry is never read from the completion routine, whatever IRQL it
// runs at: it runs inside another driver's completion call, in an arbitrary
// thread, perhaps on the disk that holds the hive. The load waits for a work
// item, in a system thread of its own. Without one the configuration stays
// as it is.
VOID ScheduleModelConfiguration(PDEVICE_OBJECT DeviceObject)
{
    PIO_WORKITEM item = IoAllocateWorkItem(DeviceObject);
    if (item != NULL)
        IoQueueWorkItem(item, LoadModelConfigurationItem, DelayedWorkQueue, item);
}

VOID DescribeDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code != IOCTL_STORAGE_QUERY_PROPERTY) {
        ZK_Print(TRACE_UNRECOGNISED, extension, "ZK_CompletionRoutineDeviceControl: Irp: 0x%X - bad IOCTL code 0x%X.\n",
                 ZK_Low32(Irp), code);
        return;
    }
    ZK_Print(TRACE_DETAIL, extension,
             "ZK_CompletionRoutineDeviceControl: Irp: 0x%X - IOCTL_STORAGE_QUERY_PROPERTY - PropertyStandardQuery.\n",
             ZK_Low32(Irp));
    ULONG output = stack->Parameters.DeviceIoControl.OutputBufferLength;
    if (output <= ZK_DESCRIPTOR_SIZE) {
        ZK_Print(TRACE_DETAIL, extension,
                 "ZK_CompletionRoutineDeviceControl: Irp: 0x%X - Buffer was too small 0x%X<=0x%X.\n", ZK_Low32(Irp),
                 output, ZK_DESCRIPTOR_SIZE);
        return;
    }

    // Only what the lower driver returned is read: a failed query returned
    // nothing, and no reply is longer than the buffer it was offered.
    const UCHAR* reply = (const UCHAR*)Irp->AssociatedIrp.SystemBuffer;
    ULONG returned = 0;
    if (NT_SUCCESS(Irp->IoStatus.Status) && reply != NULL)
        returned = Irp->IoStatus.Information < output ? (ULONG)Irp->IoStatus.Information : output;
    if (returned < ZK_DESCRIPTOR_SIZE) {
        ZK_Print(TRACE_DETAIL, extension,
                 "ZK_CompletionRoutineDeviceControl: Irp: 0x%X - Descriptor was not returned 0x%X<0x%X.\n",
                 ZK_Low32(Irp), returned, ZK_DESCRIPTOR_SIZE);
        return;
    }

    STORAGE_DEVICE_DESCRIPTOR descriptor;
    memcpy(&descriptor, reply, sizeof(descriptor));
    ZK_Print(TRACE_DETAIL, extension,
             "ZK_CompletionRoutineDeviceControl: VendorIdOffset: 0x%X, ProductIdOffset: 0x%X, ProductRevisionOffset: "
             "0x%X, SerialNumberOffset: 0x%X, sizeof(STORAGE_DEVICE_DESCRIPTOR): 0x%X, pDeviceDescriptor 0x%X.\n",
             descriptor.VendorIdOffset, descriptor.ProductIdOffset, descriptor.ProductRevisionOffset,
             descriptor.SerialNumberOffset, ZK_DESCRIPTOR_SIZE, ZK_Low32(reply));
    if (descriptor.ProductIdOffset != 0 && descriptor.ProductIdOffset >= returned) {
        ZK_Print(TRACE_DETAIL, extension,
                 "ZK_CompletionRoutineDeviceControl: Irp: 0x%X - ProductIdOffset 0x%X is outside the 0x%X bytes "
                 "returned.\n",
                 ZK_Low32(Irp), descriptor.ProductIdOffset, returned);
        return;
    }

    FormName(reply, returned, descriptor.ProductIdOffset, extension->DeviceName);
    extension->StorageDeviceType = descriptor.DeviceType;
    ZK_Print(TRACE_DEVICE_CONTROL, extension, "Irp: 0x%X - DeviceName: %s.\n", ZK_Low32(Irp), extension->DeviceName);
    ZK_DumpMemory(TRACE_DEVICE_CONTROL, extension, (PVOID)reply,
                  returned < ZK_DESCRIPTOR_DUMP ? returned : ZK_DESCRIPTOR_DUMP);
    ScheduleModelConfiguration(DeviceObject);
}

}  // namespace

// Not only a trace: the rename and the configuration load happen whatever
// the mask.
NTSTATUS ZK_CompletionRoutineDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);
    DescribeDevice(DeviceObject, Irp);
    return ZK_LeaveCompletion(ZK_GetExtension(DeviceObject), Irp);
}
