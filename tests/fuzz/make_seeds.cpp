// Makes the driver fuzz targets' seeds from scenarios. Every device control
// and internal device control request a scenario sends to the filter becomes
// an input that sends the same request again through a fresh stack at full
// tracing: the same code and sender, the same block or input buffer, each
// pointer in the block aimed at a buffer holding what it pointed to. Each
// input is then run through the target's own code and must bring the filter
// that request: the check that this writer and the targets still agree on
// the order in which an input is read.
//
//   make_seeds OUT-DIR SCENARIO-FILE...
//
// Writes OUT-DIR/TARGET/NAME-N for the internal, device control and control
// targets, one input per distinct request, and says how many. Exits 1 when a
// scenario fails to load or run, or an input does not bring its request.
#include <sanitizer/asan_interface.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <map>
#include <optional>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "internal/srb.h"
#include "sim/runner.h"
#include "sim/scenario.h"
#include "simkernel/arena.h"
#include "tests/fuzz/seed_writer.h"
#include "tests/fuzz/targets.h"

namespace {

constexpr size_t kBlockBytes = 512;   // what the targets copy into a buffer
constexpr size_t kInputBytes = 600;   // the device control target's longest input
constexpr ULONG kOutputBytes = 1024;  // and its longest output
constexpr int kPlants = 8;            // pointers the internal target plants

// Bytes at `address` that this process can read, at most `limit`.
std::vector<uint8_t> Readable(const void* address, size_t limit)
{
    std::vector<uint8_t> bytes(limit);
    size_t got = 0;
    // Page by page: a read stops at the first page that is not there.
    while (got < limit) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(address) + got;
        const size_t chunk = std::min(limit - got, 4096 - at % 4096);
        iovec local{bytes.data() + got, chunk};
        iovec remote{reinterpret_cast<void*>(at), chunk};
        if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(chunk))
            break;
        got += chunk;
    }
    // Nor past the end of a heap block: what follows is another's.
    if (const void* poisoned = __asan_region_is_poisoned(const_cast<void*>(address), got))
        got = static_cast<const uint8_t*>(poisoned) - static_cast<const uint8_t*>(address);
    bytes.resize(got);
    return bytes;
}

// Addresses of this run's memory mean nothing in another process (the
// targets defang them): zeros keep the seeds the same from one run of this
// maker to the next.
std::vector<uint8_t> WithoutAddresses(std::vector<uint8_t> bytes)
{
    // At any offset: code the kernel made (a thunk) holds addresses too.
    for (size_t offset = 0; offset + 8 <= bytes.size(); ++offset) {
        uint64_t value;
        std::memcpy(&value, bytes.data() + offset, sizeof(value));
        if (value >= 0x10000 && value <= 0x7FFFFFFFFFFFull &&
            !Readable(reinterpret_cast<const void*>(value), 1).empty()) {
            std::fill_n(bytes.begin() + offset, 8, 0);
            offset += 7;
        }
    }
    return bytes;
}

struct Request {
    UCHAR major = 0;
    ULONG code = 0;
    std::vector<uint8_t> bytes;  // the block, or the input buffer
    ULONG outLength = 0;
    bool program = false;
    bool onControl = false;
    bool noBlock = false;
    bool unreadable = false;  // a block at an address with nothing there
    size_t flags = 0;  // indexes into the stack's choices
    size_t type = 0;
    // Internal: block offset of a pointer, and what it pointed to.
    std::vector<std::pair<size_t, std::vector<uint8_t>>> pointers;

    std::string Key() const
    {
        std::string key{char(major),   char(program), char(onControl), char(noBlock),
                        char(unreadable), char(flags),   char(type)};
        key.append(reinterpret_cast<const char*>(&code), sizeof(code));
        key.append(reinterpret_cast<const char*>(&outLength), sizeof(outLength));
        // Pointers differ from request to request; what they point to counts.
        std::vector<uint8_t> plain = bytes;
        for (const auto& [offset, target] : pointers) {
            std::fill_n(plain.begin() + offset, 8, 0);
            key.append(target.begin(), target.end());
        }
        key.append(plain.begin(), plain.end());
        return key;
    }
};

template <typename T, size_t N>
size_t IndexOf(const T (&values)[N], T value, size_t otherwise)
{
    for (size_t i = 0; i < N; ++i)
        if (values[i] == value)
            return i;
    return otherwise;
}

bool IsFilterDevice(PDEVICE_OBJECT device) { return device->DriverObject->DriverInit == DriverEntry; }

bool IsControlDevice(PDEVICE_OBJECT device)
{
    const std::optional<std::string> name = sim::DeviceName(device);
    return name && name->rfind("\\Device\\Zelkor", 0) == 0;
}

