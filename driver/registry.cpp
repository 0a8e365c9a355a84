#include "driver/registry.h"

#include "platform/nt.h"

namespace {

// Capacity of the key path and of a text value read back, in bytes.
constexpr USHORT ZK_REG_BUFFER_SIZE = 510;

// A counted text with its buffer: the key path, a text value on its way in
// or out.
struct WideText {
    WCHAR Buffer[ZK_REG_BUFFER_SIZE / sizeof(WCHAR)];
    UNICODE_STRING String;
};

VOID EmptyText(WideText* Text)
{
    Text->String.Buffer = Text->Buffer;
    Text->String.Length = 0;
    Text->String.MaximumLength = ZK_REG_BUFFER_SIZE;
}

// "<service key name>\Parameters", relative to the services root. Rebuilt on
// every call: nothing is cached and no handle stays open. False when the path
// with its NUL does not fit: a cut path would name the service key itself,
// or a key that is not ours, so nothing is then read or written.
BOOLEAN BuildParametersPath(PDRIVER_OBJECT DriverObject, WideText* Path)
{
    EmptyText(Path);
    if (!NT_SUCCESS(RtlAppendUnicodeStringToString(&Path->String, &DriverObject->DriverExtension->ServiceKeyName)) ||
        !NT_SUCCESS(RtlAppendUnicodeToString(&Path->String, u"\\Parameters")) ||
        Path->String.Length + sizeof(WCHAR) > Path->String.MaximumLength)
        return FALSE;
    Path->Buffer[Path->String.Length / sizeof(WCHAR)] = 0;
    return TRUE;
}

// The type check makes the query refuse a value of another type instead of
// storing it through EntryContext: a text stored into a 4-byte variable, or a
// number into a counted string, would otherwise write past the caller's
// variable.
constexpr ULONG TypeChecked(ULONG Type)
{
    return Type << RTL_QUERY_REGISTRY_TYPECHECK_SHIFT;
}

// Takes a value only as a REG_DWORD of exactly 4 bytes. A direct query would
// not do: a REG_DWORD whose data is longer makes the registry treat the
// variable as the size of a buffer that receives length, type and data,
// which would write over whatever follows the variable.
NTSTATUS StoreDword(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength, PVOID Context,
                    PVOID EntryContext)
{
    (void)ValueName;
    (void)Context;
    if (ValueType != REG_DWORD || ValueLength != sizeof(ULONG))
        return STATUS_OBJECT_TYPE_MISMATCH;
    RtlCopyMemory(EntryContext, ValueData, sizeof(ULONG));
    return STATUS_SUCCESS;
}

// Queries the one value that Row describes (its Flags, QueryRoutine,
// EntryContext and DefaultType; the name is ValueName) under \Parameters.
BOOLEAN QueryValue(PDRIVER_OBJECT DriverObject, PCWSTR ValueName, const RTL_QUERY_REGISTRY_TABLE* Row)
{
    WideText path;
    if (!BuildParametersPath(DriverObject, &path))
        return FALSE;

    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof(table));
    table[0] = *Row;
    table[0].Name = (PWSTR)ValueName;
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_SERVICES, path.Buffer, table, NULL, NULL);
    return NT_SUCCESS(status);
}

BOOLEAN WriteValue(PDRIVER_OBJECT DriverObject, PCWSTR ValueName, ULONG Type, PVOID Data, ULONG Length)
{
    WideText path;
    if (!BuildParametersPath(DriverObject, &path))
        return FALSE;
    NTSTATUS status = RtlWriteRegistryValue(RTL_REGISTRY_SERVICES, path.Buffer, ValueName, Type, Data, Length);
    return NT_SUCCESS(status);
}

}  // namespace

