// The driver's first steps: entry, the trace line, the registry values and
// add-device, run against the simulated kernel.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/dispatch.h"
#include "driver/extension.h"
#include "driver/registry.h"
#include "platform/ntrtl.h"
#include "simkernel/bus.h"
#include "simkernel/core.h"
#include "simkernel/iomgr.h"
#include "simkernel/pnp.h"
#include "simkernel/registry.h"
#include "simkernel/registry_store.h"
#include "trace/print.h"

namespace {

const std::string kParameters = std::string(sim::kServicesRoot) + "\\zelkor\\Parameters";

std::vector<std::string> Calls() {
    std::vector<std::string> texts;
    for (const sim::DebugCall& call : sim::DebugCalls())
        texts.push_back(call.text);
    return texts;
}

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        sim::ResetKernel();
        sim::ClearDebugOutput();
    }
    void TearDown() override { sim::ResetKernel(); }

    PDRIVER_OBJECT Load() {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        PDRIVER_OBJECT driver = sim::LoadDriver(DriverEntry, "zelkor", &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return driver;
    }

    // Adds the filter to a new PDO's stack; returns the filter's record.
    PZK_EXTENSION Add(PDRIVER_OBJECT driver, const std::string& pdoName, sim::PdoOptions options = {}) {
        sim::Pdo& pdo = sim::CreatePdo(pdoName, options);
        EXPECT_EQ(sim::PnpAddDevice(driver, pdo.Device()), STATUS_SUCCESS);
        PDEVICE_OBJECT top = sim::TopOfStack(pdo.Device());
        return ZK_GetExtension(top);
    }
};

// ---------------------------------------------------------------------------
// Entry

TEST_F(DriverTest, EntryFillsEveryDispatchSlotAndCreatesTheParametersKey) {
    ASSERT_FALSE(sim::Registry().KeyExists(kParameters));
    PDRIVER_OBJECT driver = Load();
    ASSERT_NE(driver, nullptr);
    EXPECT_TRUE(sim::Registry().KeyExists(kParameters));
    EXPECT_TRUE(sim::OpenKeyHandles().empty());

    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        PDRIVER_DISPATCH expected = ZK_IRP_Pass;
        switch (major) {
        case IRP_MJ_READ:
            expected = ZK_IRP_Read;
            break;
        case IRP_MJ_WRITE:
            expected = ZK_IRP_Write;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            expected = ZK_IRP_DeviceControl;
            break;
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            expected = ZK_IRP_InternalDeviceControl;
            break;
        case IRP_MJ_POWER:
            expected = ZK_IRP_Power;
            break;
        case IRP_MJ_PNP:
            expected = ZK_IRP_PnP;
            break;
        }
        EXPECT_EQ(driver->MajorFunction[major], expected) << "major " << major;
    }
    EXPECT_EQ(driver->DriverExtension->AddDevice, ZK_AddDevice);
    EXPECT_EQ(driver->DriverUnload, ZK_Unload);
    EXPECT_TRUE(Calls().empty());
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_SUCCESS);
}

TEST_F(DriverTest, EntryKeepsExistingValuesAndSurvivesARegistryFailure) {
    sim::Registry().CreateKey(kParameters);
    sim::Registry().SetDword(kParameters, "Config", 0x3F);
    PDRIVER_OBJECT driver = Load();
    EXPECT_EQ(sim::Registry().GetDword(kParameters, "Config"), 0x3Fu);
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_SUCCESS);

    sim::ResetKernel();
    sim::FailNthCall("ZwCreateKey", 1);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    driver = sim::LoadDriver(DriverEntry, "zelkor", &status);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(sim::Registry().KeyExists(kParameters));
    EXPECT_TRUE(sim::OpenKeyHandles().empty());
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_SUCCESS);
}