// The request as it reaches the filter (or its control device).
std::optional<Request> Capture(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (!IsFilterDevice(device) || (location->MajorFunction != IRP_MJ_DEVICE_CONTROL &&
                                    location->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL))
        return std::nullopt;
    Request request;
    request.major = location->MajorFunction;
    request.code = location->Parameters.DeviceIoControl.IoControlCode;
    request.program = irp->RequestorMode == UserMode;
    request.onControl = IsControlDevice(device);
    request.flags = IndexOf(fuzz::Stack::kFlags, ULONG(device->Flags & (DO_BUFFERED_IO | DO_DIRECT_IO)), 0);
    request.type = IndexOf(fuzz::Stack::kDeviceTypes, device->DeviceType, 0);
    if (request.major == IRP_MJ_DEVICE_CONTROL) {
        const void* in = (request.code & 3) == METHOD_NEITHER ? location->Parameters.DeviceIoControl.Type3InputBuffer
                                                              : irp->AssociatedIrp.SystemBuffer;
        const size_t length = std::min<size_t>(location->Parameters.DeviceIoControl.InputBufferLength, kInputBytes);
        if (in != nullptr)
            request.bytes = WithoutAddresses(Readable(in, length));
        request.outLength = std::min(location->Parameters.DeviceIoControl.OutputBufferLength, kOutputBytes);
        return request;
    }
    const void* block = location->Parameters.Others.Argument1;
    request.noBlock = block == nullptr;
    if (block == nullptr)
        return request;
    request.bytes = Readable(block, kBlockBytes);
    request.unreadable = request.bytes.empty();
    // SRBs and URBs say how long they are in their first USHORT.
    if (request.bytes.size() >= 2 && request.code != IOCTL_1394_CLASS) {
        const size_t length = request.bytes[0] | request.bytes[1] << 8;
        if (length >= 8 && length < request.bytes.size())
            request.bytes.resize(length);
    }
    for (size_t offset = 0; offset + 8 <= request.bytes.size() && request.pointers.size() < kPlants; offset += 8) {
        uint64_t value;
        std::memcpy(&value, request.bytes.data() + offset, sizeof(value));
        if (value < 0x10000 || value > 0x7FFFFFFFFFFFull)
            continue;
        std::vector<uint8_t> target = Readable(reinterpret_cast<const void*>(value), kBlockBytes);
        if (!target.empty())
            request.pointers.emplace_back(offset, WithoutAddresses(std::move(target)));
    }
    request.bytes = WithoutAddresses(std::move(request.bytes));
    return request;
}

// What an input does besides sending a scenario's request as it was sent:
// by default nothing (every level traced, the lower driver's plain success,
// no fault, no registry values). The variants reach what the scenarios'
// requests alone do not (tests/fuzz/reach.h).
struct Variant {
    std::optional<uint16_t> mask;  // a trace mask other than every level
    int configuration = 0;  // fuzz::Stack::Configure
    int fault = fuzz::Stack::kNoFault;  // a routine of fuzz::Stack::kFaultRoutines, failing its nth call
    int nth = 1;
    size_t status = 0;  // of the lower driver's answer: fuzz::PickStatus's list
    ULONG_PTR information = 0;
    std::vector<std::pair<size_t, uint8_t>> edits;
    int answer = 0;  // at once, later at DISPATCH_LEVEL, later at PASSIVE_LEVEL
    bool intoSystemBuffer = false;
    int pageOut = -1;  // a buffer whose first page is taken away:
    int pageKind = 1;  // made invalid (0), paged out (1), or read-only (2)
    // The device control target's choices after the scenarios' (more_requests.h).
    int form = 0;
    bool wow64 = false;
    std::vector<uint8_t> reply;
    int other = 0;
    std::function<void(fuzz::SeedWriter&)> choices;  // the other request's own
    int race = 0;  // the control target's removal
    size_t account = 0;  // the control target's account (fuzz::kAccounts)
    int dataAt = -1;     // and where its data lies: in the program's area (1), in kernel space (2)
    int mdlSlot = -1;  // the last plant: a locked MDL where the block names one (fuzz::Stack::kMdlSlots)
    bool mdlMapped = false;
};

// The stack: the lower device's flags and type, the trace mask, the four
// buffers' offsets and contents (an internal request's block, then what its
// pointers point to), the registry and the fault.
void WriteStack(fuzz::SeedWriter& out, const Request& request, const Variant& variant)
{
    const bool internal = request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    out.Pick(request.flags, std::size(fuzz::Stack::kFlags));
    out.Pick(request.type, std::size(fuzz::Stack::kDeviceTypes));
    out.Bool(!variant.mask);
    if (variant.mask)
        out.Integral<uint16_t>(*variant.mask);
    for (int i = 0; i < fuzz::Stack::kBuffers; ++i) {
        std::vector<uint8_t> contents;
        if (i == 0 && internal)
            contents = request.bytes;
        else if (i > 0 && internal && size_t(i) <= request.pointers.size())
            contents = request.pointers[i - 1].second;
        out.Range<size_t>(0, 4095, 0);
        out.Range<size_t>(0, 512, contents.size());
        out.Bytes(contents);
    }
    out.Range<int>(0, fuzz::Stack::kConfigurations - 1, variant.configuration);
    out.Range<int>(0, fuzz::Stack::kNoFault, variant.fault);
    if (variant.fault != fuzz::Stack::kNoFault)
        out.Range<int>(1, 16, variant.nth);
}

