#include "bench/cases.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "bench/capture.h"
#include "bench/drivers.h"
#include "bench/usb_cases.h"
#include "driver/dispatch.h"
#include "platform/ntioctl.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "trace/print.h"

namespace zkbench {
namespace {

constexpr ULONG kFullMask = 0x1FF;
constexpr ULONG kTransferLength = 512;
constexpr ULONG kDumpLength = 2048;
constexpr UCHAR kSenseLength = 18;

// IOCTL_DISK_GET_DRIVE_GEOMETRY, which every disk stack sees, and a code in
// the vendors' range that no catalogue names.
constexpr ULONG kNamedControlCode = CTL_CODE(FILE_DEVICE_DISK, 0x0000, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kUnknownControlCode = CTL_CODE(0x8000, 0x0800, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kGeometrySize = 24;

void Require(bool condition, const std::string& what)
{
    if (!condition)
        throw std::runtime_error("benchmark set-up: " + what);
}

// A fresh boot, with a clock that gives the stamp all its fields.
void Boot()
{
    sim::ResetKernel();
    sim::SetTimeIncrement(10000);
    sim::SetTickCount(3723045);
}

sim::SimBuffer PatternBuffer(size_t bytes)
{
    sim::SimBuffer buffer = sim::AllocateBuffer(bytes);
    for (size_t i = 0; i < bytes; ++i)
        buffer.address[i] = static_cast<uint8_t>(i * 7 + 1);
    return buffer;
}

// ---------------------------------------------------------------------------
// Requests through a whole stack

enum class Filter { Zelkor, ReferenceSkip, ReferenceCompletion };
enum class Operation {
    CreateClose,
    Read,
    Write,
    NamedControl,
    UnknownControl,
    PassThrough,
    SrbRead,
    IrbRead,
    UrbBulkIn
};

class StackRunner : public Runner {
public:
    StackRunner(Filter filter, ULONG mask, Operation operation)
    {
        Boot();
        Require(sim::LoadDriver(ZKB_DiskEntry, "zkbdisk") != nullptr, "the lower device's driver did not load");
        pdo_ = sim::FindDevice(ZKB_DISK_NAME);
        Require(pdo_ != nullptr, "no lower device");
        sim::MarkAsPdo(pdo_);

        PDRIVER_INITIALIZE entry = filter == Filter::Zelkor          ? DriverEntry
                                   : filter == Filter::ReferenceSkip ? ZKB_ReferenceSkipEntry
                                                                     : ZKB_ReferenceCompletionEntry;
        PDRIVER_OBJECT driver = sim::LoadDriver(entry, filter == Filter::Zelkor ? "zelkor" : "zkbref");
        Require(driver != nullptr, "the filter did not load");
        Require(sim::PnpAddDevice(driver, pdo_) == STATUS_SUCCESS, "the filter's add-device failed");
        Require(sim::PnpStartDevice(pdo_).final == STATUS_SUCCESS, "the stack did not start");
        PDEVICE_OBJECT top = sim::TopOfStack(pdo_);
        Require(top != pdo_, "the filter is not on the stack");
        if (filter == Filter::Zelkor)
            ZK_GetExtension(top)->TraceMask = mask;

        data_ = PatternBuffer(kDumpLength);
        switch (operation) {
        case Operation::CreateClose:
            requests_.push_back(sim::Request(IRP_MJ_CREATE));
            requests_.push_back(sim::Request(IRP_MJ_CLOSE));
            break;
        case Operation::Read:
            requests_.push_back(sim::Request::Read(data_.address, kTransferLength, 0x10000));
            break;
        case Operation::Write:
            requests_.push_back(sim::Request::Write(data_.address, kTransferLength, 0x10000));
            break;
        case Operation::NamedControl:
            requests_.push_back(
                sim::Request::DeviceControl(kNamedControlCode, nullptr, 0, data_.address, kGeometrySize));
            break;
        case Operation::UnknownControl:
            requests_.push_back(
                sim::Request::DeviceControl(kUnknownControlCode, nullptr, 0, data_.address, kGeometrySize));
            break;
        case Operation::PassThrough:
            requests_.push_back(MakePassThrough());
            break;
        case Operation::SrbRead:
            requests_.push_back(sim::Request::InternalDeviceControl(IOCTL_SCSI_EXECUTE_IN, MakeSrb()));
            break;
        case Operation::IrbRead:
            requests_.push_back(sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, MakeIrb()));
            break;
        case Operation::UrbBulkIn:
            requests_.push_back(sim::Request::InternalDeviceControl(
                IOCTL_INTERNAL_USB_SUBMIT_URB, MakeBulkInUrb(&srbMemory_, data_.address, kTransferLength)));
            break;
        }
    }
    ~StackRunner() override
    {
        if (irbMdl_ != nullptr) {
            MmUnlockPages(irbMdl_);
            IoFreeMdl(irbMdl_);
        }
        sim::ResetKernel();
    }

    void Run() override
    {
        for (const sim::Request& request : requests_)
            if (sim::Send(pdo_, request).final != STATUS_SUCCESS)
                ++failures_;
    }
    unsigned Failures() const override
    {
        return failures_;
    }

private:
    // READ(10) of one sector into the data buffer, with room for sense data.
    PSCSI_REQUEST_BLOCK MakeSrb()
    {
        srbMemory_ = sim::AllocateBuffer(sizeof(SCSI_REQUEST_BLOCK));
        sense_ = sim::AllocateBuffer(kSenseLength);
        auto* srb = reinterpret_cast<PSCSI_REQUEST_BLOCK>(srbMemory_.address);
        std::memset(srb, 0, sizeof(*srb));
        srb->Length = sizeof(SCSI_REQUEST_BLOCK);
        srb->Function = SRB_FUNCTION_EXECUTE_SCSI;
        srb->CdbLength = 10;
        srb->SrbFlags = SRB_FLAGS_DATA_IN;
        srb->DataTransferLength = kTransferLength;
        srb->TimeOutValue = 10;
        srb->DataBuffer = data_.address;
        srb->SenseInfoBuffer = sense_.address;
        srb->SenseInfoBufferLength = kSenseLength;
        const UCHAR read10[10] = {0x28, 0, 0, 0, 0x00, 0x80, 0, 0, 1, 0};
        std::memcpy(srb->Cdb, read10, sizeof(read10));
        return srb;
    }

    // An asynchronous read of 512 bytes from a remote node into the data
    // buffer, as a 1394 client sends it; the lower device only completes it.
    PIRB MakeIrb()
    {
        irbMemory_ = sim::AllocateBuffer(sizeof(IRB));
        auto* irb = reinterpret_cast<PIRB>(irbMemory_.address);
        std::memset(irb, 0, sizeof(*irb));
        irbMdl_ = IoAllocateMdl(data_.address, kTransferLength, FALSE, FALSE, nullptr);
        Require(irbMdl_ != nullptr, "no MDL for the 1394 read");
        MmProbeAndLockPages(irbMdl_, KernelMode, IoWriteAccess);
        irb->FunctionNumber = REQUEST_ASYNC_READ;
        irb->u.AsyncRead.DestinationAddress.IA_Destination_Offset.Off_High = 0xFFFF;
        irb->u.AsyncRead.DestinationAddress.IA_Destination_Offset.Off_Low = 0xF0000400;
        irb->u.AsyncRead.nNumberOfBytesToRead = kTransferLength;
        irb->u.AsyncRead.Mdl = irbMdl_;
        return irb;
    }

    // A tool's buffered INQUIRY: the block, 32 bytes for sense, 36 for the data.
    sim::Request MakePassThrough()
    {
        constexpr ULONG kSenseOffset = sizeof(SCSI_PASS_THROUGH);
        constexpr ULONG kDataOffset = kSenseOffset + 32;
        constexpr ULONG kTotal = kDataOffset + 36;
        passThrough_ = sim::AllocateBuffer(kTotal);
        std::memset(passThrough_.address, 0, kTotal);
        auto* block = reinterpret_cast<PSCSI_PASS_THROUGH>(passThrough_.address);
        block->Length = sizeof(SCSI_PASS_THROUGH);
        block->CdbLength = 6;
        block->SenseInfoLength = 32;
        block->DataIn = SCSI_IOCTL_DATA_IN;
        block->DataTransferLength = 36;
        block->TimeOutValue = 10;
        block->DataBufferOffset = kDataOffset;
        block->SenseInfoOffset = kSenseOffset;
        const UCHAR inquiry[6] = {0x12, 0, 0, 0, 36, 0};
        std::memcpy(block->Cdb, inquiry, sizeof(inquiry));
        return sim::Request::DeviceControl(IOCTL_SCSI_PASS_THROUGH, passThrough_.address, kTotal, passThrough_.address,
                                           kTotal);
    }

    PDEVICE_OBJECT pdo_ = nullptr;
    sim::SimBuffer irbMemory_;
    PMDL irbMdl_ = nullptr;
    std::vector<sim::Request> requests_;
    sim::SimBuffer passThrough_;
    sim::SimBuffer data_;
    sim::SimBuffer srbMemory_;
    sim::SimBuffer sense_;
    unsigned failures_ = 0;
};

// ---------------------------------------------------------------------------
// Trace operations on a record of their own

enum class Text { Suppressed, TraceLine, Alone, TraceLineStamped, AloneStamped, Dump };

class TextRunner : public Runner {
public:
    explicit TextRunner(Text text) : text_(text)
    {
        Boot();
        std::strcpy(record_.Trailer, "** ");
        switch (text) {
        case Text::Suppressed:
            record_.TraceMask = kFullMask & ~TRACE_DETAIL;
            break;
        case Text::TraceLine:
        case Text::Alone:
            record_.TraceMask = kFullMask & ~TRACE_TIMESTAMP;
            break;
        case Text::TraceLineStamped:
        case Text::AloneStamped:
            record_.TraceMask = kFullMask;
            break;
        case Text::Dump:
            record_.TraceMask = TRACE_DATA;
            dump_ = PatternBuffer(kDumpLength);
            break;
        }
        // The read request the line describes; the IRP's address is printed.
        stack_.MajorFunction = IRP_MJ_READ;
        stack_.Parameters.Read.Length = kTransferLength;
        stack_.Parameters.Read.ByteOffset.QuadPart = 0x10000;
    }
    ~TextRunner() override
    {
        sim::ResetKernel();
    }

    void Run() override
    {
        switch (text_) {
        case Text::Suppressed:
            ZKB_SuppressedMessage(&record_, &irp_, &stack_);
            break;
        case Text::TraceLine:
        case Text::TraceLineStamped:
            ZKB_TraceLine(&record_, &irp_, &stack_);
            break;
        case Text::Alone:
            ZKB_FormatAlone(&record_, &irp_, &stack_, FALSE);
            break;
        case Text::AloneStamped:
            ZKB_FormatAlone(&record_, &irp_, &stack_, TRUE);
            break;
        case Text::Dump:
            ZKB_Dump(&record_, dump_.address, kDumpLength);
            break;
        }
    }

private:
    Text text_;
    ZK_EXTENSION record_{};
    IRP irp_{};
    IO_STACK_LOCATION stack_{};
    sim::SimBuffer dump_;
};

std::vector<std::string> Printed();

// ---------------------------------------------------------------------------
// The lines a stack case prints, formatted alone

// Runs the requests once with the debugger recording and keeps the message
// of each trace line: at a mask without stamps a line is two DbgPrint calls,
// the trailer and then the message.
std::vector<std::string> MessagesOf(Runner& runner, const std::string& name)
{
    sim::SetDebugRecording(true);
    sim::ClearDebugOutput();
    runner.Run();
    const std::vector<std::string> calls = Printed();
    Require(calls.size() % 2 == 0, name + " printed half a line");
    std::vector<std::string> messages;
    for (size_t i = 0; i < calls.size(); i += 2) {
        Require(calls[i] == calls[0], name + ": the trailers differ");
        messages.push_back(calls[i + 1]);
    }
    return messages;
}

// Each message formatted again alone: with the driver's own format and
// arguments where a formatting call of the driver made it, from its text
// ("%s") where the driver built the line itself (the hex dumps).
class LinesRunner : public Runner {
public:
    explicit LinesRunner(std::vector<FormatCall> lines) : lines_(std::move(lines)) {}
    void Run() override
    {
        for (const FormatCall& line : lines_)
            Replay(line);
    }

private:
    std::vector<FormatCall> lines_;
};

std::vector<FormatCall> LinesOf(Runner& runner, const std::string& name)
{
    StartCapture();
    const std::vector<std::string> messages = MessagesOf(runner, name);
    std::vector<FormatCall> calls = StopCapture();
    std::vector<FormatCall> lines;
    size_t next = 0;
    for (const std::string& message : messages) {
        size_t found = next;
        while (found < calls.size() && !(calls[found].replayable && calls[found].output == message))
            ++found;
        if (found < calls.size()) {
            lines.push_back(calls[found]);
            next = found + 1;
            continue;
        }
        FormatCall text;
        text.format = "%s";
        text.texts.push_back(message);
        text.slots.push_back(0);
        text.textSlot.push_back(0);
        text.output = message;
        lines.push_back(text);
    }
    // The replay must give back the very text that was printed.
    for (size_t i = 0; i < lines.size(); ++i) {
        StartCapture();
        Replay(lines[i]);
        const std::vector<FormatCall> again = StopCapture();
        Require(again.size() == 1 && again[0].output == messages[i],
                name + ": a line formatted alone differs from the printed one: " + messages[i]);
    }
    return lines;
}

// Sets the mask of every Zelkor filter device there is: all devices of the
// driver that owns the first control device. Control devices keep theirs.
void SetZelkorMask(ULONG mask)
{
    PDEVICE_OBJECT control = sim::FindDevice("\\Device\\Zelkor1");
    Require(control != nullptr, "no Zelkor instance to set the mask of");
    for (PDEVICE_OBJECT device : sim::DevicesOf(control->DriverObject)) {
        PZK_EXTENSION record = ZK_GetExtension(device);
        if (record->DeviceKind == ZK_KIND_FILTER)
            record->TraceMask = mask;
    }
}

// The same world as the case at mask 0 makes, then Mask.
std::function<std::unique_ptr<Runner>()> AtMask(std::function<std::unique_ptr<Runner>()> make, ULONG mask)
{
    return [make = std::move(make), mask] {
        std::unique_ptr<Runner> runner = make();
        SetZelkorMask(mask);
        return runner;
    };
}

// The two cases every Zelkor case at mask 0 gets for a full mask, named
// "<subject>/zelkor-<Tag>" and "<subject>/lines-<Tag>".
void AddFullMaskCases(std::vector<Case>& cases, ULONG mask, const std::string& tag)
{
    const std::string suffix = "/zelkor-0";
    const size_t count = cases.size();
    for (size_t i = 0; i < count; ++i) {
        const Case base = cases[i];
        if (base.name.size() <= suffix.size() ||
            base.name.compare(base.name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        const std::string subject = base.name.substr(0, base.name.size() - suffix.size());

        Case full;
        full.name = subject + "/zelkor-" + tag;
        full.operations = base.operations;
        full.requests = base.requests;
        full.expectedCalls = kExpectAny;
        full.make = AtMask(base.make, mask);
        cases.push_back(full);

        Case lines;
        lines.name = subject + "/lines-" + tag;
        lines.operations = base.operations;
        lines.expectedCalls = kExpectNone;
        lines.make = [make = full.make, name = full.name] {
            std::vector<FormatCall> lines;
            {
                std::unique_ptr<Runner> runner = make();
                lines = LinesOf(*runner, name);
            }
            Boot();
            return std::make_unique<LinesRunner>(std::move(lines));
        };
        cases.push_back(lines);
    }
}

// The requests an operation sends, as the device under the filter sees them.
std::vector<SentRequest> RequestsOf(Operation operation)
{
    switch (operation) {
    case Operation::CreateClose:
        return {{IRP_MJ_CREATE, 0}, {IRP_MJ_CLOSE, 0}};
    case Operation::Read:
        return {{IRP_MJ_READ, 0}};
    case Operation::Write:
        return {{IRP_MJ_WRITE, 0}};
    case Operation::NamedControl:
        return {{IRP_MJ_DEVICE_CONTROL, kNamedControlCode}};
    case Operation::UnknownControl:
        return {{IRP_MJ_DEVICE_CONTROL, kUnknownControlCode}};
    case Operation::PassThrough:
        return {{IRP_MJ_DEVICE_CONTROL, IOCTL_SCSI_PASS_THROUGH}};
    case Operation::SrbRead:
        return {{IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_SCSI_EXECUTE_IN}};
    case Operation::IrbRead:
        return {{IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_1394_CLASS}};
    case Operation::UrbBulkIn:
        return {{IRP_MJ_INTERNAL_DEVICE_CONTROL, IOCTL_INTERNAL_USB_SUBMIT_URB}};
    }
    return {};
}

Case StackCase(const std::string& subject, Operation operation, Filter filter, ULONG mask)
{
    Case c;
    const bool zelkor = filter == Filter::Zelkor;
    c.name = subject + "/" + (zelkor ? (mask == 0 ? "zelkor-0" : "zelkor-1ff") : "reference");
    c.requests = RequestsOf(operation);
    c.operations = static_cast<unsigned>(c.requests.size());
    c.expectedCalls = zelkor && mask != 0 ? kExpectSome : kExpectNone;
    c.make = [=] { return std::make_unique<StackRunner>(filter, mask, operation); };
    return c;
}

Case TextCase(const std::string& name, Text text, int expectedCalls, const std::string& sameTextAs = "")
{
    Case c;
    c.name = name;
    c.expectedCalls = expectedCalls;
    c.sameTextAs = sameTextAs;
    c.make = [=] { return std::make_unique<TextRunner>(text); };
    return c;
}

std::vector<Case> MakeCases()
{
    struct Subject {
        const char* name;
        Operation operation;
        Filter reference;  // the one that does what Zelkor does with the request
    };
    const Subject subjects[] = {
        {"create-close", Operation::CreateClose, Filter::ReferenceSkip},
        {"read", Operation::Read, Filter::ReferenceCompletion},
        {"write", Operation::Write, Filter::ReferenceCompletion},
        {"ioctl-named", Operation::NamedControl, Filter::ReferenceSkip},
        {"ioctl-unknown", Operation::UnknownControl, Filter::ReferenceCompletion},
        {"ioctl-pass-through", Operation::PassThrough, Filter::ReferenceCompletion},
        {"srb-read", Operation::SrbRead, Filter::ReferenceCompletion},
        {"irb-read", Operation::IrbRead, Filter::ReferenceCompletion},
        {"urb-bulk-in", Operation::UrbBulkIn, Filter::ReferenceCompletion},
    };
    std::vector<Case> cases;
    for (const Subject& s : subjects) {
        cases.push_back(StackCase(s.name, s.operation, s.reference, 0));
        cases.push_back(StackCase(s.name, s.operation, Filter::Zelkor, 0));
        cases.push_back(StackCase(s.name, s.operation, Filter::Zelkor, kFullMask));
    }
    cases.push_back(TextCase("message/suppressed", Text::Suppressed, kExpectNone));
    cases.push_back(TextCase("trace-line/alone", Text::Alone, 2));
    cases.push_back(TextCase("trace-line/zelkor", Text::TraceLine, 2, "trace-line/alone"));
    cases.push_back(TextCase("trace-line-stamped/alone", Text::AloneStamped, 3));
    cases.push_back(TextCase("trace-line-stamped/zelkor", Text::TraceLineStamped, 3, "trace-line-stamped/alone"));
    // A trailer and a line for each of 128 lines.
    cases.push_back(TextCase("dump-2048/zelkor", Text::Dump, 2 * kDumpLength / 16));
    // Last, so that every request's mask-0 case, from whatever file, has
    // its full-mask cases made.
    AddFullMaskCases(cases, kFullLevels, "ff");
    AddFullMaskCases(cases, kFullDetailLevels, "2ff");
    return cases;
}

std::vector<std::string> Printed()
{
    std::vector<std::string> texts;
    for (const sim::DebugCall& call : sim::DebugCalls())
        texts.push_back(call.text);
    return texts;
}

// Records each request that reaches the device under the filter (every
// request, when there is no such device) until the observer is removed.
void WatchLowerDevice(std::vector<SentRequest>& sent)
{
    PDEVICE_OBJECT lower = sim::FindDevice(ZKB_DISK_NAME);
    sim::SetCallObserver([&sent, lower](PDEVICE_OBJECT device, PIRP irp) {
        if (lower != nullptr && device != lower)
            return;
        const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        const bool control =
            stack->MajorFunction == IRP_MJ_DEVICE_CONTROL || stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        sent.push_back({stack->MajorFunction, control ? stack->Parameters.DeviceIoControl.IoControlCode : 0});
    });
}

std::string Describe(const std::vector<SentRequest>& requests)
{
    if (requests.empty())
        return "no request";
    std::string text;
    for (const SentRequest& request : requests) {
        char one[48];
        std::snprintf(one, sizeof(one), "%s(major 0x%02X, code 0x%08lX)", text.empty() ? "" : " ", request.major,
                      request.code);
        text += one;
    }
    return text;
}

}  // namespace

const std::vector<Case>& Cases()
{
    static const std::vector<Case> cases = MakeCases();
    return cases;
}

const Case* FindCase(const std::string& name)
{
    for (const Case& c : Cases())
        if (c.name == name)
            return &c;
    return nullptr;
}

std::vector<std::string> CheckCases()
{
    std::vector<std::string> problems;
    std::vector<std::pair<std::string, std::vector<std::string>>> printed;
    for (const Case& c : Cases()) {
        std::vector<std::string> texts;
        unsigned failures = 0;
        std::vector<SentRequest> sent;
        try {
            std::unique_ptr<Runner> runner = c.make();
            sim::ClearDebugOutput();
            WatchLowerDevice(sent);
            runner->Run();
            sim::SetCallObserver(nullptr);
            texts = Printed();
            failures = runner->Failures();
        } catch (const std::exception& e) {
            sim::SetCallObserver(nullptr);
            problems.push_back(c.name + ": " + e.what());
            continue;
        }
        if (sent != c.requests)
            problems.push_back(c.name + ": sent " + Describe(sent) + ", named " + Describe(c.requests));
        if (!c.requests.empty() && c.operations != c.requests.size())
            problems.push_back(c.name + ": counts " + std::to_string(c.operations) + " request(s) a run, sends " +
                               std::to_string(c.requests.size()));
        if (failures != 0)
            problems.push_back(c.name + ": " + std::to_string(failures) + " request(s) did not succeed");
        if (c.expectedCalls == kExpectSome && texts.empty())
            problems.push_back(c.name + ": printed nothing at the full mask");
        if (c.expectedCalls >= 0 && texts.size() != static_cast<size_t>(c.expectedCalls))
            problems.push_back(c.name + ": " + std::to_string(texts.size()) + " DbgPrint calls, expected " +
                               std::to_string(c.expectedCalls));
        if (!c.sameTextAs.empty()) {
            bool found = false;
            for (const auto& [name, other] : printed) {
                if (name != c.sameTextAs)
                    continue;
                found = true;
                if (other != texts)
                    problems.push_back(c.name + ": its text differs from " + name + "'s");
            }
            if (!found)
                problems.push_back(c.name + ": " + c.sameTextAs + " must come before it");
        }
        printed.emplace_back(c.name, std::move(texts));
    }
    return problems;
}

}  // namespace zkbench
