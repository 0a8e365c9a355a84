// USB devices behind the simulated bus: what a client driver meets below it
// when it submits URBs (IOCTL_INTERNAL_USB_SUBMIT_URB), the USB stack and the
// device together.
//
// The stack answers as the real one does:
//   - descriptors (device, configuration, string) for
//     URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE and for a standard
//     GET_DESCRIPTOR in URB_FUNCTION_CONTROL_TRANSFER, cut to the buffer;
//   - URB_FUNCTION_SELECT_CONFIGURATION and SELECT_INTERFACE fill the
//     configuration, interface and pipe handles and the pipes' endpoint,
//     type, packet size and interval;
//   - bulk and interrupt transfers on a selected pipe, vendor and class
//     requests, URB_FUNCTION_RESET_PIPE (clears a stall), ABORT_PIPE;
//   - isochronous transfers on an isochronous pipe, packet by packet, each
//     with its length and status; GET_CURRENT_FRAME_NUMBER answers the
//     milliseconds since boot of the performance counter, as 1 ms frames;
//   - every transfer moves its data through TransferBuffer or, when that is
//     NULL, through TransferBufferMDL; TransferBufferLength comes back as the
//     bytes moved;
//   - the URB's status in Hdr.Status, the request's in IoStatus: a stalled
//     endpoint gives USBD_STATUS_STALL_PID and STATUS_UNSUCCESSFUL, a pipe
//     handle the device never handed out USBD_STATUS_INVALID_PIPE_HANDLE and
//     STATUS_INVALID_PARAMETER, a function it does not serve
//     USBD_STATUS_INVALID_URB_FUNCTION and STATUS_INVALID_PARAMETER;
//   - a URB on IRP_MJ_DEVICE_CONTROL is served as on the internal path when a
//     kernel-mode driver sent it; a program's request is refused with
//     STATUS_INVALID_DEVICE_REQUEST.
// Data moves when the request arrives; a pended request then only waits for
// its completion, which the bus's worker does at the IRQL asked for.
//
// Handles are opaque values, the same on every run: nothing behind them is
// memory, as for a client, which never reads them.
#pragma once
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/ntusb.h"
#include "simkernel/bus.h"
#include "simkernel/scsi_model.h"

namespace sim {

// The strings a device reports (string descriptors 1 to 3).
struct UsbIdentity {
    std::string manufacturer;
    std::string product;
    std::string serial;
};

class UsbModel : public DeviceModel {
public:
    UsbModel(const UsbModel&) = delete;
    UsbModel& operator=(const UsbModel&) = delete;

    NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override;

    void SetIdentity(const UsbIdentity& identity);
    UsbIdentity Identity() const;

    // How requests are completed: before Dispatch returns (the default), or
    // pended and completed by the bus's worker at `irql` after `delay`.
    void AnswerSynchronously();
    void AnswerPended(KIRQL irql = DISPATCH_LEVEL, std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    // The endpoint (0x81, 0x02, ...) answers every transfer with a STALL
    // until its pipe is reset.
    void Stall(UCHAR endpoint);
    bool Stalled(UCHAR endpoint) const;

    // The handle of the endpoint's pipe once a configuration is selected,
    // else nullptr. The handles of the configuration and its interface.
    USBD_PIPE_HANDLE PipeHandle(UCHAR endpoint) const;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle() const;
    bool Configured() const;

    std::vector<uint8_t> DeviceDescriptor() const;
    std::vector<uint8_t> ConfigurationDescriptor() const;
    // String descriptor `index` (0: the language list), empty for none.
    std::vector<uint8_t> StringDescriptor(UCHAR index) const;

    // The endpoints of the one interface, as the configuration describes them.
    struct Endpoint {
        UCHAR address;  // bit 7 set: IN
        USBD_PIPE_TYPE type;
        USHORT maxPacket;
        UCHAR interval;
    };

protected:
    UsbModel(USHORT vendorId, USHORT productId, UCHAR maxPacket0, std::vector<uint8_t> interfaceClass,
             std::vector<uint8_t> classDescriptor, std::vector<Endpoint> endpoints, const UsbIdentity& identity);

    // A transfer's data phase on a pipe of the interface. Out: data holds
    // what the host sent. In: the device fills data, at most its size, and
    // cuts it to what it sends. Called with the model's lock held.
    virtual USBD_STATUS TransferOut(UCHAR endpoint, const std::vector<uint8_t>& data) = 0;
    virtual USBD_STATUS TransferIn(UCHAR endpoint, std::vector<uint8_t>* data) = 0;
    // A class request to the interface (setup packet in `setup`); data as
    // for the transfers, its direction from bit 7 of setup[0].
    virtual USBD_STATUS ClassRequest(const UCHAR* setup, std::vector<uint8_t>* data) = 0;
    // The pipe of `endpoint` was reset.
    virtual void PipeReset(UCHAR endpoint) { (void)endpoint; }
    // A descriptor of the interface's class that a standard GET_DESCRIPTOR
    // to the interface asks for (a HID report descriptor), or empty: the
    // device stalls.
    virtual std::vector<uint8_t> InterfaceDescriptor(UCHAR type) const {
        (void)type;
        return {};
    }

private:
    struct Outcome {
        USBD_STATUS urb = USBD_STATUS_SUCCESS;
        NTSTATUS status = STATUS_SUCCESS;
    };
    struct Pipe {
        Endpoint endpoint;
        bool stalled = false;
    };

    Outcome Serve(PIRP irp, PURB urb);
    Outcome SelectConfiguration(PURB urb, ULONG length);
    Outcome SelectInterface(PURB urb, ULONG length);
    Outcome Descriptor(UCHAR type, UCHAR index, std::vector<uint8_t>* data) const;
    Outcome ControlRequest(const UCHAR* setup, std::vector<uint8_t>* data);
    Outcome PipeTransfer(PIRP irp, PURB urb);
    Outcome IsochTransfer(PIRP irp, PURB urb, ULONG length);
    Outcome PipeRequest(PURB urb);
    Outcome VendorRequest(const UCHAR* setup, std::vector<uint8_t>* data);
    void FillInterface(USBD_INTERFACE_INFORMATION* info, ULONG room);
    Pipe* FindPipe(USBD_PIPE_HANDLE handle);
    Pipe* FindEndpoint(UCHAR endpoint);
    const Pipe* FindEndpoint(UCHAR endpoint) const;
    USBD_PIPE_HANDLE HandleOf(size_t pipe) const;

    const USHORT vendorId_;
    const USHORT productId_;
    const UCHAR maxPacket0_;
    const std::vector<uint8_t> interfaceClass_;   // class, subclass, protocol
    const std::vector<uint8_t> classDescriptor_;  // between the interface and its endpoints, or empty
    const uintptr_t handleBase_;                  // where this device's handles start

    mutable std::mutex mutex_;
    UsbIdentity identity_;
    std::vector<Pipe> pipes_;
    bool configured_ = false;
    bool pended_ = false;
    KIRQL pendIrql_ = DISPATCH_LEVEL;
    std::chrono::milliseconds pendDelay_{0};
};

// A USB flash disk: one interface of class 08 (mass storage), subclass 06
// (SCSI commands), protocol 0x50 (bulk-only transport), bulk IN at 0x81 and
// bulk OUT at 0x02. A command goes out as a 31-byte command block wrapper,
// its data follows on the pipe of its direction, and a 13-byte command
// status wrapper comes back; the commands run on a SCSI disk model.
// GET MAX LUN answers 0; a transfer out of turn stalls the pipe it came on.
// A stall during the data phase ends the command: once the host has reset
// the pipe, the status wrapper reports it failed with nothing moved.
class UsbFlashDiskModel final : public UsbModel {
public:
    static constexpr UCHAR kBulkIn = 0x81;
    static constexpr UCHAR kBulkOut = 0x02;
    static constexpr ULONG kCbwLength = 31;
    static constexpr ULONG kCswLength = 13;

