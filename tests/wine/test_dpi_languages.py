"""The main window and the restart prompt at display scales of 100, 150 and
200 % (96, 144 and 192 DPI, set through the prefix's LogPixels before each
run) and in languages that read left to right and right to left, as another
Windows process sees them; the glyphs of every package language in the
tool's font; screenshots at 144 DPI for the contact sheet in docs/.

The program's manifest declares the awareness (Wine 8 treats every window
as aware of its monitor's DPI, manifest or not): test_resources reads it
with pefile.

Each run starts the prompt test variant with -lang=N, so that the window and
the prompt are both there to read. One more run starts at 96 DPI and gets
WM_DPICHANGED to 144 DPI from the probe, as on a move to another monitor."""
import configparser
import time
import warnings

import pytest

from winetest import DEMO_DIR, PACKAGED, PROMPT_TEST, ROOT, fresh_copy, image_size_and_colours, run

DPIS = (96, 144, 192)
LANGUAGES = {0: "English", 13: "Arabic", 21: "Hebrew"}  # at every DPI
SHOT_LANGUAGES = {0: "English", 2: "German", 8: "Japanese", 13: "Arabic", 21: "Hebrew"}  # at 144 DPI
SHOT_DPI = 144
RIGHT_TO_LEFT = {13, 21}
RUNS = sorted({(d, n) for d in DPIS for n in LANGUAGES} | {(SHOT_DPI, n) for n in SHOT_LANGUAGES})
# Started at 96 DPI, then told by WM_DPICHANGED (as on a move to another
# monitor) that the DPI is now 144.
CHANGE_TO = 144
PLAN = [(d, n, None) for d, n in RUNS if d == 96] + [(96, 0, CHANGE_TO)] + \
    [(d, n, None) for d, n in RUNS if d != 96]

# The main window at 96 DPI: its outer size, and its controls in creation
# order (x, y, width, height in its client area).
WINDOW_96 = (640, 240)
CONTROLS_96 = [
    (20, 20, 128, 128),   # icon
    (160, 20, 250, 15),   # title label
    (160, 40, 250, 15),   # date label
    (160, 60, 250, 15),   # version label
    (420, 20, 180, 50),   # Update button
    (160, 80, 440, 80),   # log view
    (160, 170, 440, 20),  # progress bar
]
LABEL_TEXTS = ["Orvex Tessel Keyboard Firmware Updater", "Version =20171016_V0353_BTA23F",
               "NXP = 0353, BT = A23F"]
FONT_HEIGHT_96 = 15  # the labels', button's and log view's font: cell height at 96 DPI,
FONT_EM_96 = 13      # character height at other DPIs (src/app/ui_font.h)
PROMPT_POINTS = 10   # the prompt's font
WS_EX_RTLREADING = 0x2000
WS_EX_LAYOUTRTL = 0x400000
DESKTOP_KEY = r"HKCU\Control Panel\Desktop"
# Wine's desktop (scripts/wine-common.sh), as large in inches at every DPI.
WINE_DESKTOPS_KEY = r"HKCU\Software\Wine\Explorer\Desktops"
WINE_DESKTOP_96 = (1024, 600)


def scaled(value, dpi):
    """MulDiv(value, dpi, 96): rounded half away from zero."""
    return (value * dpi + 48) // 96


def package_messages():
    """{LANG index: {message number: text}} of the sample package."""
    ini = configparser.ConfigParser(interpolation=None, strict=False)
    ini.optionxform = str
    ini.read(ROOT / "sample-package" / "package.ini", encoding="utf-8")
    messages = {}
    for section in ini.sections():
        if section.startswith("LANG") and section[4:].isdigit():
            messages[int(section[4:])] = {int(k[1:]): v for k, v in ini[section].items()
                                          if k[:1] == "S" and k[1:].isdigit() and v}
    return messages


MESSAGES = package_messages()


def shown_messages(lang):
    """The messages a run in that language shows (-lang= keeps English as
    the fallback)."""
    return {**MESSAGES[0], **MESSAGES[lang]}


