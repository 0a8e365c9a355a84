#include "internal/urb_detail.h"

#include "driver/forward.h"
#include "platform/nt.h"
#include "trace/block.h"
#include "trace/decode.h"
#include "trace/dump.h"
#include "trace/print.h"

namespace {

// ---------------------------------------------------------------------------
// Names

struct ZK_NAMED_VALUE {
    ULONG Value;
    PCSTR Name;
};
#define ZK_NAMED(Value)        \
    {                          \
        (ULONG)(Value), #Value \
    }

constexpr ZK_NAMED_VALUE ZK_URB_NAMES[] = {
    ZK_NAMED(URB_FUNCTION_SELECT_CONFIGURATION),
    ZK_NAMED(URB_FUNCTION_SELECT_INTERFACE),
    ZK_NAMED(URB_FUNCTION_ABORT_PIPE),
    ZK_NAMED(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER),
    ZK_NAMED(URB_FUNCTION_CONTROL_TRANSFER),
    ZK_NAMED(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER),
    ZK_NAMED(URB_FUNCTION_ISOCH_TRANSFER),
    ZK_NAMED(URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE),
    ZK_NAMED(URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE),
    ZK_NAMED(URB_FUNCTION_SET_FEATURE_TO_DEVICE),
    ZK_NAMED(URB_FUNCTION_SET_FEATURE_TO_INTERFACE),
    ZK_NAMED(URB_FUNCTION_SET_FEATURE_TO_ENDPOINT),
    ZK_NAMED(URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE),
    ZK_NAMED(URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE),
    ZK_NAMED(URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT),
    ZK_NAMED(URB_FUNCTION_GET_STATUS_FROM_DEVICE),
    ZK_NAMED(URB_FUNCTION_GET_STATUS_FROM_INTERFACE),
    ZK_NAMED(URB_FUNCTION_GET_STATUS_FROM_ENDPOINT),
    ZK_NAMED(URB_FUNCTION_VENDOR_DEVICE),
    ZK_NAMED(URB_FUNCTION_VENDOR_INTERFACE),
    ZK_NAMED(URB_FUNCTION_VENDOR_ENDPOINT),
    ZK_NAMED(URB_FUNCTION_CLASS_DEVICE),
    ZK_NAMED(URB_FUNCTION_CLASS_INTERFACE),
    ZK_NAMED(URB_FUNCTION_CLASS_ENDPOINT),
    ZK_NAMED(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL),
    ZK_NAMED(URB_FUNCTION_CLASS_OTHER),
    ZK_NAMED(URB_FUNCTION_VENDOR_OTHER),
    ZK_NAMED(URB_FUNCTION_GET_STATUS_FROM_OTHER),
    ZK_NAMED(URB_FUNCTION_CLEAR_FEATURE_TO_OTHER),
    ZK_NAMED(URB_FUNCTION_SET_FEATURE_TO_OTHER),
    ZK_NAMED(URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT),
    ZK_NAMED(URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT),
    ZK_NAMED(URB_FUNCTION_GET_CONFIGURATION),
    ZK_NAMED(URB_FUNCTION_GET_INTERFACE),
    ZK_NAMED(URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE),
    ZK_NAMED(URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE),
    ZK_NAMED(URB_FUNCTION_SYNC_RESET_PIPE),
    ZK_NAMED(URB_FUNCTION_SYNC_CLEAR_STALL),
};

// A URB function by name, else "URB_FUNCTION_0x%X" with its number.
VOID UrbFunctionName(USHORT Function, PCHAR Buffer)
{
    for (const ZK_NAMED_VALUE& row : ZK_URB_NAMES)
        if (row.Value == Function) {
            strncpy(Buffer, row.Name, ZK_NAME_BUFFER - 1);
            Buffer[ZK_NAME_BUFFER - 1] = '\0';
            return;
        }
    sprintf(Buffer, "URB_FUNCTION_0x%X", (ULONG)Function);
}

constexpr ZK_NAMED_VALUE ZK_USBD_STATUS_NAMES[] = {
    ZK_NAMED(USBD_STATUS_SUCCESS),
    ZK_NAMED(USBD_STATUS_PENDING),
    ZK_NAMED(USBD_STATUS_CRC),
    ZK_NAMED(USBD_STATUS_BTSTUFF),
    ZK_NAMED(USBD_STATUS_DATA_TOGGLE_MISMATCH),
    ZK_NAMED(USBD_STATUS_STALL_PID),
    ZK_NAMED(USBD_STATUS_DEV_NOT_RESPONDING),
    ZK_NAMED(USBD_STATUS_PID_CHECK_FAILURE),
    ZK_NAMED(USBD_STATUS_UNEXPECTED_PID),
    ZK_NAMED(USBD_STATUS_DATA_OVERRUN),
    ZK_NAMED(USBD_STATUS_DATA_UNDERRUN),
    ZK_NAMED(USBD_STATUS_BUFFER_OVERRUN),
    ZK_NAMED(USBD_STATUS_BUFFER_UNDERRUN),
    ZK_NAMED(USBD_STATUS_NOT_ACCESSED),
    ZK_NAMED(USBD_STATUS_FIFO),
    ZK_NAMED(USBD_STATUS_XACT_ERROR),
    ZK_NAMED(USBD_STATUS_BABBLE_DETECTED),
    ZK_NAMED(USBD_STATUS_DATA_BUFFER_ERROR),
    ZK_NAMED(USBD_STATUS_NO_PING_RESPONSE),
    ZK_NAMED(USBD_STATUS_INVALID_STREAM_TYPE),
    ZK_NAMED(USBD_STATUS_INVALID_STREAM_ID),
    ZK_NAMED(USBD_STATUS_ENDPOINT_HALTED),
    ZK_NAMED(USBD_STATUS_NO_MEMORY),
    ZK_NAMED(USBD_STATUS_INVALID_URB_FUNCTION),
    ZK_NAMED(USBD_STATUS_INVALID_PARAMETER),
    ZK_NAMED(USBD_STATUS_ERROR_BUSY),
    ZK_NAMED(USBD_STATUS_REQUEST_FAILED),
    ZK_NAMED(USBD_STATUS_INVALID_PIPE_HANDLE),
    ZK_NAMED(USBD_STATUS_NO_BANDWIDTH),
    ZK_NAMED(USBD_STATUS_INTERNAL_HC_ERROR),
    ZK_NAMED(USBD_STATUS_ERROR_SHORT_TRANSFER),
    ZK_NAMED(USBD_STATUS_BAD_START_FRAME),
    ZK_NAMED(USBD_STATUS_ISOCH_REQUEST_FAILED),
    ZK_NAMED(USBD_STATUS_FRAME_CONTROL_OWNED),
    ZK_NAMED(USBD_STATUS_FRAME_CONTROL_NOT_OWNED),
    ZK_NAMED(USBD_STATUS_NOT_SUPPORTED),
    ZK_NAMED(USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR),
    ZK_NAMED(USBD_STATUS_INSUFFICIENT_RESOURCES),
    ZK_NAMED(USBD_STATUS_SET_CONFIG_FAILED),
    ZK_NAMED(USBD_STATUS_BUFFER_TOO_SMALL),
    ZK_NAMED(USBD_STATUS_INTERFACE_NOT_FOUND),
    ZK_NAMED(USBD_STATUS_INAVLID_PIPE_FLAGS),
    ZK_NAMED(USBD_STATUS_TIMEOUT),
    ZK_NAMED(USBD_STATUS_DEVICE_GONE),
    ZK_NAMED(USBD_STATUS_STATUS_NOT_MAPPED),
    ZK_NAMED(USBD_STATUS_HUB_INTERNAL_ERROR),
    ZK_NAMED(USBD_STATUS_CANCELED),
    ZK_NAMED(USBD_STATUS_ISO_NOT_ACCESSED_BY_HW),
    ZK_NAMED(USBD_STATUS_ISO_TD_ERROR),
    ZK_NAMED(USBD_STATUS_ISO_NA_LATE_USBPORT),
    ZK_NAMED(USBD_STATUS_ISO_NOT_ACCESSED_LATE),
    ZK_NAMED(USBD_STATUS_BAD_DESCRIPTOR),
    ZK_NAMED(USBD_STATUS_BAD_DESCRIPTOR_BLEN),
    ZK_NAMED(USBD_STATUS_BAD_DESCRIPTOR_TYPE),
    ZK_NAMED(USBD_STATUS_BAD_INTERFACE_DESCRIPTOR),
    ZK_NAMED(USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR),
    ZK_NAMED(USBD_STATUS_BAD_INTERFACE_ASSOC_DESCRIPTOR),
    ZK_NAMED(USBD_STATUS_BAD_CONFIG_DESC_LENGTH),
    ZK_NAMED(USBD_STATUS_BAD_NUMBER_OF_INTERFACES),
    ZK_NAMED(USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS),
    ZK_NAMED(USBD_STATUS_BAD_ENDPOINT_ADDRESS),
};

constexpr bool UsbdNamesDistinct()
{
    constexpr ULONG count = sizeof(ZK_USBD_STATUS_NAMES) / sizeof(ZK_USBD_STATUS_NAMES[0]);
    for (ULONG i = 0; i < count; ++i)
        for (ULONG j = i + 1; j < count; ++j)
            if (ZK_USBD_STATUS_NAMES[i].Value == ZK_USBD_STATUS_NAMES[j].Value)
                return false;
    return true;
}
static_assert(UsbdNamesDistinct(), "one name per USBD status");

constexpr PCSTR ZK_PIPE_TYPE_NAMES[] = {"UsbdPipeTypeControl", "UsbdPipeTypeIsochronous", "UsbdPipeTypeBulk",
                                        "UsbdPipeTypeInterrupt"};

// Standard requests of the setup packet, by bRequest.
constexpr PCSTR ZK_STANDARD_REQUESTS[] = {
    "USB_REQUEST_GET_STATUS",
    "USB_REQUEST_CLEAR_FEATURE",
    NULL,
    "USB_REQUEST_SET_FEATURE",
    NULL,
    "USB_REQUEST_SET_ADDRESS",
    "USB_REQUEST_GET_DESCRIPTOR",
    "USB_REQUEST_SET_DESCRIPTOR",
    "USB_REQUEST_GET_CONFIGURATION",
    "USB_REQUEST_SET_CONFIGURATION",
    "USB_REQUEST_GET_INTERFACE",
    "USB_REQUEST_SET_INTERFACE",
    "USB_REQUEST_SYNC_FRAME",
};
constexpr PCSTR ZK_REQUEST_TYPES[] = {"Standard", "Class", "Vendor", "Reserved"};
constexpr PCSTR ZK_RECIPIENTS[] = {"Device", "Interface", "Endpoint", "Other"};

// ---------------------------------------------------------------------------
// The URB, copied

// Room for every fixed layout the detail level reads: the control layouts,
// the transfers and an isochronous transfer's head with its first packet.
constexpr ULONG ZK_URB_COPY = sizeof(_URB_ISOCH_TRANSFER);
static_assert(ZK_URB_COPY >= sizeof(_URB_CONTROL_TRANSFER) && ZK_URB_COPY >= sizeof(_URB_SELECT_CONFIGURATION));

struct UrbBytes {
    ULONG Length;  // what the header says, the bound of every read
    USHORT Function;
    alignas(8) UCHAR Raw[ZK_URB_COPY];  // zero past Length
};

// FALSE when there is no header to read. What lies past the header's
// Length, or past the copy, reads as zero.
BOOLEAN CopyUrb(const void* Urb, UrbBytes* Copy)
{
    _URB_HEADER header;
    if (!ZK_ReadBlock(Urb, &header, sizeof(header)) || header.Length < sizeof(header))
        return FALSE;
    Copy->Length = header.Length;
    Copy->Function = header.Function;
    __builtin_memset(Copy->Raw, 0, sizeof(Copy->Raw));
    ULONG size = header.Length < sizeof(Copy->Raw) ? header.Length : (ULONG)sizeof(Copy->Raw);
    if (!ZK_ReadBlock(Urb, Copy->Raw, size))
        __builtin_memcpy(Copy->Raw, &header, sizeof(header));
    return TRUE;
}

template <typename T>
FORCEINLINE T Field(const UrbBytes* Copy, ULONG Offset)
{
    T value;
    // NOLINTNEXTLINE(bugprone-sizeof-expression): T may be a pointer, the field read.
    __builtin_memcpy(&value, Copy->Raw + Offset, sizeof(T));
    return value;
}

FORCEINLINE BOOLEAN Holds(const UrbBytes* Copy, ULONG Size)
{
    return Copy->Length >= Size;
}

// The transfer fields where every transfer layout has them.
constexpr ULONG ZK_FLAGS_AT = __builtin_offsetof(_URB_CONTROL_TRANSFER, TransferFlags);
constexpr ULONG ZK_LENGTH_AT = __builtin_offsetof(_URB_CONTROL_TRANSFER, TransferBufferLength);
constexpr ULONG ZK_BUFFER_AT = __builtin_offsetof(_URB_CONTROL_TRANSFER, TransferBuffer);
constexpr ULONG ZK_MDL_AT = __builtin_offsetof(_URB_CONTROL_TRANSFER, TransferBufferMDL);
constexpr ULONG ZK_TAIL_AT = __builtin_offsetof(_URB_CONTROL_TRANSFER, SetupPacket);
static_assert(__builtin_offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == ZK_LENGTH_AT &&
              __builtin_offsetof(_URB_ISOCH_TRANSFER, TransferBufferLength) == ZK_LENGTH_AT &&
              __builtin_offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == ZK_LENGTH_AT &&
              __builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) == ZK_LENGTH_AT);
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == ZK_TAIL_AT + 1 &&
              __builtin_offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, Index) == ZK_TAIL_AT + 2);

