#!/usr/bin/python3
"""Checks the resources of a built tessel-updater program file with pefile:
the icon group 200, the restart dialog 500 (a classic template), the version
block and the subsystem. Prints one "PASS name" or "FAIL name: why" line per
check; the exit status is 1 when any check failed.

Usage: check-resources.py PROGRAM.exe
"""
import struct
import sys

import pefile

TITLE = "Orvex Tessel Keyboard Firmware Updater"
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION = 3, 5, 14, 16
LANG_EN_US = 1033

# The restart prompt: style, position and size, font, controls.
WS_POPUP, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x00C00000, 0x00080000
DS_MODALFRAME, DS_SETFONT = 0x80, 0x40
WS_CHILD, WS_VISIBLE, WS_GROUP, WS_TABSTOP = 0x40000000, 0x10000000, 0x00020000, 0x00010000
SS_ICON, SS_LEFT, BS_PUSHBUTTON, BS_DEFPUSHBUTTON = 3, 0, 0, 1
STATIC, BUTTON = 0x82, 0x80
EXPECTED_CONTROLS = [
    # id, class ordinal, text (or icon ordinal), style, x, y, cx, cy
    (502, STATIC, 32515, WS_CHILD | WS_VISIBLE | SS_ICON, 7, 7, 32, 32),
    (501, STATIC, "Text", WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT, 47, 7, 153, 40),
    (2, BUTTON, "Cancel", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 7, 47, 90, 14),
    (1, BUTTON, "OK", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON, 110, 47, 90, 14),
]

failures = 0


def report(name, ok, why=""):
    global failures
    if ok:
        print(f"PASS {name}")
    else:
        failures += 1
        print(f"FAIL {name}: {why}")


def resources(pe, type_id):
    """{(id, lang): bytes} of one resource type."""
    out = {}
    directory = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for t in directory.entries if directory else []:
        if t.id != type_id:
            continue
        for n in t.directory.entries:
            for lang in n.directory.entries:
                d = lang.data.struct
                out[(n.id, lang.id)] = pe.get_data(d.OffsetToData, d.Size)
    return out


def read_sz_or_ord(data, pos):
    """A name-or-ordinal field: (value, next position); value int or str."""
    (first,) = struct.unpack_from("<H", data, pos)
    if first == 0xFFFF:
        return struct.unpack_from("<H", data, pos + 2)[0], pos + 4
    end = pos
    while struct.unpack_from("<H", data, end)[0] != 0:
        end += 2
    return data[pos:end].decode("utf-16-le"), end + 2


def parse_dialog(data):
    style, exstyle, count, x, y, cx, cy = struct.unpack_from("<IIHhhhh", data, 0)
    pos = 18
    menu, pos = read_sz_or_ord(data, pos)
    cls, pos = read_sz_or_ord(data, pos)
    caption, pos = read_sz_or_ord(data, pos)
    font = None
    if style & DS_SETFONT:
        (size,) = struct.unpack_from("<H", data, pos)
        face, pos = read_sz_or_ord(data, pos + 2)
        font = (size, face)
    items = []
    for _ in range(count):
        pos = (pos + 3) & ~3
        istyle, iex, ix, iy, icx, icy, iid = struct.unpack_from("<IIhhhhH", data, pos)
        pos += 18
        icls, pos = read_sz_or_ord(data, pos)
        itext, pos = read_sz_or_ord(data, pos)
        (extra,) = struct.unpack_from("<H", data, pos)
        pos += 2 + extra
        items.append((iid, icls, itext, istyle, ix, iy, icx, icy, iex))
    return dict(style=style, exstyle=exstyle, x=x, y=y, cx=cx, cy=cy, menu=menu,
                cls=cls, caption=caption, font=font, items=items)