TEST_F(DriverTest, EntryWithAServiceNameTooLongForThePathStillLoads) {
    // The path buffer holds 512 bytes: the appends fail and the key cannot be
    // made, but loading goes on.
    std::string service(300, 's');
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = sim::LoadDriver(DriverEntry, service, &status);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(sim::OpenKeyHandles().empty());
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_SUCCESS);
}

// ---------------------------------------------------------------------------
// The trace line

class PrintTest : public DriverTest {
protected:
    ZK_EXTENSION record{};
    void SetUp() override {
        DriverTest::SetUp();
        std::strcpy(record.Trailer, "** ");
    }
};

TEST_F(PrintTest, TheMaskDecidesAndTheStampBitIsNoLevel) {
    struct Case {
        ULONG mask;
        ULONG level;
        std::vector<std::string> calls;
    };
    sim::SetTimeIncrement(10000);  // 1 ms a tick
    sim::SetTickCount(3723045);    // 1:02:03.045
    const std::vector<Case> cases = {
        {0x000, TRACE_IO, {}},
        {0x100, TRACE_IO, {}},
        {0x101, TRACE_INTERNAL, {}},
        {0x001, TRACE_IO, {"** ", "Irp: 0x1234 - IRP_MJ_CREATE.\n"}},
        {0x101, TRACE_IO, {"1:02:03.045 ", "** ", "Irp: 0x1234 - IRP_MJ_CREATE.\n"}},
        {0x1FF, TRACE_DETAIL, {"1:02:03.045 ", "** ", "Irp: 0x1234 - IRP_MJ_CREATE.\n"}},
    };
    for (const Case& c : cases) {
        sim::ClearDebugOutput();
        record.TraceMask = c.mask;
        ZK_Print(c.level, &record, "Irp: 0x%X - IRP_MJ_CREATE.\n", 0x1234u);
        EXPECT_EQ(Calls(), c.calls) << "mask " << c.mask << " level " << c.level;
    }
}

TEST_F(PrintTest, TimeStampFields) {
    struct Case {
        LONGLONG ticks;
        ULONG increment;
        const char* text;
    };
    const Case cases[] = {
        {0, 156250, "0:00:00.000 "},
        {1, 50000, "0:00:00.005 "},          // five milliseconds
        {3723045, 10000, "1:02:03.045 "},    // h:mm:ss.mmm
        {90000000, 10000, "25:00:00.000 "},  // hours do not wrap
        {5759, 156250, "0:01:29.984 "},      // 15.625 ms ticks truncate
        {(LONGLONG)1000 * 3600 * 1000, 10000, "1000:00:00.000 "},
        {0x7FFFFFFFFFFFFFFF, 1, "256204778:48:05.477 "},       // the largest product that fits
        {0x7FFFFFFFFFFFFFFF, 156250, "512409557:36:10.939 "},  // wraps, no overflow
    };
    for (const Case& c : cases) {
        char text[32] = {};
        ZK_FormatTimeStamp(c.ticks, c.increment, text);
        EXPECT_STREQ(text, c.text) << c.ticks << " ticks of " << c.increment;
    }
}

TEST_F(PrintTest, PercentSignsInTheTrailerAndTheTextArePrintedAsThemselves) {
    record.TraceMask = TRACE_IO;
    std::strcpy(record.Trailer, "%s %n 100% ");
    ZK_Print(TRACE_IO, &record, "%s\n", "50% %d");
    EXPECT_EQ(Calls(), (std::vector<std::string>{"%s %n 100% ", "50% %d\n"}));
}

TEST_F(PrintTest, ALongMessageIsCutTo511Characters) {
    record.TraceMask = TRACE_IO;
    std::string name(700, 'n');
    ZK_Print(TRACE_IO, &record, "Device: %s end\n", name.c_str());
    ASSERT_EQ(Calls().size(), 2u);
    EXPECT_EQ(Calls()[1], "Device: " + name.substr(0, 511 - 8));
}

// ---------------------------------------------------------------------------
// Registry values

