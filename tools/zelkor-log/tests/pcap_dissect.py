#!/usr/bin/env python3
"""Exports captures of the simulator's USB devices as pcapng and has tshark
read them back. With the detail level (usb-wireshark: a flash disk, a mouse
and a camera): the descriptors, class requests, the mass-storage commands
inside the bulk wrappers, the mouse's report, the stalls, the isochronous
packet table and the microsecond stamps must be dissected. Without it
(usb-flash-disk at 0x023): the endpoints inferred from the configuration
descriptor must still carry the wrappers. No packet may be malformed.
Exits 77 (skipped) where tshark is not installed."""
import os
import shutil
import subprocess
import sys

SKIP = 77


def tshark(path, display_filter):
    command = ["tshark", "-r", path, "-Y", display_filter, "-T", "fields", "-e", "frame.number"]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return [line for line in done.stdout.splitlines() if line.strip()]


def export(zelkor_log, capture, out):
    done = subprocess.run([zelkor_log, "pcap", capture, "-o", out], capture_output=True, text=True)
    print(done.stderr, end="")
    if done.returncode != 0:
        raise SystemExit(f"zelkor-log pcap {capture} failed")
    return done.stderr


def check(path, expected):
    failed = False
    for what, display_filter in expected.items():
        if not tshark(path, display_filter):
            print(f"{os.path.basename(path)}: not dissected: {what} ({display_filter})")
            failed = True
    malformed = tshark(path, "_ws.malformed || _ws.expert.severity >= error")
    if malformed:
        print(f"{os.path.basename(path)}: malformed packets: {', '.join(malformed)}")
        failed = True
    return failed


DETAIL = {
    "device descriptor": "usb.bDescriptorType == 1 && usb.idVendor == 0x0951",
    "configuration descriptor": "usb.bNumInterfaces == 1 && usb.bInterfaceClass == 0x08",
    "standard setup packet": "usb.setup.bRequest == 6 && usb.DescriptorIndex == 0 && usb.bmRequestType.direction == 1",
    "class request of the flash disk (GET MAX LUN)": "usbms.setup.bRequest == 0xfe",
    "class request of the mouse (SET_IDLE)": "usbhid.setup.bRequest == 0x0a",
    "INQUIRY in a command wrapper": "usbms.dCBWSignature && scsi_sbc.opcode == 0x12",
    "READ CAPACITY in a command wrapper": "usbms.dCBWSignature && scsi_sbc.opcode == 0x25",
    "READ CAPACITY's data": "scsi_sbc.returned_lba == 63 && scsi_sbc.blocksize == 512",
    "READ(10) in a command wrapper": "usbms.dCBWSignature && scsi_sbc.opcode == 0x28",
    "status wrapper": "usbms.dCSWSignature && usbms.dCSWStatus == 1",
    "HID report descriptor": "usbhid.item.local.usage == 0x30",
    "HID report": "usbhid.data.axis.x == 5 && usbhid.data.axis.y == -3",
    "stall on the default pipe": "usb.usbd_status == 0xc0000004 && usb.transfer_type == 2",
    "stall on the bulk pipe": "usb.usbd_status == 0xc0000004 && usb.transfer_type == 3 && usb.endpoint_address == 0x81",
    "isochronous packet table": "usb.win32.iso_num_packets == 3 && usb.win32.iso_offset == 0x3fc && usb.win32.iso_data_len == 12",
    "isochronous data": "usb.iso.data == 02:80:0a:0b:0c:0d:0e:0f:10:11:12:13",
    "a device number per trailer": "usb.device_address == 3 && usb.transfer_type == 0",
    "microsecond stamps": "scsi_sbc.opcode == 0x25 && frame.time_epoch >= 10.000409 && frame.time_epoch <= 10.000411",
    "trace line as comment": "frame.comment contains \"SetupPacket: 80 06 00 01\"",
}

STANDARD = {
    "INQUIRY on the OUT endpoint inferred": "usbms.dCBWSignature && scsi_sbc.opcode == 0x12 && usb.endpoint_address == 0x02",
    "status wrapper on the IN endpoint inferred": "usbms.dCSWSignature && usb.endpoint_address == 0x81",
    "vendor request's setup inferred": "usb.setup.bRequest == 1 && usb.bmRequestType == 0xc0 && usb.setup.wLength == 16",
    "a failure's USBD status inferred": "usb.usbd_status == 0x80000500 && usb.transfer_type == 3",
}


def main():
    zelkor_log, golden, workdir = sys.argv[1:4]
    if shutil.which("tshark") is None:
        print("tshark is not installed: skipped")
        return SKIP
    failed = False
    detail = os.path.join(workdir, "usb-wireshark.pcapng")
    export(zelkor_log, os.path.join(golden, "usb-wireshark.expected"), detail)
    failed |= check(detail, DETAIL)

    standard = os.path.join(workdir, "usb-flash-disk.pcapng")
    told = export(zelkor_log, os.path.join(golden, "usb-flash-disk.expected"), standard)
    failed |= check(standard, STANDARD)
    for inferred in ("pipe 0x8A7C0140: endpoint 0x02 (bulk, out) inferred from the configuration descriptor",
                     "pipe 0x8A7C0100: endpoint 0x81 (bulk, in) inferred from the configuration descriptor",
                     "USBD statuses inferred from the request's status"):
        if inferred not in told:
            print(f"not told on standard error: {inferred}")
            failed = True

    # A request told of in more lines than a comment holds: the comment is cut, the file stays readable.
    long_capture = os.path.join(workdir, "long-comment.txt")
    with open(long_capture, "w") as f:
        f.write("** Irp: 0x8A400040 - IOCTL_INTERNAL_USB_SUBMIT_URB - URB_FUNCTION_CONTROL_TRANSFER - "
                "SetupPacket: 80 06 00 01 00 00 12 00 - bmRequestType: 0x80 (In, Standard, Device), "
                "bRequest: 0x06 (USB_REQUEST_GET_DESCRIPTOR), wValue: 0x0100, wIndex: 0x0000, wLength: 0x0012.\n" * 400)
    long_out = os.path.join(workdir, "long-comment.pcapng")
    subprocess.run([zelkor_log, "pcap", long_capture, "-o", long_out], capture_output=True, check=True)
    if len(tshark(long_out, "usb.setup.bRequest == 6")) != 1:
        print("a long comment made the file unreadable")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