// A code as the targets read it: one of their list by its place, or any
// value.
template <size_t N>
void WriteCode(fuzz::SeedWriter& out, const ULONG (&codes)[N], ULONG code)
{
    const size_t index = IndexOf(codes, code, SIZE_MAX);
    out.Bool(index != SIZE_MAX);
    if (index != SIZE_MAX)
        out.Pick(index, N);
    else
        out.Integral<ULONG>(code);
}

// A 1394 request whose routines a bus calls: an allocation, or the host's
// information at level 4.
bool Playable(const Request& request)
{
    constexpr size_t levelAt = offsetof(IRB, u.GetLocalHostInformation.nLevel);
    if (request.major != IRP_MJ_INTERNAL_DEVICE_CONTROL || request.code != IOCTL_1394_CLASS ||
        request.bytes.size() < levelAt + sizeof(ULONG))
        return false;
    ULONG function, level;
    std::memcpy(&function, request.bytes.data(), sizeof(function));
    std::memcpy(&level, request.bytes.data() + levelAt, sizeof(level));
    return function == REQUEST_ALLOCATE_ADDRESS_RANGE ||
           (function == REQUEST_GET_LOCAL_HOST_INFO && level == GET_PHYS_ADDR_ROUTINE);
}

// What the bus does after such a request (tests/fuzz/bus_calls.h, Play).
// An allocation: its routine called, the range released, the block sent
// again and its new routine called, released again, and the first routine
// called after its release. Level 4: the client maps twice, completed at
// once and later, both completions called again, a mapping refused, and one
// more after the device is gone.
void WriteBusPlay(fuzz::SeedWriter& out, const Request& request)
{
    auto success = [&out](size_t status = 0) {
        out.Bool(true);
        out.Pick(status, 10);
    };
    auto map = [&out, &success](size_t status, bool now) {
        out.Range<int>(0, 4, 3);
        success(status);
        out.Bool(now);
        out.Range<ULONG>(0, 1, 0);
        out.Bool(true);
    };
    ULONG function;
    std::memcpy(&function, request.bytes.data(), sizeof(function));
    if (function == REQUEST_ALLOCATE_ADDRESS_RANGE) {
        out.Range<int>(0, 6, 6);
        out.Range<int>(0, 4, 0);
        out.Range<int>(0, 4, 1), success();
        out.Range<int>(0, 4, 2), success();
        out.Range<int>(0, 4, 0), out.Range<size_t>(0, 1, 1);
        out.Range<int>(0, 4, 1), success();
        out.Range<int>(0, 4, 0), out.Range<size_t>(0, 1, 0);
        out.Bool(false);
        return;
    }
    out.Range<int>(0, 6, 5);
    map(0, true);
    map(0, false);
    out.Range<int>(0, 4, 0), out.Range<size_t>(0, 1, 1);
    out.Range<int>(0, 4, 0), out.Range<size_t>(0, 1, 0);
    map(1, true);
    out.Bool(true);
    success();
    out.Bool(true);
    out.Range<ULONG>(0, 1, 0);
    out.Bool(true);
}

