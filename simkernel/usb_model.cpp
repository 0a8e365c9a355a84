#include "simkernel/usb_model.h"

#include <algorithm>
#include <cstring>

#include "simkernel/core.h"
#include "simkernel/memory.h"

namespace sim {
namespace {

constexpr const char* kRoutine = "UsbModel";

// bmRequestType
constexpr UCHAR kDirectionIn = 0x80;
constexpr UCHAR kTypeMask = 0x60;
constexpr UCHAR kTypeStandard = 0x00;
constexpr UCHAR kTypeClass = 0x20;
constexpr UCHAR kTypeVendor = 0x40;
constexpr UCHAR kRecipientInterface = 0x01;
constexpr UCHAR kRecipientEndpoint = 0x02;
constexpr UCHAR kRecipientOther = 0x03;
constexpr UCHAR kGetDescriptor = 0x06;

// IOCTL_INTERNAL_USB_GET_PORT_STATUS: USBD_PORT_ENABLED | USBD_PORT_CONNECTED.
constexpr ULONG kPortEnabledConnected = 0x3;

// Each device's handles lie in a range of their own, numbered from the
// kernel's reset, so that runs repeat.
struct HandleRanges {
    std::mutex mutex;
    uintptr_t next = 0;
};
uintptr_t NextHandleBase() {
    static HandleRanges* ranges = [] {
        auto* r = new HandleRanges;
        RegisterResetHook([r] {
            std::lock_guard<std::mutex> lock(r->mutex);
            r->next = 0;
        });
        return r;
    }();
    std::lock_guard<std::mutex> lock(ranges->mutex);
    return static_cast<uintptr_t>(0xFFFF9E0F8A7C0000ull) + (ranges->next++) * 0x10000;
}

void Put16(std::vector<uint8_t>* out, unsigned value) {
    out->push_back(static_cast<uint8_t>(value));
    out->push_back(static_cast<uint8_t>(value >> 8));
}

NTSTATUS RequestStatus(USBD_STATUS status) {
    if (USBD_SUCCESS(status)) return STATUS_SUCCESS;
    if (status == USBD_STATUS_STALL_PID) return STATUS_UNSUCCESSFUL;
    return STATUS_INVALID_PARAMETER;
}

// Where a transfer's data lies: the buffer, else the MDL's pages (which
// the simulated system address is).
uint8_t* TransferData(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr) return static_cast<uint8_t*>(buffer);
    if (mdl != nullptr) return static_cast<uint8_t*>(mdl->StartVa) + mdl->ByteOffset;
    return nullptr;
}

// The setup packet of a request on the default pipe: the three control
// layouts agree up to the transfer MDL, and each gives it its own way.
void SetupPacket(const URB& urb, UCHAR (&setup)[8]) {
    const USHORT function = urb.UrbHeader.Function;
    const ULONG length0 = urb.UrbControlTransfer.TransferBufferLength;
    if (function == URB_FUNCTION_CONTROL_TRANSFER) {
        std::memcpy(setup, urb.UrbControlTransfer.SetupPacket, sizeof setup);
    } else if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        const _URB_CONTROL_DESCRIPTOR_REQUEST& d = urb.UrbControlDescriptorRequest;
        const UCHAR bytes[8] = {kDirectionIn,
                                kGetDescriptor,
                                d.Index,
                                d.DescriptorType,
                                static_cast<UCHAR>(d.LanguageId),
                                static_cast<UCHAR>(d.LanguageId >> 8),
                                static_cast<UCHAR>(length0),
                                static_cast<UCHAR>(length0 >> 8)};
        std::memcpy(setup, bytes, sizeof setup);
    } else {
        const _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& v = urb.UrbControlVendorClassRequest;
        UCHAR recipient = 0;
        if (function == URB_FUNCTION_VENDOR_INTERFACE || function == URB_FUNCTION_CLASS_INTERFACE)
            recipient = kRecipientInterface;
        else if (function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_CLASS_ENDPOINT)
            recipient = kRecipientEndpoint;
        else if (function == URB_FUNCTION_VENDOR_OTHER || function == URB_FUNCTION_CLASS_OTHER)
            recipient = kRecipientOther;
        const bool vendor = function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
                            function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
        const UCHAR bytes[8] = {static_cast<UCHAR>(((v.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? kDirectionIn : 0) |
                                                   (vendor ? kTypeVendor : kTypeClass) | recipient),
                                v.Request,
                                static_cast<UCHAR>(v.Value),
                                static_cast<UCHAR>(v.Value >> 8),
                                static_cast<UCHAR>(v.Index),
                                static_cast<UCHAR>(v.Index >> 8),
                                static_cast<UCHAR>(length0),
                                static_cast<UCHAR>(length0 >> 8)};
        std::memcpy(setup, bytes, sizeof setup);
    }
}

}  // namespace

