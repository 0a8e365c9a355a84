// The trace operations the benchmarks time one by one, and the same text
// formatted with no trace machinery around it: the least any tracer must pay
// for it.
#include "bench/drivers.h"
#include "platform/nt.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

// The read request's line, as ioctl/readwrite.cpp prints it.
constexpr PCSTR ZKB_READ_LINE = "Irp: 0x%X - IRP_MJ_READ: Length: 0x%X, Offset: 0x%I64X\n";

}  // namespace

void ZKB_SuppressedMessage(PZK_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    ZK_Print(TRACE_DETAIL, Extension, ZKB_READ_LINE, ZK_Low32(Irp), Stack->Parameters.Read.Length,
             Stack->Parameters.Read.ByteOffset.QuadPart);
}

void ZKB_TraceLine(PZK_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    ZK_Print(TRACE_IO, Extension, ZKB_READ_LINE, ZK_Low32(Irp), Stack->Parameters.Read.Length,
             Stack->Parameters.Read.ByteOffset.QuadPart);
}

void ZKB_FormatAlone(PZK_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack, BOOLEAN Stamp)
{
    CHAR line[ZK_LINE_SIZE];
    if (Stamp) {
        LARGE_INTEGER ticks;
        KeQueryTickCount(&ticks);
        LONGLONG milliseconds = ticks.QuadPart * (LONGLONG)(ULONGLONG)KeQueryTimeIncrement() / 10000;
        LONGLONG seconds = milliseconds / 1000;
        sprintf(line, "%u:%02u:%02u.%03u ", (ULONG)(seconds / 3600), (ULONG)(seconds / 60 % 60), (ULONG)(seconds % 60),
                (ULONG)(milliseconds % 1000));
        DbgPrint("%s", line);
    }
    DbgPrint("%s", Extension->Trailer);
    _snprintf(line, ZK_LINE_SIZE - 1, ZKB_READ_LINE, ZK_Low32(Irp), Stack->Parameters.Read.Length,
              Stack->Parameters.Read.ByteOffset.QuadPart);
    line[ZK_LINE_SIZE - 1] = '\0';
    DbgPrint("%s", line);
}

void ZKB_FormatLine(PCSTR Format, ...)
{
    CHAR line[ZK_LINE_SIZE];
    va_list arguments;
    va_start(arguments, Format);
    _vsnprintf(line, ZK_LINE_SIZE - 1, Format, arguments);
    va_end(arguments);
}

void ZKB_Dump(PZK_EXTENSION Extension, PVOID Address, ULONG Length)
{
    ZK_DumpMemory(TRACE_DATA, Extension, Address, Length);
}
