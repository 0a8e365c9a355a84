// USB request blocks as a client driver hands them to the USB stack in
// IOCTL_INTERNAL_USB_SUBMIT_URB: the header every URB starts with, the
// layouts of the transfers the driver decodes, the requests that select a
// configuration or reset a pipe, and the function, flag and status values.
// Layouts are the x64 ones; every offset is asserted.
//
// Needs nothing beyond the base and I/O declarations, so host code (tests,
// the simulator) can include it beside the C library.
#pragma once
#include "platform/ntbase.h"
#include "platform/ntio.h"

// ---------------------------------------------------------------------------
// Functions (the header's Function)

#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002
#define URB_FUNCTION_GET_CURRENT_FRAME_NUMBER 0x0007
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define URB_FUNCTION_ISOCH_TRANSFER 0x000A
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000B
#define URB_FUNCTION_SET_DESCRIPTOR_TO_DEVICE 0x000C
#define URB_FUNCTION_SET_FEATURE_TO_DEVICE 0x000D
#define URB_FUNCTION_SET_FEATURE_TO_INTERFACE 0x000E
#define URB_FUNCTION_SET_FEATURE_TO_ENDPOINT 0x000F
#define URB_FUNCTION_CLEAR_FEATURE_TO_DEVICE 0x0010
#define URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE 0x0011
#define URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT 0x0012
#define URB_FUNCTION_GET_STATUS_FROM_DEVICE 0x0013
#define URB_FUNCTION_GET_STATUS_FROM_INTERFACE 0x0014
#define URB_FUNCTION_GET_STATUS_FROM_ENDPOINT 0x0015
#define URB_FUNCTION_VENDOR_DEVICE 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE 0x0018
#define URB_FUNCTION_VENDOR_ENDPOINT 0x0019
#define URB_FUNCTION_CLASS_DEVICE 0x001A
#define URB_FUNCTION_CLASS_INTERFACE 0x001B
#define URB_FUNCTION_CLASS_ENDPOINT 0x001C
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL 0x001E
#define URB_FUNCTION_RESET_PIPE URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL
#define URB_FUNCTION_CLASS_OTHER 0x001F
#define URB_FUNCTION_VENDOR_OTHER 0x0020
#define URB_FUNCTION_GET_STATUS_FROM_OTHER 0x0021
#define URB_FUNCTION_CLEAR_FEATURE_TO_OTHER 0x0022
#define URB_FUNCTION_SET_FEATURE_TO_OTHER 0x0023
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_ENDPOINT 0x0024
#define URB_FUNCTION_SET_DESCRIPTOR_TO_ENDPOINT 0x0025
#define URB_FUNCTION_GET_CONFIGURATION 0x0026
#define URB_FUNCTION_GET_INTERFACE 0x0027
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE 0x0028
#define URB_FUNCTION_SET_DESCRIPTOR_TO_INTERFACE 0x0029
#define URB_FUNCTION_SYNC_RESET_PIPE 0x0030
#define URB_FUNCTION_SYNC_CLEAR_STALL 0x0031

// TransferFlags
#define USBD_TRANSFER_DIRECTION 0x00000001
#define USBD_TRANSFER_DIRECTION_OUT 0
#define USBD_TRANSFER_DIRECTION_IN 1
#define USBD_SHORT_TRANSFER_OK 0x00000002

