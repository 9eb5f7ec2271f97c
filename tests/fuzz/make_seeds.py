#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora under tests/fuzz/corpus/.

Small, deterministic inputs: program files built the way tessel-pack builds
them (a bare PE32+ program, the INI text, the images), INI texts, input
reports as Raw Input delivers them, boot-loader answers, command lines and
scenarios. Run it again after changing it; the files are committed.
"""
import json
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
CORPUS = os.path.join(HERE, "corpus")


def write(target, name, data):
    d = os.path.join(CORPUS, target)
    os.makedirs(d, exist_ok=True)
    if isinstance(data, str):
        data = data.encode()
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# ---------------------------------------------------------------- programs

def pe_program(sections, total, cert=None):
    """A PE32+ header block with the given (raw_size, raw_ptr) sections;
    cert = (offset, size) fills the security directory entry."""
    lfanew = 0x40
    b = bytearray(max(total, lfanew + 264 + 40 * len(sections)))
    b[0:2] = b"MZ"
    struct.pack_into("<I", b, 0x3C, lfanew)
    b[lfanew:lfanew + 4] = b"PE\0\0"
    struct.pack_into("<HH", b, lfanew + 4, 0x8664, len(sections))
    struct.pack_into("<H", b, lfanew + 20, 240)
    opt = lfanew + 24
    struct.pack_into("<H", b, opt, 0x20B)
    struct.pack_into("<I", b, opt + 108, 16)  # NumberOfRvaAndSizes
    if cert:
        struct.pack_into("<II", b, opt + 112 + 4 * 8, cert[0], cert[1])
    for i, (size, ptr) in enumerate(sections):
        at = lfanew + 264 + 40 * i
        b[at:at + 8] = b".text\0\0\0" if i == 0 else b".data\0\0\0"
        struct.pack_into("<II", b, at + 16, size, ptr)
    return b


def crc_dfu(data):
    return (zlib.crc32(data) ^ 0xFFFFFFFF) & 0xFFFFFFFF


def with_dfu_suffix(image):
    suffix = struct.pack("<HHHH", 0xFFFF, 0x5002, 0x1FC9, 0x0100) + b"UFD" + bytes([16])
    body = image + suffix
    return body + struct.pack("<I", crc_dfu(body))


def pattern(n, seed):
    out = bytearray(n)
    for i in range(n):
        seed = (seed * 1664525 + 1013904223) & 0xFFFFFFFF
        out[i] = seed >> 24
    return bytes(out)


def small_ini():
    """The sample package's [MAIN], [DFU] and [LANG00], then the marker."""
    text = open(os.path.join(ROOT, "sample-package", "package.ini"), encoding="utf-8").read()
    keep, on = [], False
    for line in text.splitlines():
        if line.startswith("["):
            on = line in ("[MAIN]", "[DFU]", "[LANG00]")
        if on:
            keep.append(line)
    return "\r\n".join(keep) + "\r\n[LANG__]\r\nS__=END_OF_FILE\r\n"


def programs():
    bare = pe_program([(0x200, 0x200), (0x200, 0x400)], 0x600)
    bare[0x200] = 0xC3
    ini = small_ini().encode()
    write("package", "bare", bytes(bare))
    write("package", "short-images", bytes(bare) + ini + pattern(1000, 1))
    write("package", "no-marker", bytes(bare) + ini[:-19] + pattern(100, 2))
    usb = with_dfu_suffix(pattern(48, 3))
    full = bytes(bare) + ini + pattern(32768, 4) + usb
    write("package", "dfu-suffix", full)
    # Signed after packaging: the certificate table follows the USB image.
    cert_at = len(full)
    signed = pe_program([(0x200, 0x200), (0x200, 0x400)], 0x600, cert=(cert_at, 24))
    signed[0x200] = 0xC3
    table = struct.pack("<IHH", 24, 0x0200, 0x0002) + pattern(16, 5)
    write("package", "signed", bytes(signed) + ini + pattern(32768, 4) + usb + table)
    # The same section start twice, and a table reaching past 4096 bytes.
    write("package", "equal-sections", bytes(pe_program([(0x100, 0x400), (0x200, 0x400)], 0x600)) + ini)
    write("package", "long-marker-line", bytes(bare) + b"x" * 300 + b"S__=END_OF_FILE\n" + pattern(64, 6))

    # INI target: byte 0 the buffer size (+2), byte 1 the language.
    write("ini", "sample", bytes([34, 0]) + ini)
    write("ini", "tiny-buffer", bytes([3, 1]) + ini)
    write("ini", "quotes", bytes([18, 2]) + (
        "[MAIN]\r\nINI_VER_NXP = \"03;53\" ; note\r\nINI_VER_BT:\"A2\"\"3F\"\r\n"
        "[main] ; again\r\nINI_DATE_CODE=\"a\\\"b\"\r\n[DFU]\r\nINI_DFU_GUID=a01674b4-c5f6\r\n"
        "INI_DFU_TRANSFER_SIZE=\r\n[LANG00]\r\nS03=\"\r\n[LANG__]\r\nS__=END_OF_FILE\n").encode())
    write("ini", "long-line", bytes([255, 0]) + b"[MAIN]\r\nINI_DATE_CODE=" + b"7" * 600 + b"\r\n")