// ---------------------------------------------------------------------------
// Requests on the default pipe, and the setup packet each one stands for

enum ZK_CONTROL_KIND : UCHAR {
    ZK_NOT_CONTROL,
    ZK_CONTROL_TRANSFER,    // the setup packet itself
    ZK_CONTROL_DESCRIPTOR,  // Index, DescriptorType, LanguageId
    ZK_CONTROL_FEATURE,     // FeatureSelector, Index; no data
    ZK_CONTROL_STATUS,      // Index
    ZK_CONTROL_VENDOR,      // Request, Value, Index; direction from TransferFlags
    ZK_CONTROL_FIXED,       // GET_CONFIGURATION; GET_INTERFACE with its Interface
};

struct ZK_CONTROL_ROW {
    ZK_CONTROL_KIND Kind;
    UCHAR RequestType;  // bmRequestType, without the direction for vendor and class
    UCHAR Request;      // bRequest, where the function fixes it
};

ZK_CONTROL_ROW ControlRow(USHORT Function)
{
    switch (Function) {
    case URB_FUNCTION_CONTROL_TRANSFER:
        return {ZK_CONTROL_TRANSFER, 0, 0};
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        return {ZK_CONTROL_DESCRIPTOR, 0x80, 6};
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE:
        return {ZK_CONTROL_DESCRIPTOR, 0x81, 6};
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT:
        return {ZK_CONTROL_DESCRIPTOR, 0x82, 6};
    case URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE:
        return {ZK_CONTROL_DESCRIPTOR, 0x00, 7};
    case URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE:
        return {ZK_CONTROL_DESCRIPTOR, 0x01, 7};
    case URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT:
        return {ZK_CONTROL_DESCRIPTOR, 0x02, 7};
    case URB_FUNCTION_SET_FEATURE_TO_DEVICE:
        return {ZK_CONTROL_FEATURE, 0x00, 3};
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
        return {ZK_CONTROL_FEATURE, 0x01, 3};
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
        return {ZK_CONTROL_FEATURE, 0x02, 3};
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
        return {ZK_CONTROL_FEATURE, 0x03, 3};
    case URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE:
        return {ZK_CONTROL_FEATURE, 0x00, 1};
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
        return {ZK_CONTROL_FEATURE, 0x01, 1};
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
        return {ZK_CONTROL_FEATURE, 0x02, 1};
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
        return {ZK_CONTROL_FEATURE, 0x03, 1};
    case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        return {ZK_CONTROL_STATUS, 0x80, 0};
    case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        return {ZK_CONTROL_STATUS, 0x81, 0};
    case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        return {ZK_CONTROL_STATUS, 0x82, 0};
    case URB_FUNCTION_GET_STATUS_FROM_OTHER:
        return {ZK_CONTROL_STATUS, 0x83, 0};
    case URB_FUNCTION_VENDOR_DEVICE:
        return {ZK_CONTROL_VENDOR, 0x40, 0};
    case URB_FUNCTION_VENDOR_INTERFACE:
        return {ZK_CONTROL_VENDOR, 0x41, 0};
    case URB_FUNCTION_VENDOR_ENDPOINT:
        return {ZK_CONTROL_VENDOR, 0x42, 0};
    case URB_FUNCTION_VENDOR_OTHER:
        return {ZK_CONTROL_VENDOR, 0x43, 0};
    case URB_FUNCTION_CLASS_DEVICE:
        return {ZK_CONTROL_VENDOR, 0x20, 0};
    case URB_FUNCTION_CLASS_INTERFACE:
        return {ZK_CONTROL_VENDOR, 0x21, 0};
    case URB_FUNCTION_CLASS_ENDPOINT:
        return {ZK_CONTROL_VENDOR, 0x22, 0};
    case URB_FUNCTION_CLASS_OTHER:
        return {ZK_CONTROL_VENDOR, 0x23, 0};
    case URB_FUNCTION_GET_CONFIGURATION:
        return {ZK_CONTROL_FIXED, 0x80, 8};
    case URB_FUNCTION_GET_INTERFACE:
        return {ZK_CONTROL_FIXED, 0x81, 10};
    default:
        return {ZK_NOT_CONTROL, 0, 0};
    }
}

