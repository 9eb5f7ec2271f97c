"""The resources of the packaged Windows program, read with pefile: the
subsystem, the icon group 200 (every size, 32 bits with alpha), the restart
dialog 500 (a classic template), the version block and the manifest. Needs no
Wine."""
import struct
import zlib
from xml.etree import ElementTree

import pefile
import pytest

from winetest import PACKAGED, TITLE

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


@pytest.fixture(scope="module")
def pe():
    if not PACKAGED.is_file():
        pytest.fail(f"not built: {PACKAGED} (cmake --preset windows && cmake --build --preset windows)")
    return pefile.PE(str(PACKAGED))


def test_gui_subsystem(pe):
    assert pe.OPTIONAL_HEADER.Subsystem == 2


@pytest.fixture(scope="module")
def icon_entries(pe):
    """(width, height, bits, icon id) of the icon group 200's images."""
    group = resources(pe, RT_GROUP_ICON).get((200, LANG_EN_US))
    if group is None:
        pytest.fail("no icon group 200")
    _, kind, count = struct.unpack_from("<HHH", group, 0)
    entries = []
    for i in range(count):
        w, h, _, _, _, bits, _, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
        entries.append(((w or 256), (h or 256), bits, icon_id))
    return kind, entries


def test_icon_group_200_present(pe):
    groups = resources(pe, RT_GROUP_ICON)
    assert (200, LANG_EN_US) in groups, f"groups {sorted(groups)}"


# Every size Windows asks for at 100 % to 400 % scaling, and 128, the size the
# main window shows: each 32 bits per pixel with an alpha channel.
ICON_SIZES = (16, 20, 24, 32, 40, 48, 64, 128, 256)


