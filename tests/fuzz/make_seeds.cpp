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
#include "tests/fuzz/seed_variants.h"
#include "tests/fuzz/seed_writer.h"
#include "tests/fuzz/targets.h"

namespace {

using namespace fuzz::seeds;

constexpr size_t kBlockBytes = 512;   // what the targets copy into a buffer
constexpr size_t kInputBytes = 600;   // the device control target's longest input
constexpr ULONG kOutputBytes = 1024;  // and its longest output
constexpr int kPlants = 8;            // pointers the internal target plants

// Bytes at `address` that this process can read, at most `limit`.
std::vector<uint8_t> Readable(const void* address, size_t limit) {
    std::vector<uint8_t> bytes(limit);
    size_t got = 0;
    // Page by page: a read stops at the first page that is not there.
    while (got < limit) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(address) + got;
        const size_t chunk = std::min(limit - got, 4096 - at % 4096);
        iovec local{bytes.data() + got, chunk};
        iovec remote{reinterpret_cast<void*>(at), chunk};
        if (process_vm_readv(getpid(), &local, 1, &remote, 1, 0) != static_cast<ssize_t>(chunk)) break;
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
std::vector<uint8_t> WithoutAddresses(std::vector<uint8_t> bytes) {
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

template <typename T, size_t N>
size_t IndexOf(const T (&values)[N], T value, size_t otherwise) {
    for (size_t i = 0; i < N; ++i)
        if (values[i] == value) return i;
    return otherwise;
}

bool IsFilterDevice(PDEVICE_OBJECT device) { return device->DriverObject->DriverInit == DriverEntry; }

bool IsControlDevice(PDEVICE_OBJECT device) {
    const std::optional<std::string> name = sim::DeviceName(device);
    return name && name->rfind("\\Device\\Zelkor", 0) == 0;
}

// The request as it reaches the filter (or its control device).
std::optional<Request> Capture(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (!IsFilterDevice(device) ||
        (location->MajorFunction != IRP_MJ_DEVICE_CONTROL && location->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL))
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
        if (in != nullptr) request.bytes = WithoutAddresses(Readable(in, length));
        request.outLength = std::min(location->Parameters.DeviceIoControl.OutputBufferLength, kOutputBytes);
        return request;
    }
    const void* block = location->Parameters.Others.Argument1;
    request.noBlock = block == nullptr;
    if (block == nullptr) return request;
    request.bytes = Readable(block, kBlockBytes);
    request.unreadable = request.bytes.empty();
    // SRBs and URBs say how long they are in their first USHORT.
    if (request.bytes.size() >= 2 && request.code != IOCTL_1394_CLASS) {
        const size_t length = request.bytes[0] | request.bytes[1] << 8;
        if (length >= 8 && length < request.bytes.size()) request.bytes.resize(length);
    }
    for (size_t offset = 0; offset + 8 <= request.bytes.size() && request.pointers.size() < kPlants; offset += 8) {
        uint64_t value;
        std::memcpy(&value, request.bytes.data() + offset, sizeof(value));
        if (value < 0x10000 || value > 0x7FFFFFFFFFFFull) continue;
        std::vector<uint8_t> target = Readable(reinterpret_cast<const void*>(value), kBlockBytes);
        if (!target.empty()) request.pointers.emplace_back(offset, WithoutAddresses(std::move(target)));
    }
    request.bytes = WithoutAddresses(std::move(request.bytes));
    return request;
}

// The stack: the lower device's flags and type, the trace mask, the four
// buffers' offsets and contents (an internal request's block, then what its
// pointers point to), the registry and the fault.
void WriteStack(fuzz::SeedWriter& out, const Request& request, const Variant& variant) {
    const bool internal = request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
    out.Pick(request.flags, std::size(fuzz::Stack::kFlags));
    out.Pick(request.type, std::size(fuzz::Stack::kDeviceTypes));
    out.Bool(!variant.mask);
    if (variant.mask) out.Integral<uint16_t>(*variant.mask);
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
    if (variant.fault != fuzz::Stack::kNoFault) out.Range<int>(1, 16, variant.nth);
}

// A code as the targets read it: one of their list by its place, or any
// value.
template <size_t N>
void WriteCode(fuzz::SeedWriter& out, const ULONG (&codes)[N], ULONG code) {
    const size_t index = IndexOf(codes, code, SIZE_MAX);
    out.Bool(index != SIZE_MAX);
    if (index != SIZE_MAX)
        out.Pick(index, N);
    else
        out.Integral<ULONG>(code);
}

// A 1394 request whose routines a bus calls: an allocation, or the host's
// information at level 4.
bool Playable(const Request& request) {
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
void WriteBusPlay(fuzz::SeedWriter& out, const Request& request) {
    auto success = [&out](size_t status = 0) {
        out.Bool(true);
        out.Pick(status, 10);
    };
    auto map = [&out, &success](size_t status, bool now) {
        out.Range<int>(0, 7, 3);
        success(status);
        out.Bool(now);
        out.Range<ULONG>(0, 1, 0);
        out.Bool(true);
    };
    ULONG function;
    std::memcpy(&function, request.bytes.data(), sizeof(function));
    if (function == REQUEST_ALLOCATE_ADDRESS_RANGE) {
        out.Range<int>(0, 6, 6);
        out.Range<int>(0, 7, 0);
        out.Range<int>(0, 7, 1), success();
        out.Range<int>(0, 7, 2), success();
        out.Range<int>(0, 7, 0), out.Range<size_t>(0, 1, 1);
        out.Range<int>(0, 7, 1), success();
        out.Range<int>(0, 7, 0), out.Range<size_t>(0, 1, 0);
        out.Bool(false);
        return;
    }
    out.Range<int>(0, 6, 5);
    map(0, true);
    map(0, false);
    out.Range<int>(0, 7, 0), out.Range<size_t>(0, 1, 1);
    out.Range<int>(0, 7, 0), out.Range<size_t>(0, 1, 0);
    map(1, true);
    out.Bool(true);
    success();
    out.Bool(true);
    out.Range<ULONG>(0, 1, 0);
    out.Bool(true);
}

// After a level-4 query, what a client or host gone wrong does (bus_calls.h):
// the client maps a range of its own whose completion comes later, then the
// substitutes are called with what the filter never handed out (`kind`,
// `context`), or the client rewrites its block's context before the host
// completes the allocation, or the pool refuses the filter's record.
void WriteHostPlay(fuzz::SeedWriter& out, int kind, int context) {
    auto mapLater = [&out] {
        out.Bool(true), out.Pick(0, 10);  // the host agrees
        out.Bool(false);                  // and completes later
        out.Range<ULONG>(0, 1, 0);
        out.Bool(true);
    };
    if (kind == 4) {  // the pool refuses
        out.Range<int>(0, 6, 1);
        out.Range<int>(0, 7, 7), mapLater();
    } else if (kind == 5) {  // the client rewrites the context it mapped
        out.Range<int>(0, 6, 3);
        out.Range<int>(0, 7, 3), mapLater();
        out.Range<int>(0, 7, 6), out.Bool(true), out.Bool(false), out.Integral<uintptr_t>(0x1234);
        out.Range<int>(0, 7, 0);
    } else {
        out.Range<int>(0, 6, 2);
        out.Range<int>(0, 7, 3), mapLater();
        out.Range<int>(0, 7, 5), out.Range<int>(0, 3, kind), out.Range<int>(0, 2, context);
        if (kind == 3) out.Bool(context == 2);  // the mapping record, and a block in no page
    }
    out.Bool(false);
}

// The input that makes the target send `request`, read in the order the
// target reads it (tests/fuzz/targets.h and fuzz_stack.h).
using Rounds = std::function<void(fuzz::SeedWriter&)>;

std::vector<uint8_t> Write(const Request& request, bool play = false, const Variant& variant = {},
                           const Rounds& rounds = nullptr) {
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
        if (request.program) out.Bool(variant.wow64);
        out.Range<size_t>(0, 256, variant.reply.size());
        out.Bytes(variant.reply);
        out.Range<int>(0, fuzz::kOtherRequests, variant.other);
        if (variant.choices) variant.choices(out);
        return out.Input();
    }
    // The internal target's bus calls nothing (tests/fuzz/bus_calls.h), or
    // plays what a bus and a host do with the routines the request names.
    if (internal) out.Range<int>(0, 1, play ? 1 : 0);
    if (play && rounds)
        rounds(out);
    else if (play)
        WriteBusPlay(out, request);
    return out.Input();
}

// The control target's input for a program's private request to the control
// device (fuzz::ControlRequest), from an administrator; nullopt when that
// target cannot send it.
std::optional<std::vector<uint8_t>> WriteControl(const Request& request, const Variant& variant = {}) {
    if (request.code != ZK_REQUEST_CODE || !request.program || !request.onControl || request.bytes.size() < 12 ||
        Le32(request.bytes, 4) > 5)
        return std::nullopt;
    fuzz::SeedWriter out;
    WriteStack(out, request, variant);
    out.Pick(variant.account, std::size(fuzz::kAccounts));
    const uint32_t magic = Le32(request.bytes, 0);
    out.Range<int>(0, 15, magic == ZK_REQUEST_MAGIC ? 1 : 0);
    if (magic != ZK_REQUEST_MAGIC) out.Integral<uint32_t>(magic);
    out.Range<uint32_t>(0, 5, Le32(request.bytes, 4));
    const uint32_t address = Le32(request.bytes, 8);
    if (variant.dataAt > 0) {
        out.Range<int>(0, 4, variant.dataAt);
        out.Range<uint32_t>(0, variant.dataAt == 1 ? 4096 : 0x1000, 0);
    } else {
        out.Range<int>(0, 4, address == 0 ? 0 : 4);
        if (address != 0) out.Integral<uint32_t>(address);
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

// Runs the input through its target and returns what reached the filter.
std::optional<Request> Replay(void (*target)(FuzzedDataProvider&), const std::vector<uint8_t>& input) {
    std::optional<Request> seen;
    sim::SetCallObserver([&seen](PDEVICE_OBJECT device, PIRP irp) {
        if (!seen) seen = Capture(device, irp);
    });
    FuzzedDataProvider provider(input.data(), input.size());
    target(provider);
    sim::SetCallObserver(nullptr);
    return seen;
}

// Same request: code, sender, target and buffer lengths, and the bytes that
// are no pointers (those are the test's own buffers now).
bool SameRequest(const Request& want, const Request& got) {
    if (want.major != got.major || want.code != got.code || want.program != got.program ||
        want.noBlock != got.noBlock || want.unreadable != got.unreadable || want.onControl != got.onControl ||
        want.bytes.size() != got.bytes.size() || want.flags != got.flags)
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
            if (value < 0x10000 || value > 0x7FFFFFFFFFFFull) return false;
        }
    return true;
}

// Every distinct device control and internal device control request the
// scenarios send to the filter, by the scenario's name; nullopt when one
// does not load or run.
std::optional<std::vector<std::pair<std::string, Request>>> LoadRequests(int count, char** files) {
    std::set<std::string> known;
    std::vector<std::pair<std::string, Request>> requests;
    for (int i = 0; i < count; ++i) {
        scn::Scenario scenario;
        scn::ParseError error;
        if (!scn::LoadScenarioFile(files[i], &scenario, &error)) {
            std::cerr << "make_seeds: " << error.Message() << "\n";
            return std::nullopt;
        }
        std::vector<Request> captured;
        sim::SetCallObserver([&captured](PDEVICE_OBJECT device, PIRP irp) {
            if (std::optional<Request> request = Capture(device, irp)) captured.push_back(std::move(*request));
        });
        const scn::RunResult result = scn::RunScenario(scenario, scn::RunOptions{});
        sim::SetCallObserver(nullptr);
        if (!result.ok) {
            std::cerr << "make_seeds: " << result.error << "\n";
            return std::nullopt;
        }
        const std::string stem = std::filesystem::path(files[i]).stem().string();
        for (Request& request : captured)
            if (known.insert(request.Key()).second) requests.emplace_back(stem, std::move(request));
    }
    return requests;
}

using Writer = std::function<void(const std::string& target, const std::string& stem, const std::vector<uint8_t>&)>;

// The control target's variants of a private request: the filtered device
// removed while the request is in the driver or before it, the data in the
// program's area or in kernel space, a standard user.
void WriteControlVariants(const Request& request, const std::string& stem, const Writer& write) {
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
    // The record alone, with no room for an answer.
    if (Le32(request.bytes, 8) == 0) {
        Request bare = request;
        bare.bytes.resize(12);
        bare.outLength = 0;
        write("fuzz_control", stem + "-bare", *WriteControl(bare));
    }
}

// Floppy commands with their command bytes, paged out, without them, and
// without a block; a URB as every function, answered or not.
void WriteBlocks(const Request& urb, const Writer& write) {
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
    for (const Request& changed : UrbFunctions(urb)) {
        write("fuzz_internal", "urb-function", Write(changed));
        Variant stamped;
        stamped.mask = 0x3FF;
        stamped.information = 0x40;
        write("fuzz_internal", "urb-function-answered", Write(changed, false, stamped));
    }
}

// A driver's URB through device control (the device control target's last
// other request): traced in full, at the device control level alone,
// untraced, and in a page that is gone.
void WriteUrbByDeviceControl(const Request& urb, const Writer& write) {
    Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.code = IOCTL_INTERNAL_USB_SUBMIT_URB;
    request.bytes.assign(urb.bytes.begin(), urb.bytes.begin() + std::min<size_t>(urb.bytes.size(), kInputBytes));
    Variant full;
    full.other = fuzz::kOtherRequests;
    write("fuzz_devicecontrol", "urb-devicecontrol", Write(request, false, full));
    Variant level = full;
    level.mask = 0x020;
    write("fuzz_devicecontrol", "urb-devicecontrol-level", Write(request, false, level));
    Variant quiet = full;
    quiet.mask = 0;
    write("fuzz_devicecontrol", "urb-devicecontrol-quiet", Write(request, false, quiet));
    Variant gone = full;
    gone.pageOut = 0;
    gone.pageKind = 0;
    write("fuzz_devicecontrol", "urb-devicecontrol-gone", Write(request, false, gone));
}

// A 1394 allocation sent straight to the control device by a driver (the
// device control target's other request 9, kind 4), its block in the input
// buffer.
void WriteControlIrb(const Request& allocation, const Writer& write) {
    Request request;
    request.major = IRP_MJ_DEVICE_CONTROL;
    request.code = IOCTL_1394_CLASS;
    request.bytes = allocation.bytes;
    Variant variant;
    variant.other = 9;
    variant.choices = [](fuzz::SeedWriter& out) { out.Range<int>(0, 4, 4); };
    write("fuzz_devicecontrol", "control-irb", Write(request, false, variant));
}

// Once: the other requests, on a driver's device control request with an
// input of 16 bytes or more (a WMI registration buffer) and from a program;
// every routine that can fail, failing each of its first calls, on that, on
// an SRB and on a 1394 allocation; floppy commands and URB functions.
bool WriteOnce(const std::vector<std::pair<std::string, Request>>& requests, const Writer& write) {
    std::optional<Request> plain, block, urb, allocation, host;
    for (const auto& [stem, request] : requests) {
        if (!allocation && Playable(request) && Le32(request.bytes, 0) == REQUEST_ALLOCATE_ADDRESS_RANGE)
            allocation = request;
        if (!host && Playable(request) && Le32(request.bytes, 0) == REQUEST_GET_LOCAL_HOST_INFO) host = request;
        if (request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && request.code == IOCTL_INTERNAL_USB_SUBMIT_URB &&
            request.bytes.size() >= 0x90 && (!urb || request.pointers.size() > urb->pointers.size()))
            urb = request;
        if (!plain && request.major == IRP_MJ_DEVICE_CONTROL && !request.program && !request.onControl &&
            request.bytes.size() >= 16)
            plain = request;
        if (!block && IsSrb(request) && !request.pointers.empty()) block = request;
    }
    if (!plain || !block || !urb || !allocation || !host) {
        std::cerr << "make_seeds: the scenarios send no device control request with input, no SRB, no URB, "
                     "no 1394 allocation or no level-4 host query\n";
        return false;
    }
    for (const auto& [name, variant] : OtherRequests()) {
        write("fuzz_devicecontrol", "other-" + name, Write(*plain, false, variant));
        Request program = *plain;
        program.program = true;
        write("fuzz_devicecontrol", "other-program-" + name, Write(program, false, variant));
    }
    WriteUrbByDeviceControl(*urb, write);
    WriteControlIrb(*allocation, write);
    for (int kind = 0; kind <= 5; ++kind)
        for (int context = 0; context <= (kind < 4 ? 2 : 0); ++context)
            write(
                "fuzz_internal", "host-hostile-" + std::to_string(kind) + "-" + std::to_string(context),
                Write(*host, true, {}, [kind, context](fuzz::SeedWriter& out) { WriteHostPlay(out, kind, context); }));
    for (int fault = 0; fault < fuzz::Stack::kNoFault; ++fault)
        for (int nth = 1; nth <= 3; ++nth) {
            Variant failing;
            failing.fault = fault;
            failing.nth = nth;
            const std::string name =
                std::string("fault-") + fuzz::Stack::kFaultRoutines[fault] + "-" + std::to_string(nth);
            write("fuzz_devicecontrol", name, Write(*plain, false, failing));
            write("fuzz_internal", name, Write(*block, false, failing));
            write("fuzz_internal", name + "-bus", Write(*allocation, true, failing));
        }
    WriteBlocks(*urb, write);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || std::string(argv[1]) == "--help") {
        std::cerr << "usage: make_seeds OUT-DIR SCENARIO-FILE...\n";
        return argc < 3 ? 2 : 0;
    }
    const std::filesystem::path out = argv[1];
    const std::optional<std::vector<std::pair<std::string, Request>>> requests = LoadRequests(argc - 2, argv + 2);
    if (!requests) return 1;
    sim::UseDeterministicAddresses(false);  // as in the fuzzers

    std::map<std::string, int> written;
    const Writer write = [&out, &written](const std::string& target, const std::string& stem,
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
        if (seen && SameRequest(request, *seen)) return true;
        std::cerr << "make_seeds: an input from " << stem << " (code 0x" << std::hex << request.code << std::dec
                  << ") does not bring its request to the filter: the writer and the targets disagree\n";
        return false;
    };
    for (const auto& [stem, request] : *requests) {
        const bool internal = request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL;
        const std::vector<uint8_t> input = Write(request);
        auto target = internal ? fuzz::InternalRequest : fuzz::DeviceControlRequest;
        if (!check(target, input, request, stem)) return 1;
        write(internal ? "fuzz_internal" : "fuzz_devicecontrol", stem, input);
        if (Playable(request)) write("fuzz_internal", stem + "-bus", Write(request, true));
        if (std::optional<std::vector<uint8_t>> control = WriteControl(request)) {
            if (!check(fuzz::ControlRequest, *control, request, stem)) return 1;
            write("fuzz_control", stem, *control);
            WriteControlVariants(request, stem, write);
        }
        for (const auto& [name, variant] : Variants(request))
            write(internal ? "fuzz_internal" : "fuzz_devicecontrol", stem + "-" + name,
                  Write(variant.first, false, variant.second));
    }
    if (!WriteOnce(*requests, write)) return 1;
    for (const char* target : {"fuzz_internal", "fuzz_devicecontrol", "fuzz_control"})
        std::cout << target << ": " << written[target] << " inputs\n";
    return 0;
}