UsbModel::UsbModel(USHORT vendorId, USHORT productId, UCHAR maxPacket0, std::vector<uint8_t> interfaceClass,
                   std::vector<uint8_t> classDescriptor, std::vector<Endpoint> endpoints, const UsbIdentity& identity)
    : vendorId_(vendorId),
      productId_(productId),
      maxPacket0_(maxPacket0),
      interfaceClass_(std::move(interfaceClass)),
      classDescriptor_(std::move(classDescriptor)),
      handleBase_(NextHandleBase()),
      identity_(identity) {
    for (const Endpoint& e : endpoints)
        pipes_.push_back(Pipe{e, false});
}

void UsbModel::SetIdentity(const UsbIdentity& identity) {
    std::lock_guard<std::mutex> lock(mutex_);
    identity_ = identity;
}
UsbIdentity UsbModel::Identity() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return identity_;
}
void UsbModel::AnswerSynchronously() {
    std::lock_guard<std::mutex> lock(mutex_);
    pended_ = false;
}
void UsbModel::AnswerPended(KIRQL irql, std::chrono::milliseconds delay) {
    std::lock_guard<std::mutex> lock(mutex_);
    pended_ = true;
    pendIrql_ = irql;
    pendDelay_ = delay;
}
void UsbModel::Stall(UCHAR endpoint) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (Pipe* pipe = FindEndpoint(endpoint)) pipe->stalled = true;
}
bool UsbModel::Stalled(UCHAR endpoint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Pipe* pipe = FindEndpoint(endpoint);
    return pipe != nullptr && pipe->stalled;
}
bool UsbModel::Configured() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return configured_;
}
USBD_PIPE_HANDLE UsbModel::PipeHandle(UCHAR endpoint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!configured_) return nullptr;
    for (size_t i = 0; i < pipes_.size(); ++i)
        if (pipes_[i].endpoint.address == endpoint) return HandleOf(i);
    return nullptr;
}
USBD_CONFIGURATION_HANDLE UsbModel::ConfigurationHandle() const {
    return reinterpret_cast<USBD_CONFIGURATION_HANDLE>(handleBase_ + 0x40);
}
USBD_PIPE_HANDLE UsbModel::HandleOf(size_t pipe) const {
    return reinterpret_cast<USBD_PIPE_HANDLE>(handleBase_ + 0x100 + pipe * 0x40);
}

UsbModel::Pipe* UsbModel::FindPipe(USBD_PIPE_HANDLE handle) {
    if (!configured_) return nullptr;
    for (size_t i = 0; i < pipes_.size(); ++i)
        if (HandleOf(i) == handle) return &pipes_[i];
    return nullptr;
}
UsbModel::Pipe* UsbModel::FindEndpoint(UCHAR endpoint) {
    for (Pipe& pipe : pipes_)
        if (pipe.endpoint.address == endpoint) return &pipe;
    return nullptr;
}
const UsbModel::Pipe* UsbModel::FindEndpoint(UCHAR endpoint) const {
    for (const Pipe& pipe : pipes_)
        if (pipe.endpoint.address == endpoint) return &pipe;
    return nullptr;
}

// ---------------------------------------------------------------------------
// Descriptors

std::vector<uint8_t> UsbModel::DeviceDescriptor() const {
    std::vector<uint8_t> d = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(&d, 0x0200);  // USB 2.0
    d.insert(d.end(), {0, 0, 0, maxPacket0_});
    Put16(&d, vendorId_);
    Put16(&d, productId_);
    Put16(&d, 0x0100);
    d.insert(d.end(), {1, 2, 3, 1});
    return d;
}