class RegistryValueTest : public DriverTest {
protected:
    PDRIVER_OBJECT driver = nullptr;
    void SetUp() override {
        DriverTest::SetUp();
        driver = Load();
    }
};

TEST_F(RegistryValueTest, DwordsReadWithTheirDefault) {
    ULONG value = 0x10;
    EXPECT_TRUE(ZK_RegReadDword(driver, u"Config", &value));
    EXPECT_EQ(value, 0x10u);

    sim::Registry().SetDword(kParameters, "Config", 0x3F);
    EXPECT_TRUE(ZK_RegReadDword(driver, u"Config", &value));
    EXPECT_EQ(value, 0x3Fu);

    EXPECT_TRUE(ZK_RegWriteDword(driver, u"disk_Config", 0x1FF));
    ULONG back = 0;
    EXPECT_TRUE(ZK_RegReadDword(driver, u"disk_Config", &back));
    EXPECT_EQ(back, 0x1FFu);
    EXPECT_EQ(sim::Registry().GetValue(kParameters, "disk_Config")->type, sim::kRegDword);
}

TEST_F(RegistryValueTest, TextsAreReadWhenPresentAndCutToTheField) {
    char field[ZK_TRAILER_SIZE] = "** ";
    ANSI_STRING text{3, ZK_TRAILER_SIZE, field};
    EXPECT_FALSE(ZK_RegReadString(driver, u"Trailer", &text));
    EXPECT_STREQ(field, "** ");

    const std::string long150(150, 'x');
    sim::Registry().SetString(kParameters, "Trailer", std::string_view(long150));
    EXPECT_TRUE(ZK_RegReadString(driver, u"Trailer", &text));
    EXPECT_EQ(std::string(field), long150.substr(0, 99));

    // 254 characters and the NUL fill the 510-byte result; one more is refused.
    char big[300] = "old";
    ANSI_STRING bigText{3, sizeof(big), big};
    sim::Registry().SetString(kParameters, "T254", std::string_view(std::string(254, 'a')));
    sim::Registry().SetString(kParameters, "T255", std::string_view(std::string(255, 'b')));
    EXPECT_FALSE(ZK_RegReadString(driver, u"T255", &bigText));
    EXPECT_STREQ(big, "old");
    EXPECT_TRUE(ZK_RegReadString(driver, u"T254", &bigText));
    EXPECT_EQ(std::string(big), std::string(254, 'a'));
}

TEST_F(RegistryValueTest, TextsAreWrittenWithTheirNul) {
    char field[ZK_TRAILER_SIZE] = "** ";
    ANSI_STRING text{3, ZK_TRAILER_SIZE, field};
    EXPECT_TRUE(ZK_RegWriteString(driver, u"disk_Trailer", &text));
    auto value = sim::Registry().GetValue(kParameters, "disk_Trailer");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, sim::kRegSz);
    EXPECT_EQ(value->data, (std::vector<uint8_t>{'*', 0, '*', 0, ' ', 0, 0, 0}));
}

TEST_F(RegistryValueTest, AMissingKeyLeavesTheVariables) {
    sim::Registry().DeleteKey(kParameters);
    ULONG value = 0x10;
    char field[ZK_TRAILER_SIZE] = "** ";
    ANSI_STRING text{3, ZK_TRAILER_SIZE, field};
    EXPECT_FALSE(ZK_RegReadDword(driver, u"Config", &value));
    EXPECT_EQ(value, 0x10u);
    EXPECT_FALSE(ZK_RegReadString(driver, u"Trailer", &text));
    EXPECT_STREQ(field, "** ");
    EXPECT_FALSE(ZK_RegWriteDword(driver, u"Config", 1));
}

