#include "driver/dispatch.h"
#include "driver/extension.h"
#include "driver/lifetime.h"
#include "driver/registry.h"
#include "platform/nt.h"

namespace {

// Room for "\Device\Zelkor4294967295" and "\DosDevices\Zelkor4294967295".
constexpr ULONG ZK_OBJECT_NAME_SIZE = 64;
// The PDO name query's buffer, in bytes.
constexpr ULONG ZK_PDO_NAME_SIZE = 508;

constexpr ULONG ZK_FILTER_FLAG_MASK = DO_BUFFERED_IO | DO_DIRECT_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH;
static_assert(ZK_FILTER_FLAG_MASK == 0x6014);
static_assert(DO_BUFFERED_IO + DO_POWER_PAGABLE + DO_POWER_INRUSH == 0x6004);

// Add-device messages bypass the trace mask: the instance has no
// configuration yet. Each goes out behind its own default prefix.
ZK_PRINTF_FORMAT(1, 2) void AddDevicePrint(PCSTR Format, ...)
{
    CHAR line[512];
    va_list arguments;
    va_start(arguments, Format);
    _vsnprintf(line, sizeof(line) - 1, Format, arguments);
    va_end(arguments);
    line[sizeof(line) - 1] = '\0';
    DbgPrint("%s", "ZK: ");
    DbgPrint("%s", line);
}

// Formats Format with Number into AnsiName and converts it into a newly
// allocated Unicode string.
NTSTATUS MakeObjectName(PCSTR Format, ULONG Number, PCHAR AnsiName, PUNICODE_STRING Name)
{
    sprintf(AnsiName, Format, Number);
    ANSI_STRING ansi;
    RtlInitString(&ansi, AnsiName);
    return RtlAnsiStringToUnicodeString(Name, &ansi, TRUE);
}

DEVICE_TYPE FilterDeviceType(PDEVICE_OBJECT PhysicalDeviceObject)
{
    if (IoIsWdmVersionAvailable(1, 0x20))
        return FILE_DEVICE_UNKNOWN;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    DEVICE_TYPE type = top->DeviceType;
    ObDereferenceObject(top);
    return type;
}

// The configuration name is the last component of the PDO's object name:
// \Device\00000062 gives 00000062. Without a name it stays "unknown".
void ReadConfigurationName(PDEVICE_OBJECT PhysicalDeviceObject, PZK_EXTENSION Filter)
{
    WCHAR nameBuffer[ZK_PDO_NAME_SIZE / sizeof(WCHAR)];
    ULONG length = 0;
    NTSTATUS status = IoGetDeviceProperty(PhysicalDeviceObject, DevicePropertyPhysicalDeviceObjectName,
                                          ZK_PDO_NAME_SIZE, nameBuffer, &length);
    if (!NT_SUCCESS(status) || length > ZK_PDO_NAME_SIZE)
        return;

    UNICODE_STRING name;
    name.Buffer = nameBuffer;
    name.Length = (USHORT)length;
    name.MaximumLength = (USHORT)ZK_PDO_NAME_SIZE;

    // At most 254 characters and the NUL; a longer name is cut.
    CHAR converted[ZK_DEVICE_NAME_SIZE];
    ANSI_STRING text;
    text.Buffer = converted;
    text.Length = 0;
    text.MaximumLength = ZK_DEVICE_NAME_SIZE - 1;
    RtlUnicodeStringToAnsiString(&text, &name, FALSE);
    if (text.Length == 0)
        return;
    converted[text.Length < ZK_DEVICE_NAME_SIZE - 1 ? text.Length : ZK_DEVICE_NAME_SIZE - 2] = '\0';

    PCHAR lastComponent = strrchr(converted, '\\');
    lastComponent = lastComponent != NULL ? lastComponent + 1 : converted;
    // An empty name would make the values "_Config" and "_Trailer": a
    // device without a usable name keeps "unknown".
    if (*lastComponent == '\0')
        return;
    strncpy(Filter->DeviceName, lastComponent, ZK_DEVICE_NAME_SIZE);
}

// Built-in defaults, overridden by the global values, overridden by the
// values named after the device.
void ReadConfiguration(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject, PZK_EXTENSION Filter)
{
    ANSI_STRING trailer;
    trailer.Buffer = Filter->Trailer;
    trailer.MaximumLength = ZK_TRAILER_SIZE;

    Filter->TraceMask = 0;
    ZK_RegReadDword(DriverObject, u"Config", &Filter->TraceMask.Value);
    strncpy(Filter->Trailer, "** ", ZK_TRAILER_SIZE);
    trailer.Length = (USHORT)strlen(Filter->Trailer);
    ZK_RegReadString(DriverObject, u"Trailer", &trailer);

    ReadConfigurationName(PhysicalDeviceObject, Filter);
    ZK_RegReadDeviceConfiguration(DriverObject, Filter);
}

// One attempt at an instance: its number, the names it tries and the two
// device objects it has made so far.
struct Attempt {
    ULONG Instance;
    CHAR AnsiName[ZK_OBJECT_NAME_SIZE];
    UNICODE_STRING ControlName;
    PDEVICE_OBJECT Control;
    PDEVICE_OBJECT Filter;
};

// Releases what a failed attempt built, last things first.
void Unwind(Attempt* Made)
{
    RtlFreeUnicodeString(&Made->ControlName);
    if (Made->Filter != NULL) {
        PZK_EXTENSION record = ZK_GetExtension(Made->Filter);
        if (record->RecordFlags & ZK_FLAG_LINK_CREATED) {
            record->RecordFlags &= ~ZK_FLAG_LINK_CREATED;
            IoDeleteSymbolicLink(&record->SymbolicLinkName);
        }
        if (record->SymbolicLinkName.Buffer != NULL)
            RtlFreeUnicodeString(&record->SymbolicLinkName);
        if (record->LowerDevice != NULL)
            IoDetachDevice(record->LowerDevice);
        IoDeleteDevice(Made->Filter);
    }
    IoDeleteDevice(Made->Control);
}

// The control device, under the smallest number from Made->Instance on whose
// device name is free, with its record ready. On failure nothing is left.
NTSTATUS CreateControlDevice(PDRIVER_OBJECT DriverObject, Attempt* Made)
{
    NTSTATUS status;
    for (;;) {
        status = MakeObjectName("\\Device\\Zelkor%u", Made->Instance, Made->AnsiName, &Made->ControlName);
        if (!NT_SUCCESS(status)) {
            AddDevicePrint("ZK_AddDevice: Can't create free device object name.\n");
            return status;
        }
        // A named device: an open of a path below its name is checked
        // against the device's own security, as an open of the device is.
        status = IoCreateDevice(DriverObject, sizeof(ZK_EXTENSION), &Made->ControlName, FILE_DEVICE_UNKNOWN,
                                FILE_DEVICE_SECURE_OPEN, FALSE, &Made->Control);
        if (status != STATUS_OBJECT_NAME_COLLISION)
            break;
        AddDevicePrint("ZK_AddDevice: Device %s already exist.\n", Made->AnsiName);
        RtlFreeUnicodeString(&Made->ControlName);
        ++Made->Instance;
    }
    if (!NT_SUCCESS(status)) {
        AddDevicePrint("ZK_AddDevice: Can't create free device object %*S. Error: 0x%X.\n",
                       (int)Made->ControlName.Length, ZK_PrintWide(Made->ControlName.Buffer), (ULONG)status);
        RtlFreeUnicodeString(&Made->ControlName);
        return status;
    }

    PZK_EXTENSION controlRecord = ZK_GetExtension(Made->Control);
    RtlZeroMemory(controlRecord, sizeof(ZK_EXTENSION));
    controlRecord->DeviceKind = ZK_KIND_CONTROL;
    controlRecord->DeviceObject = Made->Control;
    ZK_ControlDeviceReady(controlRecord);
    Made->Control->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH;
    return STATUS_SUCCESS;
}

// The filter device, with its record zeroed, attached on top of the stack.
// On failure the attempt is undone.
NTSTATUS CreateFilterDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject, DEVICE_TYPE FilterType,
                            Attempt* Made)
{
    Made->Filter = NULL;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(ZK_EXTENSION), NULL, FilterType, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &Made->Filter);
    if (!NT_SUCCESS(status)) {
        Made->Filter = NULL;
        Unwind(Made);
        return status;
    }

    PZK_EXTENSION record = ZK_GetExtension(Made->Filter);
    RtlZeroMemory(record, sizeof(ZK_EXTENSION));
    record->DeviceKind = ZK_KIND_FILTER;
    record->DeviceObject = Made->Filter;
    IoInitializeRemoveLock(&record->RemoveLock, ZK_REMOVE_LOCK_TAG, 0, 0);

    record->LowerDevice = IoAttachDeviceToDeviceStack(Made->Filter, PhysicalDeviceObject);
    if (record->LowerDevice == NULL) {
        Unwind(Made);
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// The control device's link under the attempt's number. On failure the
// attempt is undone; STATUS_OBJECT_NAME_COLLISION when another driver holds
// the link name, so that the next number is tried.
NTSTATUS CreateLink(Attempt* Made)
{
    PZK_EXTENSION record = ZK_GetExtension(Made->Filter);
    NTSTATUS status =
        MakeObjectName("\\DosDevices\\Zelkor%u", Made->Instance, Made->AnsiName, &record->SymbolicLinkName);
    if (NT_SUCCESS(status))
        status = IoCreateSymbolicLink(&record->SymbolicLinkName, &Made->ControlName);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
        AddDevicePrint("ZK_AddDevice: Link %s already exist.\n", Made->AnsiName);
        Unwind(Made);
        return status;
    }
    if (!NT_SUCCESS(status)) {
        AddDevicePrint("ZK_AddDevice: Can't create the symbolic link.\n");
        Unwind(Made);
        return status;
    }
    record->RecordFlags |= ZK_FLAG_LINK_CREATED;
    return STATUS_SUCCESS;
}