std::vector<uint8_t> UsbModel::ConfigurationDescriptor() const {
    std::vector<uint8_t> body = {9,
                                 USB_INTERFACE_DESCRIPTOR_TYPE,
                                 0,
                                 0,
                                 static_cast<uint8_t>(pipes_.size()),
                                 interfaceClass_[0],
                                 interfaceClass_[1],
                                 interfaceClass_[2],
                                 0};
    body.insert(body.end(), classDescriptor_.begin(), classDescriptor_.end());
    for (const Pipe& pipe : pipes_) {
        const Endpoint& e = pipe.endpoint;
        // bmAttributes: the transfer type, numbered as the pipe types are.
        body.insert(body.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, e.address, static_cast<uint8_t>(e.type)});
        Put16(&body, e.maxPacket);
        body.push_back(e.interval);
    }
    std::vector<uint8_t> d = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
    Put16(&d, static_cast<unsigned>(9 + body.size()));
    d.insert(d.end(), {1, 1, 0, 0x80, 50});  // one interface, configuration 1, bus powered, 100 mA
    d.insert(d.end(), body.begin(), body.end());
    return d;
}

std::vector<uint8_t> UsbModel::StringDescriptor(UCHAR index) const {
    std::string text;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (index == 0) return {4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04};  // English (United States)
        if (index == 1)
            text = identity_.manufacturer;
        else if (index == 2)
            text = identity_.product;
        else if (index == 3)
            text = identity_.serial;
        else
            return {};
    }
    text.resize(std::min<size_t>(text.size(), 126));
    std::vector<uint8_t> d = {static_cast<uint8_t>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (char c : text)
        Put16(&d, static_cast<unsigned char>(c));
    return d;
}

UsbModel::Outcome UsbModel::Descriptor(UCHAR type, UCHAR index, std::vector<uint8_t>* data) const {
    std::vector<uint8_t> descriptor;
    if (type == USB_DEVICE_DESCRIPTOR_TYPE)
        descriptor = DeviceDescriptor();
    else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
        descriptor = ConfigurationDescriptor();
    else if (type == USB_STRING_DESCRIPTOR_TYPE)
        descriptor = StringDescriptor(index);
    // The device stalls its default pipe for a descriptor it does not have.
    if (descriptor.empty()) return Outcome{USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL};
    descriptor.resize(std::min(descriptor.size(), data->size()));
    *data = descriptor;
    return Outcome{};
}

// ---------------------------------------------------------------------------
// Requests on the default pipe

UsbModel::Outcome UsbModel::VendorRequest(const UCHAR* setup, std::vector<uint8_t>* data) {
    // In: the firmware's version text; out: taken as it comes.
    if (setup[0] & kDirectionIn) {
        static const char kVersion[] = "ZELKOR-FW 1.04";
        data->assign(kVersion, kVersion + std::min(data->size(), sizeof kVersion - 1));
    }
    return Outcome{};
}

UsbModel::Outcome UsbModel::ControlRequest(const UCHAR* setup, std::vector<uint8_t>* data) {
    const UCHAR type = setup[0] & kTypeMask;
    if (type == kTypeStandard) {
        if (setup[1] == kGetDescriptor && (setup[0] & 0x1F) == kRecipientInterface) {
            std::vector<uint8_t> descriptor = InterfaceDescriptor(setup[3]);
            if (descriptor.empty()) return Outcome{USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL};
            descriptor.resize(std::min(descriptor.size(), data->size()));
            *data = descriptor;
            return Outcome{};
        }
        if (setup[1] == kGetDescriptor) {
            // The lock is not needed for the descriptors but for the strings,
            // which take it themselves.
            return Descriptor(setup[3], setup[2], data);
        }
        // SET_CONFIGURATION, SET_INTERFACE, CLEAR_FEATURE, ...: no data.
        data->clear();
        return Outcome{};
    }
    if (type == kTypeVendor) return VendorRequest(setup, data);
    if (type == kTypeClass && (setup[0] & 0x1F) == kRecipientInterface) {
        std::lock_guard<std::mutex> lock(mutex_);
        const USBD_STATUS status = ClassRequest(setup, data);
        return Outcome{status, RequestStatus(status)};
    }
    return Outcome{USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL};
}

// ---------------------------------------------------------------------------
// Configuration

void UsbModel::FillInterface(USBD_INTERFACE_INFORMATION* info, ULONG room) {
    info->Class = interfaceClass_[0];
    info->SubClass = interfaceClass_[1];
    info->Protocol = interfaceClass_[2];
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(handleBase_ + 0x80);
    info->NumberOfPipes = static_cast<ULONG>(pipes_.size());
    for (size_t i = 0; i < pipes_.size() && i < room; ++i) {
        USBD_PIPE_INFORMATION& p = info->Pipes[i];
        p.MaximumPacketSize = pipes_[i].endpoint.maxPacket;
        p.EndpointAddress = pipes_[i].endpoint.address;
        p.Interval = pipes_[i].endpoint.interval;
        p.PipeType = pipes_[i].endpoint.type;
        p.PipeHandle = HandleOf(i);
        if (p.MaximumTransferSize == 0) p.MaximumTransferSize = 0x10000;
        pipes_[i].stalled = false;
    }
}