// A value of the wrong type must not be stored through the caller's
// variable: a text into a 4-byte mask would run past it.
TEST_F(RegistryValueTest, ValuesOfAnotherTypeAreRefusedWithoutWritingPastTheVariable) {
    struct {
        ULONG mask;
        ULONG canary[8];
    } guarded = {0x10,
                 {0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA, 0xAAAAAAAA}};
    sim::Registry().SetString(kParameters, "Config", std::string_view("a text where a number belongs"));
    EXPECT_FALSE(ZK_RegReadDword(driver, u"Config", &guarded.mask));
    EXPECT_EQ(guarded.mask, 0x10u);
    for (ULONG word : guarded.canary)
        EXPECT_EQ(word, 0xAAAAAAAAu);

    char field[ZK_TRAILER_SIZE] = "** ";
    ANSI_STRING text{3, ZK_TRAILER_SIZE, field};
    sim::Registry().SetDword(kParameters, "Trailer", 0x41414141);
    EXPECT_FALSE(ZK_RegReadString(driver, u"Trailer", &text));
    EXPECT_STREQ(field, "** ");
}

TEST_F(RegistryValueTest, ValueNamesMustFitWithTheirSuffix) {
    WCHAR name[ZK_VALUE_NAME_CHARS];
    EXPECT_TRUE(ZK_BuildValueName("USBPDO-3", u"_Config", name));
    EXPECT_EQ(std::u16string(name), u"USBPDO-3_Config");
    // 245 characters and "_Trailer" leave room for the NUL; one more does not.
    EXPECT_TRUE(ZK_BuildValueName(std::string(245, 'n').c_str(), u"_Trailer", name));
    EXPECT_FALSE(ZK_BuildValueName(std::string(246, 'n').c_str(), u"_Trailer", name));
    EXPECT_FALSE(ZK_BuildValueName(std::string(254, 'n').c_str(), u"_Config", name));
}

// ---------------------------------------------------------------------------
// Add-device

TEST_F(DriverTest, AddDeviceBuildsBothRecords) {
    PDRIVER_OBJECT driver = Load();
    sim::PdoOptions options;
    options.deviceType = FILE_DEVICE_DISK;
    options.characteristics = 0x1;  // FILE_REMOVABLE_MEDIA
    options.flags = DO_DIRECT_IO | DO_POWER_PAGABLE | DO_EXCLUSIVE | DO_VERIFY_VOLUME;
    PZK_EXTENSION filter = Add(driver, "\\Device\\USBPDO-3", options);
    PDEVICE_OBJECT filterDevice = filter->DeviceObject;

    EXPECT_EQ(filter->DeviceKind, ZK_KIND_FILTER);
    EXPECT_STREQ(filter->DeviceName, "USBPDO-3");
    EXPECT_STREQ(filter->Trailer, "** ");
    EXPECT_EQ(filter->TraceMask, 0u);
    EXPECT_EQ(filter->StorageDeviceType, -1);
    EXPECT_EQ(filter->CallbackSerial, 0);
    EXPECT_EQ(filter->PnpState, NotStarted);
    EXPECT_STREQ(filter->LowerDriverName, "\\Driver\\simbus");
    EXPECT_EQ(filter->RecordFlags, static_cast<ULONG>(ZK_FLAG_LINK_CREATED));
    EXPECT_EQ(std::u16string(filter->SymbolicLinkName.Buffer, filter->SymbolicLinkName.Length / 2),
              u"\\DosDevices\\Zelkor1");

    // Only the transfer and power flags come from below.
    EXPECT_EQ(filterDevice->Flags & (DO_DIRECT_IO | DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_POWER_INRUSH),
              static_cast<ULONG>(DO_DIRECT_IO | DO_POWER_PAGABLE));
    EXPECT_EQ(filterDevice->Flags & (DO_EXCLUSIVE | DO_VERIFY_VOLUME | DO_DEVICE_INITIALIZING), 0u);
    EXPECT_EQ(filterDevice->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_DISK));
    EXPECT_EQ(filterDevice->Characteristics, 0x1u);

    PDEVICE_OBJECT control = filter->ControlDevice;
    ASSERT_EQ(control, sim::FindDevice(std::string("\\Device\\Zelkor1")));
    EXPECT_EQ(sim::SymbolicLinkTarget("\\DosDevices\\Zelkor1"), "\\Device\\Zelkor1");
    PZK_EXTENSION controlRecord = ZK_GetExtension(control);
    EXPECT_EQ(controlRecord->DeviceKind, ZK_KIND_CONTROL);
    EXPECT_EQ(controlRecord->FilterDevice, filterDevice);
    EXPECT_EQ(controlRecord->TraceMask, 0u);
    EXPECT_EQ(controlRecord->Trailer[0], '\0');
    EXPECT_EQ(controlRecord->LowerDevice, nullptr);
    EXPECT_EQ(controlRecord->ControlDevice, nullptr);
    EXPECT_EQ(controlRecord->SymbolicLinkName.Buffer, nullptr);
    EXPECT_EQ(control->DeviceType, static_cast<DEVICE_TYPE>(FILE_DEVICE_UNKNOWN));
    // A path below its name is opened under the device's own security.
    EXPECT_EQ(control->Characteristics, static_cast<ULONG>(FILE_DEVICE_SECURE_OPEN));
    EXPECT_EQ(control->Flags & (0x6014u | DO_DEVICE_INITIALIZING),
              static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_POWER_INRUSH));
    EXPECT_TRUE(Calls().empty());
}