// The input that makes the target send `request`, read in the order the
// target reads it (tests/fuzz/targets.h and fuzz_stack.h).
std::vector<uint8_t> Write(const Request& request, bool play = false, const Variant& variant = {})
{
    fuzz::SeedWriter out;
    const bool internal = request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    WriteStack(out, request, variant);
    if (internal) {
        // Each pointer at a buffer of its own while there are buffers, then
        // at the unwritten half of one; spare plants repeat the last.
        for (int i = 0; i < kPlants; ++i) {
            if (i == kPlants - 1 && variant.mdlSlot >= 0) {
                out.Range<size_t>(0, 63, 0);
                out.Range<int>(0, 6, 6);
                out.Range<size_t>(0, std::size(fuzz::Stack::kMdlSlots) - 1, size_t(variant.mdlSlot));
                out.Bool(variant.mdlMapped);
                continue;
            }
            if (request.pointers.empty()) {
                out.Range<size_t>(0, 63, 63);  // past every block's bytes
                out.Range<int>(0, 6, 0);
                continue;
            }
            const size_t p = std::min<size_t>(i, request.pointers.size() - 1);
            out.Range<size_t>(0, 63, request.pointers[p].first / 8);
            out.Range<int>(0, 6, 2);
            out.Range<int>(1, fuzz::Stack::kBuffers - 1, int(p % 3) + 1);
            out.Range<size_t>(0, fuzz::Stack::kBufferBytes - 4096, p < 3 ? 0 : 2048);
        }
        WriteCode(out, fuzz::kInternalCodes, request.code);
        out.Range<int>(0, 15, request.noBlock ? 0 : 1);
    } else {
        WriteCode(out, fuzz::kDeviceControlCodes, request.code);
        out.Range<size_t>(0, kInputBytes, request.bytes.size());
        out.Bytes(request.bytes);
        out.Range<ULONG>(0, kOutputBytes, request.outLength);
        out.Bool(request.program);
        out.Range<int>(0, 7, request.onControl ? 0 : 1);
        out.Bool(variant.intoSystemBuffer);  // the lower driver's changes go to the block, or the system buffer
    }
    // The lower driver: STATUS_SUCCESS at once, nothing returned or changed,
    // unless the variant says otherwise.
    out.Bool(true);
    out.Pick(variant.status, 10);
    out.Range<ULONG_PTR>(0, internal ? 0x10000 : request.outLength, variant.information);
    out.Range<int>(0, 8, int(variant.edits.size()));
    for (const auto& [offset, value] : variant.edits) {
        out.Range<size_t>(0, 255, offset);
        out.Integral<uint8_t>(value);
    }
    out.Range<int>(0, 2, variant.answer);
    // No page spoiled, or the block's first page taken away, or a page of
    // the variant's buffer paged out.
    out.Range<int>(0, 3, int(request.unreadable) + int(variant.pageOut >= 0));
    if (request.unreadable) {
        out.Range<int>(0, fuzz::Stack::kBuffers - 1, 0);
        out.Range<size_t>(0, fuzz::Stack::kBufferBytes - 4096, 0);
        out.Range<int>(0, 2, 0);
    }
    if (variant.pageOut >= 0) {
        out.Range<int>(0, fuzz::Stack::kBuffers - 1, variant.pageOut);
        out.Range<size_t>(0, fuzz::Stack::kBufferBytes - 4096, 0);
        out.Range<int>(0, 2, variant.pageKind);
    }
    if (!internal) {
        out.Range<int>(0, 3, variant.form);
        if (request.program)
            out.Bool(variant.wow64);
        out.Range<size_t>(0, 256, variant.reply.size());
        out.Bytes(variant.reply);
        out.Range<int>(0, fuzz::kOtherRequests, variant.other);
        if (variant.choices)
            variant.choices(out);
        return out.Input();
    }
    // The internal target's bus calls nothing (tests/fuzz/bus_calls.h), or
    // plays what a bus and a host do with the routines the request names.
    if (internal)
        out.Range<int>(0, 1, play ? 1 : 0);
    if (play)
        WriteBusPlay(out, request);
    return out.Input();
}

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset)
{
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | uint32_t(bytes[offset + 3]) << 24;
}

// The control target's input for a program's private request to the control
// device (fuzz::ControlRequest), from an administrator; nullopt when that
// target cannot send it.
std::optional<std::vector<uint8_t>> WriteControl(const Request& request, const Variant& variant = {})
{
    if (request.code != ZK_REQUEST_CODE || !request.program || !request.onControl || request.bytes.size() < 12 ||
        Le32(request.bytes, 4) > 5)
        return std::nullopt;
    fuzz::SeedWriter out;
    WriteStack(out, request, variant);
    out.Pick(variant.account, std::size(fuzz::kAccounts));
    const uint32_t magic = Le32(request.bytes, 0);
    out.Range<int>(0, 15, magic == ZK_REQUEST_MAGIC ? 1 : 0);
    if (magic != ZK_REQUEST_MAGIC)
        out.Integral<uint32_t>(magic);
    out.Range<uint32_t>(0, 5, Le32(request.bytes, 4));
    const uint32_t address = Le32(request.bytes, 8);
    if (variant.dataAt > 0) {
        out.Range<int>(0, 4, variant.dataAt);
        out.Range<uint32_t>(0, variant.dataAt == 1 ? 4096 : 0x1000, 0);
    } else {
        out.Range<int>(0, 4, address == 0 ? 0 : 4);
        if (address != 0)
            out.Integral<uint32_t>(address);
    }
    const std::vector<uint8_t> tail(request.bytes.begin() + 12, request.bytes.end());
    out.Range<size_t>(0, kInputBytes, tail.size());
    out.Bytes(tail);
    out.Bool(false);  // the program's memory as it is
    out.Range<size_t>(0, request.bytes.size(), request.bytes.size());
    out.Bool(true);  // the whole record
    out.Range<size_t>(0, kOutputBytes, request.outLength);
    out.Range<int>(0, 2, variant.race);
    return out.Input();
}

// ---------------------------------------------------------------------------
// Variants: what the scenarios' requests alone never make the filter do.

uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset);

void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value)
{
    if (bytes.size() < offset + 4)
        bytes.resize(offset + 4);
    std::memcpy(bytes.data() + offset, &value, 4);
}

bool IsSrb(const Request& request)
{
    return request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && request.bytes.size() >= 0x40 &&
           ZK_IsSrbControlCode(request.code);
}

