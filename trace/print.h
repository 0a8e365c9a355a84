// The one trace line operation. A message prints when its level bit is set in
// the record's TraceMask: first the time stamp (bit TRACE_TIMESTAMP), then the
// record's Trailer, then the message, as separate debugger prints.
#pragma once
#include "driver/extension.h"

enum : ULONG {
    TRACE_IO = 0x001,
    TRACE_INTERNAL = 0x002,
    TRACE_DATA = 0x004,
    TRACE_SRB_COMPLETION = 0x008,
    TRACE_PASS_PNP = 0x010,
    TRACE_DEVICE_CONTROL = 0x020,
    TRACE_UNRECOGNISED = 0x040,
    TRACE_DETAIL = 0x080,
    TRACE_TIMESTAMP = 0x100,  // no level: puts the time since boot ahead of each line
};

// The size of the message buffer: a longer message is cut to 511 characters.
constexpr ULONG ZK_LINE_SIZE = 512;

// Prints stamp, trailer and message; the caller has tested the level.
// Any IRQL up to DISPATCH_LEVEL.
void ZK_PrintLine(PZK_EXTENSION Extension, PCSTR Format, ...);

// The level test sits at the call site, so a suppressed message costs one
// load, one test and one branch, and none of its arguments is formatted.
template <typename... Args>
FORCEINLINE void ZK_Print(ULONG Level, PZK_EXTENSION Extension, PCSTR Format, Args... Arguments)
{
    if (Extension->TraceMask & Level)
        ZK_PrintLine(Extension, Format, Arguments...);
}

// Formats the time since boot as "h:mm:ss.mmm " into Buffer (at least 32
// bytes). Exposed for the tests of its arithmetic.
void ZK_FormatTimeStamp(LONGLONG Ticks, ULONG Increment, PCHAR Buffer);

// The low 32 bits of an address, as the trace texts print pointers.
FORCEINLINE ULONG ZK_Low32(const volatile void* Pointer)
{
    return (ULONG)(ULONG_PTR)Pointer;
}