// Another driver holds \DosDevices\Zelkor1: the instance moves on to 2 for
// both names instead of failing add-device, which would take the user's
// device out of service.
TEST_F(DriverTest, ALinkNameTakenByAnotherDriverMovesTheInstanceOn) {
    PDRIVER_OBJECT driver = Load();
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Zelkor1");
    RtlInitUnicodeString(&target, u"\\Device\\SomeoneElse");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    PZK_EXTENSION filter = Add(driver, "\\Device\\00000062");
    EXPECT_EQ(filter->ControlDevice, sim::FindDevice(std::string("\\Device\\Zelkor2")));
    EXPECT_EQ(sim::SymbolicLinkTarget("\\DosDevices\\Zelkor2"), "\\Device\\Zelkor2");
    EXPECT_EQ(sim::SymbolicLinkTarget("\\DosDevices\\Zelkor1"), "\\Device\\SomeoneElse");
    EXPECT_EQ(sim::FindDevice(std::string("\\Device\\Zelkor1")), nullptr);
    EXPECT_EQ(Calls(), (std::vector<std::string>{"ZK: ", "ZK_AddDevice: Link \\DosDevices\\Zelkor1 already exist.\n"}));
    IoDeleteSymbolicLink(&link);
}

TEST_F(DriverTest, BufferedLowerDevicesGiveTheirFlag) {
    PDRIVER_OBJECT driver = Load();
    sim::PdoOptions options;
    options.flags = DO_BUFFERED_IO | DO_POWER_INRUSH;
    PZK_EXTENSION filter = Add(driver, "\\Device\\00000062", options);
    EXPECT_EQ(filter->DeviceObject->Flags & 0x6014u, static_cast<ULONG>(DO_BUFFERED_IO | DO_POWER_INRUSH));
}

TEST_F(DriverTest, WithoutWdm120TheTopOfTheStackIsAskedAndReleased) {
    PDRIVER_OBJECT driver = Load();
    sim::SetWdmVersionAvailable(false);
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062", {});
    LONG before = sim::ObjectReferences(pdo.Device());
    EXPECT_EQ(sim::PnpAddDevice(driver, pdo.Device()), STATUS_SUCCESS);
    EXPECT_EQ(sim::ObjectReferences(pdo.Device()), before);
}

// A lower driver whose name does not fit the 256-byte field.
NTSTATUS LongNameAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_DISK, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    IoAttachDeviceToDeviceStack(device, pdo);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS LongNameEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->DriverExtension->AddDevice = LongNameAddDevice;
    return STATUS_SUCCESS;
}

