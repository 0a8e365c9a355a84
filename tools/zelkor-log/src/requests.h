// Requests: each dispatch line paired with its completion by IRP address.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "capture.h"
#include "names.h"

namespace zklog {

// Bytes that a dump showed for a request.
struct Dump {
    std::string phase;  // "dispatch" or "completion"
    std::string what;   // "data", "sense", "buffer", "descriptor"
    bool mdl = false;   // dumped through an MDL
    std::vector<uint8_t> bytes;
};

struct Sense {
    std::optional<SenseCode> code;  // none when neither the text nor the bytes tell
    std::string driverText;         // as the driver printed it, if it did
    bool fromBytes = false;         // decoded from the sense dump rather than the text
};

struct Request {
    size_t id = 0;        // order of the first line
    std::string device;   // the trailer, blanks around it removed
    std::string trailer;  // the trailer as printed
    uint32_t irp = 0;
    std::string kind;    // read, write, srb, pass-through, urb, irb, ioctl, pnp, power, wmi, plain, other
    std::string name;    // the command, function or minor function
    std::string detail;  // the rest of the dispatch line, where it says more
    std::vector<uint8_t> cdb;
    std::optional<uint32_t> length;
    std::optional<uint64_t> offset;
    std::optional<uint32_t> transferred;  // DataTransferLength on completion

    bool dispatched = false;  // its dispatch line was seen
    bool completed = false;   // a completion line was seen
    bool expectsCompletion = false;
    bool superseded = false;                            // the address came again before a completion
    std::optional<int64_t> startUs, endUs;              // the driver's stamps
    std::optional<int64_t> startViewerUs, endViewerUs;  // the viewer's times of the same lines
    size_t firstLine = 0, completionLine = 0, lastLine = 0;
    std::vector<size_t> lines;  // every line of the capture that told of it, in order

    std::string status;  // the request's final status, by the driver's name
    std::optional<uint32_t> statusValue;
    std::string scsiStatus;
    std::optional<uint8_t> scsiStatusValue;
    std::string srbStatus;
    std::string usbdStatus;  // a URB's, from its detail line (0x200)
    std::optional<Sense> sense;
    std::vector<Dump> dumps;
    std::vector<std::string> notes;  // further lines about the request
    // At the detail level (0x200): its completion line with the USBD status
    // was seen; the dumps after its detail lines are its data (not when a
    // standard completion line dumped that data already).
    bool usbdTold = false;
    bool detailDumps = true;

    bool Failed() const {
        return (statusValue && StatusFailed(*statusValue)) || (scsiStatusValue && *scsiStatusValue != 0);
    }
    // End minus start by the viewer's time where both lines have it (it is
    // finer than the driver's milliseconds), else by the driver's stamps;
    // never by one clock at one end and the other at the other, never negative.
    std::optional<int64_t> LatencyUs() const;
    // "viewer" or "driver": the clock LatencyUs used; empty without latency.
    std::string_view LatencyClock() const;
    // The start as shown: the driver's stamp, else the viewer's time.
    std::optional<int64_t> ShownStartUs() const { return startUs ? startUs : startViewerUs; }
    std::optional<int64_t> ShownEndUs() const { return endUs ? endUs : endViewerUs; }
    std::vector<uint8_t> Bytes(std::string_view what) const;
    // A data dump stopped at the driver's cap of 2048 bytes a dump, while the
    // request moved more (or an amount the capture does not tell).
    bool DataTruncated() const;
    static constexpr size_t kDumpCap = 2048;
};

struct CaptureStats {
    size_t traceLines = 0;
    size_t dumpLines = 0;
    size_t strayDumpLines = 0;  // dumps that belong to no request (callbacks, lost context)
    size_t notes = 0;           // lines about no request (add-device failures, callbacks)
    size_t unreadable = 0;
    size_t givenUp = 0;  // requests given up waiting for their completion (too many waiting)
};

// Takes trace lines in order and builds the requests. A request is handed to
// the sink once nothing more can be added to it: when it has ended (completed,
// or needs no completion) and its device has gone on to another line, or at
// the end of the capture.
class Tracker {
public:
    using RequestSink = std::function<void(const Request&)>;
    explicit Tracker(RequestSink sink) : sink_(std::move(sink)) {}