def check_icon(pe):
    groups = resources(pe, RT_GROUP_ICON)
    group = groups.get((200, LANG_EN_US))
    report("icon group 200 present", group is not None, f"groups {sorted(groups)}")
    if group is None:
        return
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    entries = []
    for i in range(count):
        w, h, colours, _, planes, bits, size, icon_id = struct.unpack_from(
            "<BBBBHHIH", group, 6 + 14 * i)
        entries.append(((w or 256), (h or 256), bits, icon_id))
    sizes = sorted((w, h, bits) for w, h, bits, _ in entries)
    report("icon 200 has 128x128 and 32x32 images at 8 bits per pixel",
           kind == 1 and sizes == [(32, 32, 8), (128, 128, 8)], f"entries {entries}")
    icons = resources(pe, RT_ICON)
    ok = True
    why = ""
    for w, h, bits, icon_id in entries:
        image = next((v for (i, _), v in icons.items() if i == icon_id), None)
        if image is None:
            ok, why = False, f"icon {icon_id} missing"
            continue
        hsize, bw, bh, planes, bbits = struct.unpack_from("<IiiHH", image, 0)
        palette = 256 * 4
        xor = ((w * 8 + 31) // 32) * 4 * h
        mask = ((w + 31) // 32) * 4 * h
        if (hsize, bw, bh, bbits) != (40, w, 2 * h, 8) or len(image) != 40 + palette + xor + mask:
            ok, why = False, f"icon {icon_id}: header {hsize} {bw}x{bh} {bbits} bpp, {len(image)} bytes"
        pixels = set(image[40 + palette:40 + palette + xor])
        if len(pixels) < 3:
            ok, why = False, f"icon {icon_id}: only {len(pixels)} colours"
    report("icon images are 8-bit DIBs with palette and AND mask, and not empty", ok, why)


def check_dialog(pe):
    dialogs = resources(pe, RT_DIALOG)
    data = dialogs.get((500, LANG_EN_US))
    report("dialog 500 in language 1033", data is not None, f"dialogs {sorted(dialogs)}")
    if data is None:
        return
    classic = struct.unpack_from("<HH", data, 0) != (1, 0xFFFF)
    report("dialog 500 is a classic template", classic, "extended template")
    if not classic:
        return
    d = parse_dialog(data)
    want_style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT
    report("dialog 500 style, no extended style",
           d["style"] == want_style and d["exstyle"] == 0,
           f"style {d['style']:#x} exstyle {d['exstyle']:#x}")
    report("dialog 500 at 0,0 with 207 x 68 units",
           (d["x"], d["y"], d["cx"], d["cy"]) == (0, 0, 207, 68),
           f"{d['x']},{d['y']} {d['cx']}x{d['cy']}")
    report("dialog 500 caption, no menu, standard class",
           d["caption"] == TITLE and d["menu"] == "" and d["cls"] == "",
           f"caption {d['caption']!r} menu {d['menu']!r} class {d['cls']!r}")
    report("dialog 500 font Arial 10", d["font"] == (10, "Arial"), f"font {d['font']}")
    got = [tuple(item[:8]) for item in d["items"]]
    exstyles = [item[8] for item in d["items"]]
    report("dialog 500 controls in order", got == EXPECTED_CONTROLS and not any(exstyles),
           f"controls {got} exstyles {exstyles}")


def check_version(pe):
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    ok = fixed is not None and (fixed.FileVersionMS, fixed.FileVersionLS,
                                fixed.ProductVersionMS, fixed.ProductVersionLS) == \
        (0x00030000, 0x00000001, 0x00030000, 0x00000001)
    report("version block 3,0,0,1", ok, "fixed file info differs")
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    want = {"FileVersion": "3.0.0.1", "ProductVersion": "3.0.0.1", "ProductName": TITLE}
    report("version strings", all(strings.get(k) == v for k, v in want.items()), f"strings {strings}")


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    pe = pefile.PE(sys.argv[1])
    report("GUI subsystem", pe.OPTIONAL_HEADER.Subsystem == 2,
           f"subsystem {pe.OPTIONAL_HEADER.Subsystem}")
    check_icon(pe)
    check_dialog(pe)
    check_version(pe)
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