// How many pipes an interface record of `length` bytes, from `offset` in
// the URB, has room for.
static ULONG PipeRoom(ULONG urbLength, size_t offset) {
    const size_t pipes = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
    if (urbLength < offset + pipes) return 0;
    return static_cast<ULONG>((urbLength - offset - pipes) / sizeof(USBD_PIPE_INFORMATION));
}

UsbModel::Outcome UsbModel::SelectConfiguration(PURB urb, ULONG length) {
    _URB_SELECT_CONFIGURATION& select = urb->UrbSelectConfiguration;
    std::lock_guard<std::mutex> lock(mutex_);
    if (select.ConfigurationDescriptor == nullptr) {  // back to the unconfigured state
        configured_ = false;
        return Outcome{};
    }
    if (length < sizeof(_URB_SELECT_CONFIGURATION))
        return Outcome{USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER};
    const ULONG room = PipeRoom(length, offsetof(_URB_SELECT_CONFIGURATION, Interface));
    if (room < pipes_.size()) return Outcome{USBD_STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER};
    select.ConfigurationHandle = ConfigurationHandle();
    FillInterface(&select.Interface, room);
    configured_ = true;
    return Outcome{};
}

UsbModel::Outcome UsbModel::SelectInterface(PURB urb, ULONG length) {
    _URB_SELECT_INTERFACE& select = urb->UrbSelectInterface;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!configured_ || select.ConfigurationHandle != ConfigurationHandle() || select.Interface.InterfaceNumber != 0 ||
        select.Interface.AlternateSetting != 0)
        return Outcome{USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER};
    const ULONG room = PipeRoom(length, offsetof(_URB_SELECT_INTERFACE, Interface));
    if (room < pipes_.size()) return Outcome{USBD_STATUS_BUFFER_TOO_SMALL, STATUS_INVALID_PARAMETER};
    FillInterface(&select.Interface, room);
    return Outcome{};
}

// ---------------------------------------------------------------------------
// Transfers

