#!/usr/bin/env python3
"""Exports a capture with the USB detail lines as pcapng and has tshark read it
back: the descriptors, the control setup, the mass-storage commands inside the
bulk wrappers and the stall must be dissected, and no packet malformed.
Exits 77 (skipped) where tshark is not installed."""
import os
import shutil
import subprocess
import sys

SKIP = 77


def tshark(path, display_filter, fields):
    command = ["tshark", "-r", path, "-Y", display_filter, "-T", "fields"]
    for field in fields:
        command += ["-e", field]
    done = subprocess.run(command, capture_output=True, text=True, check=True)
    return [line for line in done.stdout.splitlines() if line.strip()]


def main():
    zelkor_log, capture, workdir = sys.argv[1:4]
    if shutil.which("tshark") is None:
        print("tshark is not installed: skipped")
        return SKIP
    out = os.path.join(workdir, "usb-detail.pcapng")
    done = subprocess.run([zelkor_log, "pcap", capture, "-o", out], capture_output=True, text=True)
    print(done.stderr, end="")
    if done.returncode != 0:
        print("zelkor-log pcap failed")
        return 1
    expected = {
        "device descriptor": ("usb.bDescriptorType == 1 && usb.idVendor == 0x0951", ["frame.number"]),
        "configuration descriptor": ("usb.bNumInterfaces == 1", ["frame.number"]),
        "control setup": ("usb.setup.bRequest == 6 && usb.DescriptorIndex == 0 && usb.bmRequestType.direction == 1", ["frame.number"]),
        "vendor request": ("usb.setup.bRequest == 0x21 && usb.setup.wIndex == 0x5678", ["frame.number"]),
        "INQUIRY in a command wrapper": ("usbms.dCBWSignature && scsi_sbc.opcode == 0x12", ["frame.number"]),
        "READ(10) in a command wrapper": ("usbms.dCBWSignature && scsi_sbc.opcode == 0x28", ["frame.number"]),
        "status wrapper": ("usbms.dCSWSignature", ["frame.number"]),
        "stall": ("usb.usbd_status == 0xc0000004 && usb.transfer_type == 2", ["frame.number"]),
        "trace line as comment": ("frame.comment contains \"SetupPacket: 80 06 00 01\"", ["frame.number"]),
    }
    failed = False
    for what, (display_filter, fields) in expected.items():
        if not tshark(out, display_filter, fields):
            print(f"not dissected: {what} ({display_filter})")
            failed = True
    malformed = tshark(out, "_ws.malformed || _ws.expert.severity >= error", ["frame.number"])
    if malformed:
        print(f"malformed packets: {', '.join(malformed)}")
        failed = True
    # A request told of in more lines than a comment holds: the comment is cut, the file stays readable.
    long_capture = os.path.join(workdir, "long-comment.txt")
    with open(long_capture, "w") as f:
        f.write("** Irp: 0x8A400040 - IOCTL_INTERNAL_USB_SUBMIT_URB - URB_FUNCTION_CONTROL_TRANSFER - "
                "SetupPacket: 80 06 00 01 00 00 12 00 - bmRequestType: 0x80 (In, Standard, Device), "
                "bRequest: 0x06 (USB_REQUEST_GET_DESCRIPTOR), wValue: 0x0100, wIndex: 0x0000, wLength: 0x0012.\n" * 400)
    long_out = os.path.join(workdir, "long-comment.pcapng")
    subprocess.run([zelkor_log, "pcap", long_capture, "-o", long_out], capture_output=True, check=True)
    if len(tshark(long_out, "usb.setup.bRequest == 6", ["frame.number"])) != 1:
        print("a long comment made the file unreadable")
        failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
