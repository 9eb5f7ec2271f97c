#!/usr/bin/env python3
"""Writes the sample package's stand-in firmware images into a folder.

bt.bin:  32768 bytes, the Bluetooth image.
usb.bin: 40960 bytes, the USB image; its last 16 bytes are 0xFF, so it
         carries no DFU suffix.

The content is pseudo-random but fixed (a 32-bit linear congruential
generator with a fixed seed per image), so every build makes the same bytes.
"""
import os
import sys

BT_SIZE = 32768
USB_SIZE = 40960


def lcg_bytes(seed, count):
    state = seed & 0xFFFFFFFF
    out = bytearray(count)
    for i in range(count):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        out[i] = state >> 24
    return out


def write_if_changed(path, data):
    try:
        with open(path, "rb") as f:
            if f.read() == data:
                return
    except OSError:
        pass
    tmp = path + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, path)


def main():
    if len(sys.argv) != 2:
        sys.stderr.write("usage: make_sample_images.py OUTPUT_DIR\n")
        return 2
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    bt = lcg_bytes(0x7E55E1B7, BT_SIZE)
    usb = lcg_bytes(0x0353A23F, USB_SIZE)
    usb[-16:] = b"\xff" * 16
    write_if_changed(os.path.join(out_dir, "bt.bin"), bytes(bt))
    write_if_changed(os.path.join(out_dir, "usb.bin"), bytes(usb))
    return 0


if __name__ == "__main__":
    sys.exit(main())
