#include "sim/usb_steps.h"

#include <cstring>
#include <map>
#include <mutex>

#include "platform/ntscsi.h"
#include "platform/ntusb.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "sim/usb_urb.h"

namespace scn {
namespace {

struct NamedFunction {
    const char* name;
    USHORT value;
};

const NamedFunction kFunctions[] = {
    {"select-configuration", URB_FUNCTION_SELECT_CONFIGURATION},
    {"select-interface", URB_FUNCTION_SELECT_INTERFACE},
    {"control-transfer", URB_FUNCTION_CONTROL_TRANSFER},
    {"bulk", URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER},
    {"get-descriptor", URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE},
    {"vendor-device", URB_FUNCTION_VENDOR_DEVICE},
    {"vendor-endpoint", URB_FUNCTION_VENDOR_ENDPOINT},
    {"class-interface", URB_FUNCTION_CLASS_INTERFACE},
    {"reset-pipe", URB_FUNCTION_RESET_PIPE},
    {"class-other", URB_FUNCTION_CLASS_OTHER},
    {"vendor-other", URB_FUNCTION_VENDOR_OTHER},
    {"abort-pipe", URB_FUNCTION_ABORT_PIPE},
    {"frame-number", URB_FUNCTION_GET_CURRENT_FRAME_NUMBER},
    {"isoch", URB_FUNCTION_ISOCH_TRANSFER},
};

struct UsbModels {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<sim::UsbModel>> models;
    std::map<std::string, uint32_t> tags;     // the last command block's tag, per device
    std::map<std::string, std::string> pdos;  // the PDO's name, per device
};

UsbModels& Models()
{
    static UsbModels* registry = [] {
        auto* r = new UsbModels;
        sim::RegisterResetHook([r] {
            std::lock_guard<std::mutex> lock(r->mutex);
            r->models.clear();
            r->tags.clear();
            r->pdos.clear();
        });
        return r;
    }();
    return *registry;
}

std::shared_ptr<sim::UsbModel> ModelOf(const std::string& device)
{
    UsbModels& registry = Models();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto it = registry.models.find(device);
    return it == registry.models.end() ? nullptr : it->second;
}

uint32_t NextTag(const std::string& device)
{
    UsbModels& registry = Models();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return ++registry.tags[device];
}

std::string PdoNameOf(const std::string& device)
{
    UsbModels& registry = Models();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const auto it = registry.pdos.find(device);
    return it == registry.pdos.end() ? std::string() : it->second;
}

unsigned long long Number(const Step& step, const char* key, unsigned long long fallback, unsigned long long limit)
{
    if (!step.Has(key))
        return fallback;
    const auto value = ParseNumber(step.Option(key));
    if (!value || *value > limit)
        throw UsbError{std::string(key) + "= takes 0 to " + Hex(limit)};
    return *value;
}

std::vector<unsigned char> Bytes(const Step& step, const char* key)
{
    if (!step.Has(key))
        return {};
    return ParseBytes(step.Option(key)).value();
}

USBD_PIPE_HANDLE Pipe(sim::UsbModel& model, UCHAR endpoint)
{
    USBD_PIPE_HANDLE handle = model.PipeHandle(endpoint);
    if (handle == nullptr)
        throw UsbError{"the device has no pipe for endpoint " + Hex(endpoint) +
                       " yet: select its configuration first ('usb-enumerate NAME')"};
    return handle;
}

UCHAR EndpointOption(const Step& step, sim::UsbModel& model, const std::string& fallback)
{
    const std::string pipe = step.Option("pipe", fallback);
    if (pipe == "in")
        return 0x81;
    if (pipe == "out") {
        if (model.PipeHandle(0x02) == nullptr && dynamic_cast<sim::UsbMouseModel*>(&model) != nullptr)
            throw UsbError{"the mouse has no OUT endpoint"};
        return 0x02;
    }
    const auto number = ParseNumber(pipe);
    if (!number || *number > 0xFF)
        throw UsbError{"pipe= takes in, out or an endpoint address such as 0x81"};
    return static_cast<UCHAR>(*number);
}

// Built only when named: by number these stay the bare headers they were.
bool BuiltByNameOnly(USHORT f)
{
    return f == URB_FUNCTION_ABORT_PIPE || f == URB_FUNCTION_GET_CURRENT_FRAME_NUMBER ||
           f == URB_FUNCTION_ISOCH_TRANSFER;
}

// A select-configuration or select-interface URB, sized as the
// configuration request builder sizes it: one interface with room for the
// pipes its descriptor names.
void LayOutSelect(sim::UsbModel& model, USHORT function, UrbRequest* request)
{
    const auto config = model.ConfigurationDescriptor();
    const ULONG pipes = config[9 + 4];
    const USHORT interfaceLength =
        static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) + (pipes - 1) * sizeof(USBD_PIPE_INFORMATION));
    if (function == URB_FUNCTION_SELECT_CONFIGURATION) {
        request->block.resize(sizeof(_URB_SELECT_CONFIGURATION) + (pipes - 1) * sizeof(USBD_PIPE_INFORMATION), 0);
        auto* select = reinterpret_cast<_URB_SELECT_CONFIGURATION*>(request->block.data());
        select->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(0x1);  // any non-NULL
        select->Interface.Length = interfaceLength;
    } else {
        request->block.resize(sizeof(_URB_SELECT_INTERFACE) + (pipes - 1) * sizeof(USBD_PIPE_INFORMATION), 0);
        auto* select = reinterpret_cast<_URB_SELECT_INTERFACE*>(request->block.data());
        select->ConfigurationHandle = model.ConfigurationHandle();
        select->Interface.Length = interfaceLength;
    }
}

