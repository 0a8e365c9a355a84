// The drivers and operations the benchmarks measure Zelkor against, built
// as driver code with the driver's own flags (bench/CMakeLists.txt). This
// header needs no more than the I/O declarations, so that the host side of
// the benchmarks can include it beside the C library.
#pragma once
#include "driver/extension.h"
#include "platform/ntio.h"

// ---------------------------------------------------------------------------
// The lower device: one device object, \Device\00000062, that completes every
// request at once and with success. It stands for a disk's PDO; the host
// marks it as one. Reads and writes report their whole length, an SRB
// comes back with SRB_STATUS_SUCCESS and its transfer length, and a URB
// (IOCTL_INTERNAL_USB_SUBMIT_URB) with USBD_STATUS_SUCCESS.
extern "C" DRIVER_INITIALIZE ZKB_DiskEntry;
constexpr const char* ZKB_DISK_NAME = "\\Device\\00000062";

// ---------------------------------------------------------------------------
// The reference filters: the least a pass-through filter can do, loaded in
// Zelkor's place. Both attach one device and handle Plug and Play and power
// as a filter must.
//   Skip: every request is skipped down the stack.
//   Completion: every request except Plug and Play and power has its stack
//     location copied and a completion routine that propagates pending and
//     returns STATUS_SUCCESS.
extern "C" DRIVER_INITIALIZE ZKB_ReferenceSkipEntry;
extern "C" DRIVER_INITIALIZE ZKB_ReferenceCompletionEntry;

// ---------------------------------------------------------------------------
// Trace operations, one call each, so that a counter sees every call whole.
// Stack supplies the arguments of the read line.

// The read line at TRACE_DETAIL: with that bit clear, it prints nothing.
void ZKB_SuppressedMessage(PZK_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack);
// The read line at TRACE_IO through ZK_Print.
void ZKB_TraceLine(PZK_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack);
// The same text with no trace machinery: the stamp (when Stamp), the trailer
// and the message, formatted and handed to DbgPrint as ZK_Print hands them.
void ZKB_FormatAlone(PZK_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack, BOOLEAN Stamp);
// A message formatted into a message buffer by one counted call, as
// ZK_Print formats it, and no more: no stamp, no trailer, no DbgPrint.
void ZKB_FormatLine(PCSTR Format, ...);
// ZK_DumpMemory of Length bytes at TRACE_DATA.
void ZKB_Dump(PZK_EXTENSION Extension, PVOID Address, ULONG Length);
