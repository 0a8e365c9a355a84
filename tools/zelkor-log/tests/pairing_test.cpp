// Pairing on a busy device: requests of every kind interleaved, addresses
// used again, completions without their dispatch lines.
#include <gtest/gtest.h>

#include "analyze.h"

namespace zklog::test {
namespace {

// Lines as the driver prints them for pass-through, URBs, IRBs and the rest.
constexpr const char* kBusyDevice =
    R"(0:00:10.000 ** Irp: 0x1000 - IOCTL_SCSI_PASS_THROUGH: 12 01 80 00 FF 00 00 00 00 00 00 00 00 00 00 00 INQUIRY
0:00:10.000 ** Irp: 0x1000 - InputBufferLength: 0x50, OutputBufferLength: 0x50, DataBufferOffset: 0x30, TargetId: 0x0, Lun: 0x0, CdbLength: 0x6, SenseInfoLength: 0x12, DataIn: 0x1, DataTransferLength: 0xFF, SenseInfoOffset: 0x1C.
0:00:10.000 ** Irp: 0xA000 - IOCTL_INTERNAL_USB_SUBMIT_URB - Unknown urb function 0xA.
0:00:10.001 ** Irp: 0x2000 - IOCTL_INTERNAL_USB_SUBMIT_URB - URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER. Buffer: 0x5000, MDL: 0x0, Length: 0x4, Pipe:0x7000, Flags: 0x3.
0:00:10.002 ** Irp: 0x3000 - IOCTL_1394_CLASS - REQUEST_ASYNC_READ. ID: 0xFFC0, Offset: 0xFFFF 0xF0000400, BytesToRead: 0x4, BlockSize: 0x0, Flags: 0x0
0:00:10.004 ** PassThroughCompletion: Irp: 0x1000 - IrpStatus: STATUS_SUCCESS, ScsiStatus: SCSISTAT_CHECK_CONDITION.
0:00:10.004 ** PassThroughCompletion: DataBuffer: 0xA0000030, DataTransferLength: 0x0, SenseInfoBufferLength: 0x12.
0:00:10.004 ** PassThroughCompletion: SenseCode: unknown SenseCode 0x05 0x24 0x00 -> 0x052400.
0:00:10.004 ** 72 05 24 00 00 00 00 00  00 00 00 00 00 00 00 00  r.$.............
0:00:10.004 ** 00 00                                             ..
0:00:10.007 ** ZK_CompletionRoutineUrbSubmit: Irp: 0x2000 - IOCTL_INTERNAL_USB_SUBMIT_URB - URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER - Status STATUS_SUCCESS - Buffer: 0x5000, MDL: 0x0, Length: 0x4, Pipe:0x7000, Flags: 0x3.
0:00:10.007 ** DE AD BE EF                                       ���
0:00:10.012 ** ZK_CompletionRoutineIrb: Irp: 0x3000 - IOCTL_1394_CLASS - SystemBuffer: 0x0, MDL: 0x0, OutputBufferLength: 0x3000.
0:00:10.012 ** ZK_CompletionRoutineIrb: Irp: 0x3000 - IOCTL_1394_CLASS - REQUEST_ASYNC_READ - AsyncRead.Mdl: 0x9000, AsyncRead.nNumberOfBytesToRead: 0x4, Status STATUS_IO_TIMEOUT
0:00:10.012 ** ZK_DumpMemory: MDL: 0x9000 - Length: 0x4.
0:00:10.012 ** 01 02 03 04                                       ....
0:00:10.020 ** Irp: 0x4000 - IRP_MJ_READ: Length: 0x200, Offset: 0x0
0:00:10.021 ** Irp: 0x4000 - completed with Status: STATUS_SUCCESS.
0:00:10.022 ** Irp: 0x4000 - IRP_MJ_WRITE: Length: 0x200, Offset: 0x200
0:00:10.030 ** Irp: 0x4000 - completed with Status: STATUS_CANCELLED.
0:00:10.031 ** Irp: 0x5000 - IRP_MJ_READ: Length: 0x200, Offset: 0x400
0:00:10.040 ** Irp: 0x5000 - IRP_MJ_READ: Length: 0x200, Offset: 0x600
0:00:10.042 ** Irp: 0x5000 - completed with Status: STATUS_SUCCESS.
0:00:10.050 ** SrbCompletion: Irp: 0x6000 - Function: SRB_FUNCTION_FLUSH_QUEUE, IrpStatus: STATUS_SUCCESS, ScsiStatus: SCSISTAT_GOOD, SrbStatus: SRB_STATUS_SUCCESS.
0:00:10.050 ** SrbCompletion: DataBuffer: 0x0, DataTransferLength: 0x0, SenseInfoBufferLength: 0x0.
0:00:10.060 ** Irp: 0x7000 - unknown device control IOCTL 0x5A4B0004. Buffer: 0x8000, Length 0xC/0x0.
0:00:10.060 ** 01 00 00 00 00 00 00 00  00 00 00 00              ............
0:00:10.061 ** Irp: 0x7000 - completed with Status: 0xC0000010.
0:00:10.061 ** Buffer: 0x8000, Length: 0xC/0x0.
0:00:10.090 ** Irp: 0x9000 - IOCTL_STORAGE_QUERY_PROPERTY - PropertyStandardQuery.
0:00:10.095 ** ZK_CompletionRoutineDeviceControl: Irp: 0x9000 - IOCTL_STORAGE_QUERY_PROPERTY - PropertyStandardQuery.
0:00:10.095 ** ZK_CompletionRoutineDeviceControl: VendorIdOffset: 0x0, ProductIdOffset: 0x30, ProductRevisionOffset: 0x0, SerialNumberOffset: 0x0, sizeof(STORAGE_DEVICE_DESCRIPTOR): 0x28, pDeviceDescriptor 0xC000.
0:00:10.095 ** Irp: 0x9000 - DeviceName: DataTraveler.
0:00:10.095 ** 01 00 00 00 60 00 00 00                           ....`...
0:00:10.100 ** ZK_AllocationCompletionRoutine: #3 MDL: 0x9100, Context: 0xB000.
0:00:10.100 ** ZK_DumpMemory: MDL: 0x9100 - Length: 0x4.
0:00:10.100 ** 55 55 55 55                                       UUUU
0:00:10.110 ** Irp: 0x80
)";

TEST(Pairing, EveryCompletionFindsItsRequest) {
    Analysis busy = AnalyzeText(kBusyDevice);

    // A truncated line is reported, not guessed at.
    ASSERT_EQ(busy.unreadable.size(), 1u);
    EXPECT_EQ(busy.unreadable[0].line, 38u);

    // Pass-through: the request succeeded, the command did not; descriptor-format sense.
    const Request* inquiry = busy.Find("0x1000");
    ASSERT_NE(inquiry, nullptr);
    EXPECT_EQ(inquiry->kind, "pass-through");
    EXPECT_EQ(inquiry->name, "INQUIRY");
    EXPECT_TRUE(inquiry->Failed());
    EXPECT_EQ(inquiry->LatencyUs(), 4000);
    ASSERT_TRUE(inquiry->sense && inquiry->sense->code);
    EXPECT_EQ(AscAscqName(inquiry->sense->code->asc, inquiry->sense->code->ascq), "Invalid field in cdb");
    EXPECT_EQ(inquiry->Bytes("sense").size(), 18u);

    // The URB's incoming data, though the IRB was sent in between.
    const Request* bulk = busy.Find("0x2000");
    EXPECT_EQ(bulk->kind, "urb");
    EXPECT_EQ(bulk->name, "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER");
    EXPECT_EQ(bulk->status, "STATUS_SUCCESS");
    EXPECT_EQ(HexBytes(bulk->Bytes("data")), "DE AD BE EF");
    EXPECT_EQ(bulk->LatencyUs(), 6000);

    // A function the driver does not name, passed on without a completion routine.
    const Request* unknownUrb = busy.Find("0xA000");
    EXPECT_EQ(unknownUrb->name, "Unknown urb function 0xA");
    EXPECT_FALSE(unknownUrb->expectsCompletion);

    // The IRB: its status comes on the second completion line, its data through the MDL.
    const Request* async = busy.Find("0x3000");
    EXPECT_EQ(async->name, "REQUEST_ASYNC_READ");
    EXPECT_EQ(async->status, "STATUS_IO_TIMEOUT");
    EXPECT_TRUE(async->Failed());
    ASSERT_EQ(async->dumps.size(), 1u);
    EXPECT_TRUE(async->dumps[0].mdl);
    EXPECT_EQ(HexBytes(async->dumps[0].bytes), "01 02 03 04");
}

// The same capture: addresses that come again, completions without their
// dispatch, completions over several lines, and what belongs to no request.
TEST(Pairing, AddressesComeAgainAndCompletionsStandAlone) {
    Analysis busy = AnalyzeText(kBusyDevice);

    // One address, two requests one after the other.
    EXPECT_EQ(busy.Find("0x4000", 0)->name, "IRP_MJ_READ");
    EXPECT_EQ(busy.Find("0x4000", 0)->status, "STATUS_SUCCESS");
    EXPECT_EQ(busy.Find("0x4000", 1)->name, "IRP_MJ_WRITE");
    EXPECT_EQ(busy.Find("0x4000", 1)->status, "STATUS_CANCELLED");
    EXPECT_EQ(busy.Find("0x4000", 1)->LatencyUs(), 8000);

    // The address came again before the first read's completion was seen.
    EXPECT_TRUE(busy.Find("0x5000", 0)->superseded);
    EXPECT_FALSE(busy.Find("0x5000", 0)->completed);
    EXPECT_EQ(busy.Find("0x5000", 1)->offset, 0x600u);
    EXPECT_EQ(busy.Find("0x5000", 1)->LatencyUs(), 2000);

    // A completion without its dispatch line (a mask without the internal level).
    const Request* flush = busy.Find("0x6000");
    EXPECT_FALSE(flush->dispatched);
    EXPECT_EQ(flush->kind, "srb");
    EXPECT_EQ(flush->name, "SRB_FUNCTION_FLUSH_QUEUE");
    EXPECT_FALSE(flush->LatencyUs());

    // An unknown control code: its input on the way down, a status only as a number.
    const Request* unknown = busy.Find("0x7000");
    EXPECT_EQ(unknown->name, "unknown device control IOCTL 0x5A4B0004");
    EXPECT_EQ(unknown->statusValue, 0xC0000010u);
    EXPECT_TRUE(unknown->Failed());
    ASSERT_EQ(unknown->dumps.size(), 1u);
    EXPECT_EQ(unknown->dumps[0].phase, "dispatch");
    EXPECT_EQ(unknown->dumps[0].bytes.size(), 12u);

    // The storage query completes over three lines, the new name in the last.
    const Request* query = busy.Find("0x9000");
    EXPECT_EQ(query->LatencyUs(), 5000);
    EXPECT_EQ(query->notes.back(), "DeviceName: DataTraveler.");
    EXPECT_EQ(query->Bytes("descriptor").size(), 8u);

    // The callback's dump belongs to no request.
    EXPECT_EQ(busy.requests.size(), 11u);
    EXPECT_EQ(busy.stats.strayDumpLines, 1u);
    // Ended requests are handed out while the capture still comes.
    EXPECT_EQ(busy.releasedEarly, 11u);
}

// A trailer the user wrote in the system's ANSI code page, and a dump whose
// bytes from 0x80 up came raw: the texts become UTF-8 and the JSON is written.
TEST(Pairing, TextsInTheAnsiCodePageAreReadAsSuch) {
    Analysis capture = AnalyzeText(
        "0:00:01.000 L\xE4ufer \x80> Irp: 0x2000 - IOCTL_INTERNAL_USB_SUBMIT_URB - "
        "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER. Buffer: 0x5000, MDL: 0x0, Length: 0x4, Pipe:0x7000, Flags: 0x3.\n"
        "0:00:01.001 L\xE4ufer \x80> ZK_CompletionRoutineUrbSubmit: Irp: 0x2000 - IOCTL_INTERNAL_USB_SUBMIT_URB - "
        "URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER - Status STATUS_SUCCESS - Buffer: 0x5000, MDL: 0x0, Length: 0x4, "
        "Pipe:0x7000, Flags: 0x3.\n"
        "0:00:01.001 L\xE4ufer \x80> 41 E4 80 42                                       A\xE4\x80"
        "B\n");
    ASSERT_TRUE(capture.unreadable.empty());
    ASSERT_EQ(capture.requests.size(), 1u);
    const Request& bulk = capture.requests[0];
    EXPECT_EQ(bulk.device, "L\u00E4ufer \u20AC>");
    EXPECT_EQ(HexBytes(bulk.Bytes("data")), "41 E4 80 42");
    EXPECT_NE(RequestJson(bulk).dump().find("L\u00E4ufer"), std::string::npos);
}

}  // namespace
}  // namespace zklog::test