// The 8 bytes of the setup packet a control URB stands for. FALSE when the
// function is none, or the URB is too short for its layout.
BOOLEAN SetupPacket(const UrbBytes* Copy, UCHAR* Setup, ZK_CONTROL_KIND* Kind)
{
    ZK_CONTROL_ROW row = ControlRow(Copy->Function);
    *Kind = row.Kind;
    if (row.Kind == ZK_NOT_CONTROL || !Holds(Copy, sizeof(_URB_CONTROL_TRANSFER)))
        return FALSE;
    const UCHAR* tail = Copy->Raw + ZK_TAIL_AT;
    if (row.Kind == ZK_CONTROL_TRANSFER) {
        __builtin_memcpy(Setup, tail, 8);
        return TRUE;
    }
    ULONG length = row.Kind == ZK_CONTROL_FEATURE ? 0 : Field<ULONG>(Copy, ZK_LENGTH_AT);
    Setup[0] = row.RequestType;
    Setup[1] = row.Request;
    Setup[2] = Setup[3] = Setup[4] = Setup[5] = 0;
    Setup[6] = (UCHAR)length;
    Setup[7] = (UCHAR)(length >> 8);
    switch (row.Kind) {
    case ZK_CONTROL_DESCRIPTOR:  // Index, DescriptorType, LanguageId
    case ZK_CONTROL_FEATURE:     // FeatureSelector, Index
        __builtin_memcpy(Setup + 2, tail + 2, 4);
        break;
    case ZK_CONTROL_STATUS:  // Index
    case ZK_CONTROL_FIXED:   // GET_INTERFACE: Interface
        if (row.Request == 0 || row.Request == 10)
            __builtin_memcpy(Setup + 4, tail + 4, 2);
        break;
    case ZK_CONTROL_VENDOR:  // Request, Value, Index
        if (Field<ULONG>(Copy, ZK_FLAGS_AT) & USBD_TRANSFER_DIRECTION_IN)
            Setup[0] |= 0x80;
        Setup[1] = tail[1];
        __builtin_memcpy(Setup + 2, tail + 2, 4);
        break;
    default:
        break;
    }
    return TRUE;
}