def font_height(dpi):
    """CreateFont's height of the tool's font at a DPI."""
    return FONT_HEIGHT_96 if dpi == 96 else -scaled(FONT_EM_96, dpi)


def rect_of(line):
    """(x, y, width, height) of a probe child line."""
    pos = line.split("|pos:")[1].split("|")[0].split(",")
    size = line.split("|size:")[1].split("|")[0].split(",")
    return tuple(int(v) for v in pos + size)


def reg(wine, *args):
    return run(["wine", "reg", *args], wine.env, 60)


def windows_path(path):
    """The path under Wine's drive Z:, the Unix root."""
    return "Z:" + str(path).replace("/", "\\")


def set_dpi(wine, dpi):
    """LogPixels of the prefix (none: the value removed, 96 DPI) and a desktop
    that grows with it; the Wine server and the desktop start anew to take them."""
    if dpi is None:
        reg(wine, "delete", DESKTOP_KEY, "/v", "LogPixels", "/f")
    else:
        reg(wine, "add", DESKTOP_KEY, "/v", "LogPixels", "/t", "REG_DWORD", "/d", str(dpi), "/f")
    width, height = (scaled(v, dpi or 96) for v in WINE_DESKTOP_96)
    reg(wine, "add", WINE_DESKTOPS_KEY, "/v", "Default", "/t", "REG_SZ", "/d", f"{width}x{height}", "/f")
    wine.restart_server()


@pytest.fixture(scope="module")
def runs(wine):
    """The probe's reports of the window and the prompt for each (DPI,
    language) of RUNS, with the screenshot paths of the 144-DPI runs."""
    status, out, _ = reg(wine, "query", DESKTOP_KEY, "/v", "LogPixels")
    before = out.decode(errors="replace").split()[-1] if status == 0 else None
    results = {}
    try:
        current = None
        for dpi, lang, change in PLAN:
            if dpi != current:
                set_dpi(wine, dpi)
                current = dpi
            for attempt in (1, 2):
                program = wine.start_program(fresh_copy(PROMPT_TEST, f"dpi{dpi}-lang{lang}"), f"-lang={lang}")
                appeared = wine.probe("wait-prompt", "30000")[0] == 0
                if appeared or attempt == 2:
                    break
                # Once in a while a program under Wine never gets to its
                # window; it is started once more, and the summary says so.
                code = program.wait_exit(0)
                warnings.warn(f"{dpi} DPI, -lang={lang}: no prompt within 30 s (the program "
                              f"{'still ran' if code is None else f'had ended with {code}'}); started once more")
                wine.end_programs()
            result = {"appeared": appeared}
            if result["appeared"]:
                time.sleep(1)  # let it paint
                if change:
                    result["sent"] = (wine.probe("dpichange", str(change))[0],
                                      wine.probe("prompt-dpichange", str(change))[0])
                    time.sleep(1)
                result["main"] = wine.report("main")
                result["prompt"] = wine.report("prompt")
                if dpi == SHOT_DPI and lang in SHOT_LANGUAGES:
                    wine.probe("prompt-cancel")
                    time.sleep(1)
                    shot = DEMO_DIR / f"window-{dpi}dpi-{SHOT_LANGUAGES[lang].lower()}.png"
                    _, _, width, height = result["main"]["main.rect"].split()
                    result["shot"] = shot if wine.screenshot(shot, width, height) else None
                    result["shot_size"] = (int(width), int(height))
            wine.probe("close")
            result["code"] = program.wait_exit(20)
            wine.end_programs()
            results[("change", lang) if change else (dpi, lang)] = result
    finally:
        set_dpi(wine, int(before, 16) if before else None)
    return results


def one(runs, dpi, lang):
    result = runs[(dpi, lang)]
    if not result["appeared"]:
        pytest.fail(f"no prompt within 30 s at {dpi} DPI, -lang={lang}")
    if "main" not in result or "prompt" not in result:
        pytest.fail(f"no report at {dpi} DPI, -lang={lang}")
    return result


