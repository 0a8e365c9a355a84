// A simulated IEEE 1394 bus behind a PDO: it answers IOCTL_1394_CLASS
// requests as the 1394 bus driver does. Remote nodes have an address space
// that asynchronous reads and writes reach (data through the request's MDL);
// the local node hands out address ranges, calls their notification routine
// when a remote node reads or writes them, and their allocation completion
// routine once allocated; the host reports its information at levels 1 to 7,
// level 4 being its physical-address mapping routine, which allocates ranges
// too. Bus resets advance the generation, and requests of an old generation
// fail. When the device is removed the bus lets go of all its ranges: none of
// their routines is called after that. The host's mapping routine stays
// callable, as the host controller outlives its devices, and refuses to map
// for a removed device.
//
// Routines the bus calls run at DISPATCH_LEVEL, answerable for the driver
// that handed them down (a stop inside one is its doing). Addresses the bus hands out
// (the mapping routine, the host's configuration ROM) are the same on every
// run while the kernel's addresses are deterministic.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/nt1394.h"
#include "simkernel/bus.h"

namespace sim {

class Bus1394 : public DeviceModel {
public:
    explicit Bus1394(Pdo& pdo);
    ~Bus1394() override;
    NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) override;

    // How requests are completed: at once in the sender's thread, or pended
    // and completed by the bus's worker at `irql` after `delay`.
    void AnswerSynchronously();
    void AnswerLater(KIRQL irql = DISPATCH_LEVEL, std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    // A remote node's memory at a 48-bit offset; bytes never written read 0.
    void SetRemote(USHORT node, uint64_t offset, const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> Remote(USHORT node, uint64_t offset, size_t length) const;

    // A remote node reads or writes `length` bytes (write: `data`) at a
    // 48-bit address of the local node. The range that holds it is read or
    // written through its MDL, and its notification routine called when its
    // options ask for it. False with a reason when no range holds the address
    // or the range refuses the access.
    bool RemoteAccess(uint64_t address, bool write, const std::vector<uint8_t>& data, ULONG length,
                      std::string* reason);

    // A bus reset: the generation advances.
    void BusReset();
    ULONG Generation() const;
    size_t Ranges() const;
    // The host's configuration ROM, as level 5 reports it.
    void SetConfigRom(const std::vector<uint8_t>& bytes);

    // Called once the bus has let go of everything at the device's removal.
    void OnRemoved(std::function<void()> observer);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Puts a 1394 bus behind the PDO: its device model, and a handler through
// which it sees the device's removal.
std::shared_ptr<Bus1394> AttachBus1394(Pdo& pdo);

}  // namespace sim