// The data of a transfer: the buffer when there is one, else the MDL's
// pages, as the USB stack takes it. At TRACE_BUS_DETAIL only: no MDL
// header line.
VOID DumpData(PZK_EXTENSION Extension, const UrbBytes* Copy, ULONG Length)
{
    PVOID buffer = Field<PVOID>(Copy, ZK_BUFFER_AT);
    PMDL mdl = Field<PMDL>(Copy, ZK_MDL_AT);
    if (Length == 0)
        return;
    if (buffer != NULL)
        ZK_DumpMemory(TRACE_BUS_DETAIL, Extension, buffer, Length);
    else if (mdl != NULL)
        ZK_DumpMdlData(TRACE_BUS_DETAIL, Extension, mdl, Length);
}

#define ZK_DETAIL_DOWN "Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - %s - "

VOID TraceSetup(PZK_EXTENSION Extension, PIRP Irp, PCSTR Name, const UCHAR* s)
{
    UCHAR type = s[0];
    PCSTR request = "unnamed";
    if ((type & 0x60) == 0 && s[1] < sizeof(ZK_STANDARD_REQUESTS) / sizeof(ZK_STANDARD_REQUESTS[0]) &&
        ZK_STANDARD_REQUESTS[s[1]] != NULL)
        request = ZK_STANDARD_REQUESTS[s[1]];
    PCSTR recipient = (type & 0x1F) < 4 ? ZK_RECIPIENTS[type & 0x1F] : "Reserved";
    ZK_PrintLine(Extension,
                 ZK_DETAIL_DOWN
                 "SetupPacket: %02X %02X %02X %02X %02X %02X %02X %02X - bmRequestType: 0x%02X "
                 "(%s, %s, %s), bRequest: 0x%02X (%s), wValue: 0x%04X, wIndex: 0x%04X, "
                 "wLength: 0x%04X.\n",
                 ZK_Low32(Irp), Name, (ULONG)s[0], (ULONG)s[1], (ULONG)s[2], (ULONG)s[3], (ULONG)s[4], (ULONG)s[5],
                 (ULONG)s[6], (ULONG)s[7], (ULONG)type, (type & 0x80) ? "In" : "Out", ZK_REQUEST_TYPES[(type >> 5) & 3],
                 recipient, (ULONG)s[1], request, (ULONG)(s[2] | s[3] << 8), (ULONG)(s[4] | s[5] << 8),
                 (ULONG)(s[6] | s[7] << 8));
}

}  // namespace