// The URB's own status, beside the request's NTSTATUS.
typedef LONG USBD_STATUS;
#define USBD_SUCCESS(Status) ((USBD_STATUS)(Status) >= 0)
#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000)
#define USBD_STATUS_PENDING ((USBD_STATUS)0x40000000)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xC0000004)
#define USBD_STATUS_ENDPOINT_HALTED ((USBD_STATUS)0xC0000030)
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300)
#define USBD_STATUS_INVALID_PIPE_HANDLE ((USBD_STATUS)0x80000600)
#define USBD_STATUS_BUFFER_TOO_SMALL ((USBD_STATUS)0xC0003000)
#define USBD_STATUS_CRC ((USBD_STATUS)0xC0000001)
#define USBD_STATUS_BTSTUFF ((USBD_STATUS)0xC0000002)
#define USBD_STATUS_DATA_TOGGLE_MISMATCH ((USBD_STATUS)0xC0000003)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xC0000005)
#define USBD_STATUS_PID_CHECK_FAILURE ((USBD_STATUS)0xC0000006)
#define USBD_STATUS_UNEXPECTED_PID ((USBD_STATUS)0xC0000007)
#define USBD_STATUS_DATA_OVERRUN ((USBD_STATUS)0xC0000008)
#define USBD_STATUS_DATA_UNDERRUN ((USBD_STATUS)0xC0000009)
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xC000000C)
#define USBD_STATUS_BUFFER_UNDERRUN ((USBD_STATUS)0xC000000D)
#define USBD_STATUS_NOT_ACCESSED ((USBD_STATUS)0xC000000F)
#define USBD_STATUS_FIFO ((USBD_STATUS)0xC0000010)
#define USBD_STATUS_XACT_ERROR ((USBD_STATUS)0xC0000011)
#define USBD_STATUS_BABBLE_DETECTED ((USBD_STATUS)0xC0000012)
#define USBD_STATUS_DATA_BUFFER_ERROR ((USBD_STATUS)0xC0000013)
#define USBD_STATUS_NO_PING_RESPONSE ((USBD_STATUS)0xC0000014)
#define USBD_STATUS_INVALID_STREAM_TYPE ((USBD_STATUS)0xC0000015)
#define USBD_STATUS_INVALID_STREAM_ID ((USBD_STATUS)0xC0000016)
#define USBD_STATUS_NO_MEMORY ((USBD_STATUS)0x80000100)
#define USBD_STATUS_ERROR_BUSY ((USBD_STATUS)0x80000400)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500)
#define USBD_STATUS_NO_BANDWIDTH ((USBD_STATUS)0x80000700)
#define USBD_STATUS_INTERNAL_HC_ERROR ((USBD_STATUS)0x80000800)
#define USBD_STATUS_ERROR_SHORT_TRANSFER ((USBD_STATUS)0x80000900)
#define USBD_STATUS_BAD_START_FRAME ((USBD_STATUS)0xC0000A00)
#define USBD_STATUS_ISOCH_REQUEST_FAILED ((USBD_STATUS)0xC0000B00)
#define USBD_STATUS_FRAME_CONTROL_OWNED ((USBD_STATUS)0xC0000C00)
#define USBD_STATUS_FRAME_CONTROL_NOT_OWNED ((USBD_STATUS)0xC0000D00)
#define USBD_STATUS_NOT_SUPPORTED ((USBD_STATUS)0xC0000E00)
#define USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR ((USBD_STATUS)0xC0000F00)
#define USBD_STATUS_INSUFFICIENT_RESOURCES ((USBD_STATUS)0xC0001000)
#define USBD_STATUS_SET_CONFIG_FAILED ((USBD_STATUS)0xC0002000)
#define USBD_STATUS_INTERFACE_NOT_FOUND ((USBD_STATUS)0xC0004000)
#define USBD_STATUS_INAVLID_PIPE_FLAGS ((USBD_STATUS)0xC0005000)
#define USBD_STATUS_TIMEOUT ((USBD_STATUS)0xC0006000)
#define USBD_STATUS_DEVICE_GONE ((USBD_STATUS)0xC0007000)
#define USBD_STATUS_STATUS_NOT_MAPPED ((USBD_STATUS)0xC0008000)
#define USBD_STATUS_HUB_INTERNAL_ERROR ((USBD_STATUS)0xC0009000)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0xC0010000)
#define USBD_STATUS_ISO_NOT_ACCESSED_BY_HW ((USBD_STATUS)0xC0020000)
#define USBD_STATUS_ISO_TD_ERROR ((USBD_STATUS)0xC0030000)
#define USBD_STATUS_ISO_NA_LATE_USBPORT ((USBD_STATUS)0xC0040000)
#define USBD_STATUS_ISO_NOT_ACCESSED_LATE ((USBD_STATUS)0xC0050000)
#define USBD_STATUS_BAD_DESCRIPTOR ((USBD_STATUS)0xC0100000)
#define USBD_STATUS_BAD_DESCRIPTOR_BLEN ((USBD_STATUS)0xC0100001)
#define USBD_STATUS_BAD_DESCRIPTOR_TYPE ((USBD_STATUS)0xC0100002)
#define USBD_STATUS_BAD_INTERFACE_DESCRIPTOR ((USBD_STATUS)0xC0100003)
#define USBD_STATUS_BAD_ENDPOINT_DESCRIPTOR ((USBD_STATUS)0xC0100004)
#define USBD_STATUS_BAD_INTERFACE_ASSOC_DESCRIPTOR ((USBD_STATUS)0xC0100005)
#define USBD_STATUS_BAD_CONFIG_DESC_LENGTH ((USBD_STATUS)0xC0100006)
#define USBD_STATUS_BAD_NUMBER_OF_INTERFACES ((USBD_STATUS)0xC0100007)
#define USBD_STATUS_BAD_NUMBER_OF_ENDPOINTS ((USBD_STATUS)0xC0100008)
#define USBD_STATUS_BAD_ENDPOINT_ADDRESS ((USBD_STATUS)0xC0100009)