UsbModel::Outcome UsbModel::PipeTransfer(PIRP irp, PURB urb) {
    _URB_BULK_OR_INTERRUPT_TRANSFER& transfer = urb->UrbBulkOrInterruptTransfer;
    std::lock_guard<std::mutex> lock(mutex_);
    Pipe* pipe = FindPipe(transfer.PipeHandle);
    if (pipe == nullptr) {
        transfer.TransferBufferLength = 0;
        return Outcome{USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER};
    }
    const ULONG length = transfer.TransferBufferLength;
    uint8_t* buffer = TransferData(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (length != 0 && buffer == nullptr)
        BugCheck("a URB that moves data has a TransferBuffer or a TransferBufferMDL", kRoutine, irp,
                 "TransferBufferLength is " + std::to_string(length) + " and both are NULL");
    if (pipe->stalled) {
        transfer.TransferBufferLength = 0;
        return Outcome{USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL};
    }
    const UCHAR endpoint = pipe->endpoint.address;
    USBD_STATUS status;
    if (endpoint & 0x80) {
        std::vector<uint8_t> data(length);
        status = TransferIn(endpoint, &data);
        if (USBD_SUCCESS(status)) {
            const size_t moved = std::min<size_t>(data.size(), length);
            if (moved != 0) std::memcpy(buffer, data.data(), moved);
            transfer.TransferBufferLength = static_cast<ULONG>(moved);
        }
    } else {
        status = TransferOut(endpoint, std::vector<uint8_t>(buffer, buffer + length));
    }
    if (status == USBD_STATUS_STALL_PID) pipe->stalled = true;
    if (!USBD_SUCCESS(status)) transfer.TransferBufferLength = 0;
    return Outcome{status, RequestStatus(status)};
}

UsbModel::Outcome UsbModel::PipeRequest(PURB urb) {
    std::unique_lock<std::mutex> lock(mutex_);
    Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (pipe == nullptr) return Outcome{USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER};
    if (urb->UrbHeader.Function == URB_FUNCTION_ABORT_PIPE) return Outcome{};  // nothing is ever queued
    pipe->stalled = false;
    PipeReset(pipe->endpoint.address);
    return Outcome{};
}

// Packet i spans from its Offset to the next packet's, the last one to the
// buffer's end; an IN packet receives at most the endpoint's packet size.
UsbModel::Outcome UsbModel::IsochTransfer(PIRP irp, PURB urb, ULONG length) {
    _URB_ISOCH_TRANSFER& transfer = urb->UrbIsochronousTransfer;
    const Outcome bad{USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER};
    std::lock_guard<std::mutex> lock(mutex_);
    Pipe* pipe = FindPipe(transfer.PipeHandle);
    if (pipe == nullptr || pipe->endpoint.type != UsbdPipeTypeIsochronous)
        return Outcome{USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER};
    const ULONG count = transfer.NumberOfPackets;
    const size_t room = (length - offsetof(_URB_ISOCH_TRANSFER, IsoPacket)) / sizeof(USBD_ISO_PACKET_DESCRIPTOR);
    if (count == 0 || count > room) return bad;
    const ULONG total = transfer.TransferBufferLength;
    uint8_t* buffer = TransferData(transfer.TransferBuffer, transfer.TransferBufferMDL);
    if (buffer == nullptr)
        BugCheck("a URB that moves data has a TransferBuffer or a TransferBufferMDL", kRoutine, irp,
                 "an isochronous transfer without either");
    for (ULONG i = 0; i < count; ++i) {
        const ULONG end = i + 1 < count ? transfer.IsoPacket[i + 1].Offset : total;
        if (transfer.IsoPacket[i].Offset > end || end > total) return bad;
    }
    LARGE_INTEGER frequency;
    const ULONG frame = static_cast<ULONG>(KeQueryPerformanceCounter(&frequency).QuadPart / 10000);
    if (transfer.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) transfer.StartFrame = frame + 1;
    ULONG moved = 0;
    for (ULONG i = 0; i < count; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& packet = transfer.IsoPacket[i];
        const ULONG end = i + 1 < count ? transfer.IsoPacket[i + 1].Offset : total;
        const ULONG span = end - packet.Offset;
        if (pipe->endpoint.address & 0x80) {
            std::vector<uint8_t> data(std::min<ULONG>(span, pipe->endpoint.maxPacket));
            packet.Status = TransferIn(pipe->endpoint.address, &data);
            packet.Length = USBD_SUCCESS(packet.Status) ? static_cast<ULONG>(data.size()) : 0;
            if (packet.Length != 0) std::memcpy(buffer + packet.Offset, data.data(), packet.Length);
            moved += packet.Length;
        } else {
            packet.Status =
                TransferOut(pipe->endpoint.address, std::vector<uint8_t>(buffer + packet.Offset, buffer + end));
            packet.Length = 0;
            if (USBD_SUCCESS(packet.Status)) moved += span;
        }
    }
    transfer.ErrorCount = 0;
    transfer.TransferBufferLength = moved;
    return Outcome{};
}

UsbModel::Outcome UsbModel::Serve(PIRP irp, PURB urb) {
    const ULONG length = urb->UrbHeader.Length;
    auto needs = [length](size_t size) { return length >= size; };
    const Outcome bad{USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER};

    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
        return needs(offsetof(_URB_SELECT_CONFIGURATION, ConfigurationHandle)) ? SelectConfiguration(urb, length) : bad;
    case URB_FUNCTION_SELECT_INTERFACE:
        return needs(sizeof(_URB_SELECT_INTERFACE)) ? SelectInterface(urb, length) : bad;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
        return needs(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER)) ? PipeTransfer(irp, urb) : bad;
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_ABORT_PIPE:
        return needs(sizeof(_URB_PIPE_REQUEST)) ? PipeRequest(urb) : bad;
    case URB_FUNCTION_ISOCH_TRANSFER:
        return needs(sizeof(_URB_ISOCH_TRANSFER)) ? IsochTransfer(irp, urb, length) : bad;
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: {
        if (!needs(sizeof(_URB_GET_CURRENT_FRAME_NUMBER))) return bad;
        LARGE_INTEGER frequency;
        urb->UrbGetCurrentFrameNumber.FrameNumber =
            static_cast<ULONG>(KeQueryPerformanceCounter(&frequency).QuadPart / 10000);
        return Outcome{};
    }
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        break;
    default:
        return Outcome{USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER};
    }

    // A request on the default pipe.
    if (!needs(sizeof(_URB_CONTROL_TRANSFER))) return bad;
    _URB_CONTROL_TRANSFER& control = urb->UrbControlTransfer;
    UCHAR setup[8] = {};
    const ULONG length0 = control.TransferBufferLength;
    SetupPacket(*urb, setup);

    uint8_t* buffer = TransferData(control.TransferBuffer, control.TransferBufferMDL);
    if (length0 != 0 && buffer == nullptr)
        BugCheck("a URB that moves data has a TransferBuffer or a TransferBufferMDL", kRoutine, irp,
                 "TransferBufferLength is " + std::to_string(length0) + " and both are NULL");
    const bool in = (setup[0] & kDirectionIn) != 0;
    std::vector<uint8_t> data(length0);
    if (!in && length0 != 0) std::memcpy(data.data(), buffer, length0);
    const Outcome outcome = ControlRequest(setup, &data);
    if (!USBD_SUCCESS(outcome.urb)) {
        control.TransferBufferLength = 0;
    } else if (in) {
        const size_t moved = std::min<size_t>(data.size(), length0);
        if (moved != 0) std::memcpy(buffer, data.data(), moved);
        control.TransferBufferLength = static_cast<ULONG>(moved);
    }
    return outcome;
}