VOID ZK_UsbdStatusName(LONG Status, PCHAR Buffer)
{
    for (const ZK_NAMED_VALUE& row : ZK_USBD_STATUS_NAMES)
        if (row.Value == (ULONG)Status) {
            strncpy(Buffer, row.Name, ZK_NAME_BUFFER - 1);
            Buffer[ZK_NAME_BUFFER - 1] = '\0';
            return;
        }
    sprintf(Buffer, "0x%X", (ULONG)Status);
}

VOID ZK_TraceUrbDetail(PZK_EXTENSION Extension, PIRP Irp, const void* Urb)
{
    UrbBytes copy;
    if (!CopyUrb(Urb, &copy))
        return;
    CHAR name[ZK_NAME_BUFFER];
    UrbFunctionName(copy.Function, name);
    ULONG irp = ZK_Low32(Irp);

    UCHAR setup[8];
    ZK_CONTROL_KIND kind;
    if (SetupPacket(&copy, setup, &kind)) {
        TraceSetup(Extension, Irp, name, setup);
        // What goes to the device travels with the request.
        if (!(setup[0] & 0x80) && kind != ZK_CONTROL_FEATURE)
            DumpData(Extension, &copy, Field<ULONG>(&copy, ZK_LENGTH_AT));
        return;
    }
    switch (copy.Function) {
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL:
        if (Holds(&copy, __builtin_offsetof(_URB_PIPE_REQUEST, Reserved)))
            ZK_PrintLine(Extension, ZK_DETAIL_DOWN "PipeHandle: 0x%X.\n", irp, name,
                         ZK_Low32(Field<PVOID>(&copy, __builtin_offsetof(_URB_PIPE_REQUEST, PipeHandle))));
        break;
    case URB_FUNCTION_ISOCH_TRANSFER:
        if (Holds(&copy, __builtin_offsetof(_URB_ISOCH_TRANSFER, IsoPacket))) {
            ULONG flags = Field<ULONG>(&copy, ZK_FLAGS_AT);
            ULONG length = Field<ULONG>(&copy, ZK_LENGTH_AT);
            ZK_PrintLine(Extension,
                         ZK_DETAIL_DOWN
                         "PipeHandle: 0x%X, TransferFlags: 0x%X, TransferBuffer: 0x%X, "
                         "TransferBufferMDL: 0x%X, TransferBufferLength: 0x%X, StartFrame: 0x%X, "
                         "NumberOfPackets: 0x%X.\n",
                         irp, name, ZK_Low32(Field<PVOID>(&copy, __builtin_offsetof(_URB_ISOCH_TRANSFER, PipeHandle))),
                         flags, ZK_Low32(Field<PVOID>(&copy, ZK_BUFFER_AT)), ZK_Low32(Field<PVOID>(&copy, ZK_MDL_AT)),
                         length, Field<ULONG>(&copy, __builtin_offsetof(_URB_ISOCH_TRANSFER, StartFrame)),
                         Field<ULONG>(&copy, __builtin_offsetof(_URB_ISOCH_TRANSFER, NumberOfPackets)));
            if (!(flags & USBD_TRANSFER_DIRECTION_IN))
                DumpData(Extension, &copy, length);
        }
        break;
    default:
        break;
    }
}

