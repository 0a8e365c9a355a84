// IEEE 1394 callback records: their numbering over a long life, and an
// allocation request that the filter interposes twice, once on its way down
// and again in the host's mapping routine while the bus holds it. The rest is
// told by the golden scenarios tests/golden/ieee1394-*.scn; this one cannot
// be, since a line prints the address of one of the filter's own routines.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "internal/callback.h"
#include "platform/nt1394.h"
#include "platform/ntscsi.h"
#include "simkernel/bus1394.h"
#include "simkernel/frames.h"
#include "simkernel/memory.h"
#include "tests/unit/filtered_stack.h"
#include "trace/print.h"

namespace {

class CallbackRecordTest : public FilteredStackTest {};

// After 999 the numbers start again at 10; a record the pool cannot give
// uses up no number.
TEST_F(CallbackRecordTest, NumbersRunTo999ThenFrom10AndFailuresUseNone) {
    ASSERT_NO_FATAL_FAILURE(BuildStack());
    record_->CallbackSerial = 998;
    std::vector<PZK_CALLBACK_CONTEXT> records;
    records.push_back(ZK_NewCallbackContext(record_, 0));
    sim::FailNthCall("ExAllocatePoolWithTag", 1);
    EXPECT_EQ(ZK_NewCallbackContext(record_, 0), nullptr);
    records.push_back(ZK_NewCallbackContext(record_, 0));
    records.push_back(ZK_NewCallbackContext(record_, 1));
    records.push_back(ZK_NewCallbackContext(record_, 0));

    std::vector<ULONG> numbers;
    for (PZK_CALLBACK_CONTEXT record : records) {
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->Extension, record_);
        numbers.push_back(record->Number);
    }
    EXPECT_EQ(numbers, (std::vector<ULONG>{998, 999, 10, 11}));
    EXPECT_EQ(records[2]->FreeAfterCall, 1u);

    // The device's removal retires the records that are left (none has a
    // range), and the driver's unload frees them.
    ZK_FreeCallbackContext(records[1]);
    EXPECT_EQ(sim::PnpRemoveDevice(pdo_->Device()).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::UnloadDriver(driver_), STATUS_SUCCESS);
    EXPECT_EQ(sim::LeakReport(), "");
}

// The filter writes its substitute and record into blocks of its clients
// wherever they lie (any alignment) and only where it may: a block in a
// read-only page keeps what it held, and no record is made for it.
NTSTATUS HostMapping(PVOID, PIRB) { return STATUS_SUCCESS; }

