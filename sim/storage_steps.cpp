#include "sim/storage_steps.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/ntioctl.h"
#include "sim/devices.h"
#include "simkernel/caller.h"
#include "simkernel/iomgr.h"
#include "simkernel/memory.h"
#include "simkernel/pnp.h"
#include "simkernel/requestor.h"
#include "simkernel/workitem.h"

namespace scn {
namespace {

ULONG Number(const Step& step, const std::string& key, ULONG fallback)
{
    return step.Has(key) ? static_cast<ULONG>(*ParseNumber(step.Option(key))) : fallback;
}

// The most a scenario's buffer may hold (as the scenario's length= options).
constexpr uint64_t kMostBuffer = 0x1000000;

ULONG RoundUp8(ULONG value)
{
    return (value + 7) & ~7u;
}

// Memory of a 32-bit program: below 4 GB, where its 32-bit pointers reach.
class LowBuffer {
public:
    explicit LowBuffer(size_t bytes) : size_((bytes + sim::kPageSize - 1) / sim::kPageSize * sim::kPageSize)
    {
        for (uintptr_t hint = 0x3F000000; hint < 0xF0000000 && address_ == nullptr; hint += 0x1000000) {
            void* p = mmap(reinterpret_cast<void*>(hint), size_, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
            if (p != MAP_FAILED)
                address_ = static_cast<uint8_t*>(p);
        }
        if (address_ != nullptr)
            sim::AddProgramPages(address_, size_);
    }
    ~LowBuffer()
    {
        if (address_ == nullptr)
            return;
        sim::RemoveProgramPages(address_);
        munmap(address_, size_);
    }
    LowBuffer(const LowBuffer&) = delete;
    LowBuffer& operator=(const LowBuffer&) = delete;
    uint8_t* data() const
    {
        return address_;
    }

private:
    size_t size_;
    uint8_t* address_ = nullptr;
};

// A data buffer of the program's (or of a kernel sender's), described to the
// trace by its deterministic address.
class DataArea {
public:
    DataArea(size_t bytes, bool low)
    {
        if (low)
            low_ = std::make_unique<LowBuffer>(bytes);
        else
            buffer_ = sim::AllocateBuffer(bytes == 0 ? 1 : bytes);
    }
    ~DataArea()
    {
        if (buffer_.address != nullptr)
            sim::FreeBuffer(buffer_);
    }
    DataArea(const DataArea&) = delete;
    DataArea& operator=(const DataArea&) = delete;
    uint8_t* data() const
    {
        return low_ ? low_->data() : buffer_.address;
    }

private:
    sim::SimBuffer buffer_;
    std::unique_ptr<LowBuffer> low_;
};

// A pass-through request as the step describes it.
struct PassThroughLayout {
    bool direct = false;
    bool is32 = false;
    std::vector<unsigned char> cdb;
    std::vector<unsigned char> data;
    UCHAR dataIn = SCSI_IOCTL_DATA_IN;
    ULONG length = 0;
    ULONG header = 0;
    ULONG senseLength = 0;
    ULONG senseOffset = 0;
    ULONG dataOffset = 0;
    ULONG inLength = 0;
    ULONG outLength = 0;
    ULONG_PTR dataField = 0;  // DataBufferOffset: an offset, or the direct form's address
};

// Lays out a pass-through request as a tool does: the block, the sense area
// after it, then (buffered form) the data, each on an 8-byte boundary; every
// offset and length can be given instead, wrong ones included.
std::string ReadLayout(const Step& step, HANDLE handle, PassThroughLayout* l)
{
    const std::string form = step.Option("form", "buffered");
    if (form != "buffered" && form != "direct")
        return "form= takes buffered or direct";
    l->direct = form == "direct";
    l->is32 = handle != nullptr && sim::Is32bitFileObject(sim::FileObjectOf(handle));
    l->cdb = ParseBytes(step.Option("cdb")).value_or(std::vector<unsigned char>{});
    if (l->cdb.empty() || l->cdb.size() > 16)
        return "cdb= takes 1 to 16 bytes";
    if (step.Has("data"))
        l->data = ParseBytes(step.Option("data")).value();
    const std::string direction = step.Option("direction", l->data.empty() ? "in" : "out");
    if (direction == "out")
        l->dataIn = SCSI_IOCTL_DATA_OUT;
    else if (direction == "in")
        l->dataIn = SCSI_IOCTL_DATA_IN;
    else if (direction == "unspecified")
        l->dataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
    else
        return "direction= takes in, out or unspecified";
    l->length = Number(step, "length", static_cast<ULONG>(l->data.empty() ? 0 : l->data.size()));
    l->header = l->is32 ? sizeof(SCSI_PASS_THROUGH32) : sizeof(SCSI_PASS_THROUGH);
    l->senseLength = Number(step, "sense", 32);
    l->senseOffset = Number(step, "sense-offset", RoundUp8(l->header));
    l->dataOffset = Number(step, "data-offset", RoundUp8(l->senseOffset + l->senseLength));
    // The buffers cover the block, the sense area and the data unless told
    // otherwise; far offsets need lengths of their own.
    const uint64_t end =
        l->direct ? (uint64_t{l->senseOffset} + l->senseLength + 7) / 8 * 8 : uint64_t{l->dataOffset} + l->length;
    if (end > kMostBuffer && (!step.Has("in-length") || !step.Has("out")))
        return "the offsets place the request's end at " + std::to_string(end) +
               " bytes, past the 16 MiB a buffer may have: give in-length= and out=";
    const ULONG total = static_cast<ULONG>(std::min<uint64_t>(end, kMostBuffer));
    l->inLength = Number(step, "in-length", total);
    l->outLength = Number(step, "out", total);
    l->dataField = l->dataOffset;
    return "";
}

// The request's bytes as the program writes them into its input buffer.
std::vector<unsigned char> BlockBytes(const Step& step, const PassThroughLayout& l)
{
    const size_t size = std::max<size_t>({l.inLength, l.outLength, l.header, 1});
    std::vector<unsigned char> bytes(size, 0);
    auto put = [&bytes](size_t offset, const void* value, size_t n) { std::memcpy(bytes.data() + offset, value, n); };
    const USHORT blockLength = static_cast<USHORT>(l.header);
    const UCHAR cdbLength = static_cast<UCHAR>(Number(step, "cdb-length", static_cast<ULONG>(l.cdb.size())));
    const UCHAR sense8 = static_cast<UCHAR>(l.senseLength);
    const UCHAR target = static_cast<UCHAR>(Number(step, "target", 0));
    const UCHAR lun = static_cast<UCHAR>(Number(step, "lun", 0));
    const ULONG timeout = 10;
    put(offsetof(SCSI_PASS_THROUGH, Length), &blockLength, 2);
    put(offsetof(SCSI_PASS_THROUGH, TargetId), &target, 1);
    put(offsetof(SCSI_PASS_THROUGH, Lun), &lun, 1);
    put(offsetof(SCSI_PASS_THROUGH, CdbLength), &cdbLength, 1);
    put(offsetof(SCSI_PASS_THROUGH, SenseInfoLength), &sense8, 1);
    put(offsetof(SCSI_PASS_THROUGH, DataIn), &l.dataIn, 1);
    put(offsetof(SCSI_PASS_THROUGH, DataTransferLength), &l.length, 4);
    put(offsetof(SCSI_PASS_THROUGH, TimeOutValue), &timeout, 4);
    if (l.is32) {
        const ULONG field = static_cast<ULONG>(l.dataField);
        put(offsetof(SCSI_PASS_THROUGH32, DataBufferOffset), &field, 4);
        put(offsetof(SCSI_PASS_THROUGH32, SenseInfoOffset), &l.senseOffset, 4);
        put(offsetof(SCSI_PASS_THROUGH32, Cdb), l.cdb.data(), l.cdb.size());
    } else {
        put(offsetof(SCSI_PASS_THROUGH, DataBufferOffset), &l.dataField, sizeof(l.dataField));
        put(offsetof(SCSI_PASS_THROUGH, SenseInfoOffset), &l.senseOffset, 4);
        put(offsetof(SCSI_PASS_THROUGH, Cdb), l.cdb.data(), l.cdb.size());
    }
    if (!l.direct)
        for (size_t i = 0; i < l.length && l.dataOffset + i < bytes.size() && !l.data.empty(); ++i)
            bytes[l.dataOffset + i] = l.data[i % l.data.size()];
    return bytes;
}

std::string SendPassThrough(const Step& step, HANDLE handle, sim::Pdo* pdo, NTSTATUS* status)
{
    PassThroughLayout l;
    if (std::string refusal = ReadLayout(step, handle, &l); !refusal.empty())
        return refusal;

    // The direct form's data lies in a buffer of its own.
    std::unique_ptr<DataArea> area;
    if (l.direct) {
        area = std::make_unique<DataArea>(std::max<size_t>(l.length, 1), l.is32);
        if (area->data() == nullptr)
            return "no memory below 4 GB for the 32-bit program's data";
        for (size_t i = 0; i < l.length; ++i)
            area->data()[i] = l.data.empty() ? 0 : l.data[i % l.data.size()];
        l.dataField = l.length == 0 && !step.Has("data") ? 0 : reinterpret_cast<ULONG_PTR>(area->data());
        if (step.Has("data-buffer"))
            l.dataField = static_cast<ULONG_PTR>(*ParseNumber(step.Option("data-buffer")));
    }
    const std::vector<unsigned char> bytes = BlockBytes(step, l);

    // The program's own buffers, at deterministic addresses.
    sim::SimBuffer input = sim::AllocateBuffer(std::max<ULONG>(l.inLength, 1));
    sim::SimBuffer output = sim::AllocateBuffer(std::max<ULONG>(l.outLength, 1));
    std::memcpy(input.address, bytes.data(), std::min<size_t>(l.inLength, bytes.size()));
    const ULONG code = l.direct ? IOCTL_SCSI_PASS_THROUGH_DIRECT : IOCTL_SCSI_PASS_THROUGH;
    sim::IoResult result;
    if (handle != nullptr)
        result = sim::DeviceIoControl(handle, code, input.address, l.inLength, output.address, l.outLength);
    else
        result = sim::Send(pdo->Device(),
                           sim::Request::DeviceControl(code, input.address, l.inLength, output.address, l.outLength));
    sim::FreeBuffer(input);
    sim::FreeBuffer(output);
    *status = result.final;
    return "";
}

std::string SetDescriptor(const Step& step, sim::Pdo* pdo)
{
    std::shared_ptr<sim::ScsiModel> model = ScsiModelOf(step.args[0]);
    if (pdo == nullptr || model == nullptr)
        return "device '" + step.args[0] + "' is no SCSI device (declare it with model=disk or model=cdrom)";
    if (step.Has("serial"))
        model->SetSerial(step.Option("serial"));
    if (step.Has("bus"))
        model->SetBusType(Number(step, "bus", 1));
    sim::DescriptorFault fault;
    if (step.Has("product-offset"))
        fault.productIdOffset = Number(step, "product-offset", 0);
    if (step.Has("information"))
        fault.information = Number(step, "information", 0);
    if (step.Has("status"))
        fault.status = static_cast<NTSTATUS>(Number(step, "status", 0));
    model->SetDescriptorFault(fault);
    return "";
}

// A paging, hibernation or dump file moves onto the disk or off it; the
// simulated kernel checks the stack's DO_POWER_PAGABLE once it is back.
std::string SendUsageNotification(const Step& step, sim::Pdo* pdo, NTSTATUS* status)
{
    static const std::pair<const char*, DEVICE_USAGE_NOTIFICATION_TYPE> kTypes[] = {
        {"paging", DeviceUsageTypePaging},
        {"hibernation", DeviceUsageTypeHibernation},
        {"dump", DeviceUsageTypeDumpFile},
    };
    const auto type = std::find_if(std::begin(kTypes), std::end(kTypes),
                                   [&](const auto& known) { return step.args[1] == known.first; });
    if (type == std::end(kTypes))
        return "usage takes paging, hibernation or dump, not '" + step.args[1] + "'";
    if (step.args[2] != "in" && step.args[2] != "out")
        return "usage takes in or out, not '" + step.args[2] + "'";
    *status = sim::PnpUsageNotification(pdo->Device(), type->second, step.args[2] == "in").final;
    return "";
}

}  // namespace

bool IsStorageCommand(const std::string& command)
{
    return command == "pass-through" || command == "descriptor" || command == "work-items" || command == "usage";
}

std::string RunStorageStep(const Step& step, HANDLE handle, sim::Pdo* pdo, NTSTATUS* status)
{
    if (step.command == "pass-through")
        return SendPassThrough(step, handle, pdo, status);
    if (step.command == "descriptor")
        return SetDescriptor(step, pdo);
    if (step.command == "usage")
        return SendUsageNotification(step, pdo, status);
    const std::string& what = step.args[0];
    if (what == "hold") {
        sim::HoldWorkItems(true);
    } else if (what == "run") {
        sim::HoldWorkItems(false);
        sim::WaitForWorkItems();
    } else {
        return "work-items takes hold or run";
    }
    return "";
}

}  // namespace scn