// ---------------------------------------------------------------------------
// Completion

namespace {

#define ZK_DETAIL_UP "%s: Irp: 0x%X - IOCTL_INTERNAL_USB_SUBMIT_URB - %s - "

struct DetailLine {
    PZK_EXTENSION Extension;
    PCSTR Routine;
    ULONG Irp;
    PCSTR Name;
};

// The interfaces of a selection and their pipes, from Offset in the URB on:
// each record no further than its own Length says and the URB's Length
// allows, and its pipes no more than both leave room for.
VOID TraceInterfaces(const DetailLine* Line, const void* Urb, ULONG UrbLength, ULONG Offset, ULONG MaxInterfaces)
{
    constexpr ULONG head = __builtin_offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    const UCHAR* base = (const UCHAR*)Urb;
    for (ULONG n = 0; n < MaxInterfaces && Offset + head <= UrbLength; ++n) {
        USBD_INTERFACE_INFORMATION info;
        if (!ZK_ReadBlock(base + Offset, &info, head) || info.Length < head)
            return;
        // A record that says it reaches past the URB is read as far as the
        // URB goes, and is the last.
        ULONG span = info.Length < UrbLength - Offset ? info.Length : UrbLength - Offset;
        ULONG room = (span - head) / sizeof(USBD_PIPE_INFORMATION);
        ULONG pipes = info.NumberOfPipes < room ? info.NumberOfPipes : room;
        ZK_PrintLine(Line->Extension,
                     ZK_DETAIL_UP
                     "InterfaceNumber: %u, AlternateSetting: %u, Class: 0x%02X, SubClass: 0x%02X, "
                     "Protocol: 0x%02X, InterfaceHandle: 0x%X, NumberOfPipes: %u.\n",
                     Line->Routine, Line->Irp, Line->Name, (ULONG)info.InterfaceNumber, (ULONG)info.AlternateSetting,
                     (ULONG)info.Class, (ULONG)info.SubClass, (ULONG)info.Protocol, ZK_Low32(info.InterfaceHandle),
                     info.NumberOfPipes);
        for (ULONG i = 0; i < pipes; ++i) {
            USBD_PIPE_INFORMATION pipe;
            if (!ZK_ReadBlock(base + Offset + head + i * sizeof(pipe), &pipe, sizeof(pipe)))
                return;
            // The lower driver's value, whatever it is: read as the number
            // it is, not as the enumeration, whose range it may lie outside
            // (and a compiler may take the test below for always true).
            ULONG pipeType;
            static_assert(sizeof(pipe.PipeType) == sizeof(pipeType));
            __builtin_memcpy(&pipeType, &pipe.PipeType, sizeof(pipeType));
            CHAR type[32];
            if (pipeType < 4)
                strncpy(type, ZK_PIPE_TYPE_NAMES[pipeType], sizeof(type));
            else
                sprintf(type, "0x%X", pipeType);
            type[sizeof(type) - 1] = '\0';
            ZK_PrintLine(Line->Extension,
                         ZK_DETAIL_UP
                         "InterfaceNumber: %u, Pipe: %u, PipeHandle: 0x%X, EndpointAddress: 0x%02X, "
                         "PipeType: %s, MaximumPacketSize: 0x%X, Interval: 0x%X.\n",
                         Line->Routine, Line->Irp, Line->Name, (ULONG)info.InterfaceNumber, i,
                         ZK_Low32(pipe.PipeHandle), (ULONG)pipe.EndpointAddress, type, (ULONG)pipe.MaximumPacketSize,
                         (ULONG)pipe.Interval);
        }
        if (span < info.Length)
            return;
        Offset += info.Length;
    }
}

// The packets of an isochronous transfer, as many as it says and its
// Length holds; for a transfer in, each packet's data after its line. The
// data is dumped from TransferBuffer only: an MDL's pages are not mapped
// piece by piece.
VOID TraceIsoPackets(const DetailLine* Line, const void* Urb, const UrbBytes* Copy)
{
    const UCHAR* buffer = Field<const UCHAR*>(Copy, ZK_BUFFER_AT);
    BOOLEAN in = (Field<ULONG>(Copy, ZK_FLAGS_AT) & USBD_TRANSFER_DIRECTION_IN) != 0;
    constexpr ULONG first = __builtin_offsetof(_URB_ISOCH_TRANSFER, IsoPacket);
    ULONG count = Field<ULONG>(Copy, __builtin_offsetof(_URB_ISOCH_TRANSFER, NumberOfPackets));
    ULONG room = (Copy->Length - first) / sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    if (count > room)
        count = room;
    for (ULONG i = 0; i < count; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR packet;
        if (!ZK_ReadBlock((const UCHAR*)Urb + first + i * sizeof(packet), &packet, sizeof(packet)))
            return;
        CHAR status[ZK_NAME_BUFFER];
        ZK_UsbdStatusName(packet.Status, status);
        ZK_PrintLine(Line->Extension, ZK_DETAIL_UP "IsoPacket: %u, Offset: 0x%X, Length: 0x%X, UsbdStatus: %s.\n",
                     Line->Routine, Line->Irp, Line->Name, i, packet.Offset, packet.Length, status);
        // An offset that would wrap the address space is no packet's.
        if (in && buffer != NULL && USBD_SUCCESS(packet.Status) &&
            (ULONG_PTR)buffer + packet.Offset >= (ULONG_PTR)buffer)
            ZK_DumpMemory(TRACE_BUS_DETAIL, Line->Extension, (PVOID)(buffer + packet.Offset), packet.Length);
    }
}

// Whether the function's layout carries TransferBufferLength.
BOOLEAN MovesData(USHORT Function, ZK_CONTROL_KIND Kind)
{
    if (Kind != ZK_NOT_CONTROL)
        return Kind != ZK_CONTROL_FEATURE;
    return Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER || Function == URB_FUNCTION_ISOCH_TRANSFER;
}

}  // namespace

