// The simulated bus driver ("\Driver\simbus"): it reports physical device
// objects (PDOs) and answers the requests that reach the bottom of their
// stacks, the way a test asks it to, recording each one.
//
// How a request is answered, first match wins:
//   1. the PDO's handler, when it returns a reply;
//   2. a rule for the request's major and minor function;
//   3. a rule for its major function, any minor;
//   4. the device model, for requests other than Plug and Play and power;
//   5. the defaults of a bus driver: Plug and Play start, stop, removal and
//      their queries succeed, other Plug and Play requests are completed
//      with the status they came with; power requests succeed; create,
//      cleanup, close, flush and shutdown succeed; WMI requests are
//      completed with the status they came with; anything else fails with
//      STATUS_INVALID_DEVICE_REQUEST.
// For power requests the bus always calls PoStartNextPowerIrp first.
//
// A PDO lives until the kernel is reset, except after a surprise removal
// (or Unplug): then IRP_MN_REMOVE_DEVICE deletes it, as a bus driver deletes
// the PDO of a device that is gone; its memory stays until the devices above
// have detached.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/ntio.h"

namespace sim {

// A request's answer.
struct Reply {
    enum class Kind {
        Complete,  // at once, in the sender's thread
        Pend,      // STATUS_PENDING now; a worker thread completes it after `delay`
        Hold,      // STATUS_PENDING now; completed when the test calls Release()
    };
    Kind kind = Kind::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool keepStatus = false;  // complete with IoStatus as the request arrived
    std::chrono::milliseconds delay{0};
    KIRQL irql = DISPATCH_LEVEL;     // of the worker that completes a pended request
    std::function<void(PIRP)> fill;  // runs just before completion (fills output, say)

    static Reply Complete(NTSTATUS status, ULONG_PTR information = 0);
    // Completes with the IoStatus the request came with.
    static Reply Unchanged();
    static Reply Pend(NTSTATUS status, ULONG_PTR information = 0,
                      std::chrono::milliseconds delay = std::chrono::milliseconds(0), KIRQL irql = DISPATCH_LEVEL);
    static Reply Hold(NTSTATUS status, ULONG_PTR information = 0, KIRQL irql = DISPATCH_LEVEL);
    Reply& Fill(std::function<void(PIRP)> fill);
};

// What a PDO received: one entry per request, in arrival order.
struct ReceivedRequest {
    PIRP irp = nullptr;  // for identity only; the IRP may be gone
    UCHAR major = 0;
    UCHAR minor = 0;
    IO_STACK_LOCATION location{};  // the PDO's stack location as it arrived
    KIRQL irql = PASSIVE_LEVEL;
    bool viaPoCallDriver = false;
    NTSTATUS initialStatus = STATUS_SUCCESS;  // IoStatus.Status as it arrived
    NTSTATUS returned = STATUS_PENDING;       // what the bus's dispatch routine returned
    bool completed = false;
    NTSTATUS completedWith = STATUS_PENDING;  // the status the bus completed it with
    ULONG_PTR information = 0;
};

// A device behind the PDO, for requests other than Plug and Play and power
// (storage devices, say). It answers as a driver's dispatch routine does:
// completes the IRP, now or later (Pdo::Answer helps), and returns the status.
class DeviceModel {
public:
    virtual ~DeviceModel() = default;
    virtual NTSTATUS Dispatch(PDEVICE_OBJECT pdo, PIRP irp) = 0;
};

struct PdoOptions {
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
    ULONG flags = 0;  // DO_* bits: DO_DIRECT_IO, DO_BUFFERED_IO, DO_POWER_PAGABLE, ...
    ULONG characteristics = 0;
    std::shared_ptr<DeviceModel> model;
};

class Pdo {
public:
    using Handler = std::function<std::optional<Reply>(PDEVICE_OBJECT pdo, PIRP irp)>;

    Pdo(const Pdo&) = delete;
    Pdo& operator=(const Pdo&) = delete;
    ~Pdo();

    // nullptr once the PDO was deleted.
    PDEVICE_OBJECT Device() const;
    const std::string& Name() const;

    void SetHandler(Handler handler);
    void SetRule(UCHAR major, Reply reply);
    void SetRule(UCHAR major, UCHAR minor, Reply reply);
    void ClearRules();
    void SetModel(std::shared_ptr<DeviceModel> model);

    // Carries a reply out for a request the PDO is dispatching (for handlers
    // and models that decide for themselves); returns what dispatch returns.
    NTSTATUS Answer(PIRP irp, const Reply& reply);

    // Held requests: completed from the worker thread, oldest first; returns
    // how many were let go.
    size_t Release(size_t count = SIZE_MAX);
    // Completes every held request as cancelled (Irp->Cancel set,
    // STATUS_CANCELLED).
    size_t CancelHeld();
    size_t HeldCount() const;
    // Waits until no pended or released request of this PDO is still waiting
    // for its worker.
    void WaitIdle() const;

    // The device is gone from the bus: the next IRP_MN_REMOVE_DEVICE deletes
    // the PDO (as a surprise removal does).
    void Unplug();
    bool Deleted() const;

    std::vector<ReceivedRequest> Received() const;
    void ClearReceived();

    struct Impl;

private:
    friend Pdo& CreatePdo(const std::string&, const PdoOptions&);
    explicit Pdo(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Creates and reports a PDO: "\Device\00000062", "\Device\USBPDO-3", or ""
// for an unnamed one. It is owned by the bus until the kernel is reset.
// Throws std::invalid_argument when the name is taken or invalid.
Pdo& CreatePdo(const std::string& name, const PdoOptions& options = {});
// The bus's PDO for a device object, or nullptr.
Pdo* FindPdo(PDEVICE_OBJECT device);
PDRIVER_OBJECT BusDriver();

namespace detail {
void ResetBus();
}  // namespace detail

}  // namespace sim