TEST_F(CallbackRecordTest, SubstitutesGoOnlyWhereTheClientsBlockCanBeWritten) {
    ASSERT_NO_FATAL_FAILURE(BuildStack());
    record_->TraceMask = 0;
    PVOID hostRoutine = reinterpret_cast<PVOID>(&HostMapping);
    PVOID hostContext = reinterpret_cast<PVOID>(0x5678);
    const GET_LOCAL_HOST_INFO4 answer{reinterpret_cast<PPORT_PHYS_ADDR_ROUTINE>(hostRoutine), hostContext};
    pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(STATUS_SUCCESS, 0).Fill([&answer](PIRP irp) {
        const IRB* irb = static_cast<const IRB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        std::memcpy(irb->u.GetLocalHostInformation.Information, &answer, sizeof(answer));
    }));
    auto askHost = [this](uint8_t* information) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_GET_LOCAL_HOST_INFO;
        irb.u.GetLocalHostInformation.nLevel = GET_PHYS_ADDR_ROUTINE;
        irb.u.GetLocalHostInformation.Information = information;
        EXPECT_EQ(sim::Send(filter_, sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, &irb)).final,
                  STATUS_SUCCESS);
        GET_LOCAL_HOST_INFO4 got;
        std::memcpy(&got, information, sizeof(got));
        return got;
    };

    // At an odd address: the substitute and a record, written byte by byte.
    sim::SimBuffer odd = sim::AllocateBuffer(64, 3);
    const GET_LOCAL_HOST_INFO4 substitute = askHost(odd.address);
    EXPECT_EQ(reinterpret_cast<PVOID>(substitute.PhysAddrMappingRoutine),
              reinterpret_cast<PVOID>(&ZK_PhysAddrMappingRoutine));
    EXPECT_TRUE(ZK_IsCallbackContext(record_, substitute.Context));
    const LONG next = record_->CallbackSerial;

    // Read-only once the host has answered: the answer stays, no number goes.
    sim::SimBuffer locked = sim::AllocateBuffer(64);
    pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(STATUS_SUCCESS, 0).Fill([&](PIRP) {
        std::memcpy(locked.address, &answer, sizeof(answer));
        sim::MakeReadOnly(locked.address);
    }));
    GET_LOCAL_HOST_INFO4 got = askHost(locked.address);
    EXPECT_EQ(reinterpret_cast<PVOID>(got.PhysAddrMappingRoutine), hostRoutine);
    EXPECT_EQ(got.Context, hostContext);
    EXPECT_EQ(record_->CallbackSerial, next);

    // An allocation block the filter may not write goes down as sent.
    sim::SimBuffer block = sim::AllocateBuffer(sizeof(IRB), 4096 - sizeof(IRB) - 1);
    IRB allocate{};
    allocate.FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
    allocate.u.AllocateAddressRange.Callback = hostRoutine;
    allocate.u.AllocateAddressRange.Context = hostContext;
    std::memcpy(block.address, &allocate, sizeof(allocate));
    sim::MakeReadOnly(block.address);
    pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(STATUS_SUCCESS, 0));
    sim::Send(filter_, sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, block.address));
    EXPECT_EQ(std::memcmp(block.address, &allocate, sizeof(allocate)), 0);
    // Nor does the mapping substitute change it on its way to the host.
    EXPECT_EQ(substitute.PhysAddrMappingRoutine(substitute.Context, reinterpret_cast<PIRB>(block.address)),
              STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(block.address, &allocate, sizeof(allocate)), 0);
    EXPECT_EQ(record_->CallbackSerial, next);

    EXPECT_EQ(sim::PnpRemoveDevice(pdo_->Device()).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::UnloadDriver(driver_), STATUS_SUCCESS);
    for (const sim::SimBuffer& buffer : {odd, locked, block})
        sim::FreeBuffer(buffer);
    EXPECT_EQ(sim::LeakReport(), "");
}

std::string Hex(ULONG value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", value);
    return text;
}

// The lines of the output that contain `text`, by position.
size_t LineWith(const std::vector<std::string>& lines, const std::string& text, size_t from = 0) {
    for (size_t i = from; i < lines.size(); ++i)
        if (lines[i].find(text) != std::string::npos) return i;
    return std::string::npos;
}

// A bus hands an allocation it still holds to the host's mapping routine,
// which the client got through the filter too: the block carries the
// filter's allocation completion routine and record from its way down, and
// the mapping substitute interposes again. On completion the newer record's
// lines come first, then the older record's, then the client's routine runs
// with its own context; only the newer record goes. Once the request has
// completed, the client's block holds its own routine and context again.
NTSTATUS HostCompletesAtOnce(PVOID, PIRB Irb) {
    auto callback = reinterpret_cast<PALLOCATION_COMPLETION_ROUTINE>(Irb->u.AllocateAddressRange.Callback);
    callback(Irb->u.AllocateAddressRange.Context);
    return STATUS_SUCCESS;
}

VOID ClientAllocated(PVOID Context) {
    ++*static_cast<int*>(Context);
    DbgPrint("%s", "client: allocated.\n");
}