VOID ZK_TraceUrbDetailCompletion(PZK_EXTENSION Extension, PIRP Irp, const void* Urb, PCSTR Routine)
{
    UrbBytes copy;
    if (!CopyUrb(Urb, &copy))
        return;
    CHAR name[ZK_NAME_BUFFER];
    CHAR status[ZK_NAME_BUFFER];
    CHAR usbd[ZK_NAME_BUFFER];
    UrbFunctionName(copy.Function, name);
    ZK_StatusName(Irp->IoStatus.Status, status);
    LONG usbdStatus = Field<LONG>(&copy, __builtin_offsetof(_URB_HEADER, Status));
    ZK_UsbdStatusName(usbdStatus, usbd);
    DetailLine line = {Extension, Routine, ZK_Low32(Irp), name};

    UCHAR setup[8];
    ZK_CONTROL_KIND kind;
    BOOLEAN control = SetupPacket(&copy, setup, &kind);
    BOOLEAN moves = MovesData(copy.Function, kind) && Holds(&copy, ZK_LENGTH_AT + sizeof(ULONG));
    ULONG moved = moves ? Field<ULONG>(&copy, ZK_LENGTH_AT) : 0;
    ZK_PrintLine(Extension, ZK_DETAIL_UP "Status: %s, UsbdStatus: %s, Length: 0x%X.\n", Routine, line.Irp, name, status,
                 usbd, moved);

    // The URB says whether what it carries back is worth reading.
    BOOLEAN succeeded = USBD_SUCCESS(usbdStatus);
    if (control) {
        if ((setup[0] & 0x80) && succeeded)
            DumpData(Extension, &copy, moved);
        return;
    }
    switch (copy.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        if (!succeeded || !Holds(&copy, __builtin_offsetof(_URB_SELECT_CONFIGURATION, Interface)))
            break;
        ZK_PrintLine(Extension, ZK_DETAIL_UP "ConfigurationHandle: 0x%X.\n", Routine, line.Irp, name,
                     ZK_Low32(Field<PVOID>(&copy, __builtin_offsetof(_URB_SELECT_CONFIGURATION, ConfigurationHandle))));
        // Unconfiguring (no descriptor) returns no interfaces.
        if (Field<PVOID>(&copy, __builtin_offsetof(_URB_SELECT_CONFIGURATION, ConfigurationDescriptor)) != NULL)
            TraceInterfaces(&line, Urb, copy.Length, __builtin_offsetof(_URB_SELECT_CONFIGURATION, Interface), 32);
        break;
    case URB_FUNCTION_SELECT_INTERFACE:
        if (!succeeded || !Holds(&copy, __builtin_offsetof(_URB_SELECT_INTERFACE, Interface)))
            break;
        ZK_PrintLine(Extension, ZK_DETAIL_UP "ConfigurationHandle: 0x%X.\n", Routine, line.Irp, name,
                     ZK_Low32(Field<PVOID>(&copy, __builtin_offsetof(_URB_SELECT_INTERFACE, ConfigurationHandle))));
        TraceInterfaces(&line, Urb, copy.Length, __builtin_offsetof(_URB_SELECT_INTERFACE, Interface), 1);
        break;
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        if (succeeded && Holds(&copy, sizeof(_URB_GET_CURRENT_FRAME_NUMBER)))
            ZK_PrintLine(Extension, ZK_DETAIL_UP "FrameNumber: 0x%X.\n", Routine, line.Irp, name,
                         Field<ULONG>(&copy, __builtin_offsetof(_URB_GET_CURRENT_FRAME_NUMBER, FrameNumber)));
        break;
    case URB_FUNCTION_ISOCH_TRANSFER:
        if (!Holds(&copy, __builtin_offsetof(_URB_ISOCH_TRANSFER, IsoPacket)))
            break;
        ZK_PrintLine(Extension, ZK_DETAIL_UP "StartFrame: 0x%X, NumberOfPackets: 0x%X, ErrorCount: 0x%X.\n", Routine,
                     line.Irp, name, Field<ULONG>(&copy, __builtin_offsetof(_URB_ISOCH_TRANSFER, StartFrame)),
                     Field<ULONG>(&copy, __builtin_offsetof(_URB_ISOCH_TRANSFER, NumberOfPackets)),
                     Field<ULONG>(&copy, __builtin_offsetof(_URB_ISOCH_TRANSFER, ErrorCount)));
        TraceIsoPackets(&line, Urb, &copy);
        break;
    default:
        break;
    }
}

// The request was a URB when it went down; the stack location still says so.
NTSTATUS ZK_CompletionRoutineUrbDetail(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    (void)Context;
    if (Irp->PendingReturned)
        IoMarkIrpPending(Irp);

    PZK_EXTENSION extension = ZK_GetExtension(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if ((extension->TraceMask & TRACE_BUS_DETAIL) &&
        stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_INTERNAL_USB_SUBMIT_URB &&
        Irp->RequestorMode == KernelMode)
        ZK_TraceUrbDetailCompletion(extension, Irp, stack->Parameters.Others.Argument1,
                                    "ZK_CompletionRoutineUrbDetail");
    return ZK_LeaveCompletion(extension, Irp);
}