@pytest.mark.parametrize("dpi,lang", RUNS)
def test_window_and_controls_scale_with_the_dpi(runs, dpi, lang):
    main = one(runs, dpi, lang)["main"]
    assert main["main.dpi"] == str(dpi), main["main.dpi"]
    size = tuple(int(v) for v in main["main.rect"].split()[2:])
    assert size == tuple(scaled(v, dpi) for v in WINDOW_96), main["main.rect"]
    got = [rect_of(line) for line in main.children("main")]
    want = [tuple(scaled(v, dpi) for v in place) for place in CONTROLS_96]
    assert got == want, main.children("main")


@pytest.mark.parametrize("dpi", DPIS[1:])
def test_restart_prompt_scales_with_the_dpi(runs, dpi):
    """The dialog manager lays the prompt out from dialog units, which follow
    the font: each length within 3 % (and 2 pixels) of the 96-DPI one times
    the scale."""
    base = one(runs, 96, 0)["prompt"]
    prompt = one(runs, dpi, 0)["prompt"]
    factor = dpi / 96
    pairs = [(a, b) for line96, line in zip(base.children("prompt"), prompt.children("prompt"))
             for a, b in zip(rect_of(line96), rect_of(line))]
    pairs += list(zip((int(v) for v in base["prompt.client"].split()),
                      (int(v) for v in prompt["prompt.client"].split())))
    off = [(a, b) for a, b in pairs if abs(b - a * factor) > max(2, 0.03 * a * factor)]
    assert len(pairs) == 18 and not off, (pairs, prompt.children("prompt"))


def test_dpi_change_takes_the_suggested_rectangle_and_rescales_font_and_controls(runs):
    """The window's controls take the 144-DPI layout, the window and the
    prompt the suggested rectangles (the 96-DPI size times 1.5), and the
    prompt's controls are where a prompt made at 144 DPI has them."""
    changed = one(runs, "change", 0)
    assert changed["sent"] == (0, 0), changed["sent"]
    main, prompt = changed["main"], changed["prompt"]
    size = tuple(int(v) for v in main["main.rect"].split()[2:])
    got = [rect_of(line) for line in main.children("main")]
    want = [tuple(scaled(v, CHANGE_TO) for v in place) for place in CONTROLS_96]
    assert (size, got) == (tuple(scaled(v, CHANGE_TO) for v in WINDOW_96), want), main.children("main")
    before = [int(v) for v in one(runs, 96, 0)["prompt"]["prompt.rect"].split()[2:]]
    assert [int(v) for v in prompt["prompt.rect"].split()[2:]] == [scaled(v, CHANGE_TO) for v in before], \
        prompt["prompt.rect"]
    fresh = one(runs, CHANGE_TO, 0)["prompt"]
    pairs = [(a, b) for line_fresh, line in zip(fresh.children("prompt"), prompt.children("prompt"))
             for a, b in zip(rect_of(line_fresh), rect_of(line))]
    off = [(a, b) for a, b in pairs if abs(b - a) > max(2, 0.03 * a)]
    assert len(pairs) == 16 and not off, (pairs, prompt.children("prompt"))