// As a streaming client asks: packets= packets of the endpoint's size, back
// to back, from the next frame on.
void LayOutIsoch(const Step& step, sim::UsbModel& model, UrbRequest* request)
{
    const UCHAR endpoint = EndpointOption(step, model, "in");
    const ULONG packets = std::max<ULONG>(1, static_cast<ULONG>(Number(step, "packets", 1, 64)));
    ULONG size = 0;
    const auto config = model.ConfigurationDescriptor();
    for (size_t at = 0; at + 6 < config.size(); at += config[at] == 0 ? config.size() : config[at])
        if (config[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && config[at + 2] == endpoint)
            size = config[at + 4] | (config[at + 5] << 8);
    request->block.resize(sizeof(_URB_ISOCH_TRANSFER) + (packets - 1) * sizeof(USBD_ISO_PACKET_DESCRIPTOR), 0);
    auto* isoch = reinterpret_cast<_URB_ISOCH_TRANSFER*>(request->block.data());
    isoch->PipeHandle = Pipe(model, endpoint);
    isoch->TransferFlags =
        ((endpoint & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;
    isoch->NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i)
        isoch->IsoPacket[i].Offset = i * size;
    if (!step.Has("length"))
        request->transferLength = packets * size;
    request->bufferOffset = offsetof(_URB_ISOCH_TRANSFER, TransferBuffer);
}

void LayOutControl(const Step& step, UrbRequest* request)
{
    auto* control = Layout<_URB_CONTROL_TRANSFER>(request);
    const auto setup = Bytes(step, "setup");
    if (setup.size() != 8)
        throw UsbError{"a control transfer needs setup= with the 8 bytes of its setup packet"};
    std::memcpy(control->SetupPacket, setup.data(), 8);
    control->TransferFlags = ((setup[0] & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK |
                             0x8;  // USBD_DEFAULT_PIPE_TRANSFER
    if (!step.Has("length"))
        request->transferLength = static_cast<ULONG>(setup[6] | (setup[7] << 8));
    request->bufferOffset = offsetof(_URB_CONTROL_TRANSFER, TransferBuffer);
}

// The function's own part of the block.
void LayOutFunction(const Step& step, sim::UsbModel& model, USHORT function, ULONG flags, UrbRequest* request)
{
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION:
    case URB_FUNCTION_SELECT_INTERFACE:
        LayOutSelect(model, function, request);
        break;
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        const UCHAR endpoint = EndpointOption(step, model, "in");
        auto* bulk = Layout<_URB_BULK_OR_INTERRUPT_TRANSFER>(request);
        bulk->PipeHandle = step.Has("handle") ? reinterpret_cast<USBD_PIPE_HANDLE>(Number(step, "handle", 0, ~0ull))
                                              : Pipe(model, endpoint);
        bulk->TransferFlags = ((endpoint & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK;
        request->bufferOffset = offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer);
        break;
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        Layout<_URB_GET_CURRENT_FRAME_NUMBER>(request);
        break;
    case URB_FUNCTION_ISOCH_TRANSFER:
        LayOutIsoch(step, model, request);
        break;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_RESET_PIPE: {
        auto* pipe = Layout<_URB_PIPE_REQUEST>(request);
        pipe->PipeHandle = Pipe(model, EndpointOption(step, model, "in"));
        break;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
        auto* descriptor = Layout<_URB_CONTROL_DESCRIPTOR_REQUEST>(request);
        descriptor->DescriptorType = static_cast<UCHAR>(Number(step, "type", USB_DEVICE_DESCRIPTOR_TYPE, 0xFF));
        descriptor->Index = static_cast<UCHAR>(Number(step, "index", 0, 0xFF));
        descriptor->LanguageId = static_cast<USHORT>(Number(step, "language", 0, 0xFFFF));
        request->bufferOffset = offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer);
        if (!step.Has("length"))
            request->transferLength = 18;
        break;
    }
    case URB_FUNCTION_CONTROL_TRANSFER:
        LayOutControl(step, request);
        break;
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_VENDOR_OTHER: {
        auto* vendor = Layout<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST>(request);
        vendor->TransferFlags = flags;
        vendor->Request = static_cast<UCHAR>(Number(step, "request", 0, 0xFF));
        vendor->Value = static_cast<USHORT>(Number(step, "value", 0, 0xFFFF));
        vendor->Index = static_cast<USHORT>(Number(step, "index", 0, 0xFFFF));
        request->bufferOffset = offsetof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferBuffer);
        break;
    }
    default:
        // A function nobody serves: a bare header.
        Layout<_URB_HEADER>(request);
        break;
    }
}

// The URB of a 'urb' step.
UrbRequest BuildUrb(const Step& step, sim::UsbModel& model, USHORT function, bool named = true)
{
    UrbRequest request;
    const std::string direction = step.Option("direction", "in");
    if (direction != "in" && direction != "out")
        throw UsbError{"direction= takes in or out"};
    const ULONG flags = (direction == "in" ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK;
    request.data = Bytes(step, "data");
    request.transferLength = static_cast<ULONG>(Number(step, "length", request.data.size(), 0x100000));
    request.mdl = step.Option("mdl", "no") == "yes";

    const USHORT laidOut = !named && BuiltByNameOnly(function) ? USHORT{0xFFFF} : function;
    LayOutFunction(step, model, laidOut, flags, &request);
    reinterpret_cast<_URB_HEADER*>(request.block.data())->Function = function;
    request.length = static_cast<ULONG>(Number(step, "urb-length", request.block.size(), 0xFFFF));
    const std::string place = step.Option("urb-place", "end");
    if (place != "end" && place != "middle")
        throw UsbError{"urb-place= takes end or middle"};
    request.middle = place == "middle";
    if (request.bufferOffset == 0 && request.transferLength != 0)
        throw UsbError{"this function moves no data: length= and data= go with transfers"};

    const std::string major = step.Option("major", "internal");
    if (major != "internal" && major != "device-control")
        throw UsbError{"major= takes internal or device-control"};
    request.deviceControl = major == "device-control";
    const std::string mode = step.Option("mode", "kernel");
    if (mode != "kernel" && mode != "user")
        throw UsbError{"mode= takes kernel or user"};
    request.mode = mode == "user" ? UserMode : KernelMode;
    return request;
}

void CheckExpected(const Step& step, const UrbResult& result, bool defaultSuccess)
{
    if (step.Has("expect")) {
        const auto expected = static_cast<NTSTATUS>(*ParseNumber(step.Option("expect")));
        if (result.status != expected)
            throw UsbError{"the URB ended with " + Hex(static_cast<ULONG>(result.status)) + ", expected " +
                           Hex(static_cast<ULONG>(expected))};
    } else if (defaultSuccess && !NT_SUCCESS(result.status)) {
        throw UsbError{"the URB failed with " + Hex(static_cast<ULONG>(result.status)) + " (URB status " +
                       Hex(static_cast<ULONG>(result.urbStatus)) + "); say expect= when that is the point"};
    }
}

USHORT FunctionOf(const std::string& word)
{
    for (const NamedFunction& f : kFunctions)
        if (word == f.name)
            return f.value;
    const auto number = ParseNumber(word);
    if (!number || *number > 0xFFFF) {
        std::string names;
        for (const NamedFunction& f : kFunctions)
            names += std::string(names.empty() ? "" : ", ") + f.name;
        throw UsbError{"unknown URB function '" + word + "': expected " + names + " or a number"};
    }
    return static_cast<USHORT>(*number);
}

// A descriptor as enumeration fetches it.
UrbResult GetDescriptor(PDEVICE_OBJECT device, bool viaControl, UCHAR type, UCHAR index, USHORT language, ULONG length,
                        bool mdl)
{
    UrbRequest request;
    request.transferLength = length;
    request.mdl = mdl;
    if (viaControl) {
        auto* control = Layout<_URB_CONTROL_TRANSFER>(&request);
        const UCHAR setup[8] = {0x80,
                                0x06,
                                index,
                                type,
                                static_cast<UCHAR>(language),
                                static_cast<UCHAR>(language >> 8),
                                static_cast<UCHAR>(length),
                                static_cast<UCHAR>(length >> 8)};
        std::memcpy(control->SetupPacket, setup, 8);
        control->TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | 0x8;
        control->Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
        request.bufferOffset = offsetof(_URB_CONTROL_TRANSFER, TransferBuffer);
    } else {
        auto* descriptor = Layout<_URB_CONTROL_DESCRIPTOR_REQUEST>(&request);
        descriptor->DescriptorType = type;
        descriptor->Index = index;
        descriptor->LanguageId = language;
        descriptor->Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        request.bufferOffset = offsetof(_URB_CONTROL_DESCRIPTOR_REQUEST, TransferBuffer);
    }
    request.length = static_cast<ULONG>(request.block.size());
    UrbResult result = SendUrb(device, request);
    if (!NT_SUCCESS(result.status))
        throw UsbError{"the device refused descriptor " + Hex(type) + "/" + Hex(index) + ": " +
                       Hex(static_cast<ULONG>(result.status))};
    return result;
}

// Enumeration as the hub driver and the class driver do it between them:
// the device descriptor, the configuration descriptor's head and then all
// of it, the product string, and the configuration selected.
void Enumerate(const Step& step, PDEVICE_OBJECT device, sim::UsbModel& model)
{
    const std::string via = step.Option("via", "urb");
    if (via != "urb" && via != "control")
        throw UsbError{"via= takes urb or control"};
    const bool control = via == "control";
    const bool mdl = step.Option("mdl", "no") == "yes";
    GetDescriptor(device, control, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, mdl);
    const UrbResult head = GetDescriptor(device, control, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, mdl);
    if (head.data.size() < 4)
        throw UsbError{"the configuration descriptor came back short"};
    const ULONG total = head.data[2] | (head.data[3] << 8);
    GetDescriptor(device, control, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, total, mdl);
    GetDescriptor(device, control, USB_STRING_DESCRIPTOR_TYPE, 2, 0x0409, 0xFF, mdl);

    Step select = step;
    select.options.clear();
    UrbRequest request = BuildUrb(select, model, URB_FUNCTION_SELECT_CONFIGURATION);
    const UrbResult result = SendUrb(device, request);
    if (!NT_SUCCESS(result.status))
        throw UsbError{"the device refused its configuration: " + Hex(static_cast<ULONG>(result.status))};
}

UrbResult Bulk(PDEVICE_OBJECT device, sim::UsbModel& model, UCHAR endpoint, const std::vector<uint8_t>& data,
               ULONG length, bool mdl, bool deviceControl = false, uint8_t* external = nullptr)
{
    UrbRequest request;
    auto* bulk = Layout<_URB_BULK_OR_INTERRUPT_TRANSFER>(&request);
    bulk->Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    bulk->PipeHandle = Pipe(model, endpoint);
    bulk->TransferFlags = ((endpoint & 0x80) ? USBD_TRANSFER_DIRECTION_IN : 0) | USBD_SHORT_TRANSFER_OK;
    request.bufferOffset = offsetof(_URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer);
    request.data = data;
    request.transferLength = length;
    request.mdl = mdl;
    request.length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    request.deviceControl = deviceControl;
    request.external = external;
    return SendUrb(device, request);
}

void ResetPipe(PDEVICE_OBJECT device, sim::UsbModel& model, UCHAR endpoint)
{
    UrbRequest request;
    auto* pipe = Layout<_URB_PIPE_REQUEST>(&request);
    pipe->Hdr.Function = URB_FUNCTION_RESET_PIPE;
    pipe->PipeHandle = Pipe(model, endpoint);
    request.length = sizeof(_URB_PIPE_REQUEST);
    const UrbResult result = SendUrb(device, request);
    if (!NT_SUCCESS(result.status))
        throw UsbError{"the pipe reset failed: " + Hex(static_cast<ULONG>(result.status))};
}

// One command over bulk-only transport, as the mass-storage class driver
// runs it: the command block wrapper out, the data, the status wrapper in.
// A stalled pipe is reset and the transport goes on to the status. The data
// moves through `buffer` when given (length bytes, the caller's), else
// through a buffer of the transfer's own holding `out`. The status
// wrapper's status byte and residue come back.
struct BulkOnlyResult {
    UCHAR status = 0;
    ULONG residue = 0;
};

BulkOnlyResult BulkOnlyCommand(PDEVICE_OBJECT device, sim::UsbModel& model, const std::string& name,
                               const std::vector<uint8_t>& cdb, bool in, ULONG length, const std::vector<uint8_t>& out,
                               uint8_t* buffer, bool mdl)
{
    std::vector<uint8_t> cbw(sim::UsbFlashDiskModel::kCbwLength, 0);
    const uint32_t fields[3] = {0x43425355, NextTag(name), length};
    for (int f = 0; f < 3; ++f)
        for (int i = 0; i < 4; ++i)
            cbw[f * 4 + i] = static_cast<uint8_t>(fields[f] >> (8 * i));
    cbw[12] = in ? 0x80 : 0x00;
    cbw[14] = static_cast<uint8_t>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), cbw.begin() + 15);
    UrbResult result =
        Bulk(device, model, sim::UsbFlashDiskModel::kBulkOut, cbw, static_cast<ULONG>(cbw.size()), false);
    if (!NT_SUCCESS(result.status))
        throw UsbError{"the device refused the command block: " + Hex(static_cast<ULONG>(result.status))};

    if (length != 0) {
        const UCHAR endpoint = in ? sim::UsbFlashDiskModel::kBulkIn : sim::UsbFlashDiskModel::kBulkOut;
        result = Bulk(device, model, endpoint, out, length, mdl, false, buffer);
        if (result.urbStatus == USBD_STATUS_STALL_PID)
            ResetPipe(device, model, endpoint);
    }
    result = Bulk(device, model, sim::UsbFlashDiskModel::kBulkIn, {}, sim::UsbFlashDiskModel::kCswLength, false);
    if (!NT_SUCCESS(result.status) || result.data.size() != sim::UsbFlashDiskModel::kCswLength)
        throw UsbError{"no command status came back"};
    BulkOnlyResult csw;
    csw.status = result.data[12];
    csw.residue =
        result.data[8] | (result.data[9] << 8) | (result.data[10] << 16) | (static_cast<ULONG>(result.data[11]) << 24);
    return csw;
}

void UsbScsi(const Step& step, PDEVICE_OBJECT device, sim::UsbModel& model)
{
    const auto cdb = Bytes(step, "cdb");
    if (cdb.empty() || cdb.size() > 16)
        throw UsbError{"cdb= takes 1 to 16 bytes"};
    const auto data = Bytes(step, "data");
    const ULONG length = static_cast<ULONG>(Number(step, "length", data.size(), 0x100000));
    const bool mdl = step.Option("mdl", "no") == "yes";
    const BulkOnlyResult csw =
        BulkOnlyCommand(device, model, step.args[0], cdb, data.empty(), length, data, nullptr, mdl);
    const auto expected = Number(step, "csw", 0, 0xFF);
    if (csw.status != expected)
        throw UsbError{"the command's status is " + std::to_string(csw.status) + ", expected " +
                       std::to_string(expected) + " (csw=)"};
}

// The storage port of a USB flash disk: the PDO the disk class driver
// sends its SRBs to. Each command goes over bulk-only transport to the
// device's own stack, through whatever filters sit on it; a failed command
// is followed by REQUEST SENSE for the SRB's autosense. Completes every
// request before returning, as a port that waits for its device.
class UsbStoragePort final : public sim::DeviceModel {
public:
    explicit UsbStoragePort(std::string over) : over_(std::move(over)) {}

    NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override
    {
        sim::Pdo* bus = sim::FindPdo(pdo);
        const PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
        NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
        ULONG_PTR information = 0;
        switch (location->MajorFunction) {
        case IRP_MJ_SCSI:
            status = Execute(location->Parameters.Scsi.Srb, &information);
            break;
        case IRP_MJ_CREATE:
        case IRP_MJ_CLEANUP:
        case IRP_MJ_CLOSE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MJ_SYSTEM_CONTROL:
            return bus->Answer(irp, sim::Reply::Unchanged());
        default:
            break;
        }
        return bus->Answer(irp, sim::Reply::Complete(status, information));
    }

private:
    NTSTATUS Execute(PSCSI_REQUEST_BLOCK srb, ULONG_PTR* information)
    {
        if (srb == nullptr)
            return STATUS_INVALID_PARAMETER;
        if (srb->Function != SRB_FUNCTION_EXECUTE_SCSI) {
            srb->SrbStatus = SRB_STATUS_SUCCESS;
            return STATUS_SUCCESS;
        }
        const auto model = ModelOf(over_);
        const std::string pdoName = PdoNameOf(over_);
        PDEVICE_OBJECT device = pdoName.empty() ? nullptr : sim::FindDevice(pdoName);
        if (!model || device == nullptr) {
            srb->SrbStatus = SRB_STATUS_NO_DEVICE;
            return STATUS_NO_SUCH_DEVICE;
        }
        try {
            const std::vector<uint8_t> cdb(srb->Cdb, srb->Cdb + std::min<size_t>(srb->CdbLength, 16));
            const bool in = (srb->SrbFlags & SRB_FLAGS_DATA_IN) != 0;
            const ULONG length =
                (srb->SrbFlags & (SRB_FLAGS_DATA_IN | SRB_FLAGS_DATA_OUT)) ? srb->DataTransferLength : 0;
            const BulkOnlyResult csw = BulkOnlyCommand(device, *model, over_, cdb, in, length, {},
                                                       static_cast<uint8_t*>(srb->DataBuffer), false);
            srb->ScsiStatus = SCSISTAT_GOOD;
            if (csw.status == 0) {
                srb->DataTransferLength = length - std::min(csw.residue, length);
                srb->SrbStatus = SRB_STATUS_SUCCESS;
                *information = srb->DataTransferLength;
                return STATUS_SUCCESS;
            }
            srb->DataTransferLength = 0;
            srb->ScsiStatus = SCSISTAT_CHECK_CONDITION;
            srb->SrbStatus = SRB_STATUS_ERROR;
            if (srb->SenseInfoBuffer != nullptr && srb->SenseInfoBufferLength != 0 &&
                !(srb->SrbFlags & SRB_FLAGS_DISABLE_AUTOSENSE)) {
                const UCHAR senseLength = srb->SenseInfoBufferLength;
                const BulkOnlyResult sense =
                    BulkOnlyCommand(device, *model, over_, {0x03, 0, 0, 0, senseLength, 0}, true, senseLength, {},
                                    static_cast<uint8_t*>(srb->SenseInfoBuffer), false);
                if (sense.status == 0) {
                    srb->SenseInfoBufferLength =
                        static_cast<UCHAR>(senseLength - std::min<ULONG>(sense.residue, senseLength));
                    srb->SrbStatus |= SRB_STATUS_AUTOSENSE_VALID;
                }
            }
            return STATUS_IO_DEVICE_ERROR;
        } catch (const UsbError&) {
            srb->SrbStatus = SRB_STATUS_ERROR;
            return STATUS_IO_DEVICE_ERROR;
        }
    }

    const std::string over_;
};

}  // namespace