// The filter takes on its lower device's look, and its record the instance's
// identity and configuration.
void CompleteFilterRecord(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject, PDEVICE_OBJECT Filter)
{
    PZK_EXTENSION record = ZK_GetExtension(Filter);
    PDEVICE_OBJECT lower = record->LowerDevice;
    Filter->Flags |= lower->Flags & ZK_FILTER_FLAG_MASK;
    Filter->DeviceType = lower->DeviceType;
    Filter->Characteristics = lower->Characteristics;

    record->CallbackSerial = 0;
    ZK_InitCallbackRecords(record);
    record->StorageDeviceType = -1;
    strncpy(record->DeviceName, "unknown", ZK_DEVICE_NAME_SIZE);

    // The lower driver's name, cut to the field if it is longer.
    PUNICODE_STRING driverName = &lower->DriverObject->DriverName;
    _snprintf(record->LowerDriverName, ZK_DRIVER_NAME_SIZE - 1, "%.*S", (int)(driverName->Length / sizeof(WCHAR)),
              driverName->Buffer);
    record->LowerDriverName[ZK_DRIVER_NAME_SIZE - 1] = '\0';

    ReadConfiguration(DriverObject, PhysicalDeviceObject, record);

    record->PnpState = NotStarted;
    record->PreviousPnpState = NotStarted;
}

}  // namespace

NTSTATUS ZK_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    DEVICE_TYPE filterType = FilterDeviceType(PhysicalDeviceObject);

    // The control device takes the smallest free instance number. A link
    // name that another driver holds moves the instance on like a device
    // name does (the attempt is undone and made again with the next number):
    // the two always carry one number.
    Attempt made;
    made.Instance = 1;
    NTSTATUS status;
    for (;;) {
        status = CreateControlDevice(DriverObject, &made);
        if (!NT_SUCCESS(status))
            return status;
        status = CreateFilterDevice(DriverObject, PhysicalDeviceObject, filterType, &made);
        if (!NT_SUCCESS(status))
            return status;
        status = CreateLink(&made);
        if (status != STATUS_OBJECT_NAME_COLLISION)
            break;
        ++made.Instance;
    }
    if (!NT_SUCCESS(status))
        return status;

    CompleteFilterRecord(DriverObject, PhysicalDeviceObject, made.Filter);

    // The object manager keeps its own copy of the name.
    RtlFreeUnicodeString(&made.ControlName);

    ZK_GetExtension(made.Control)->FilterDevice = made.Filter;
    ZK_GetExtension(made.Filter)->ControlDevice = made.Control;

    made.Control->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    made.Filter->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
