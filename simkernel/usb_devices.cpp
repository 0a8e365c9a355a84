// The simulated USB devices: a flash disk (bulk-only mass storage), a camera
// (isochronous) and a mouse (HID), each answering its class's requests on top
// of what every device answers in usb_model.cpp.
#include <cstring>

#include "simkernel/usb_model.h"

namespace sim {
namespace {
constexpr UCHAR kDirectionIn = 0x80;  // bmRequestType: device to host

void Put32(uint8_t* out, uint32_t value) {
    for (int i = 0; i < 4; ++i)
        out[i] = static_cast<uint8_t>(value >> (8 * i));
}
uint32_t Get32(const uint8_t* in) {
    return in[0] | (in[1] << 8) | (in[2] << 16) | (static_cast<uint32_t>(in[3]) << 24);
}
}  // namespace

// ---------------------------------------------------------------------------
// The flash disk

namespace {
constexpr uint32_t kCbwSignature = 0x43425355;  // "USBC"
constexpr uint32_t kCswSignature = 0x53425355;  // "USBS"
constexpr UCHAR kGetMaxLun = 0xFE;
constexpr UCHAR kMassStorageReset = 0xFF;
constexpr UCHAR kCswPassed = 0;
constexpr UCHAR kCswFailed = 1;
}  // namespace

UsbFlashDiskModel::UsbFlashDiskModel(ULONG64 blocks)
    : UsbModel(0x0951, 0x1666, 64, {0x08, 0x06, 0x50}, {},
               {{kBulkIn, UsbdPipeTypeBulk, 512, 0}, {kBulkOut, UsbdPipeTypeBulk, 512, 0}},
               UsbIdentity{"Zelkor", "Flash Disk", "0123456789AB"}),
      disk_(blocks) {}

void UsbFlashDiskModel::Reset() {
    phase_ = Phase::Command;
    pending_.clear();
    residue_ = 0;
    cswStatus_ = kCswPassed;
}

void UsbFlashDiskModel::Run(const std::vector<uint8_t>* dataOut) {
    SCSI_REQUEST_BLOCK srb{};
    srb.Length = sizeof(SCSI_REQUEST_BLOCK);
    srb.Function = SRB_FUNCTION_EXECUTE_SCSI;
    srb.CdbLength = sizeof cdb_;
    std::memcpy(srb.Cdb, cdb_, sizeof cdb_);
    // No autosense: the host asks with REQUEST SENSE, as bulk-only
    // transport has it; and no queue to freeze.
    srb.SrbFlags = SRB_FLAGS_NO_QUEUE_FREEZE | SRB_FLAGS_DISABLE_AUTOSENSE |
                   (expected_ == 0 ? 0
                    : in_          ? SRB_FLAGS_DATA_IN
                                   : SRB_FLAGS_DATA_OUT);
    std::vector<uint8_t> buffer(expected_);
    if (dataOut != nullptr)
        std::copy(dataOut->begin(), dataOut->begin() + std::min<size_t>(dataOut->size(), expected_), buffer.begin());
    srb.DataTransferLength = expected_;
    srb.DataBuffer = buffer.empty() ? nullptr : buffer.data();
    const UCHAR status = SRB_STATUS(disk_.ExecuteBridged(&srb));
    const bool passed = status == SRB_STATUS_SUCCESS || status == SRB_STATUS_DATA_OVERRUN;
    const ULONG moved = passed ? srb.DataTransferLength : 0;
    cswStatus_ = passed ? kCswPassed : kCswFailed;
    residue_ = expected_ - moved;
    if (in_ && expected_ != 0) {
        pending_.assign(buffer.begin(), buffer.begin() + moved);
        phase_ = Phase::DataIn;
    } else {
        phase_ = Phase::Status;
    }
}

USBD_STATUS UsbFlashDiskModel::TransferOut(UCHAR endpoint, const std::vector<uint8_t>& data) {
    if (endpoint != kBulkOut) return USBD_STATUS_STALL_PID;
    if (phase_ == Phase::Command) {
        if (data.size() != kCbwLength || Get32(data.data()) != kCbwSignature || data[13] != 0 || data[14] == 0 ||
            data[14] > 16)
            return USBD_STATUS_STALL_PID;  // not a valid command block wrapper
        tag_ = Get32(data.data() + 4);
        expected_ = Get32(data.data() + 8);
        in_ = (data[12] & 0x80) != 0;
        std::memset(cdb_, 0, sizeof cdb_);
        std::memcpy(cdb_, data.data() + 15, data[14]);
        if (expected_ != 0 && !in_) {
            phase_ = Phase::DataOut;
            return USBD_STATUS_SUCCESS;
        }
        Run(nullptr);
        return USBD_STATUS_SUCCESS;
    }
    if (phase_ == Phase::DataOut) {
        Run(&data);
        return USBD_STATUS_SUCCESS;
    }
    return USBD_STATUS_STALL_PID;  // data out of turn
}

USBD_STATUS UsbFlashDiskModel::TransferIn(UCHAR endpoint, std::vector<uint8_t>* data) {
    if (endpoint != kBulkIn) return USBD_STATUS_STALL_PID;
    if (phase_ == Phase::DataIn) {
        data->assign(pending_.begin(), pending_.begin() + std::min(pending_.size(), data->size()));
        residue_ = expected_ - static_cast<uint32_t>(data->size());
        pending_.clear();
        phase_ = Phase::Status;
        return USBD_STATUS_SUCCESS;
    }
    if (phase_ == Phase::Status) {
        std::vector<uint8_t> csw(kCswLength, 0);
        Put32(csw.data(), kCswSignature);
        Put32(csw.data() + 4, tag_);
        Put32(csw.data() + 8, residue_);
        csw[12] = cswStatus_;
        csw.resize(std::min<size_t>(csw.size(), data->size()));
        *data = csw;
        Reset();
        return USBD_STATUS_SUCCESS;
    }
    return USBD_STATUS_STALL_PID;
}

USBD_STATUS UsbFlashDiskModel::ClassRequest(const UCHAR* setup, std::vector<uint8_t>* data) {
    if (setup[1] == kGetMaxLun && (setup[0] & kDirectionIn)) {
        data->assign(std::min<size_t>(1, data->size()), 0);
        return USBD_STATUS_SUCCESS;
    }
    if (setup[1] == kMassStorageReset && !(setup[0] & kDirectionIn)) {
        Reset();
        return USBD_STATUS_SUCCESS;
    }
    return USBD_STATUS_STALL_PID;
}

// A stall in the data phase ended the command: nothing more moves, and the
// status wrapper says so. A reset in any other phase changes nothing.
void UsbFlashDiskModel::PipeReset(UCHAR endpoint) {
    if ((endpoint == kBulkIn && phase_ == Phase::DataIn) || (endpoint == kBulkOut && phase_ == Phase::DataOut)) {
        pending_.clear();
        residue_ = expected_;
        cswStatus_ = kCswFailed;
        phase_ = Phase::Status;
    } else if (phase_ == Phase::Command && endpoint == kBulkOut) {
        // A command block that was refused: the host starts over.
        Reset();
    }
}

// ---------------------------------------------------------------------------
// The camera

UsbCameraModel::UsbCameraModel()
    : UsbModel(0x046D, 0x0825, 64, {0x0E, 0x02, 0x00}, {}, {{kIsochIn, UsbdPipeTypeIsochronous, kPacketSize, 1}},
               UsbIdentity{"Zelkor", "Camera", ""}) {}

USBD_STATUS UsbCameraModel::TransferOut(UCHAR endpoint, const std::vector<uint8_t>& data) {
    (void)endpoint;
    (void)data;
    return USBD_STATUS_STALL_PID;
}

USBD_STATUS UsbCameraModel::TransferIn(UCHAR endpoint, std::vector<uint8_t>* data) {
    if (endpoint != kIsochIn) return USBD_STATUS_STALL_PID;
    data->resize(std::min<size_t>(data->size(), 12));
    for (size_t i = 0; i < data->size(); ++i)
        (*data)[i] = i == 0 ? 2 : i == 1 ? 0x80 : next_++;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbCameraModel::ClassRequest(const UCHAR* setup, std::vector<uint8_t>* data) {
    (void)setup;
    data->clear();
    return USBD_STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------
// The mouse

namespace {
// A HID class descriptor: HID 1.11, no country, one report descriptor of
// 0x34 bytes.
const std::vector<uint8_t> kHidDescriptor = {9, 0x21, 0x11, 0x01, 0x00, 0x01, 0x22, 0x34, 0x00};
// The report descriptor: a mouse of three buttons (five bits of padding),
// X, Y and wheel, each a signed byte, relative.
const std::vector<uint8_t> kHidReportDescriptor = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01, 0x09, 0x01, 0xA1, 0x00, 0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x15, 0x00,
    0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02, 0x95, 0x01, 0x75, 0x05, 0x81, 0x03, 0x05, 0x01, 0x09, 0x30,
    0x09, 0x31, 0x09, 0x38, 0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x03, 0x81, 0x06, 0xC0, 0xC0};
constexpr UCHAR kHidReportDescriptorType = 0x22;
constexpr UCHAR kHidGetReport = 0x01;
constexpr UCHAR kHidSetIdle = 0x0A;
constexpr UCHAR kHidSetProtocol = 0x0B;
}  // namespace

UsbMouseModel::UsbMouseModel()
    : UsbModel(0x046D, 0xC077, 8, {0x03, 0x01, 0x02}, kHidDescriptor, {{kInterruptIn, UsbdPipeTypeInterrupt, 4, 10}},
               UsbIdentity{"Zelkor", "Optical Mouse", ""}) {}

void UsbMouseModel::Move(int8_t dx, int8_t dy, UCHAR buttons, int8_t wheel) {
    std::lock_guard<std::mutex> lock(reportsMutex_);
    reports_.push_back({buttons, static_cast<uint8_t>(dx), static_cast<uint8_t>(dy), static_cast<uint8_t>(wheel)});
}

USBD_STATUS UsbMouseModel::TransferOut(UCHAR endpoint, const std::vector<uint8_t>& data) {
    (void)endpoint;
    (void)data;
    return USBD_STATUS_STALL_PID;
}

USBD_STATUS UsbMouseModel::TransferIn(UCHAR endpoint, std::vector<uint8_t>* data) {
    if (endpoint != kInterruptIn) return USBD_STATUS_STALL_PID;
    std::lock_guard<std::mutex> lock(reportsMutex_);
    if (!reports_.empty()) {
        last_ = reports_.front();
        reports_.pop_front();
    }
    data->assign(last_.begin(), last_.begin() + std::min(last_.size(), data->size()));
    return USBD_STATUS_SUCCESS;
}

std::vector<uint8_t> UsbMouseModel::InterfaceDescriptor(UCHAR type) const {
    return type == kHidReportDescriptorType ? kHidReportDescriptor : std::vector<uint8_t>{};
}

USBD_STATUS UsbMouseModel::ClassRequest(const UCHAR* setup, std::vector<uint8_t>* data) {
    if (setup[1] == kHidSetIdle || setup[1] == kHidSetProtocol) {
        data->clear();
        return USBD_STATUS_SUCCESS;
    }
    if (setup[1] == kHidGetReport && (setup[0] & kDirectionIn)) {
        std::lock_guard<std::mutex> lock(reportsMutex_);
        data->assign(last_.begin(), last_.begin() + std::min(last_.size(), data->size()));
        return USBD_STATUS_SUCCESS;
    }
    return USBD_STATUS_STALL_PID;
}

}  // namespace sim
