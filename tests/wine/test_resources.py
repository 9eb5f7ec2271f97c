"""The resources of the packaged Windows program, read with pefile: the
subsystem, the icon group 200, the restart dialog 500 (a classic template)
and the version block. Needs no Wine."""
import struct

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


def test_icon_200_has_128x128_and_32x32_images_at_8_bits_per_pixel(icon_entries):
    kind, entries = icon_entries
    sizes = sorted((w, h, bits) for w, h, bits, _ in entries)
    assert kind == 1 and sizes == [(32, 32, 8), (128, 128, 8)], f"entries {entries}"


def test_icon_images_are_8_bit_dibs_with_palette_and_and_mask_and_not_empty(pe, icon_entries):
    icons = resources(pe, RT_ICON)
    for w, h, bits, icon_id in icon_entries[1]:
        image = next((v for (i, _), v in icons.items() if i == icon_id), None)
        assert image is not None, f"icon {icon_id} missing"
        hsize, bw, bh, planes, bbits = struct.unpack_from("<IiiHH", image, 0)
        palette = 256 * 4
        xor = ((w * 8 + 31) // 32) * 4 * h
        mask = ((w + 31) // 32) * 4 * h
        assert (hsize, bw, bh, bbits) == (40, w, 2 * h, 8) and \
            len(image) == 40 + palette + xor + mask, \
            f"icon {icon_id}: header {hsize} {bw}x{bh} {bbits} bpp, {len(image)} bytes"
        pixels = set(image[40 + palette:40 + palette + xor])
        assert len(pixels) >= 3, f"icon {icon_id}: only {len(pixels)} colours"


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
