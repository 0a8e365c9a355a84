// The configuration values under the service key's \Parameters subkey.
// All four run at PASSIVE_LEVEL, keep no state and report success only
// through their result, which callers are free to ignore.
#pragma once
#include "driver/extension.h"
#include "platform/ntio.h"

// Reads a REG_DWORD; the variable's current content is the default.
BOOLEAN ZK_RegReadDword(PDRIVER_OBJECT DriverObject, PCWSTR ValueName, PULONG Value);
BOOLEAN ZK_RegWriteDword(PDRIVER_OBJECT DriverObject, PCWSTR ValueName, ULONG Value);
// Reads a REG_SZ into the caller's counted text, cut to its capacity; an
// absent value leaves the text as it was.
BOOLEAN ZK_RegReadString(PDRIVER_OBJECT DriverObject, PCWSTR ValueName, PANSI_STRING Text);
BOOLEAN ZK_RegWriteString(PDRIVER_OBJECT DriverObject, PCWSTR ValueName, PANSI_STRING Text);

// Builds "<configuration name><suffix>" in a caller's buffer of
// ZK_VALUE_NAME_CHARS characters. False when the name with its suffix and NUL
// does not fit: such a value is then neither read nor written.
constexpr ULONG ZK_VALUE_NAME_CHARS = 254;
BOOLEAN ZK_BuildValueName(PCSTR ConfigurationName, PCWSTR Suffix, PWSTR Buffer);

// The values named after the device, "<configuration name>_Config" and
// "<configuration name>_Trailer", over the record's TraceMask and Trailer; a
// value that is missing leaves its field as it is, and a name too long for
// the value-name buffer is skipped rather than read under a cut name.
VOID ZK_RegReadDeviceConfiguration(PDRIVER_OBJECT DriverObject, PZK_EXTENSION Filter);