// A storage device descriptor naming the product: at ProductIdOffset, or
// (offset 0) at byte 48, or at an offset past what is returned.
std::vector<uint8_t> Descriptor(uint32_t productOffset, const std::string& name = "FUZZ")
{
    std::vector<uint8_t> reply(0x80, 0);
    Put32(reply, 0, 1);
    Put32(reply, 4, 0x80);
    reply[8] = 5;  // a CD-ROM
    Put32(reply, 0x10, productOffset);
    std::memcpy(reply.data() + (productOffset != 0 && productOffset < 0x5B ? productOffset : 0x30), name.data(),
                name.size());
    return reply;
}

// Every request again: answered later, and untraced; an SRB answered with
// sense data or a failure; a storage query answered with a descriptor (and
// the model's configuration in the registry); a pass-through answered with
// sense data or with data, its direct form's data named by address in every
// way a sender names it.
std::vector<std::pair<std::string, std::pair<Request, Variant>>> Variants(const Request& request)
{
    std::vector<std::pair<std::string, std::pair<Request, Variant>>> variants;
    auto add = [&variants](const std::string& name, const Request& changed, const Variant& variant) {
        variants.emplace_back(name, std::make_pair(changed, variant));
    };
    Variant later;
    later.answer = 1;
    add("later", request, later);
    Variant quiet;
    quiet.mask = 0;
    add("quiet", request, quiet);
    if (request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
        Variant stamped;
        stamped.mask = 0x3FF;
        add("stamped", request, stamped);
    }
    if (request.code == IOCTL_1394_CLASS) {
        Variant io;
        io.mask = 0x001;
        add("io", request, io);
        Variant readOnly;
        readOnly.pageOut = 0;
        readOnly.pageKind = 2;
        add("readonly", request, readOnly);
    }
    // A locked MDL where the block names one: a URB's transfer, a 1394
    // read's, write's or address range's.
    const bool urb = request.code == IOCTL_INTERNAL_USB_SUBMIT_URB;
    if (request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && (urb || request.code == IOCTL_1394_CLASS))
        for (int slot = urb ? 0 : 1; slot < (urb ? 1 : int(std::size(fuzz::Stack::kMdlSlots))); ++slot)
            for (bool mapped : {false, true}) {
                Variant mdl;
                mdl.mdlSlot = slot;
                mdl.mdlMapped = mapped;
                add("mdl-" + std::to_string(slot) + (mapped ? "m" : ""), request, mdl);
            }
    if (IsSrb(request)) {
        Variant done;
        done.edits = {{3, 0x01}};
        add("done", request, done);
        Variant sense;
        sense.edits = {{3, 0x84}, {4, 0x02}};
        add("sense", request, sense);
        Variant failed;
        failed.edits = {{3, 0x04}};
        failed.status = 4;
        add("failed", request, failed);
    }
    if (request.major != IRP_MJ_DEVICE_CONTROL)
        return variants;
    // The private request from a driver, naming its data at a kernel
    // address (one no one mapped).
    if (request.code == ZK_REQUEST_CODE && request.onControl && request.bytes.size() >= 12 &&
        Le32(request.bytes, 8) != 0) {
        Request kernel = request;
        kernel.program = false;
        Put32(kernel.bytes, 8, 0x80001000u);
        add("kernel", kernel, Variant{});
    }
    if (request.code == IOCTL_STORAGE_QUERY_PROPERTY && request.bytes.size() >= 4 && Le32(request.bytes, 0) == 0 &&
        request.outLength > 0x28) {
        const uint32_t offsets[] = {0x40, 0, 0x200, 0x40};
        for (int i = 0; i < 4; ++i) {
            Variant named;
            named.intoSystemBuffer = true;
            named.information = std::min<ULONG>(request.outLength, 0x80);
            // The last: a name as long as a name is kept, too long for a value name.
            named.reply = Descriptor(offsets[i], i == 3 ? std::string(28, 'N') : "FUZZ");
            named.configuration = i % 3 + 1;
            add("named-" + std::to_string(i), request, named);
        }
    }
    const bool direct = request.code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    if ((request.code != IOCTL_SCSI_PASS_THROUGH && !direct) || request.bytes.size() < sizeof(SCSI_PASS_THROUGH))
        return variants;
    for (uint8_t scsiStatus : {0x02, 0x00}) {
        Variant answered;
        answered.intoSystemBuffer = true;
        answered.information = std::max<ULONG>(ULONG(request.bytes.size()), request.outLength);
        answered.reply = request.bytes;
        answered.reply[2] = scsiStatus;
        add(scsiStatus ? "checked" : "answered", request, answered);
    }
    if (request.program) {
        Variant wow64;
        wow64.wow64 = true;
        add("wow64", request, wow64);
    }
    if (!direct)
        return variants;
    for (bool program : {false, true})
        for (uint8_t dataIn : {SCSI_IOCTL_DATA_OUT, SCSI_IOCTL_DATA_IN}) {
            Request changed = request;
            changed.program = program;
            changed.onControl = false;
            changed.bytes[8] = dataIn;
            Put32(changed.bytes, 12, 0x200);
            const std::string name = std::string(program ? "program-" : "driver-") + (dataIn ? "in-" : "out-");
            for (int form = 1; form <= 3; ++form) {
                Variant named;
                named.form = form;
                add(name + std::to_string(form), changed, named);
                // The kernel refuses the MDL, its lock or its mapping.
                for (const char* routine : {"IoAllocateMdl", "MmProbeAndLockPages", "MmMapLockedPagesSpecifyCache"})
                    for (int nth = 1; nth <= 2; ++nth) {
                        Variant refused = named;
                        refused.fault = int(std::find(std::begin(fuzz::Stack::kFaultRoutines),
                                                      std::end(fuzz::Stack::kFaultRoutines), std::string_view(routine)) -
                                            std::begin(fuzz::Stack::kFaultRoutines));
                        refused.nth = nth;
                        add(name + std::to_string(form) + "-" + routine + std::to_string(nth), changed, refused);
                    }
            }
            // More data than a dump shows.
            Request longer = changed;
            Put32(longer.bytes, 12, 0x1000);
            Variant mapped;
            mapped.form = 3;
            add(name + "long", longer, mapped);
            Variant paged;
            paged.form = 1;
            paged.pageOut = 1;
            add(name + "paged", changed, paged);
            if (program) {
                Variant wow64;
                wow64.form = 2;
                wow64.wow64 = true;
                add(name + "wow64", changed, wow64);
            }
        }
    return variants;
}

