#include "driver/dispatch.h"
#include "driver/forward.h"
#include "platform/nt.h"
#include "trace/block.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

// WMI minor functions 0x00 to 0x09 by their line; IRP_MN_REGINFO_EX has its
// own three steps and everything else is unknown.
constexpr PCSTR ZK_WMI_LINES[] = {
    "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_QUERY_ALL_DATA.\n",
    "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_QUERY_SINGLE_INSTANCE.\n",
    "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_CHANGE_SINGLE_INSTANCE.\n",
    "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_CHANGE_SINGLE_ITEM.\n",
    "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_ENABLE_EVENTS.\n",
    "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_DISABLE_EVENTS.\n",
    "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_ENABLE_COLLECTION.\n",
    "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_DISABLE_COLLECTION.\n",
    "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_REGINFO.\n",
    "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_EXECUTE_METHOD.\n",
};
static_assert(sizeof(ZK_WMI_LINES) / sizeof(ZK_WMI_LINES[0]) == IRP_MN_EXECUTE_METHOD + 1);
static_assert(IRP_MN_QUERY_ALL_DATA == 0 && IRP_MN_REGINFO == 8);

// The registration buffer comes from the WMI component and is shown as it
// arrives, before any lower driver has filled it.
VOID TraceRegInfoEx(PZK_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    PVOID buffer = Stack->Parameters.WMI.Buffer;
    ULONG bufferSize = Stack->Parameters.WMI.BufferSize;
    ZK_Print(TRACE_PASS_PNP, Extension,
             "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - IRP_MN_REGINFO_EX. Provider: 0x%X, DataPath: 0x%X, "
             "BufferSize: 0x%X, Buffer: 0x%X.\n",
             ZK_Low32(Irp), (ULONG)Stack->Parameters.WMI.ProviderId, ZK_Low32(Stack->Parameters.WMI.DataPath),
             bufferSize, ZK_Low32(buffer));
    ZK_DumpMemory(TRACE_DATA, Extension, buffer, bufferSize);

    // MofResourceName is read only from a buffer that holds it, whose bytes
    // up to it are valid, and then only under a guard: the size and the
    // address are the sender's word.
    if (buffer == NULL || !(Extension->TraceMask & TRACE_PASS_PNP))
        return;
    constexpr ULONG end = FIELD_OFFSET(WMIREGINFOW, MofResourceName) + sizeof(ULONG);
    static_assert(end == 16);
    if (bufferSize < end)
        return;
    // Copied, not read in place: the buffer need not be aligned for a
    // WMIREGINFOW.
    UCHAR head[end];
    if (!ZK_ReadBlock(buffer, head, end))
        return;
    ULONG mofResourceName;
    RtlCopyMemory(&mofResourceName, head + FIELD_OFFSET(WMIREGINFOW, MofResourceName), sizeof(mofResourceName));
    ZK_Print(TRACE_PASS_PNP, Extension, "pWmiRegInfo->MofResourceName: 0x%X.\n", mofResourceName);
}

VOID TraceSystemControl(PZK_EXTENSION Extension, PIRP Irp, PIO_STACK_LOCATION Stack)
{
    UCHAR minor = Stack->MinorFunction;
    if (minor < sizeof(ZK_WMI_LINES) / sizeof(ZK_WMI_LINES[0]))
        ZK_Print(TRACE_PASS_PNP, Extension, ZK_WMI_LINES[minor], ZK_Low32(Irp));
    else if (minor == IRP_MN_REGINFO_EX)
        TraceRegInfoEx(Extension, Irp, Stack);
    else
        ZK_Print(TRACE_PASS_PNP, Extension, "Irp: 0x%X - IRP_MJ_SYSTEM_CONTROL - unknown minor 0x%X.\n", ZK_Low32(Irp),
                 (ULONG)minor);
}

// Every level a line of ZK_IRP_Pass prints at.
constexpr ULONG ZK_PASS_LEVELS = TRACE_PASS_PNP | TRACE_UNRECOGNISED | TRACE_DATA;

// Out of line: the switch and the frame its prints need would otherwise come
// ahead of the mask test on every untraced request.
DECLSPEC_NOINLINE NTSTATUS TracePlainRequestAndPass(PZK_EXTENSION Extension, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        ZK_Print(TRACE_PASS_PNP, Extension, "Irp: 0x%X - IRP_MJ_CREATE.\n", ZK_Low32(Irp));
        break;
    case IRP_MJ_CLOSE:
        ZK_Print(TRACE_PASS_PNP, Extension, "Irp: 0x%X - IRP_MJ_CLOSE.\n", ZK_Low32(Irp));
        break;
    case IRP_MJ_FLUSH_BUFFERS:
        ZK_Print(TRACE_PASS_PNP, Extension, "Irp: 0x%X - IRP_MJ_FLUSH_BUFFERS.\n", ZK_Low32(Irp));
        break;
    case IRP_MJ_SHUTDOWN:
        ZK_Print(TRACE_PASS_PNP, Extension, "Irp: 0x%X - IRP_MJ_SHUTDOWN.\n", ZK_Low32(Irp));
        break;
    case IRP_MJ_CLEANUP:
        ZK_Print(TRACE_PASS_PNP, Extension, "Irp: 0x%X - IRP_MJ_CLEANUP.\n", ZK_Low32(Irp));
        break;
    case IRP_MJ_SYSTEM_CONTROL:
        TraceSystemControl(Extension, Irp, stack);
        break;
    default:
        ZK_Print(TRACE_UNRECOGNISED, Extension, "ZK_IRP_Pass: unknown Major: 0x%X, Minor: 0x%X, Irp: 0x%X.\n",
                 (ULONG)stack->MajorFunction, (ULONG)stack->MinorFunction, ZK_Low32(Irp));
        break;
    }

    return ZK_PassDown(Extension, Irp);
}

}  // namespace

NTSTATUS ZK_IRP_Pass(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    if (!ZK_EnterDispatch(extension, Irp))
        return ZK_CompleteDeletePending(extension, Irp);
    if (extension->TraceMask & ZK_PASS_LEVELS)
        return TracePlainRequestAndPass(extension, Irp);
    return ZK_PassDown(extension, Irp);
}