// An absent value leaves the variable as it is; a value that is not a 4-byte
// REG_DWORD leaves it too and fails the read.
BOOLEAN ZK_RegReadDword(PDRIVER_OBJECT DriverObject, PCWSTR ValueName, PULONG Value)
{
    RTL_QUERY_REGISTRY_TABLE row;
    RtlZeroMemory(&row, sizeof(row));
    row.QueryRoutine = StoreDword;
    row.EntryContext = Value;
    row.DefaultType = REG_NONE;
    return QueryValue(DriverObject, ValueName, &row);
}

BOOLEAN ZK_RegWriteDword(PDRIVER_OBJECT DriverObject, PCWSTR ValueName, ULONG Value)
{
    return WriteValue(DriverObject, ValueName, REG_DWORD, &Value, sizeof(ULONG));
}

BOOLEAN ZK_RegReadString(PDRIVER_OBJECT DriverObject, PCWSTR ValueName, PANSI_STRING Text)
{
    WideText result;
    EmptyText(&result);

    RTL_QUERY_REGISTRY_TABLE row;
    RtlZeroMemory(&row, sizeof(row));
    row.Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED | RTL_QUERY_REGISTRY_TYPECHECK;
    row.EntryContext = &result.String;
    row.DefaultType = REG_NONE | TypeChecked(REG_SZ);
    if (!QueryValue(DriverObject, ValueName, &row))
        return FALSE;

    // A text longer than the caller's field is cut to it, NUL included.
    Text->Length = 0;
    RtlUnicodeStringToAnsiString(Text, &result.String, FALSE);
    return TRUE;
}

BOOLEAN ZK_RegWriteString(PDRIVER_OBJECT DriverObject, PCWSTR ValueName, PANSI_STRING Text)
{
    WideText value;
    EmptyText(&value);
    NTSTATUS status = RtlAnsiStringToUnicodeString(&value.String, Text, FALSE);
    if (!NT_SUCCESS(status) || value.String.Length + sizeof(WCHAR) > value.String.MaximumLength)
        return FALSE;
    value.Buffer[value.String.Length / sizeof(WCHAR)] = 0;

    // The stored value includes its terminating NUL.
    return WriteValue(DriverObject, ValueName, REG_SZ, value.Buffer, value.String.Length + sizeof(WCHAR));
}

BOOLEAN ZK_BuildValueName(PCSTR ConfigurationName, PCWSTR Suffix, PWSTR Buffer)
{
    ANSI_STRING ansi;
    RtlInitString(&ansi, ConfigurationName);

    UNICODE_STRING name;
    name.Buffer = Buffer;
    name.Length = 0;
    name.MaximumLength = ZK_VALUE_NAME_CHARS * sizeof(WCHAR);
    if (!NT_SUCCESS(RtlAnsiStringToUnicodeString(&name, &ansi, FALSE)))
        return FALSE;
    if (!NT_SUCCESS(RtlAppendUnicodeToString(&name, Suffix)))
        return FALSE;
    // The registry routines take the name NUL-terminated: a name that fills
    // the buffer to the last character has no room for it.
    if (name.Length + sizeof(WCHAR) > name.MaximumLength)
        return FALSE;
    Buffer[name.Length / sizeof(WCHAR)] = 0;
    return TRUE;
}

VOID ZK_RegReadDeviceConfiguration(PDRIVER_OBJECT DriverObject, PZK_EXTENSION Filter)
{
    WCHAR valueName[ZK_VALUE_NAME_CHARS];
    // The mask is read into a local and stored whole: the device's requests
    // may be reading it meanwhile.
    ULONG mask = Filter->TraceMask;
    if (ZK_BuildValueName(Filter->DeviceName, u"_Config", valueName) && ZK_RegReadDword(DriverObject, valueName, &mask))
        Filter->TraceMask = mask;
    if (ZK_BuildValueName(Filter->DeviceName, u"_Trailer", valueName)) {
        ANSI_STRING trailer;
        trailer.Buffer = Filter->Trailer;
        trailer.Length = (USHORT)strlen(Filter->Trailer);
        trailer.MaximumLength = ZK_TRAILER_SIZE;
        ZK_RegReadString(DriverObject, valueName, &trailer);
    }
}