// The device control target's other requests (tests/fuzz/more_requests.h),
// each with its own choices.
std::vector<std::pair<std::string, Variant>> OtherRequests()
{
    std::vector<std::pair<std::string, Variant>> others;
    auto add = [&others](const std::string& name, int other, std::function<void(fuzz::SeedWriter&)> choices,
                         Variant variant = {}) {
        variant.other = other;
        variant.choices = std::move(choices);
        others.emplace_back(name, std::move(variant));
    };
    for (int64_t offset : {int64_t(0), int64_t(-1)}) {
        add("read" + std::to_string(offset), 1, [offset](fuzz::SeedWriter& out) { out.Integral<int64_t>(offset); });
        add("write" + std::to_string(offset), 2, [offset](fuzz::SeedWriter& out) { out.Integral<int64_t>(offset); });
    }
    for (UCHAR minor = 0; minor <= IRP_MN_QUERY_POWER + 1; ++minor)
        for (bool system : {true, false})
            add("power-" + std::to_string(minor) + (system ? "s" : "d"), 3, [minor, system](fuzz::SeedWriter& out) {
                out.Range<UCHAR>(0, IRP_MN_QUERY_POWER + 1, minor);
                out.Bool(system);
                out.Range<ULONG>(0, 6, 1);
            });
    for (UCHAR minor = 0; minor <= IRP_MN_REGINFO_EX + 1; ++minor)
        add("wmi-" + std::to_string(minor), 4,
            [minor](fuzz::SeedWriter& out) { out.Range<UCHAR>(0, IRP_MN_REGINFO_EX + 1, minor); });
    // Plug and Play: each minor alone, then the pairs whose second undoes
    // the first, and minors no list names.
    auto pnp = [](std::vector<UCHAR> minors) {
        return [minors](fuzz::SeedWriter& out) {
            out.Range<int>(1, 3, int(minors.size()));
            for (UCHAR minor : minors) {
                out.Bool(minor <= IRP_MN_QUERY_LEGACY_BUS_INFORMATION);
                if (minor <= IRP_MN_QUERY_LEGACY_BUS_INFORMATION)
                    out.Range<UCHAR>(0, IRP_MN_QUERY_LEGACY_BUS_INFORMATION, minor);
                else
                    out.Integral<UCHAR>(minor);
                if (minor == IRP_MN_DEVICE_USAGE_NOTIFICATION) {
                    out.Range<int>(0, 4, 1);
                    out.Bool(true);
                }
            }
        };
    };
    for (UCHAR minor = 0; minor <= IRP_MN_QUERY_LEGACY_BUS_INFORMATION; ++minor)
        add("pnp-" + std::to_string(minor), 5, pnp({minor}));
    add("pnp-stop", 5, pnp({IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_STOP_DEVICE}));
    add("pnp-remove", 5, pnp({IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}));
    add("pnp-surprise", 5, pnp({IRP_MN_SURPRISE_REMOVAL, IRP_MN_START_DEVICE}));
    add("pnp-unnamed", 5, pnp({IRP_MN_BUS_RESET, 0x42}));
    Variant later;
    later.answer = 1;
    add("pnp-start-later", 5, pnp({IRP_MN_START_DEVICE}), later);
    Variant failed;
    failed.status = 1;
    add("pnp-start-failed", 5, pnp({IRP_MN_START_DEVICE}), failed);
    add("open", 6, nullptr);
    for (size_t major = 0; major < std::size(fuzz::kPlainMajors); ++major)
        add("major-" + std::to_string(major), 7,
            [major](fuzz::SeedWriter& out) { out.Pick(major, std::size(fuzz::kPlainMajors)); });
    for (int kind = 0; kind <= 5; ++kind)
        add("removing-" + std::to_string(kind), 8, [kind](fuzz::SeedWriter& out) { out.Range<int>(0, 5, kind); });
    return others;
}