// Isochronous transfers: start as soon as possible, and the start frame.
#define USBD_START_ISO_TRANSFER_ASAP 0x00000004

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

// Standard descriptor types (the high byte of a GET_DESCRIPTOR value).
#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_STRING_DESCRIPTOR_TYPE 0x03
#define USB_INTERFACE_DESCRIPTOR_TYPE 0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE 0x05

typedef struct _USB_CONFIGURATION_DESCRIPTOR USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

// ---------------------------------------------------------------------------
// Layouts

typedef enum _USBD_PIPE_TYPE {
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
} USBD_PIPE_TYPE;

typedef struct _USBD_PIPE_INFORMATION {
    USHORT MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    USBD_PIPE_TYPE PipeType;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize;
    ULONG PipeFlags;
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

typedef struct _USBD_INTERFACE_INFORMATION {
    USHORT Length;
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

// Reserved for the host controller driver.
struct _URB_HCD_AREA {
    PVOID Reserved8[8];
};

struct _URB_HEADER {
    USHORT Length;  // of the whole URB, in bytes
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct _URB_SELECT_INTERFACE {
    struct _URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_SELECT_CONFIGURATION {
    struct _URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct _URB_CONTROL_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR SetupPacket[8];
};

struct _URB_BULK_OR_INTERRUPT_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
    struct _URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct _URB_GET_CURRENT_FRAME_NUMBER {
    struct _URB_HEADER Hdr;
    ULONG FrameNumber;
};

typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
    ULONG Offset;  // from the start of the transfer buffer
    ULONG Length;  // IN: set by the stack to the bytes received
    USBD_STATUS Status;
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;

struct _URB_ISOCH_TRANSFER {
    struct _URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    PMDL TransferBufferMDL;
    union _URB* UrbLink;
    struct _URB_HCD_AREA hca;
    ULONG StartFrame;
    ULONG NumberOfPackets;  // packets that follow, IsoPacket[0] included
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

// The layouts the driver and the simulated USB stack use; the platform's
// union has more members, and is larger.
typedef union _URB {
    struct _URB_HEADER UrbHeader;
    struct _URB_SELECT_INTERFACE UrbSelectInterface;
    struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
    struct _URB_PIPE_REQUEST UrbPipeRequest;
    struct _URB_CONTROL_TRANSFER UrbControlTransfer;
    struct _URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
    struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
    struct _URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
    struct _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
} URB, *PURB;

static_assert(sizeof(USBD_PIPE_INFORMATION) == 0x18 && alignof(USBD_PIPE_INFORMATION) == 8);
static_assert(__builtin_offsetof(USBD_PIPE_INFORMATION, EndpointAddress) == 0x02);
static_assert(__builtin_offsetof(USBD_PIPE_INFORMATION, PipeType) == 0x04);
static_assert(__builtin_offsetof(USBD_PIPE_INFORMATION, PipeHandle) == 0x08);
static_assert(__builtin_offsetof(USBD_PIPE_INFORMATION, MaximumTransferSize) == 0x10);
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 0x30);
static_assert(__builtin_offsetof(USBD_INTERFACE_INFORMATION, InterfaceHandle) == 0x08);
static_assert(__builtin_offsetof(USBD_INTERFACE_INFORMATION, NumberOfPipes) == 0x10);
static_assert(__builtin_offsetof(USBD_INTERFACE_INFORMATION, Pipes) == 0x18);

static_assert(sizeof(_URB_HEADER) == 0x18 && alignof(_URB_HEADER) == 8);
static_assert(__builtin_offsetof(_URB_HEADER, Length) == 0x00);
static_assert(__builtin_offsetof(_URB_HEADER, Function) == 0x02);
static_assert(__builtin_offsetof(_URB_HEADER, Status) == 0x04);
static_assert(__builtin_offsetof(_URB_HEADER, UsbdDeviceHandle) == 0x08);
static_assert(__builtin_offsetof(_URB_HEADER, UsbdFlags) == 0x10);

static_assert(sizeof(_URB_SELECT_INTERFACE) == 0x50);
static_assert(__builtin_offsetof(_URB_SELECT_INTERFACE, ConfigurationHandle) == 0x18);
static_assert(__builtin_offsetof(_URB_SELECT_INTERFACE, Interface) == 0x20);
static_assert(sizeof(_URB_SELECT_CONFIGURATION) == 0x58);
static_assert(__builtin_offsetof(_URB_SELECT_CONFIGURATION, ConfigurationDescriptor) == 0x18);
static_assert(__builtin_offsetof(_URB_SELECT_CONFIGURATION, ConfigurationHandle) == 0x20);
static_assert(__builtin_offsetof(_URB_SELECT_CONFIGURATION, Interface) == 0x28);
static_assert(sizeof(_URB_PIPE_REQUEST) == 0x28);
static_assert(__builtin_offsetof(_URB_PIPE_REQUEST, PipeHandle) == 0x18);

static_assert(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == 0x80);
static_assert(__builtin_offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle) == 0x18);
static_assert(__builtin_offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags) == 0x20);
static_assert(__builtin_offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength) == 0x24);
static_assert(__builtin_offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer) == 0x28);
static_assert(__builtin_offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferMDL) == 0x30);
static_assert(__builtin_offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, UrbLink) == 0x38);
static_assert(__builtin_offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, hca) == 0x40);

