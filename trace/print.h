// The one trace line operation. A message prints when its level bit is set in
// the record's TraceMask: first the time stamp (bit TRACE_TIMESTAMP), then the
// record's Trailer, then the message, as separate debugger prints.
//
// trace/ lies below the driver core and includes nothing of the folders above
// it but the core's record:
//   trace/ -> driver/extension.h: a line is printed for a device's record,
//     whose TraceMask decides whether and whose Trailer goes ahead of it.
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
    // USB and IEEE 1394 in detail: setup packets, USBD status, selected
    // pipes, isochronous packets, 1394 generations; with TRACE_TIMESTAMP,
    // stamps in microseconds from the performance counter.
    TRACE_BUS_DETAIL = 0x200,
};

// The size of the message buffer: a longer message is cut to 511 characters.
constexpr ULONG ZK_LINE_SIZE = 512;

// What a trace format may be given: integers (%X, %u, %I64X and the rest)
// and text (%s). Any other pointer is refused when the call is compiled: %X
// takes 32 bits, so a 64-bit address in its place would shift every argument
// after it. Addresses go through ZK_Low32 first.
template <typename T>
struct ZK_PrintArgument {
    static constexpr bool Allowed = __is_integral(T) || __is_enum(T);
};
template <typename T>
struct ZK_PrintArgument<T*> {
    static constexpr bool Allowed = false;
};
template <>
struct ZK_PrintArgument<char*> {
    static constexpr bool Allowed = true;
};
template <>
struct ZK_PrintArgument<const char*> {
    static constexpr bool Allowed = true;
};

// Prints stamp, trailer and message. Reached through ZK_PrintLine, which
// checks the arguments. Not marked as a printf routine itself: the one call,
// in ZK_PrintLine, passes the format on, and it is checked where it is written.
void ZK_PrintFormatted(PZK_EXTENSION Extension, PCSTR Format, ...);

// Never called: a call of it in an unevaluated operand has the compiler check
// a message's arguments against its format where the format is written.
int ZK_CheckFormat(PCSTR Format, ...) ZK_PRINTF_FORMAT(1, 2);

// Prints stamp, trailer and Text as it is, without formatting it: for lines
// the caller has built itself (the hex dumps), which end with their own
// newline and are shorter than ZK_LINE_SIZE. The caller has tested the
// level. Any IRQL up to DISPATCH_LEVEL.
void ZK_PrintText(PZK_EXTENSION Extension, PCSTR Text);

// Prints stamp, trailer and message; the caller has tested the level.
// Any IRQL up to DISPATCH_LEVEL.
template <typename... Args>
FORCEINLINE void ZK_PrintLine(PZK_EXTENSION Extension, PCSTR Format, Args... Arguments)
{
    static_assert((ZK_PrintArgument<Args>::Allowed && ...),
                  "pass addresses through ZK_Low32: a trace argument is an integer or a text");
    ZK_PrintFormatted(Extension, Format, Arguments...);
}

// The level test sits at the call site, so a suppressed message costs one
// load, one test and one branch, and none of its arguments is formatted.
template <typename... Args>
FORCEINLINE void ZK_Print(ULONG Level, PZK_EXTENSION Extension, PCSTR Format, Args... Arguments)
{
    if (Extension->TraceMask & Level)
        ZK_PrintLine(Extension, Format, Arguments...);
}

// The call sites of both pass through the format check first (the templates
// see only a pointer). The macros do not expand their own names again.
#define ZK_PrintLine(Extension, ...) ((void)sizeof(ZK_CheckFormat(__VA_ARGS__)), ZK_PrintLine(Extension, __VA_ARGS__))
#define ZK_Print(Level, Extension, ...) \
    ((void)sizeof(ZK_CheckFormat(__VA_ARGS__)), ZK_Print(Level, Extension, __VA_ARGS__))

// Formats the time since boot as "h:mm:ss.mmm " into Buffer (at least 32
// bytes). Exposed for the tests of its arithmetic.
void ZK_FormatTimeStamp(LONGLONG Ticks, ULONG Increment, PCHAR Buffer);

// Looks up the performance counter for the detail level's stamps. At
// PASSIVE_LEVEL, once, before any device is added; without it those stamps
// are the tick stamps.
void ZK_FindPerformanceCounter(void);

// Formats the time since boot as "h:mm:ss.uuuuuu " from a performance
// counter value and its frequency (counts per second) into Buffer (at least
// 32 bytes). A frequency of 0 counts as 1.
void ZK_FormatTimeStampMicro(LONGLONG Counter, LONGLONG Frequency, PCHAR Buffer);

// The low 32 bits of an address, as the trace texts print pointers.
FORCEINLINE ULONG ZK_Low32(const volatile void* Pointer)
{
    return (ULONG)(ULONG_PTR)Pointer;
}