// A URB as another function: every function code up to the last one named
// and one past it, the block otherwise as it was.
std::vector<Request> UrbFunctions(const Request& urb)
{
    std::vector<Request> urbs;
    for (USHORT function = 0; function <= 0x3A; ++function) {
        Request changed = urb;
        changed.bytes[2] = uint8_t(function);
        changed.bytes[3] = 0;
        urbs.push_back(changed);
    }
    return urbs;
}

// A floppy controller's command: the parameter block, whose FIFO pointer
// names the command bytes.
Request FdcCommand()
{
    Request request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.code = IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND;
    request.bytes.assign(sizeof(ISSUE_FDC_COMMAND_PARMS), 0);
    request.pointers.emplace_back(offsetof(ISSUE_FDC_COMMAND_PARMS, FifoInBuffer), std::vector<uint8_t>{0x46, 0x00});
    return request;
}

// Runs the input through its target and returns what reached the filter.
std::optional<Request> Replay(void (*target)(FuzzedDataProvider&), const std::vector<uint8_t>& input)
{
    std::optional<Request> seen;
    sim::SetCallObserver([&seen](PDEVICE_OBJECT device, PIRP irp) {
        if (!seen)
            seen = Capture(device, irp);
    });
    FuzzedDataProvider provider(input.data(), input.size());
    target(provider);
    sim::SetCallObserver(nullptr);
    return seen;
}