static_assert(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST) == 0x88);
static_assert(__builtin_offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferLength) == 0x24);
static_assert(__builtin_offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer) == 0x28);
static_assert(__builtin_offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBufferMDL) == 0x30);
static_assert(__builtin_offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, Index) == 0x82);
static_assert(__builtin_offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, DescriptorType) == 0x83);
static_assert(__builtin_offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, LanguageId) == 0x84);

static_assert(sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 0x88);
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags) == 0x20);
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferLength) == 0x24);
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer) == 0x28);
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBufferMDL) == 0x30);
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits) == 0x80);
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request) == 0x81);
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value) == 0x82);
static_assert(__builtin_offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index) == 0x84);

static_assert(sizeof(_URB_CONTROL_TRANSFER) == 0x88);
static_assert(__builtin_offsetof(_URB_CONTROL_TRANSFER, PipeHandle) == 0x18);
static_assert(__builtin_offsetof(_URB_CONTROL_TRANSFER, TransferFlags) == 0x20);
static_assert(__builtin_offsetof(_URB_CONTROL_TRANSFER, TransferBufferLength) == 0x24);
static_assert(__builtin_offsetof(_URB_CONTROL_TRANSFER, TransferBuffer) == 0x28);
static_assert(__builtin_offsetof(_URB_CONTROL_TRANSFER, TransferBufferMDL) == 0x30);
static_assert(__builtin_offsetof(_URB_CONTROL_TRANSFER, SetupPacket) == 0x80);

static_assert(sizeof(_URB_GET_CURRENT_FRAME_NUMBER) == 0x20);
static_assert(__builtin_offsetof(_URB_GET_CURRENT_FRAME_NUMBER, FrameNumber) == 0x18);
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 0x0C);
static_assert(sizeof(_URB_ISOCH_TRANSFER) == 0x98);
static_assert(__builtin_offsetof(_URB_ISOCH_TRANSFER, TransferBufferLength) == 0x24);
static_assert(__builtin_offsetof(_URB_ISOCH_TRANSFER, StartFrame) == 0x80);
static_assert(__builtin_offsetof(_URB_ISOCH_TRANSFER, NumberOfPackets) == 0x84);
static_assert(__builtin_offsetof(_URB_ISOCH_TRANSFER, ErrorCount) == 0x88);
static_assert(__builtin_offsetof(_URB_ISOCH_TRANSFER, IsoPacket) == 0x8C);