    explicit UsbFlashDiskModel(ULONG64 blocks = ScsiDiskModel::kDefaultBlocks);
    ScsiDiskModel& Disk() { return disk_; }

protected:
    USBD_STATUS TransferOut(UCHAR endpoint, const std::vector<uint8_t>& data) override;
    USBD_STATUS TransferIn(UCHAR endpoint, std::vector<uint8_t>* data) override;
    USBD_STATUS ClassRequest(const UCHAR* setup, std::vector<uint8_t>* data) override;
    void PipeReset(UCHAR endpoint) override;

private:
    enum class Phase { Command, DataIn, DataOut, Status };
    void Run(const std::vector<uint8_t>* dataOut);
    void Reset();

    ScsiDiskModel disk_;
    Phase phase_ = Phase::Command;
    uint32_t tag_ = 0;
    uint32_t expected_ = 0;  // dCBWDataTransferLength
    bool in_ = false;
    UCHAR cdb_[16] = {};
    std::vector<uint8_t> pending_;  // data the device still has to send
    uint32_t residue_ = 0;
    UCHAR cswStatus_ = 0;
};

// A USB camera streaming video: one interface of class 0E (video),
// subclass 02 (streaming), isochronous IN at 0x81, 0x3FC bytes a packet,
// every frame. Each packet is 12 bytes: a 2-byte payload header, then
// counting bytes.
class UsbCameraModel final : public UsbModel {
public:
    static constexpr UCHAR kIsochIn = 0x81;
    static constexpr USHORT kPacketSize = 0x3FC;

    UsbCameraModel();

protected:
    USBD_STATUS TransferOut(UCHAR endpoint, const std::vector<uint8_t>& data) override;
    USBD_STATUS TransferIn(UCHAR endpoint, std::vector<uint8_t>* data) override;
    USBD_STATUS ClassRequest(const UCHAR* setup, std::vector<uint8_t>* data) override;

private:
    uint8_t next_ = 0;
};

// A HID mouse (boot protocol): one interface of class 03, subclass 01,
// protocol 02, interrupt IN at 0x81 every 10 ms. Each interrupt transfer
// returns the next queued movement as a 4-byte report (buttons, X, Y,
// wheel); with none queued the mouse repeats its last report, as at a
// non-zero idle rate. SET_IDLE and SET_PROTOCOL succeed. Its report
// descriptor (GET_DESCRIPTOR 0x22 to the interface) describes that report.
class UsbMouseModel final : public UsbModel {
public:
    static constexpr UCHAR kInterruptIn = 0x81;
    static constexpr ULONG kReportLength = 4;

    UsbMouseModel();
    void Move(int8_t dx, int8_t dy, UCHAR buttons = 0, int8_t wheel = 0);

protected:
    USBD_STATUS TransferOut(UCHAR endpoint, const std::vector<uint8_t>& data) override;
    USBD_STATUS TransferIn(UCHAR endpoint, std::vector<uint8_t>* data) override;
    USBD_STATUS ClassRequest(const UCHAR* setup, std::vector<uint8_t>* data) override;
    std::vector<uint8_t> InterfaceDescriptor(UCHAR type) const override;

private:
    std::mutex reportsMutex_;
    std::deque<std::vector<uint8_t>> reports_;
    std::vector<uint8_t> last_ = std::vector<uint8_t>(kReportLength, 0);
};

}  // namespace sim
