// The requests a story sends to the top of a stack, with the buffers the
// I/O manager would make for them, and how the sender waits for the answer.
#include "platform/nt.h"
#include "tests/wine/driver/freed.h"
#include "tests/wine/driver/names.h"
#include "tests/wine/driver/play.h"

namespace zkt {
namespace {

// ---------------------------------------------------------------------------
// Sending requests to the top of a stack

NTSTATUS SenderDone(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent((PRKEVENT)context, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

struct Request {
    PIRP irp;
    PIO_STACK_LOCATION next;
    PDEVICE_OBJECT top;
    PVOID buffer;
};

BOOLEAN Begin(Lower* lower, UCHAR major, UCHAR minor, Request* request) {
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(lower->pdo);
    ObDereferenceObject(top);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == NULL) {
        Fail("IoAllocateIrp failed");
        return FALSE;
    }
    irp->IoStatus.Status = (major == IRP_MJ_PNP || major == IRP_MJ_POWER) ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    request->irp = irp;
    request->next = next;
    request->top = top;
    request->buffer = NULL;
    return TRUE;
}

NTSTATUS Send(Lower* lower, Request* request) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(request->irp, SenderDone, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = request->next->MajorFunction == IRP_MJ_POWER ? PoCallDriver(request->top, request->irp)
                                                                   : IoCallDriver(request->top, request->irp);
    if (status == STATUS_PENDING) {
        CompletePended(lower);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
    status = request->irp->IoStatus.Status;
    if (request->irp->MdlAddress != NULL) {
        IoFreeMdl(request->irp->MdlAddress);
        request->irp->MdlAddress = NULL;
    }
    IoFreeIrp(request->irp);
    if (request->buffer != NULL) ExFreePoolWithTag(request->buffer, kTag);
    return status;
}

// A request that is not sent after all.
VOID Abandon(Request* request) {
    if (request->irp->MdlAddress != NULL) IoFreeMdl(request->irp->MdlAddress);
    IoFreeIrp(request->irp);
    if (request->buffer != NULL) ExFreePoolWithTag(request->buffer, kTag);
}

}  // namespace

NTSTATUS SendInternal(Lower* lower, ULONG code, PVOID argument) {
    Request request;
    if (!Begin(lower, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, &request)) return STATUS_INSUFFICIENT_RESOURCES;
    request.next->Parameters.DeviceIoControl.IoControlCode = code;
    request.next->Parameters.Others.Argument1 = argument;
    return Send(lower, &request);
}

// ---------------------------------------------------------------------------
// The request steps

VOID SendPnp(const Step& step, Lower* lower, UCHAR minor) {
    Request request;
    if (Begin(lower, IRP_MJ_PNP, minor, &request)) Expect(step, Send(lower, &request));
}

VOID SendPower(const Step& step) {
    Lower* lower = Find(step.args[0]);
    ULONG minor;
    if (lower == NULL) return;
    if (!ZKT_LOOKUP(kPowerMinors, step.args[1], 0xFF, &minor)) return Fail("unknown power minor ", step.args[1]);
    Request request;
    if (Begin(lower, IRP_MJ_POWER, (UCHAR)minor, &request)) Expect(step, Send(lower, &request));
}

VOID SendPlain(const Step& step) {
    Lower* lower = Find(step.args[0]);
    ULONG major;
    ULONG64 minor;
    if (lower == NULL || !NumberOption(step, "minor", 0, &minor)) return;
    if (!ZKT_LOOKUP(kMajors, step.args[1], IRP_MJ_MAXIMUM_FUNCTION, &major))
        return Fail("unknown major function ", step.args[1]);
    Request request;
    if (Begin(lower, (UCHAR)major, (UCHAR)minor, &request)) Expect(step, Send(lower, &request));
}

VOID SendWmi(const Step& step) {
    Lower* lower = Find(step.args[0]);
    ULONG minor;
    if (lower == NULL) return;
    if (!ZKT_LOOKUP(kWmiMinors, step.args[1], 0xFF, &minor)) return Fail("unknown WMI minor ", step.args[1]);
    ULONG64 provider, dataPath, size;
    UCHAR bytes[512];
    LONG count = 0;
    const CHAR* buffer = zkt::Option(step, "buffer");
    if (buffer != NULL && (count = zkt::Bytes(buffer, bytes, sizeof(bytes))) < 0)
        return Fail("buffer= takes hex bytes");
    if (!NumberOption(step, "provider", 0, &provider) || !NumberOption(step, "datapath", 0, &dataPath) ||
        !NumberOption(step, "size", (ULONG64)count, &size))
        return;
    Request request;
    if (!Begin(lower, IRP_MJ_SYSTEM_CONTROL, (UCHAR)minor, &request)) return;
    BOOLEAN hasBuffer = buffer != NULL || zkt::Option(step, "size") != NULL;
    ULONG room = (ULONG)size > (ULONG)count ? (ULONG)size : (ULONG)count;
    if (hasBuffer) {
        request.buffer = Allocate(room);
        memcpy(request.buffer, bytes, (SIZE_T)count);
    }
    request.next->Parameters.WMI.ProviderId = (ULONG_PTR)provider;
    request.next->Parameters.WMI.DataPath = (PVOID)(ULONG_PTR)dataPath;
    request.next->Parameters.WMI.BufferSize = (ULONG)size;
    request.next->Parameters.WMI.Buffer = request.buffer;
    Expect(step, Send(lower, &request));
}

VOID SendReadWrite(const Step& step, BOOLEAN write) {
    Lower* lower = Find(step.args[0]);
    if (lower == NULL) return;
    UCHAR data[512];
    LONG count = 0;
    const CHAR* dataWord = zkt::Option(step, "data");
    if (dataWord != NULL && (count = zkt::Bytes(dataWord, data, sizeof(data))) < 0)
        return Fail("data= takes hex bytes");
    ULONG64 length, offset;
    if (!NumberOption(step, "length", count == 0 ? 512 : (ULONG64)count, &length) ||
        !NumberOption(step, "offset", 0, &offset))
        return;
    if (length > kBufferLimit) return Fail("length= is too large for the stack driver");
    Request request;
    if (!Begin(lower, write ? IRP_MJ_WRITE : IRP_MJ_READ, 0, &request)) return;
    request.buffer = Allocate((ULONG)length);
    for (ULONG i = 0; count > 0 && i < length; ++i)
        ((UCHAR*)request.buffer)[i] = data[i % (ULONG)count];
    request.next->Parameters.Read.Length = (ULONG)length;
    request.next->Parameters.Read.ByteOffset.QuadPart = (LONGLONG)offset;
    if (length != 0 && (request.top->Flags & DO_BUFFERED_IO)) {
        request.irp->AssociatedIrp.SystemBuffer = request.buffer;
        if (!write) memset(request.buffer, 0, (SIZE_T)length);
    } else if (length != 0 && (request.top->Flags & DO_DIRECT_IO)) {
        PMDL mdl = IoAllocateMdl(request.buffer, (ULONG)length, FALSE, FALSE, request.irp);
        if (mdl == NULL) {
            Abandon(&request);
            return Fail("IoAllocateMdl failed");
        }
        // Pool memory: the MDL describes locked pages with a system address.
        mdl->MappedSystemVa = request.buffer;
        mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    } else {
        request.irp->UserBuffer = request.buffer;
    }
    Expect(step, Send(lower, &request));
}

// Device control down the stack, with the buffers the I/O manager makes for
// the code's method; internal device control with the input as Argument1.
// The largest input a control step carries: a 1394 request block is 664 bytes.
constexpr ULONG kControlInputLimit = 1024;

static VOID SendControlWith(const Step& step, BOOLEAN internal, Lower* lower, ULONG code, PUCHAR input);

VOID SendControl(const Step& step, BOOLEAN internal) {
    Lower* lower = Find(step.args[0]);
    if (lower == NULL) return;
    ULONG code;
    if (!(internal ? ZKT_LOOKUP(kInternalCodes, step.args[1], 0xFFFFFFFFu, &code)
                   : ZKT_LOOKUP(kControlCodes, step.args[1], 0xFFFFFFFFu, &code)))
        return Fail("unknown control code ", step.args[1]);
    PUCHAR input = (PUCHAR)Allocate(kControlInputLimit);
    if (input == NULL) return Fail("no memory for the request's input");
    SendControlWith(step, internal, lower, code, input);
    ExFreePoolWithTag(input, kTag);
}

static VOID SendControlWith(const Step& step, BOOLEAN internal, Lower* lower, ULONG code, PUCHAR input) {
    LONG inputLength = 0;
    const CHAR* inputWord = zkt::Option(step, "in");
    if (inputWord != NULL && (inputLength = zkt::Bytes(inputWord, input, kControlInputLimit)) < 0)
        return Fail("in= takes hex bytes");
    ULONG64 outputLength;
    if (!NumberOption(step, "out", 0, &outputLength)) return;
    if (outputLength > kBufferLimit) return Fail("out= is too large for the stack driver");
    Freed freed;
    if (!FreedBegin(step, internal, input, (ULONG)inputLength, &freed)) return FreedEnd(step, &freed);
    Request request;
    if (!Begin(lower, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, 0, &request))
        return FreedEnd(step, &freed);
    // The caller's input and output, then the system buffer, in one block.
    ULONG in = (ULONG)inputLength, out = (ULONG)outputLength;
    ULONG system = in > out ? in : out;
    request.buffer = Allocate(in + out + system);
    PUCHAR callerInput = (PUCHAR)request.buffer;
    PUCHAR callerOutput = callerInput + in;
    PUCHAR systemBuffer = callerOutput + out;
    memcpy(callerInput, input, in);
    request.next->Parameters.DeviceIoControl.IoControlCode = code;
    if (internal) {
        request.next->Parameters.Others.Argument1 = freed.block != NULL ? freed.block : in != 0 ? callerInput : NULL;
        Expect(step, Send(lower, &request));
        return FreedEnd(step, &freed);
    }
    request.next->Parameters.DeviceIoControl.InputBufferLength = in;
    request.next->Parameters.DeviceIoControl.OutputBufferLength = out;
    switch (METHOD_FROM_CTL_CODE(code)) {
    case METHOD_BUFFERED:
        if (system != 0) {
            memcpy(systemBuffer, input, in);
            request.irp->AssociatedIrp.SystemBuffer = systemBuffer;
        }
        break;
    case METHOD_NEITHER:
        request.next->Parameters.DeviceIoControl.Type3InputBuffer = callerInput;
        request.irp->UserBuffer = callerOutput;
        break;
    default:  // the direct methods: the input in the system buffer, the output in an MDL
        if (in != 0) {
            memcpy(systemBuffer, input, in);
            request.irp->AssociatedIrp.SystemBuffer = systemBuffer;
        }
        if (out != 0) {
            PMDL mdl = IoAllocateMdl(callerOutput, out, FALSE, FALSE, request.irp);
            if (mdl == NULL) {
                Abandon(&request);
                FreedEnd(step, &freed);
                return Fail("IoAllocateMdl failed");
            }
            mdl->MappedSystemVa = callerOutput;
            mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
        }
        break;
    }
    Expect(step, Send(lower, &request));
    FreedEnd(step, &freed);
}

VOID SendSrb(const Step& step) {
    Lower* lower = Find(step.args[0]);
    if (lower == NULL) return;
    UCHAR cdb[16], data[512];
    const CHAR* cdbWord = zkt::Option(step, "cdb");
    LONG cdbLength = cdbWord == NULL ? -1 : zkt::Bytes(cdbWord, cdb, sizeof(cdb));
    if (cdbLength < 1) return Fail("cdb= takes 1 to 16 bytes");
    LONG count = 0;
    const CHAR* dataWord = zkt::Option(step, "data");
    if (dataWord != NULL && (count = zkt::Bytes(dataWord, data, sizeof(data))) < 0)
        return Fail("data= takes hex bytes");
    ULONG64 function, length, senseLength;
    if (!NumberOption(step, "function", 0, &function) || !NumberOption(step, "length", 0, &length) ||
        !NumberOption(step, "sense", kSenseLength, &senseLength))
        return;
    if (length == 0) length = (ULONG64)count;
    if (length > kBufferLimit || senseLength > 0xFF) return Fail("length= or sense= is too large");
    ULONG flags;
    if (!FlagsOption(step, "flags", kSrbFlags, kSrbFlagsCount, 0xFFFFFFFFu, "unknown SRB flag ", &flags)) return;
    const CHAR* direction = zkt::Option(step, "direction");
    if (direction == NULL) direction = count == 0 ? "in" : "out";
    if (length != 0)
        flags |= Same(direction, "in") ? SRB_FLAGS_DATA_IN : Same(direction, "out") ? SRB_FLAGS_DATA_OUT : 0;
    if (function == SRB_FUNCTION_EXECUTE_SCSI && !(flags & SRB_FLAGS_BYPASS_FROZEN_QUEUE) && lower->frozen)
        return Fail("the device's queue is frozen: release it first");

    Request request;
    if (!Begin(lower, IRP_MJ_SCSI, 0, &request)) return;
    // One allocation: the block, then the sense buffer, then the data.
    ULONG total = sizeof(SCSI_REQUEST_BLOCK) + 256 + (ULONG)length;
    request.buffer = Allocate(total);
    PSCSI_REQUEST_BLOCK srb = (PSCSI_REQUEST_BLOCK)request.buffer;
    PUCHAR sense = (PUCHAR)request.buffer + sizeof(SCSI_REQUEST_BLOCK);
    PUCHAR buffer = sense + 256;
    for (ULONG i = 0; count > 0 && i < length; ++i)
        buffer[i] = data[i % (ULONG)count];
    srb->Length = sizeof(SCSI_REQUEST_BLOCK);
    srb->Function = (UCHAR)function;
    srb->QueueTag = 0xFF;     // untagged
    srb->QueueAction = 0x20;  // simple tag request
    srb->CdbLength = (UCHAR)cdbLength;
    memcpy(srb->Cdb, cdb, (SIZE_T)cdbLength);
    srb->SrbFlags = flags;
    srb->DataTransferLength = (ULONG)length;
    srb->DataBuffer = length != 0 ? buffer : NULL;
    srb->TimeOutValue = 10;
    srb->SenseInfoBuffer = senseLength != 0 ? sense : NULL;
    srb->SenseInfoBufferLength = (UCHAR)senseLength;
    srb->OriginalRequest = request.irp;
    request.next->Parameters.Scsi.Srb = srb;
    Expect(step, Send(lower, &request));
}

}  // namespace zkt