TEST_F(CallbackRecordTest, TwiceInterposedAllocationUnwindsNewestFirst) {
    ASSERT_NO_FATAL_FAILURE(BuildStack());
    record_->TraceMask = 0x43;
    sim::SimBuffer buffer = sim::AllocateBuffer(4096);
    IRB* irb = reinterpret_cast<IRB*>(buffer.address);
    auto* information = reinterpret_cast<PGET_LOCAL_HOST_INFO4>(buffer.address + 0x800);
    irb->FunctionNumber = REQUEST_GET_LOCAL_HOST_INFO;
    irb->u.GetLocalHostInformation.nLevel = GET_PHYS_ADDR_ROUTINE;
    irb->u.GetLocalHostInformation.Information = information;
    pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(STATUS_SUCCESS, 0).Fill([information](PIRP) {
        information->PhysAddrMappingRoutine = HostCompletesAtOnce;
        information->Context = reinterpret_cast<PVOID>(0x5678);
    }));
    ASSERT_EQ(sim::Send(filter_, sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, irb)).final, STATUS_SUCCESS);
    const GET_LOCAL_HOST_INFO4 mapping = *information;

    int allocated = 0;
    std::memset(irb, 0, sizeof(IRB));
    irb->FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
    irb->u.AllocateAddressRange.Callback = reinterpret_cast<PVOID>(&ClientAllocated);
    irb->u.AllocateAddressRange.Context = &allocated;
    pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(STATUS_SUCCESS, 0).Fill([&mapping](PIRP irp) {
        PIRB held = static_cast<PIRB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        EXPECT_EQ(mapping.PhysAddrMappingRoutine(mapping.Context, held), STATUS_SUCCESS);
    }));
    sim::ClearDebugOutput();
    ASSERT_EQ(sim::Send(filter_, sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, irb)).final, STATUS_SUCCESS);

    std::vector<std::string> lines;
    const std::string output = sim::DebugText();
    size_t start = 0;
    for (size_t end; (end = output.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(output.substr(start, end - start));
    std::string substitute = Hex(ZK_Low32(reinterpret_cast<const void*>(&ZK_AllocationCompletionRoutine)));
    size_t call = LineWith(lines, "ZK_PhysAddrMappingRoutine: #0 Irb: ");
    ASSERT_NE(call, std::string::npos) << output;
    EXPECT_NE(lines[call].find("fulNotificationOptions: 0x0, Callback: " + substitute + "."), std::string::npos)
        << lines[call];
    size_t newer = LineWith(lines, "ZK_PhysAddrMappingRoutine: #2 Original Context: ", call);
    size_t newerLines = LineWith(lines, "ZK_AllocationCompletionRoutine: #2 MDL: ", newer);
    size_t olderLines = LineWith(lines, "ZK_AllocationCompletionRoutine: #1 MDL: ", newerLines);
    size_t client = LineWith(lines, "client: allocated.", olderLines);
    size_t olderAfter = LineWith(lines, "ZK_AllocationCompletionRoutine: Buffer after.", client);
    size_t newerAfter = LineWith(lines, "ZK_AllocationCompletionRoutine: Buffer after.", olderAfter + 1);
    EXPECT_NE(newerAfter, std::string::npos) << output;
    EXPECT_EQ(allocated, 1);
    EXPECT_EQ(irb->u.AllocateAddressRange.Callback, reinterpret_cast<PVOID>(&ClientAllocated));
    EXPECT_EQ(irb->u.AllocateAddressRange.Context, &allocated);

    EXPECT_EQ(sim::PnpRemoveDevice(pdo_->Device()).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::UnloadDriver(driver_), STATUS_SUCCESS);
    sim::FreeBuffer(buffer);
    EXPECT_EQ(sim::LeakReport(), "");
}

// The bus calls a range's allocation completion routine on one processor
// while the device is removed on another. The removal waits until the
// substitute, which prints with the filter's record before and after the
// client's routine, has returned; the range's record, dropped meanwhile, goes
// with that call. A call through it afterwards finds nothing to call.
std::function<void()> clientInside;

VOID ClientCalledDuringRemoval(PVOID) { clientInside(); }

TEST_F(CallbackRecordTest, RemovalWaitsForASubstituteThatIsRunning) {
    ASSERT_NO_FATAL_FAILURE(BuildStack());
    record_->TraceMask = 0x43;
    sim::SimBuffer buffer = sim::AllocateBuffer(sizeof(IRB));
    IRB* irb = reinterpret_cast<IRB*>(buffer.address);
    irb->FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
    irb->u.AllocateAddressRange.Callback = reinterpret_cast<PVOID>(&ClientCalledDuringRemoval);
    PVOID substitute = nullptr;
    PVOID record = nullptr;
    pdo_->SetRule(IRP_MJ_INTERNAL_DEVICE_CONTROL, sim::Reply::Complete(STATUS_SUCCESS, 0).Fill([&](PIRP irp) {
        PIRB taken = static_cast<PIRB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        substitute = taken->u.AllocateAddressRange.Callback;
        record = taken->u.AllocateAddressRange.Context;
        taken->u.AllocateAddressRange.hAddressRange = reinterpret_cast<HANDLE>(0x1394);
    }));
    ASSERT_EQ(sim::Send(filter_, sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, irb)).final, STATUS_SUCCESS);
    ASSERT_EQ(substitute, reinterpret_cast<PVOID>(&ZK_AllocationCompletionRoutine));

    int calls = 0;
    std::future<sim::IoResult> removal;
    bool removedWhileInside = false;
    clientInside = [&] {
        ++calls;
        removal = std::async(std::launch::async, [&] { return sim::PnpRemoveDevice(pdo_->Device()); });
        removedWhileInside = removal.wait_for(std::chrono::milliseconds(200)) == std::future_status::ready;
    };
    {
        sim::IrqlScope irql(DISPATCH_LEVEL);
        ZK_AllocationCompletionRoutine(record);
    }
    ASSERT_TRUE(removal.valid());
    EXPECT_EQ(removal.get().final, STATUS_SUCCESS);
    EXPECT_FALSE(removedWhileInside);
    EXPECT_NE(sim::DebugText().find("ZK_AllocationCompletionRoutine: Buffer after."), std::string::npos);
    {
        sim::IrqlScope irql(DISPATCH_LEVEL);
        ZK_AllocationCompletionRoutine(record);
    }
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(sim::UnloadDriver(driver_), STATUS_SUCCESS);
    sim::FreeBuffer(buffer);
    EXPECT_EQ(sim::LeakReport(), "");
}

