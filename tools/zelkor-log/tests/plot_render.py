#!/usr/bin/env python3
"""Draws a capture with `zelkor-log plot` and renders the SVG in headless
Chromium: the picture must be drawn (no error page), with the requests' bars,
a failure's mark and the latency histogram in it.

Usage: plot_render.py ZELKOR-LOG CAPTURE WORKDIR. Exits 77 (skipped) where
no headless Chromium is installed."""
import shutil
import struct
import subprocess
import sys
import zlib

zelkor_log, capture, work = sys.argv[1:4]
browser = shutil.which("chromium-headless-shell") or shutil.which("chromium")
if not browser:
    print("plot_render: skipped: no headless Chromium (Debian: chromium-headless-shell; scripts/install-deps.sh installs it)")
    sys.exit(77)

svg, png = f"{work}/plot.svg", f"{work}/plot.png"
subprocess.run([zelkor_log, "plot", capture, "-o", svg], check=True)
subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars", f"--screenshot={png}",
                "--window-size=960,1000", f"file://{svg}"], check=True, capture_output=True, timeout=120)


def pixels(path):
    """The RGB(A) pixels of an 8-bit PNG, rows unfiltered."""
    data = open(path, "rb").read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    at, idat = 8, b""
    while at < len(data):
        length, kind = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + length]
        if kind == b"IHDR":
            width, height, depth, colour = struct.unpack(">IIBB", body[:10])
        elif kind == b"IDAT":
            idat += body
        at += 12 + length
    assert depth == 8 and colour in (2, 6), f"PNG depth {depth}, colour type {colour}"
    size = 4 if colour == 6 else 3
    raw, stride, rows, previous = zlib.decompress(idat), width * size, [], bytearray(width * size)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - size] if i >= size else 0
            up, corner = previous[i], previous[i - size] if i >= size else 0
            if kind == 1:
                line[i] = (line[i] + left) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + up) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 0xFF
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 0xFF
        rows.append(line)
        previous = line
    return [tuple(row[x * size:x * size + 3]) for row in rows for x in range(width)]


counts = {}
for pixel in pixels(png):
    counts[pixel] = counts.get(pixel, 0) + 1
wanted = {"histogram bars": (0x4C, 0x72, 0xB0), "a failure's mark": (0xD6, 0x27, 0x28), "srb requests": (0x94, 0x67, 0xBD)}
problems = [f"no {what} (#{r:02X}{g:02X}{b:02X})" for what, (r, g, b) in wanted.items() if counts.get((r, g, b), 0) < 10]
if counts.get((0xFF, 0xFF, 0xFF), 0) == sum(counts.values()):
    problems.append("the picture is all white")
if problems:
    print("plot_render: " + "; ".join(problems))
    sys.exit(1)
print(f"plot_render: {sum(counts.values())} pixels, " +
      ", ".join(f"{counts[c]} of {what}" for what, c in wanted.items()))