bool IsUsbModel(const std::string& model)
{
    return model == "usb-disk" || model == "usb-mouse" || model == "usb-camera" || model == "usb-storage";
}

bool ParseUsbModel(const Step& step, const std::string& model, sim::PdoOptions* options, std::string* reason)
{
    if (model == "usb-storage") {
        if (!step.Has("over")) {
            *reason = "model=usb-storage needs over=NAME, the USB flash disk it is the storage port of";
            return false;
        }
        const auto disk = ModelOf(step.Option("over"));
        if (!disk || dynamic_cast<sim::UsbFlashDiskModel*>(disk.get()) == nullptr) {
            *reason = "over= names a device declared before with model=usb-disk";
            return false;
        }
        if (!step.Has("type"))
            options->deviceType = FILE_DEVICE_DISK;
        options->model = std::make_shared<UsbStoragePort>(step.Option("over"));
        return true;
    }
    if (step.Has("over")) {
        *reason = "over= goes with model=usb-storage";
        return false;
    }
    std::shared_ptr<sim::UsbModel> usb;
    if (model == "usb-disk") {
        ULONG64 blocks = sim::ScsiDiskModel::kDefaultBlocks;
        if (step.Has("blocks")) {
            blocks = ParseNumber(step.Option("blocks")).value();
            if (blocks == 0 || blocks > (1ull << 32)) {
                *reason = "blocks= takes 1 to 2^32 blocks";
                return false;
            }
        }
        usb = std::make_shared<sim::UsbFlashDiskModel>(blocks);
    } else {
        if (step.Has("blocks")) {
            *reason = "blocks= describes a disk";
            return false;
        }
        if (model == "usb-camera")
            usb = std::make_shared<sim::UsbCameraModel>();
        else
            usb = std::make_shared<sim::UsbMouseModel>();
    }
    for (const char* key : {"revision", "removable"})
        if (step.Has(key)) {
            *reason = std::string(key) + "= describes a SCSI device: it needs model=disk or model=cdrom";
            return false;
        }
    sim::UsbIdentity identity = usb->Identity();
    if (step.Has("vendor"))
        identity.manufacturer = step.Option("vendor");
    if (step.Has("product"))
        identity.product = step.Option("product");
    usb->SetIdentity(identity);
    // The flash disk's bridge reports the same names to INQUIRY, as far as
    // its fields hold them.
    if (auto* disk = dynamic_cast<sim::UsbFlashDiskModel*>(usb.get()))
        disk->Disk().SetIdentity(
            sim::ScsiIdentity{identity.manufacturer.substr(0, 8), identity.product.substr(0, 16), "1.00"});
    if (!step.Has("type"))
        options->deviceType = FILE_DEVICE_UNKNOWN;
    options->model = usb;
    if (!step.args.empty()) {
        UsbModels& registry = Models();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.models[step.args[0]] = usb;
        registry.pdos[step.args[0]] = step.Option("pdo", "\\Device\\" + step.args[0]);
    }
    return true;
}

