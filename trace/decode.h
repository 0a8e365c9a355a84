// Result and command names for the completion and SCSI traces. Each decoder
// writes one NUL-terminated text into a buffer on the caller's stack and
// returns nothing; a value it does not know comes out in hexadecimal, so the
// number is never lost. No state, no allocation: callable on any processor
// at any IRQL up to DISPATCH_LEVEL.
//
// Only the base types are needed here, which lets host code (tests, the
// simulator) include this header beside the C library.
#pragma once
#include "platform/ntbase.h"

// What a caller reserves on its stack for any one decoded value.
#define ZK_NAME_BUFFER 112

// The longest text each decoder can write, NUL included.
constexpr ULONG ZK_STATUS_NAME_SIZE = 29;
constexpr ULONG ZK_SRB_FUNCTION_NAME_SIZE = 26;
constexpr ULONG ZK_SRB_STATUS_NAME_SIZE = 87;
constexpr ULONG ZK_SCSI_STATUS_NAME_SIZE = 31;
constexpr ULONG ZK_SENSE_CODE_NAME_SIZE = 55;
constexpr ULONG ZK_CDB_NAME_SIZE = 29;

static_assert(ZK_NAME_BUFFER >= ZK_STATUS_NAME_SIZE && ZK_NAME_BUFFER >= ZK_SRB_FUNCTION_NAME_SIZE &&
                  ZK_NAME_BUFFER >= ZK_SRB_STATUS_NAME_SIZE && ZK_NAME_BUFFER >= ZK_SCSI_STATUS_NAME_SIZE &&
                  ZK_NAME_BUFFER >= ZK_SENSE_CODE_NAME_SIZE && ZK_NAME_BUFFER >= ZK_CDB_NAME_SIZE,
              "a caller's name buffer must hold every decoder's longest text");

// The final status of a request, compared as the whole 32-bit value.
VOID ZK_StatusName(NTSTATUS Status, PCHAR Buffer);

// The Function byte of a SCSI request block; only the low 8 bits count.
VOID ZK_SrbFunctionName(ULONG Function, PCHAR Buffer);

// The SrbStatus byte: the base status by name, then the queue-frozen and
// autosense-valid flags as " | " suffixes. Only the low 8 bits count.
VOID ZK_SrbStatusName(ULONG SrbStatus, PCHAR Buffer);

// The SCSI status byte the target returned; only the low 8 bits count.
VOID ZK_ScsiStatusName(ULONG ScsiStatus, PCHAR Buffer);

// Fixed-format sense data, decoded from the sense key byte (flag bits and
// all), ASC and ASCQ. The address is checked with MmIsAddressValid first:
// sense buffers come from other drivers and may be stale.
VOID ZK_SenseCodeName(PVOID SenseBuffer, PCHAR Buffer);

// The operation name of a command descriptor block. Reads byte 0 only,
// except for an ATA pass-through (0xCC), whose name carries byte 8.
VOID ZK_CdbName(const UCHAR* Cdb, PCHAR Buffer);
