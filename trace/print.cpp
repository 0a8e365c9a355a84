#include "trace/print.h"

#include "platform/nt.h"

void ZK_FormatTimeStamp(LONGLONG Ticks, ULONG Increment, PCHAR Buffer)
{
    // 100 ns units since boot, divided down one unit at a time so each step
    // truncates as the printed fields expect. Hours do not wrap at a day.
    // Unsigned: a tick count is never negative, and a product past 63 bits
    // (no machine runs that long) wraps instead of overflowing.
    ULONGLONG time = (ULONGLONG)Ticks * (ULONGLONG)Increment;
    ULONGLONG microseconds = time / 10;
    ULONGLONG milliseconds = microseconds / 1000;
    ULONGLONG seconds = milliseconds / 1000;
    ULONGLONG minutes = seconds / 60;
    ULONGLONG hours = minutes / 60;
    sprintf(Buffer, "%u:%02u:%02u.%03u ", (ULONG)hours, (ULONG)(minutes - 60 * hours), (ULONG)(seconds - 60 * minutes),
            (ULONG)(milliseconds - 1000 * seconds));
}

void ZK_FormatTimeStampMicro(LONGLONG Counter, LONGLONG Frequency, PCHAR Buffer)
{
    // Whole seconds first, then the rest scaled: counter times a million
    // would overflow after a few days at a 10 MHz counter.
    ULONGLONG counter = (ULONGLONG)Counter;
    ULONGLONG frequency = Frequency > 0 ? (ULONGLONG)Frequency : 1;
    ULONGLONG seconds = counter / frequency;
    ULONGLONG microseconds = (counter % frequency) * 1000000 / frequency;
    ULONGLONG minutes = seconds / 60;
    ULONGLONG hours = minutes / 60;
    sprintf(Buffer, "%u:%02u:%02u.%06u ", (ULONG)hours, (ULONG)(minutes - 60 * hours), (ULONG)(seconds - 60 * minutes),
            (ULONG)microseconds);
}

namespace {

// Set once at load, read by every stamp.
PKE_QUERY_PERFORMANCE_COUNTER ZkPerformanceCounter;

}  // namespace

void ZK_FindPerformanceCounter(void)
{
    static WCHAR name[] = u"KeQueryPerformanceCounter";
    UNICODE_STRING routine;
    routine.Buffer = name;
    routine.Length = sizeof(name) - sizeof(WCHAR);
    routine.MaximumLength = sizeof(name);
    ZkPerformanceCounter = (PKE_QUERY_PERFORMANCE_COUNTER)MmGetSystemRoutineAddress(&routine);
}

namespace {

// The stamp, when the record asks for it, and the trailer: what goes ahead
// of every message.
FORCEINLINE void PrintPrefix(PZK_EXTENSION Extension)
{
    ULONG mask = Extension->TraceMask;
    if (mask & TRACE_TIMESTAMP) {
        CHAR stamp[32];
        PKE_QUERY_PERFORMANCE_COUNTER query = ZkPerformanceCounter;
        if ((mask & TRACE_BUS_DETAIL) && query != NULL) {
            LARGE_INTEGER frequency;
            LARGE_INTEGER counter = query(&frequency);
            ZK_FormatTimeStampMicro(counter.QuadPart, frequency.QuadPart, stamp);
        } else {
            LARGE_INTEGER ticks;
            KeQueryTickCount(&ticks);
            ZK_FormatTimeStamp(ticks.QuadPart, KeQueryTimeIncrement(), stamp);
        }
        DbgPrint("%s", stamp);
    }

    // A copy: the trailer may be rewritten while it is printed.
    CHAR trailer[ZK_TRAILER_SIZE];
    for (ULONG i = 0; i < ZK_TRAILER_SIZE; ++i)
        trailer[i] = ZK_ReadSharedChar(&Extension->Trailer[i]);
    trailer[ZK_TRAILER_SIZE - 1] = '\0';
    DbgPrint("%s", trailer);
}

}  // namespace

void ZK_PrintFormatted(PZK_EXTENSION Extension, PCSTR Format, ...)
{
    CHAR line[ZK_LINE_SIZE];

    PrintPrefix(Extension);

    // Messages that carry device-supplied text could outgrow the buffer: the
    // counted call cuts them, and the last byte is always the terminator.
    va_list arguments;
    va_start(arguments, Format);
    _vsnprintf(line, ZK_LINE_SIZE - 1, Format, arguments);
    va_end(arguments);
    line[ZK_LINE_SIZE - 1] = '\0';

    DbgPrint("%s", line);
}

void ZK_PrintText(PZK_EXTENSION Extension, PCSTR Text)
{
    PrintPrefix(Extension);
    DbgPrint("%s", Text);
}