// A routine the bus calls answers for the driver that handed it over: the
// filter's substitute (and what it calls) is the filter's doing; a routine
// a client sends straight to the bus is nobody's.
std::vector<PDRIVER_OBJECT> g_answerable;
VOID ClientNotified(PNOTIFICATION_INFO) { g_answerable.push_back(sim::AnswerableDriver()); }

TEST_F(CallbackRecordTest, ARoutineTheBusCallsAnswersForTheDriverThatHandedItOver) {
    ASSERT_NO_FATAL_FAILURE(BuildStack());
    std::shared_ptr<sim::Bus1394> bus = sim::AttachBus1394(*pdo_);
    sim::SimBuffer data = sim::AllocateBuffer(64);
    PMDL mdl = IoAllocateMdl(data.address, 64, FALSE, FALSE, nullptr);
    MmBuildMdlForNonPagedPool(mdl);
    g_answerable.clear();
    for (PDEVICE_OBJECT target : {filter_, pdo_->Device()}) {
        IRB irb{};
        irb.FunctionNumber = REQUEST_ALLOCATE_ADDRESS_RANGE;
        IRB_REQ_ALLOCATE_ADDRESS_RANGE& request = irb.u.AllocateAddressRange;
        request.Mdl = mdl;
        request.nLength = 64;
        request.fulNotificationOptions = NOTIFY_FLAGS_AFTER_WRITE;
        request.Callback = reinterpret_cast<PVOID>(&ClientNotified);
        ASSERT_EQ(sim::Send(target, sim::Request::InternalDeviceControl(IOCTL_1394_CLASS, &irb).ExactDevice()).final,
                  STATUS_SUCCESS);
        std::string reason;
        const uint64_t address = (uint64_t{1} << 32) | (0x10000u * (target == filter_ ? 1 : 2));
        EXPECT_TRUE(bus->RemoteAccess(address, true, {1, 2, 3}, 3, &reason)) << reason;
    }
    EXPECT_EQ(g_answerable, (std::vector<PDRIVER_OBJECT>{driver_, nullptr}));

    EXPECT_EQ(sim::PnpRemoveDevice(pdo_->Device()).final, STATUS_SUCCESS);
    EXPECT_EQ(sim::UnloadDriver(driver_), STATUS_SUCCESS);
    IoFreeMdl(mdl);
    sim::FreeBuffer(data);
    EXPECT_EQ(sim::LeakReport(), "");
}

}  // namespace
