#!/usr/bin/env python3
"""Writes the sample package's stand-in firmware images into a folder.

bt.bin:  32768 bytes, the Bluetooth image.
usb.bin: 40960 bytes, the USB image; its last 16 bytes are 0xFF, so it
         carries no DFU suffix.

Both follow the sample image layout of docs/devices.md ("Sample images"):
the USB image starts with an NXP vector table whose first eight words sum
to 0 (the word at 0x1C is the checksum word), and each image carries an
info block (magic "TSIB", version, end, CRC-32) at its documented offset:
0x00C0 in the USB image, 0x0300 in the Bluetooth image. The versions are
read from the package INI (INI_VER_NXP, INI_VER_BT).

The rest is pseudo-random but fixed (a 32-bit linear congruential
generator with a fixed seed per image), so every build makes the same bytes.
"""
import os
import struct
import sys
import zlib

BT_SIZE = 32768
USB_SIZE = 40960
USB_INFO_AT = 0x00C0
BT_INFO_AT = 0x0300
BT_FIRST = 0x0300  # the Bluetooth IC never receives the bytes below
MAGIC = b"TSIB"
FORMAT = 1


def lcg_bytes(seed, count):
    state = seed & 0xFFFFFFFF
    out = bytearray(count)
    for i in range(count):
        state = (state * 1664525 + 1013904223) & 0xFFFFFFFF
        out[i] = state >> 24
    return out


def ini_version(ini_path, key):
    with open(ini_path, encoding="utf-8") as f:
        for line in f:
            name, sep, value = line.strip().partition("=")
            if sep and name.strip() == key:
                return int(value.strip(), 16)
    raise SystemExit("%s: no %s" % (ini_path, key))


def put_info_block(image, at, base, version):
    """Info block at `at`; its CRC covers image[base:end] with the CRC field as zero."""
    end = len(image)
    image[at:at + 16] = MAGIC + struct.pack("<HHII", version, FORMAT, end, 0)
    crc = zlib.crc32(bytes(image[base:end])) & 0xFFFFFFFF
    image[at + 12:at + 16] = struct.pack("<I", crc)


def usb_image(version):
    image = lcg_bytes(0x0353A23F, USB_SIZE)
    image[-16:] = b"\xff" * 16
    # Vector table: initial stack pointer, reset and fault handlers (Thumb
    # addresses behind the table), then the checksum word at 0x1C.
    words = [0x10002000] + [0x00000101 + 8 * i for i in range(6)]
    words.append((-sum(words)) & 0xFFFFFFFF)
    image[0:32] = struct.pack("<8I", *words)
    put_info_block(image, USB_INFO_AT, 0, version)
    return image


def bt_image(version):
    image = lcg_bytes(0x7E55E1B7, BT_SIZE)
    put_info_block(image, BT_INFO_AT, BT_FIRST, version)
    return image


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
    if len(sys.argv) != 3:
        sys.stderr.write("usage: make_sample_images.py PACKAGE_INI OUTPUT_DIR\n")
        return 2
    ini, out_dir = sys.argv[1], sys.argv[2]
    os.makedirs(out_dir, exist_ok=True)
    write_if_changed(os.path.join(out_dir, "bt.bin"), bytes(bt_image(ini_version(ini, "INI_VER_BT"))))
    write_if_changed(os.path.join(out_dir, "usb.bin"), bytes(usb_image(ini_version(ini, "INI_VER_NXP"))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