def png_alpha(png):
    """The alpha bytes of an 8-bit RGBA PNG, or None for any other kind."""
    pos, idat, header = 8, b"", None
    while pos < len(png):
        (length,), kind = struct.unpack_from(">I", png, pos), png[pos + 4:pos + 8]
        body = png[pos + 8:pos + 8 + length]
        header = struct.unpack(">IIBB", body[:10]) if kind == b"IHDR" else header
        idat += body if kind == b"IDAT" else b""
        pos += 12 + length
    w, h, depth, colour = header
    if (depth, colour) != (8, 6):
        return None
    raw, stride, rows, prev = zlib.decompress(idat), w * 4, [], bytearray(w * 4)
    for y in range(h):
        kind, row = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a, b, c = (row[i - 4] if i >= 4 else 0), prev[i], (prev[i - 4] if i >= 4 else 0)
            p = a + b - c
            pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
            paeth = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
            row[i] = (row[i] + (0, a, b, (a + b) // 2, paeth)[kind]) & 0xFF
        rows.append(bytes(row[3::4]))
        prev = row
    return b"".join(rows)


def icon_image(image, size):
    """(format, alpha bytes) of one icon image: a 32-bit DIB with its AND mask,
    or an RGBA PNG; alpha None for anything else."""
    if image.startswith(b"\x89PNG"):
        return "PNG", png_alpha(image)
    hsize, w, h, _, bits = struct.unpack_from("<IiiHH", image, 0)
    xor, mask = size * size * 4, ((size + 31) // 32) * 4 * size
    if (hsize, w, h, bits, len(image)) != (40, size, 2 * size, 32, 40 + xor + mask):
        return f"DIB {w}x{h} {bits} bpp", None
    return "DIB", image[40 + 3:40 + xor:4]


@pytest.mark.parametrize("size", ICON_SIZES)
def test_icon_200_image_32_bits_with_alpha(pe, icon_entries, size):
    kind, entries = icon_entries
    entry = next((e for e in entries if e[:2] == (size, size)), None)
    assert kind == 1 and entry is not None, f"no {size} x {size} image in {entries}"
    image = next((v for (i, _), v in resources(pe, RT_ICON).items() if i == entry[3]), b"")
    form, alpha = icon_image(image, size)
    assert entry[2] == 32 and alpha is not None, f"{size} x {size}: {entry[2]} bpp, {form}"
    assert 0 in alpha and 255 in alpha, f"{size} x {size} {form}: alpha {min(alpha)}..{max(alpha)}"


def test_dialog_500_in_language_1033(pe):
    dialogs = resources(pe, RT_DIALOG)
    assert (500, LANG_EN_US) in dialogs, f"dialogs {sorted(dialogs)}"


def test_dialog_500_is_a_classic_template(pe):
    data = resources(pe, RT_DIALOG).get((500, LANG_EN_US), b"")
    assert len(data) >= 4 and struct.unpack_from("<HH", data, 0) != (1, 0xFFFF)


@pytest.fixture(scope="module")
def dialog(pe):
    data = resources(pe, RT_DIALOG).get((500, LANG_EN_US))
    if data is None or struct.unpack_from("<HH", data, 0) == (1, 0xFFFF):
        pytest.fail("no classic dialog template 500 in language 1033")
    return parse_dialog(data)


def test_dialog_500_style_no_extended_style(dialog):
    want_style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT
    assert dialog["style"] == want_style and dialog["exstyle"] == 0, \
        f"style {dialog['style']:#x} exstyle {dialog['exstyle']:#x}"


def test_dialog_500_at_0_0_with_207_by_68_units(dialog):
    assert (dialog["x"], dialog["y"], dialog["cx"], dialog["cy"]) == (0, 0, 207, 68)


def test_dialog_500_caption_no_menu_standard_class(dialog):
    assert (dialog["caption"], dialog["menu"], dialog["cls"]) == (TITLE, "", "")


def test_dialog_500_font_arial_10(dialog):
    assert dialog["font"] == (10, "Arial")


def test_dialog_500_controls_in_order(dialog):
    got = [tuple(item[:8]) for item in dialog["items"]]
    exstyles = [item[8] for item in dialog["items"]]
    assert got == EXPECTED_CONTROLS and not any(exstyles), f"controls {got} exstyles {exstyles}"


def test_version_block_3_0_0_1(pe):
    fixed = pe.VS_FIXEDFILEINFO[0] if hasattr(pe, "VS_FIXEDFILEINFO") else None
    assert fixed is not None, "no fixed file info"
    assert (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS,
            fixed.ProductVersionLS) == (0x00030000, 0x00000001, 0x00030000, 0x00000001)


def test_version_strings(pe):
    strings = {}
    for info in getattr(pe, "FileInfo", []):
        for entry in info:
            for table in getattr(entry, "StringTable", []):
                strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
    want = {"FileVersion": "3.0.0.1", "ProductVersion": "3.0.0.1", "ProductName": TITLE}
    assert {k: strings.get(k) for k in want} == want, f"strings {strings}"


# What the manifest declares: per-monitor v2 DPI awareness with the
# system-aware fallback for Windows before 10 1607, and the Windows versions
# the program supports (7, 8, 8.1, 10 and 11). Each row: element, attribute
# (None: its text), value (the first of a comma list, case-insensitive).
SMI2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SMI2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
COMPAT = "{urn:schemas-microsoft-com:compatibility.v1}"
MANIFEST_DECLARES = {
    "per-monitor v2": (SMI2016 + "dpiAwareness", None, "PerMonitorV2"),
    "system-aware fallback": (SMI2005 + "dpiAware", None, "true"),
    "Windows 7": (COMPAT + "supportedOS", "Id", "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}"),
    "Windows 8": (COMPAT + "supportedOS", "Id", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}"),
    "Windows 8.1": (COMPAT + "supportedOS", "Id", "{1f676c76-80e1-4239-95bb-83d0f6d0da78}"),
    "Windows 10 and 11": (COMPAT + "supportedOS", "Id", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"),
}
RT_MANIFEST = 24


def manifest_values(text, tag, attribute):
    """The values of every element `tag` in the manifest text."""
    root = ElementTree.fromstring(text)
    return [(e.get(attribute) if attribute else e.text) or "" for e in root.iter(tag)]


@pytest.mark.parametrize("name", MANIFEST_DECLARES)
def test_manifest_declares(pe, name):
    manifests = resources(pe, RT_MANIFEST)
    assert (1, LANG_EN_US) in manifests, f"manifests {sorted(manifests)}"
    tag, attribute, want = MANIFEST_DECLARES[name]
    got = manifest_values(manifests[(1, LANG_EN_US)], tag, attribute)
    assert want.lower() in [v.split(",")[0].strip().lower() for v in got], f"{name}: {got}"
