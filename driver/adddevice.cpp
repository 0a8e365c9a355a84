#include "driver/dispatch.h"
#include "driver/extension.h"
#include "driver/registry.h"
#include "ioctl/control.h"
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

// Reads "<configuration name><suffix>" as a mask or as a trailer. A name too
// long for the value-name buffer is skipped rather than read under a cut name.
void ReadDeviceValue(PDRIVER_OBJECT DriverObject, PZK_EXTENSION Filter, PCWSTR Suffix,
                     PULONG Mask, PANSI_STRING Text)
{
    WCHAR valueName[ZK_VALUE_NAME_CHARS];
    if (!ZK_BuildValueName(Filter->DeviceName, Suffix, valueName))
        return;
    if (Mask != NULL)
        ZK_RegReadDword(DriverObject, valueName, Mask);
    else
        ZK_RegReadString(DriverObject, valueName, Text);
}

// Built-in defaults, overridden by the global values, overridden by the
// values named after the device.
void ReadConfiguration(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject,
                       PZK_EXTENSION Filter)
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

    ReadDeviceValue(DriverObject, Filter, u"_Config", &Filter->TraceMask.Value, NULL);
    trailer.Length = (USHORT)strlen(Filter->Trailer);
    ReadDeviceValue(DriverObject, Filter, u"_Trailer", NULL, &trailer);
}

// Releases what a failed add-device built, last things first.
void Unwind(PUNICODE_STRING ControlName, PDEVICE_OBJECT Control, PDEVICE_OBJECT Filter)
{
    RtlFreeUnicodeString(ControlName);
    if (Filter != NULL) {
        PZK_EXTENSION record = ZK_GetExtension(Filter);
        if (record->RecordFlags & ZK_FLAG_LINK_CREATED) {
            record->RecordFlags &= ~ZK_FLAG_LINK_CREATED;
            IoDeleteSymbolicLink(&record->SymbolicLinkName);
        }
        if (record->SymbolicLinkName.Buffer != NULL)
            RtlFreeUnicodeString(&record->SymbolicLinkName);
        if (record->LowerDevice != NULL)
            IoDetachDevice(record->LowerDevice);
        IoDeleteDevice(Filter);
    }
    IoDeleteDevice(Control);
}

}  // namespace

NTSTATUS ZK_AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    DEVICE_TYPE filterType = FilterDeviceType(PhysicalDeviceObject);

    // The control device takes the smallest free instance number. A link
    // name that another driver holds moves the instance on like a device
    // name does (the attempt is undone and made again with the next number):
    // the two always carry one number.
    CHAR ansiName[ZK_OBJECT_NAME_SIZE];
    UNICODE_STRING controlName;
    PDEVICE_OBJECT control = NULL;
    ULONG instance = 1;
    NTSTATUS status;
next_instance:
    for (;;) {
        status = MakeObjectName("\\Device\\Zelkor%u", instance, ansiName, &controlName);
        if (!NT_SUCCESS(status)) {
            AddDevicePrint("ZK_AddDevice: Can't create free device object name.\n");
            return status;
        }
        // A named device: an open of a path below its name is checked
        // against the device's own security, as an open of the device is.
        status = IoCreateDevice(DriverObject, sizeof(ZK_EXTENSION), &controlName, FILE_DEVICE_UNKNOWN,
                                FILE_DEVICE_SECURE_OPEN, FALSE, &control);
        if (status != STATUS_OBJECT_NAME_COLLISION)
            break;
        AddDevicePrint("ZK_AddDevice: Device %s already exist.\n", ansiName);
        RtlFreeUnicodeString(&controlName);
        ++instance;
    }
    if (!NT_SUCCESS(status)) {
        AddDevicePrint("ZK_AddDevice: Can't create free device object %*S. Error: 0x%X.\n",
                       (int)controlName.Length, ZK_PrintWide(controlName.Buffer), (ULONG)status);
        RtlFreeUnicodeString(&controlName);
        return status;
    }

    PZK_EXTENSION controlRecord = ZK_GetExtension(control);
    RtlZeroMemory(controlRecord, sizeof(ZK_EXTENSION));
    controlRecord->DeviceKind = ZK_KIND_CONTROL;
    controlRecord->DeviceObject = control;
    ZK_ControlDeviceReady(controlRecord);
    control->Flags |= DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH;

    PDEVICE_OBJECT filter = NULL;
    status = IoCreateDevice(DriverObject, sizeof(ZK_EXTENSION), NULL, filterType,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &filter);
    if (!NT_SUCCESS(status)) {
        Unwind(&controlName, control, NULL);
        return status;
    }

    PZK_EXTENSION record = ZK_GetExtension(filter);
    RtlZeroMemory(record, sizeof(ZK_EXTENSION));
    record->DeviceKind = ZK_KIND_FILTER;
    record->DeviceObject = filter;
    IoInitializeRemoveLock(&record->RemoveLock, ZK_REMOVE_LOCK_TAG, 0, 0);

    record->LowerDevice = IoAttachDeviceToDeviceStack(filter, PhysicalDeviceObject);
    if (record->LowerDevice == NULL) {
        Unwind(&controlName, control, filter);
        return STATUS_UNSUCCESSFUL;
    }

    status = MakeObjectName("\\DosDevices\\Zelkor%u", instance, ansiName, &record->SymbolicLinkName);
    if (NT_SUCCESS(status))
        status = IoCreateSymbolicLink(&record->SymbolicLinkName, &controlName);
    if (status == STATUS_OBJECT_NAME_COLLISION) {
        AddDevicePrint("ZK_AddDevice: Link %s already exist.\n", ansiName);
        Unwind(&controlName, control, filter);
        ++instance;
        goto next_instance;
    }
    if (!NT_SUCCESS(status)) {
        AddDevicePrint("ZK_AddDevice: Can't create the symbolic link.\n");
        Unwind(&controlName, control, filter);
        return status;
    }
    record->RecordFlags |= ZK_FLAG_LINK_CREATED;

    PDEVICE_OBJECT lower = record->LowerDevice;
    filter->Flags |= lower->Flags & ZK_FILTER_FLAG_MASK;
    filter->DeviceType = lower->DeviceType;
    filter->Characteristics = lower->Characteristics;

    record->CallbackSerial = 0;
    ZK_InitCallbackRecords(record);
    record->StorageDeviceType = -1;
    strncpy(record->DeviceName, "unknown", ZK_DEVICE_NAME_SIZE);

    // The lower driver's name, cut to the field if it is longer.
    PUNICODE_STRING driverName = &lower->DriverObject->DriverName;
    _snprintf(record->LowerDriverName, ZK_DRIVER_NAME_SIZE - 1, "%.*S",
              (int)(driverName->Length / sizeof(WCHAR)), driverName->Buffer);
    record->LowerDriverName[ZK_DRIVER_NAME_SIZE - 1] = '\0';

    ReadConfiguration(DriverObject, PhysicalDeviceObject, record);

    record->PnpState = NotStarted;
    record->PreviousPnpState = NotStarted;

    // The object manager keeps its own copy of the name.
    RtlFreeUnicodeString(&controlName);

    controlRecord->FilterDevice = filter;
    record->ControlDevice = control;

    control->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    filter->Flags &= ~(ULONG)DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}