# ---------------------------------------------------------------- raw input

def raw_inputs():
    header = 24  # dwType, dwSize, hDevice, wParam (64-bit)

    def message(report, size_hid=9, count=1, kind=2):
        body = struct.pack("<II", size_hid, count) + bytes(report)
        total = header + len(body)
        return struct.pack("<IIQQ", kind, total, 0, 0) + body

    version = [5, 7, 0xA2, 0x3F, 1, 1, 0x12, 0, 0]
    seeds = {
        "version-prepare": bytes([1, 0, 0, 0]) + message(version),
        "version-reattached": bytes([10, 0, 1, 0]) + message(version),
        "version-silent": bytes([10, 1, 0, 0]) + message([5, 7, 0, 0, 0, 0, 0, 0, 0]),
        "sum": bytes([2, 0, 0, 0]) + message([5, 5, 0x00, 0x3A, 0xBC, 0xDE, 0, 0, 0]),
        "ack": bytes([6, 0, 1, 0]) + message([5, 11, 0, 0, 0, 0, 0, 0, 0]),
        "two-reports": bytes([6, 0, 0, 0]) + message([5, 11] + [0] * 7 + [5, 7] + [0] * 7, count=2),
        "short-copy": bytes([6, 0, 0, 3 | (1 << 3)]) + message([5, 11] + [0] * 7),
        "other-device": bytes([6, 0, 3, 0]) + message([5, 11] + [0] * 7),
        "size-limit": bytes([6, 0, 0, 1 | (15 << 3)]) + message([5, 11] + [0] * 1000, count=112),
    }
    for name, data in seeds.items():
        write("raw_input", name, data)


# ---------------------------------------------------------------- DFU

def dfu_scripts():
    ok = 7 << 1  # success, as many bytes as asked

    def status(st, poll, state):
        return bytes([ok, st, poll & 0xFF, (poll >> 8) & 0xFF, poll >> 16, state, 0])

    write("dfu", "status-ok", bytes([0, 0, 0]) + status(0, 10000, 5) + status(0x0B, 0xFFFFFF, 4))
    write("dfu", "status-short", bytes([0, 0, 0]) + bytes([5 << 1, 0, 1, 0, 0, 5, 0]) * 6)
    write("dfu", "status-retried", bytes([0, 0, 0, 1, 1, 1]) + status(0, 7, 5))
    # A download of 64 bytes in 32-byte blocks: block, busy, idle, ... manifest.
    script = bytes([1, 32, 4])
    for _ in range(2):
        script += bytes([ok]) + status(0, 5, 4) + status(0, 0, 5)
    script += bytes([ok]) + status(0, 5, 7) + status(0, 5, 7) + status(0, 0, 8)
    write("dfu", "download", script)
    write("dfu", "download-error", bytes([1, 64, 8, ok]) + status(0x0A, 0, 10))


# ---------------------------------------------------------------- command lines

def command_lines():
    lines = [
        "\"C:\\Program Files\\Tessel\\tessel-updater.exe\" -silent",
        "tessel-updater.exe -lang=6 -silent",
        "tool.exe \"-silent\" x",
        "\"tool.exe\"-lang=300",
        "tool.exe \t  x-lang=6",
        "tool.exe " + "a" * 300 + "-lang=7",
        "tool.exe \"-lang= 12",
    ]
    for i, line in enumerate(lines):
        write("command_line", "line%d" % i, line)


# ---------------------------------------------------------------- scenarios

def scenarios():
    write("scenario", "demo", open(os.path.join(ROOT, "sim", "scenarios", "demo.json")).read())
    full = {
        "args": "-silent", "program_path": "C:\\Tessel\\tool.exe",
        "files": {"readme.mht": "x", "LogfileKarstDFU.txt": ""},
        "locale": {"langid": 1031, "lcid": 1031}, "clock": "2024-02-29 23:59:59",
        "other_instance": False,
        "keyboard": {"identity": 2, "mode": "bootloader", "attached": True, "nxp": 850, "bt": 41535,
                     "sonix": 18, "bt_ready": False, "checksum": "wrong", "finish_ack": False,
                     "returns": False, "nxp_after": 851, "bt_after": 41536, "hang_after_reports": 3,
                     "bootloader": {"identity": 2, "poll_ms": 5, "busy_polls": 1, "error_at_block": None,
                                    "manifest_polls": 2, "fail_transfers": False}},
        "events": [{"at": 100, "do": "sleep"}, {"on": "log:USB", "after": 5, "do": "detach"}],
        "until": 60000,
    }
    write("scenario", "every-field", json.dumps(full))
    write("scenario", "bad-field", '{"keyboard": {"bootloader": {"poll_ms": -1}}}')


if __name__ == "__main__":
    programs()
    raw_inputs()
    dfu_scripts()
    command_lines()
    scenarios()