TEST_F(DriverTest, ALongLowerDriverNameIsCutWithinItsField) {
    PDRIVER_OBJECT driver = Load();
    std::string service(300, 'L');
    PDRIVER_OBJECT lower = sim::LoadDriver(LongNameEntry, service);
    ASSERT_NE(lower, nullptr);
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062", {});
    ASSERT_EQ(sim::PnpAddDevice(lower, pdo.Device()), STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpAddDevice(driver, pdo.Device()), STATUS_SUCCESS);
    PZK_EXTENSION filter = ZK_GetExtension(sim::TopOfStack(pdo.Device()));
    std::string expected = ("\\Driver\\" + service).substr(0, 255);
    EXPECT_EQ(std::string(filter->LowerDriverName), expected);
}

TEST_F(DriverTest, ANameQueryThatFailsLeavesUnknownAndItsValues) {
    sim::Registry().CreateKey(kParameters);
    sim::Registry().SetDword(kParameters, "Config", 0x10);
    sim::Registry().SetDword(kParameters, "unknown_Config", 0x30);
    PDRIVER_OBJECT driver = Load();
    sim::FailNthCall("IoGetDeviceProperty", 1);
    PZK_EXTENSION filter = Add(driver, "\\Device\\00000062");
    EXPECT_STREQ(filter->DeviceName, "unknown");
    EXPECT_EQ(filter->TraceMask, 0x30u);
}

TEST_F(DriverTest, AnUnnamedPdoLeavesUnknown) {
    PDRIVER_OBJECT driver = Load();
    PZK_EXTENSION filter = Add(driver, "");
    EXPECT_STREQ(filter->DeviceName, "unknown");
}

TEST_F(DriverTest, EveryStepOfAddDeviceUnwindsCompletely) {
    // Each failure leaves no device, no link, no name, no pool behind, and
    // the next add takes instance 1 again.
    const char* routines[][2] = {
        {"RtlAnsiStringToUnicodeString", "1"},
        {"IoCreateDevice", "1"},
        {"IoCreateDevice", "2"},
        {"IoAttachDeviceToDeviceStack", "1"},
        {"RtlAnsiStringToUnicodeString", "2"},
        {"IoCreateSymbolicLink", "1"},
    };
    for (auto& routine : routines) {
        sim::ResetKernel();
        PDRIVER_OBJECT driver = Load();
        sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062", {});
        sim::FailNthCall(routine[0], std::stoi(routine[1]));
        EXPECT_FALSE(NT_SUCCESS(sim::PnpAddDevice(driver, pdo.Device()))) << routine[0] << " " << routine[1];
        EXPECT_TRUE(sim::DevicesOf(driver).empty()) << routine[0];
        EXPECT_EQ(sim::TopOfStack(pdo.Device()), pdo.Device()) << routine[0];
        EXPECT_FALSE(sim::SymbolicLinkTarget("\\DosDevices\\Zelkor1")) << routine[0];
        EXPECT_EQ(sim::FindDevice(std::string("\\Device\\Zelkor1")), nullptr) << routine[0];
        EXPECT_EQ(sim::UnloadDriver(driver), STATUS_SUCCESS);
        EXPECT_EQ(sim::LeakReport(), "") << routine[0] << " " << routine[1];
    }
}

TEST_F(DriverTest, RemovalReleasesEverythingTheInstanceHeld) {
    PDRIVER_OBJECT driver = Load();
    sim::Pdo& pdo = sim::CreatePdo("\\Device\\00000062", {});
    ASSERT_EQ(sim::PnpAddDevice(driver, pdo.Device()), STATUS_SUCCESS);
    sim::PnpRemoveDevice(pdo.Device());
    EXPECT_TRUE(sim::DevicesOf(driver).empty());
    EXPECT_EQ(sim::UnloadDriver(driver), STATUS_SUCCESS);
    EXPECT_EQ(sim::LeakReport(), "");
}

}  // namespace