bool IsUsbCommand(const std::string& command)
{
    return command == "urb" || command == "usb-enumerate" || command == "usb-scsi" || command == "mouse" ||
           command == "stall" || command == "usb-answer";
}

std::string RunUsbStep(const Step& step, sim::Pdo& pdo)
{
    const std::string& name = step.args[0];
    const auto model = ModelOf(name);
    if (!model)
        return "device '" + name + "' is no USB device: declare it with model=usb-disk, usb-mouse or usb-camera";
    PDEVICE_OBJECT device = pdo.Device();
    const std::string& c = step.command;
    try {
        if (c == "urb") {
            const USHORT function = FunctionOf(step.args[1]);
            const bool named = !ParseNumber(step.args[1]).has_value();
            const UrbResult result = SendUrb(device, BuildUrb(step, *model, function, named));
            CheckExpected(step, result, false);
        } else if (c == "usb-enumerate") {
            Enumerate(step, device, *model);
        } else if (c == "usb-scsi") {
            if (dynamic_cast<sim::UsbFlashDiskModel*>(model.get()) == nullptr)
                return "usb-scsi needs a device with model=usb-disk";
            UsbScsi(step, device, *model);
        } else if (c == "mouse") {
            auto* mouse = dynamic_cast<sim::UsbMouseModel*>(model.get());
            if (mouse == nullptr)
                return "mouse needs a device with model=usb-mouse";
            auto signedByte = [&step](const char* key) {
                const auto value = ParseNumber(step.Option(key, "0"));
                if (!value)
                    throw UsbError{std::string(key) + "= takes a number"};
                return static_cast<int8_t>(static_cast<uint8_t>(*value));
            };
            const std::string major = step.Option("major", "internal");
            if (major != "internal" && major != "device-control")
                return "major= takes internal or device-control";
            mouse->Move(signedByte("dx"), signedByte("dy"), static_cast<UCHAR>(Number(step, "buttons", 0, 0xFF)),
                        signedByte("wheel"));
            // The HID class driver's read: an interrupt transfer that the
            // movement completes.
            const UrbResult result =
                Bulk(device, *model, sim::UsbMouseModel::kInterruptIn, {}, sim::UsbMouseModel::kReportLength,
                     step.Option("mdl", "no") == "yes", step.Option("major", "internal") == "device-control");
            CheckExpected(step, result, true);
        } else if (c == "stall") {
            const std::string which = step.args.size() > 1 ? step.args[1] : "";
            const UCHAR endpoint = which == "in" ? 0x81 : which == "out" ? 0x02 : 0;
            if (endpoint == 0)
                return "stall takes in or out";
            pdo.WaitIdle();
            model->Stall(endpoint);
        } else if (c == "usb-answer") {
            const std::string how = step.args.size() > 1 ? step.args[1] : "";
            const std::string irql = step.Option("irql", "dispatch");
            if (irql != "passive" && irql != "dispatch")
                return "irql= takes passive or dispatch";
            pdo.WaitIdle();
            if (how == "sync") {
                model->AnswerSynchronously();
            } else if (how == "pend") {
                const auto delay = Number(step, "delay", 0, 10000);
                model->AnswerPended(irql == "dispatch" ? DISPATCH_LEVEL : PASSIVE_LEVEL,
                                    std::chrono::milliseconds(delay));
            } else {
                return "usb-answer takes sync or pend";
            }
        } else {
            return "'" + c + "' is no USB step";
        }
    } catch (const UsbError& error) {
        return error.reason;
    }
    return "";
}

}  // namespace scn