    // At most this many requests are kept (those still waiting for a line);
    // past it the oldest is handed out as it is, and counted as given up.
    static constexpr size_t kMaxKept = 100000;
    void SetMaxKept(size_t count) { maxKept_ = count > 0 ? count : 1; }
    size_t maxKept() const { return maxKept_; }

    // False for a trace message it cannot read (counted as unreadable).
    bool Add(const TraceLine& line);
    void Problem(const Unreadable&) { ++stats_.unreadable; }
    void Finish();
    // Hands out every request that has ended, whatever its device does next
    // (a live capture that has gone quiet).
    void ReleaseEnded();

    const CaptureStats& stats() const { return stats_; }
    // The first-line order of the oldest request not yet handed out.
    std::optional<size_t> OldestKept() const {
        return requests_.empty() ? std::nullopt : std::optional<size_t>(requests_.begin()->first);
    }

private:
    struct DeviceState {
        std::optional<size_t> current;  // the request the last line was about
        std::string phase;
        std::string what;  // what the next dump lines show; empty: none
        bool segmentOpen = false;
        bool mdl = false;
    };

    Request& Open(const TraceLine& line, uint32_t irp);
    Request* Find(uint32_t irp);
    Request& ForCompletion(const TraceLine& line, uint32_t irp, std::string_view kind, std::string_view name);
    void Complete(Request& request, const TraceLine& line);
    void Touch(Request& request, const TraceLine& line);
    void Focus(const TraceLine& line, std::optional<size_t> index, std::string phase, std::string what);
    void Release(size_t index);
    bool Ended(size_t index) const;
    bool Head(const TraceLine& line, uint32_t irp, std::string_view rest);
    bool Message(const TraceLine& line);

    // The readers of each kind of line (Message picks one by the line's
    // start); each takes the line and what follows that start.
    struct LineHandler {
        std::string_view prefix;
        bool (Tracker::*read)(const TraceLine& line, std::string_view body);
    };
    static const LineHandler kLineHandlers[];
    bool IrpLine(const TraceLine& line, std::string_view body);
    bool SrbCompletion(const TraceLine& line, std::string_view body);
    bool PassThroughCompletion(const TraceLine& line, std::string_view body);
    bool ScsiCompletion(const TraceLine& line, std::string_view body, bool srb);
    bool UrbCompletion(const TraceLine& line, std::string_view body);
    bool UrbDetailCompletion(const TraceLine& line, std::string_view body);
    bool UrbDetail(const TraceLine& line, uint32_t irp, std::string_view rest);
    bool IrbCompletion(const TraceLine& line, std::string_view body);
    bool ControlCompletion(const TraceLine& line, std::string_view body);
    bool InternalDispatch(const TraceLine& line, std::string_view body);
    bool UnknownFunction(const TraceLine& line, std::string_view body);
    bool BufferLine(const TraceLine& line, std::string_view body);
    bool MdlDump(const TraceLine& line, std::string_view body);
    bool NoteLine(const TraceLine& line, std::string_view body);
    bool DeviceNote(const TraceLine& line, std::string_view body);
    void AddDump(const TraceLine& line);
    void Note(const TraceLine& line);

    bool Alive(size_t index) const { return requests_.contains(index); }

    RequestSink sink_;
    std::map<size_t, Request> requests_;  // those not yet handed out, by order of their first line
    size_t nextId_ = 0;
    size_t maxKept_ = kMaxKept;
    std::map<uint32_t, size_t> open_;  // IRP address -> newest request with it
    std::map<std::string, DeviceState> devices_;
    CaptureStats stats_;
};

std::string DeviceName(std::string_view trailer);
std::string Hex(uint32_t value);
std::string HexBytes(const std::vector<uint8_t>& bytes);

}  // namespace zklog