// The host controller takes a URB wherever its sender put it: it works on an
// aligned copy of the bytes the header's Length covers, and answers a URB
// whose memory cannot be read (none, freed, shorter than its header) with
// STATUS_INVALID_PARAMETER instead of faulting in the sender's stead.
// Returns the bytes copied, 0 for such a URB.
static size_t ReadUrb(const void* urb, std::vector<uint64_t>* copy) {
    auto readable = [urb](size_t bytes) {
        const auto first = reinterpret_cast<uintptr_t>(urb);
        for (uintptr_t page = first & ~uintptr_t{0xFFF}; page < first + bytes; page += 0x1000)
            if (!IsReadable(reinterpret_cast<const void*>(std::max(page, first)))) return false;
        return true;
    };
    if (urb == nullptr || !readable(sizeof(_URB_HEADER))) return 0;
    USHORT declared = 0;
    std::memcpy(&declared, urb, sizeof declared);
    const size_t length = std::max<size_t>(declared, sizeof(_URB_HEADER));
    if (!readable(length)) return 0;
    copy->assign((std::max(length, sizeof(URB)) + 7) / 8, 0);
    std::memcpy(copy->data(), urb, length);
    return length;
}

NTSTATUS UsbModel::Dispatch(PDEVICE_OBJECT pdo, PIRP irp) {
    Pdo* bus = FindPdo(pdo);
    if (bus == nullptr)
        BugCheck("SIMULATION_SETUP", kRoutine, irp, "a USB model answers only for a PDO of the simulated bus");
    const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = location->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    switch (location->MajorFunction) {
    case IRP_MJ_DEVICE_CONTROL:
        // Only a driver puts a URB there; a program's request holds none.
        if (code != IOCTL_INTERNAL_USB_SUBMIT_URB || irp->RequestorMode != KernelMode) break;
        [[fallthrough]];
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
            PURB urb = static_cast<PURB>(location->Parameters.Others.Argument1);
            std::vector<uint64_t> copy;
            const size_t length = ReadUrb(urb, &copy);
            if (length == 0) {
                status = STATUS_INVALID_PARAMETER;
                break;
            }
            PURB served = reinterpret_cast<PURB>(copy.data());
            const Outcome outcome = Serve(irp, served);
            served->UrbHeader.Status = outcome.urb;
            std::memcpy(urb, served, length);
            status = outcome.status;
        } else if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
            status = STATUS_SUCCESS;
        } else if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
            if (location->Parameters.Others.Argument1 != nullptr)
                *static_cast<PULONG>(location->Parameters.Others.Argument1) = kPortEnabledConnected;
            status = STATUS_SUCCESS;
        } else {
            status = STATUS_NOT_SUPPORTED;
        }
        break;
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        status = STATUS_SUCCESS;
        break;
    case IRP_MJ_SYSTEM_CONTROL:
        return bus->Answer(irp, Reply::Unchanged());
    default:
        break;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    const Reply reply = pended_ ? Reply::Pend(status, 0, pendDelay_, pendIrql_) : Reply::Complete(status);
    lock.unlock();
    return bus->Answer(irp, reply);
}

}  // namespace sim