// Same request: code, sender, target and buffer lengths, and the bytes that
// are no pointers (those are the test's own buffers now).
bool SameRequest(const Request& want, const Request& got)
{
    if (want.major != got.major || want.code != got.code || want.program != got.program || want.noBlock != got.noBlock ||
        want.unreadable != got.unreadable ||
        want.onControl != got.onControl || want.bytes.size() != got.bytes.size() || want.flags != got.flags)
        return false;
    std::set<size_t> pointers;
    for (const auto& [offset, target] : want.pointers)
        pointers.insert(offset);
    for (size_t i = 0; i < want.bytes.size(); ++i)
        if (!pointers.count(i & ~size_t(7)) && want.bytes[i] != got.bytes[i]) {
            // A value naming this process's memory is defanged by the target.
            uint64_t value = 0;
            std::memcpy(&value, want.bytes.data() + (i & ~size_t(7)),
                        std::min<size_t>(8, want.bytes.size() - (i & ~size_t(7))));
            if (value < 0x10000 || value > 0x7FFFFFFFFFFFull)
                return false;
        }
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 3 || std::string(argv[1]) == "--help") {
        std::cerr << "usage: make_seeds OUT-DIR SCENARIO-FILE...\n";
        return argc < 3 ? 2 : 0;
    }
    const std::filesystem::path out = argv[1];
    std::set<std::string> known;
    std::vector<std::pair<std::string, Request>> requests;
    for (int i = 2; i < argc; ++i) {
        scn::Scenario scenario;
        scn::ParseError error;
        if (!scn::LoadScenarioFile(argv[i], &scenario, &error)) {
            std::cerr << "make_seeds: " << error.Message() << "\n";
            return 1;
        }
        std::vector<Request> captured;
        sim::SetCallObserver([&captured](PDEVICE_OBJECT device, PIRP irp) {
            if (std::optional<Request> request = Capture(device, irp))
                captured.push_back(std::move(*request));
        });
        const scn::RunResult result = scn::RunScenario(scenario, scn::RunOptions{});
        sim::SetCallObserver(nullptr);
        if (!result.ok) {
            std::cerr << "make_seeds: " << result.error << "\n";
            return 1;
        }
        const std::string stem = std::filesystem::path(argv[i]).stem().string();
        for (Request& request : captured)
            if (known.insert(request.Key()).second)
                requests.emplace_back(stem, std::move(request));
    }
    sim::UseDeterministicAddresses(false);  // as in the fuzzers

    std::map<std::string, int> written;
    auto write = [&out, &written](const std::string& target, const std::string& stem,
                                  const std::vector<uint8_t>& input) {
        std::filesystem::create_directories(out / target);
        const std::string name = stem + "-" + std::to_string(++written[target + "/" + stem]);
        std::ofstream(out / target / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(input.data()), std::streamsize(input.size()));
        ++written[target];
    };
    auto check = [](void (*target)(FuzzedDataProvider&), const std::vector<uint8_t>& input, const Request& request,
                    const std::string& stem) {
        const std::optional<Request> seen = Replay(target, input);
        if (seen && SameRequest(request, *seen))
            return true;
        std::cerr << "make_seeds: an input from " << stem << " (code 0x" << std::hex << request.code << std::dec
                  << ") does not bring its request to the filter: the writer and the targets disagree\n";
        return false;
    };
    for (const auto& [stem, request] : requests) {
        const bool internal = request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        const std::vector<uint8_t> input = Write(request);
        auto target = internal ? fuzz::InternalRequest : fuzz::DeviceControlRequest;
        if (!check(target, input, request, stem))
            return 1;
        write(internal ? "fuzz_internal" : "fuzz_devicecontrol", stem, input);
        if (Playable(request))
            write("fuzz_internal", stem + "-bus", Write(request, true));
        if (std::optional<std::vector<uint8_t>> control = WriteControl(request)) {
            if (!check(fuzz::ControlRequest, *control, request, stem))
                return 1;
            write("fuzz_control", stem, *control);
            for (int race = 1; race <= 2; ++race) {
                Variant removed;
                removed.race = race;
                write("fuzz_control", stem + "-removed" + std::to_string(race), *WriteControl(request, removed));
            }
            for (int dataAt = 1; dataAt <= 2; ++dataAt) {
                Variant placed;
                placed.dataAt = dataAt;
                write("fuzz_control", stem + "-data" + std::to_string(dataAt), *WriteControl(request, placed));
            }
            Variant user;
            user.account = 1;
            write("fuzz_control", stem + "-user", *WriteControl(request, user));
        }
        for (const auto& [name, variant] : Variants(request))
            write(internal ? "fuzz_internal" : "fuzz_devicecontrol", stem + "-" + name,
                  Write(variant.first, false, variant.second));
    }
    // Once: the other requests, on a driver's device control request with an
    // input of 16 bytes or more (a WMI registration buffer); every routine
    // that can fail, failing each of its first calls, on that and on an
    // internal request; a floppy command.
    std::optional<Request> plain, block, urb, allocation;
    for (const auto& [stem, request] : requests) {
        if (!allocation && Playable(request) && Le32(request.bytes, 0) == REQUEST_ALLOCATE_ADDRESS_RANGE)
            allocation = request;
        if (request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && request.code == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            request.bytes.size() >= 0x90 && (!urb || request.pointers.size() > urb->pointers.size()))
            urb = request;
        if (!plain && request.major == IRP_MJ_DEVICE_CONTROL && !request.program && !request.onControl &&
            request.bytes.size() >= 16)
            plain = request;
        if (!block && IsSrb(request) && !request.pointers.empty())
            block = request;
    }
    if (!plain || !block || !urb || !allocation) {
        std::cerr << "make_seeds: the scenarios send no device control request with input, no SRB, no URB or no 1394 allocation\n";
        return 1;
    }
    for (const auto& [name, variant] : OtherRequests()) {
        write("fuzz_devicecontrol", "other-" + name, Write(*plain, false, variant));
        Request program = *plain;
        program.program = true;
        write("fuzz_devicecontrol", "other-program-" + name, Write(program, false, variant));
    }
    for (int fault = 0; fault < fuzz::Stack::kNoFault; ++fault)
        for (int nth = 1; nth <= 3; ++nth) {
            Variant failing;
            failing.fault = fault;
            failing.nth = nth;
            const std::string name = std::string("fault-") + fuzz::Stack::kFaultRoutines[fault] + "-" + std::to_string(nth);
            write("fuzz_devicecontrol", name, Write(*plain, false, failing));
            write("fuzz_internal", name, Write(*block, false, failing));
            write("fuzz_internal", name + "-bus", Write(*allocation, true, failing));
        }
    write("fuzz_internal", "fdc", Write(FdcCommand()));
    Variant paged;
    paged.pageOut = 1;
    write("fuzz_internal", "fdc-paged", Write(FdcCommand(), false, paged));
    Request fdcEmpty = FdcCommand();
    fdcEmpty.pointers.clear();
    write("fuzz_internal", "fdc-empty", Write(fdcEmpty));
    Request fdcNone = fdcEmpty;
    fdcNone.noBlock = true;
    fdcNone.bytes.clear();
    write("fuzz_internal", "fdc-none", Write(fdcNone));
    for (const Request& changed : UrbFunctions(*urb)) {
        write("fuzz_internal", "urb-function", Write(changed));
        Variant stamped;
        stamped.mask = 0x3FF;
        stamped.information = 0x40;
        write("fuzz_internal", "urb-function-answered", Write(changed, false, stamped));
    }
    for (const char* target : {"fuzz_internal", "fuzz_devicecontrol", "fuzz_control"})
        std::cout << target << ": " << written[target] << " inputs\n";
    return 0;
}
