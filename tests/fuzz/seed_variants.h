// The driver fuzz targets' seeds, as tests/fuzz/make_seeds.cpp writes them:
// a request a scenario sent to the filter, and the variants of it that reach
// what the scenarios' requests alone never make the filter do.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "internal/srb.h"
#include "ioctl/request.h"
#include "platform/nt1394.h"
#include "platform/ntioctl.h"
#include "platform/ntscsi.h"
#include "platform/ntusb.h"
#include "tests/fuzz/seed_writer.h"
#include "tests/fuzz/targets.h"

namespace fuzz::seeds {

struct Request {
    UCHAR major = 0;
    ULONG code = 0;
    std::vector<uint8_t> bytes;  // the block, or the input buffer
    ULONG outLength = 0;
    bool program = false;
    bool onControl = false;
    bool noBlock = false;
    bool unreadable = false;  // a block at an address with nothing there
    size_t flags = 0;         // indexes into the stack's choices
    size_t type = 0;
    // Internal: block offset of a pointer, and what it pointed to.
    std::vector<std::pair<size_t, std::vector<uint8_t>>> pointers;

    std::string Key() const {
        std::string key{char(major),      char(program), char(onControl), char(noBlock),
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

// What an input does besides sending a scenario's request as it was sent:
// by default nothing (every level traced, the lower driver's plain success,
// no fault, no registry values). The variants reach what the scenarios'
// requests alone do not (Variants, below).
struct Variant {
    std::optional<uint16_t> mask;       // a trace mask other than every level
    int configuration = 0;              // fuzz::Stack::Configure
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
    int race = 0;                                    // the control target's removal
    size_t account = 0;                              // the control target's account (fuzz::kAccounts)
    int dataAt = -1;   // and where its data lies: in the program's area (1), in kernel space (2)
    int mdlSlot = -1;  // the last plant: a locked MDL where the block names one (fuzz::Stack::kMdlSlots)
    bool mdlMapped = false;
};

inline uint32_t Le32(const std::vector<uint8_t>& bytes, size_t offset) {
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 | uint32_t(bytes[offset + 3]) << 24;
}

inline void Put32(std::vector<uint8_t>& bytes, size_t offset, uint32_t value) {
    if (bytes.size() < offset + 4) bytes.resize(offset + 4);
    std::memcpy(bytes.data() + offset, &value, 4);
}

inline bool IsSrb(const Request& request) {
    return request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && request.bytes.size() >= 0x40 &&
           ZK_IsSrbControlCode(request.code);
}

// A storage device descriptor naming the product: at ProductIdOffset, or
// (offset 0) at byte 48, or at an offset past what is returned.
inline std::vector<uint8_t> Descriptor(uint32_t productOffset, const std::string& name = "FUZZ") {
    std::vector<uint8_t> reply(0x80, 0);
    Put32(reply, 0, 1);
    Put32(reply, 4, 0x80);
    reply[8] = 5;  // a CD-ROM
    Put32(reply, 0x10, productOffset);
    std::memcpy(reply.data() + (productOffset != 0 && productOffset < 0x5B ? productOffset : 0x30), name.data(),
                name.size());
    return reply;
}

using NamedVariants = std::vector<std::pair<std::string, std::pair<Request, Variant>>>;
using AddVariant = std::function<void(const std::string&, const Request&, const Variant&)>;

// Every request again: answered later, and untraced; internal ones with
// time stamps, 1394 blocks traced at the I/O level only or read-only, a
// locked MDL where a URB or IRB names one, SRBs answered with success,
// sense data or a failure.
inline void InternalVariants(const Request& request, const AddVariant& add) {
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
                // A transfer named by its MDL alone.
                constexpr size_t bufferAt = offsetof(_URB_CONTROL_TRANSFER, TransferBuffer);
                if (urb && request.bytes.size() >= bufferAt + 8) {
                    Request mdlOnly = request;
                    std::fill_n(mdlOnly.bytes.begin() + bufferAt, 8, 0);
                    std::erase_if(mdlOnly.pointers, [](const auto& pointer) { return pointer.first == bufferAt; });
                    add("mdl-only" + std::string(mapped ? "m" : ""), mdlOnly, mdl);
                }
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
        // Data and sense data at a level that does not show them, and sense
        // data at an address no one mapped.
        Variant undumped = done;
        undumped.mask = 0x008;
        add("done-undumped", request, undumped);
        Variant untraced = sense;
        untraced.mask = 0x004;
        add("sense-untraced", request, untraced);
        Variant nowhere;
        nowhere.edits = {{3, 0x84}};
        constexpr uint8_t kUnmapped[] = {0x10, 0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF};  // 0xFFFF8000000010xx
        for (size_t i = 0; i < std::size(kUnmapped); ++i)
            nowhere.edits.emplace_back(offsetof(SCSI_REQUEST_BLOCK, SenseInfoBuffer) + 1 + i, kUnmapped[i]);
        add("sense-nowhere", request, nowhere);
    }
    // The lower driver turns the URB into a function no completion traces;
    // a completion traced at the unrecognised level alone.
    if (urb && request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && request.bytes.size() >= 4) {
        Variant renamed;
        renamed.edits = {{2, 0x7F}, {3, 0x00}};
        add("renamed", request, renamed);
        Variant unrecognised;
        unrecognised.mask = 0x040;
        add("unrecognised", request, unrecognised);
    }
}

// The private request from a driver naming kernel memory; a storage query
// answered with a descriptor (and the model's configuration in the
// registry).
inline void ControlVariants(const Request& request, const AddVariant& add) {
    // The private request from a driver, naming its data at a kernel
    // address (one no one mapped).
    if (request.code == ZK_REQUEST_CODE && request.onControl && request.bytes.size() >= 12 &&
        Le32(request.bytes, 8) != 0) {
        Request kernel = request;
        kernel.program = false;
        Put32(kernel.bytes, 8, 0x80001000u);
        add("kernel", kernel, Variant{});
    }
    // A driver's private request with its data in the request: a driver may
    // change the configuration.
    if (request.code == ZK_REQUEST_CODE && request.onControl && request.program && request.bytes.size() >= 12 &&
        Le32(request.bytes, 8) == 0) {
        Request driver = request;
        driver.program = false;
        add("kernel-inline", driver, Variant{});
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
}

// A direct pass-through from a driver and from a program, sending and
// receiving, its data named by address in every way a sender names it, the
// kernel refusing the MDL, its lock or its mapping.
inline void DirectVariants(const Request& request, const AddVariant& add) {
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
                        refused.fault =
                            int(std::find(std::begin(fuzz::Stack::kFaultRoutines),
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
}

// A pass-through answered with sense data or with data, from a 32-bit
// program too; its direct form as above.
inline void PassThroughVariants(const Request& request, const AddVariant& add) {
    const bool direct = request.code == IOCTL_SCSI_PASS_THROUGH_DIRECT;
    if ((request.code != IOCTL_SCSI_PASS_THROUGH && !direct) || request.bytes.size() < sizeof(SCSI_PASS_THROUGH))
        return;
    for (uint8_t scsiStatus : {0x02, 0x00}) {
        Variant answered;
        answered.intoSystemBuffer = true;
        answered.information = std::max<ULONG>(ULONG(request.bytes.size()), request.outLength);
        answered.reply = request.bytes;
        answered.reply[2] = scsiStatus;
        add(scsiStatus ? "checked" : "answered", request, answered);
    }
    // Answered data the level does not show, and an output longer than the
    // block.
    Variant hidden;
    hidden.intoSystemBuffer = true;
    hidden.information = std::max<ULONG>(ULONG(request.bytes.size()), request.outLength);
    hidden.reply = request.bytes;
    hidden.mask = 0x020;
    add("answered-hidden", request, hidden);
    Request longer = request;
    longer.outLength = std::min<ULONG>(ULONG(request.bytes.size()) + 0x100, 1024);
    Variant longAnswer = hidden;
    longAnswer.mask.reset();
    longAnswer.information = longer.outLength;
    add("answered-longer", longer, longAnswer);
    if (request.program) {
        Variant wow64;
        wow64.wow64 = true;
        add("wow64", request, wow64);
        // Too short for a 32-bit program's block.
        Request cut = request;
        cut.bytes.resize(16);
        add("wow64-short", cut, wow64);
    }
    if (direct) DirectVariants(request, add);
}

inline NamedVariants Variants(const Request& request) {
    NamedVariants variants;
    const AddVariant add = [&variants](const std::string& name, const Request& changed, const Variant& variant) {
        variants.emplace_back(name, std::make_pair(changed, variant));
    };
    InternalVariants(request, add);
    if (request.major == IRP_MJ_DEVICE_CONTROL) {
        ControlVariants(request, add);
        PassThroughVariants(request, add);
    }
    return variants;
}

// The device control target's requests straight to the control device
// (other request 9): Plug and Play (a start, the usage notification, the
// removal), power (set and query), WMI, a read.
template <typename Add>
void ControlDeviceRequests(const Add& add) {
    for (UCHAR minor :
         {UCHAR(IRP_MN_START_DEVICE), UCHAR(IRP_MN_DEVICE_USAGE_NOTIFICATION), UCHAR(IRP_MN_REMOVE_DEVICE)})
        add("control-pnp-" + std::to_string(minor), 9, [minor](fuzz::SeedWriter& out) {
            out.Range<int>(0, 4, 0);
            out.Range<UCHAR>(0, IRP_MN_QUERY_LEGACY_BUS_INFORMATION, minor);
        });
    for (UCHAR minor : {UCHAR(IRP_MN_SET_POWER), UCHAR(IRP_MN_QUERY_POWER), UCHAR(IRP_MN_QUERY_POWER + 1)})
        add("control-power-" + std::to_string(minor), 9, [minor](fuzz::SeedWriter& out) {
            out.Range<int>(0, 4, 1);
            out.Range<UCHAR>(0, IRP_MN_QUERY_POWER + 1, minor);
            out.Bool(false);
            out.Range<ULONG>(0, 6, 1);
        });
    add("control-wmi", 9, [](fuzz::SeedWriter& out) {
        out.Range<int>(0, 4, 2);
        out.Range<UCHAR>(0, IRP_MN_REGINFO_EX + 1, IRP_MN_REGINFO_EX);
    });
    add("control-read", 9, [](fuzz::SeedWriter& out) { out.Range<int>(0, 4, 3); });
}

// The device control target's other requests (tests/fuzz/more_requests.h),
// each with its own choices.
inline std::vector<std::pair<std::string, Variant>> OtherRequests() {
    std::vector<std::pair<std::string, Variant>> others;
    auto add = [&others](const std::string& name, int other, std::function<void(fuzz::SeedWriter&)> choices,
                         Variant variant = {}) {
        variant.other = other;
        variant.choices = std::move(choices);
        others.emplace_back(name, std::move(variant));
    };
    Variant quiet;
    quiet.mask = 0;
    for (int64_t offset : {int64_t(0), int64_t(-1)}) {
        add("read" + std::to_string(offset), 1, [offset](fuzz::SeedWriter& out) { out.Integral<int64_t>(offset); });
        add("write" + std::to_string(offset), 2, [offset](fuzz::SeedWriter& out) { out.Integral<int64_t>(offset); });
    }
    add(
        "read-quiet", 1, [](fuzz::SeedWriter& out) { out.Integral<int64_t>(0); }, quiet);
    add(
        "write-quiet", 2, [](fuzz::SeedWriter& out) { out.Integral<int64_t>(0); }, quiet);
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
    // A registration buffer whose page is gone.
    Variant gone;
    gone.pageOut = 0;
    gone.pageKind = 0;
    add(
        "wmi-gone", 4, [](fuzz::SeedWriter& out) { out.Range<UCHAR>(0, IRP_MN_REGINFO_EX + 1, IRP_MN_REGINFO_EX); },
        gone);
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
                    out.Range<int>(0, 3, 1);
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
    for (int kind = 0; kind <= 6; ++kind)
        add("removing-" + std::to_string(kind), 8, [kind](fuzz::SeedWriter& out) { out.Range<int>(0, 6, kind); });
    ControlDeviceRequests(add);
    return others;
}

// A URB as another function: every function code up to the last one named
// and one past it, the block otherwise as it was.
inline std::vector<Request> UrbFunctions(const Request& urb) {
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
inline Request FdcCommand() {
    Request request;
    request.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    request.code = IOCTL_DISK_INTERNAL_ISSUE_FDC_COMMAND;
    request.bytes.assign(sizeof(ISSUE_FDC_COMMAND_PARMS), 0);
    request.pointers.emplace_back(offsetof(ISSUE_FDC_COMMAND_PARMS, FifoInBuffer), std::vector<uint8_t>{0x46, 0x00});
    return request;
}

}  // namespace fuzz::seeds