@pytest.mark.parametrize("dpi", DPIS)
def test_no_text_of_any_language_is_wider_than_its_control(wine, runs, dpi, tmp_path):
    main = one(runs, dpi, 0)["main"]
    prompt = one(runs, dpi, 0)["prompt"]
    rects = [rect_of(line) for line in main.children("main")]
    prompt_rects = {int(line.split("=id:")[1].split("|")[0]): rect_of(line)
                    for line in prompt.children("prompt")}
    every = [shown_messages(lang) for lang in MESSAGES]
    # (text, font height for CreateFont, room: width, height when wrapped at that width or None)
    checks = [(text, font_height(dpi), rects[1 + i][2], None) for i, text in enumerate(LABEL_TEXTS)]
    checks += [(m[n], font_height(dpi), rects[4][2], None) for m in every for n in (1, 12)]
    prompt_font = -((PROMPT_POINTS * dpi + 36) // 72)
    checks += [(m[14], prompt_font, prompt_rects[1][2], None) for m in every]
    checks += [(m[15], prompt_font, prompt_rects[2][2], None) for m in every]
    checks += [(m[13], prompt_font, prompt_rects[501][2], prompt_rects[501][3]) for m in every]
    too_wide = []
    for height in sorted({c[1] for c in checks}):
        group = [c for c in checks if c[1] == height]
        for width in sorted({c[2] for c in group}):
            lines = sorted({c[0] for c in group if c[2] == width})
            listing = tmp_path / f"texts-{height}-{width}.txt"
            listing.write_text("\n".join(lines) + "\n", encoding="utf-8")
            status, out = wine.probe("measure", str(height), str(width), windows_path(listing))
            values = {int(k.split(".")[1]): tuple(int(x) for x in v.split())
                      for k, _, v in (line.partition("=") for line in out.splitlines())
                      if k.startswith("extent.")}
            assert status == 0 and len(values) == len(lines), out
            for text, _, _, room_h in (c for c in group if c[2] == width):
                text_w, wrapped_h = values[lines.index(text)]
                if room_h is None and text_w > width:
                    too_wide.append(f"{text!r}: {text_w} > {width}")
                if room_h is not None and wrapped_h > room_h:
                    too_wide.append(f"{text!r}: {wrapped_h} high > {room_h}")
    assert not too_wide, sorted(set(too_wide))


@pytest.mark.parametrize("dpi,lang", RUNS)
def test_right_to_left_languages_are_mirrored(runs, dpi, lang):
    result = one(runs, dpi, lang)
    rtl = lang in RIGHT_TO_LEFT
    main_ex = int(result["main"]["main.exstyle"] or "0", 16)
    prompt_ex = int(result["prompt"]["prompt.exstyle"] or "0", 16)
    log_line = result["main"].child("main", 101)
    log_index = log_line.split("=")[0].split("child")[1]
    log_ex = int(result["main"][f"main.child{log_index}.exstyle"] or "0", 16)
    assert (bool(main_ex & WS_EX_LAYOUTRTL), bool(prompt_ex & WS_EX_LAYOUTRTL),
            bool(log_ex & WS_EX_RTLREADING)) == (rtl, rtl, rtl), \
        f"main {main_ex:08x}, prompt {prompt_ex:08x}, log view {log_ex:08x}"


@pytest.fixture(scope="module")
def glyphs(wine, tmp_path_factory):
    """Per line of every package language's messages: the probe's count of
    characters the tool's font lacks, with and without the fonts GDI links to it."""
    lines = sorted({text for lang in MESSAGES for text in shown_messages(lang).values()})
    listing = tmp_path_factory.mktemp("glyphs") / "messages.txt"
    listing.write_text("\n".join(lines) + "\n", encoding="utf-8")
    status, out = wine.probe("glyphs", windows_path(listing))
    values = dict(line.partition("=")[::2] for line in out.splitlines())
    assert status == 0 and values.get("glyphs.charset") == "1", out  # DEFAULT_CHARSET
    return {text: values.get(f"glyphs.{i}", "") for i, text in enumerate(lines)}, values


@pytest.mark.parametrize("lang", sorted(MESSAGES))
def test_every_glyph_of_the_language_is_in_the_font_or_a_linked_one(glyphs, lang):
    per_text, values = glyphs
    bad = {text: per_text[text] for text in shown_messages(lang).values()
           if not per_text[text].startswith("ok ") or " linked:0" not in per_text[text]}
    assert not bad, (values.get("glyphs.face"), values.get("glyphs.links"), bad)


@pytest.mark.parametrize("lang", sorted(SHOT_LANGUAGES))
def test_screenshot_at_144_dpi(runs, lang):
    result = one(runs, SHOT_DPI, lang)
    assert result.get("shot"), "no screenshot taken"
    size, colours = image_size_and_colours(result["shot"])
    assert size == result["shot_size"] == tuple(scaled(v, SHOT_DPI) for v in WINDOW_96) and colours > 8, \
        f"size {size}, {colours} colours"


@pytest.mark.parametrize("dpi,lang", RUNS)
def test_wm_close_ends_it_with_exit_code_1(runs, dpi, lang):
    assert one(runs, dpi, lang)["code"] == 1
