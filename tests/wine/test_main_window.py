"""The packaged program under Wine: its main window and controls as another
Windows process sees them, a second instance, a screenshot, and the end by
WM_CLOSE. The tests share one running program and run in this order."""
import time
from types import SimpleNamespace

import pytest

from winetest import DEMO_DIR, PACKAGED, TITLE, fresh_copy, image_size_and_colours


@pytest.fixture(scope="module")
def started(wine):
    program = wine.start_program(fresh_copy(PACKAGED, "packaged"))
    appeared = wine.probe("wait-main", "30000")[0] == 0
    if appeared:
        time.sleep(1)  # let it finish its start-up
    return SimpleNamespace(program=program, appeared=appeared)


@pytest.fixture(scope="module")
def info(wine, started):
    if not started.appeared:
        pytest.fail("the main window did not appear")
    return wine.report("main")


def test_main_window_appears(started):
    assert started.appeared, f'no window of class "{TITLE}" within 30 s'


def test_title(info):
    assert info["main.title"] == TITLE


def test_window_is_640_by_240_and_visible(info):
    assert info["main.rect"].split()[2:] == ["640", "240"], info["main.rect"]
    assert info["main.visible"] == "1"


def test_an_x_window_with_the_title_is_on_the_display(wine, info):
    assert wine.x_windows_titled(TITLE), "no visible X window named so"


def test_ws_ex_controlparent(info):
    assert int(info["main.exstyle"] or "0", 16) & 0x10000, info["main.exstyle"]


def test_seven_controls(info):
    assert info["main.children"] == "7", info.children("main")


@pytest.mark.parametrize("pattern", [
    pytest.param(r"^main\.child[0-9]+=id:0\|class:Static\|pos:20,20\|size:128,128\|style:5000000[3-9a-f]",
                 id="icon control at 20,20, 128 x 128"),
    pytest.param(rf"^main\.child[0-9]+=id:0\|class:Static\|pos:160,20\|size:250,15\|.*\|text:{TITLE}$",
                 id="title label"),
    pytest.param(r"^main\.child[0-9]+=id:0\|class:Static\|pos:160,40\|size:250,15\|.*"
                 r"\|text:Version =20171016_V0353_BTA23F$",
                 id="date label reads Version =20171016_V0353_BTA23F"),
    pytest.param(r"^main\.child[0-9]+=id:0\|class:Static\|pos:160,60\|size:250,15\|.*"
                 r"\|text:NXP = 0353, BT = A23F$",
                 id="version label reads NXP = 0353, BT = A23F"),
    pytest.param(r"^main\.child[0-9]+=id:100\|class:Button\|pos:420,20\|size:180,50\|style:5800000[0-9a-f]"
                 r"\|enabled:0\|visible:1\|text:Update$",
                 id="Update button: disabled, reads Update"),
    pytest.param(r"^main\.child[0-9]+=id:110\|class:msctls_progress32\|pos:160,170\|size:440,20"
                 r"\|style:40000000\|enabled:1\|visible:0\|",
                 id="progress bar: hidden"),
])
def test_control(info, pattern):
    assert info.has_line(pattern), info.children("main")


def test_log_view_multi_line_scrolling_editable_with_the_attach_message(info):
    line = info.child("main", 101)
    style = int(line.split("|style:")[1].split("|")[0], 16) if "|style:" in line else 0
    # The edit control may trade WS_BORDER for a client edge, as on Windows.
    assert style & 0x50200804 == 0x50200004, line
    assert info.has_line(
        r"^main\.child[0-9]+=id:101\|class:Edit\|pos:160,80\|size:440,80\|.*\|enabled:1\|visible:1"
        r"\|text:Please attach your keyboard and connect power adapter to your tablet\..*\.\.\.\|\|$"), line


@pytest.fixture(scope="module")
def second(wine, info):
    """A second instance, started while the first one shows its window."""
    program = wine.start_program(fresh_copy(PACKAGED, "second"))
    # No bound on how soon: a busy machine may take long to start it. It
    # must end by itself, without a window of its own (the next test).
    return SimpleNamespace(code=program.wait_exit(120))


def test_second_instance_exits_with_2(second):
    assert second.code == 2, f"exit code {second.code}"


def test_second_instance_leaves_one_main_window(wine, second):
    assert wine.report("main").text.count("main.hwnd=") == 1, \
        "second instance showed a window or touched the first"


def test_screenshot_of_the_main_window(wine, info):
    shot = DEMO_DIR / "main-window.png"
    _, _, width, height = info["main.rect"].split()
    assert wine.screenshot(shot, width, height), "no screenshot taken"
    size, colours = image_size_and_colours(shot)
    assert size == (640, 240) and colours > 8, f"size {size}, {colours} colours"


@pytest.fixture(scope="module")
def closed(wine, started, info):
    wine.probe("close")
    return started.program.wait_exit(20)


def test_wm_close_ends_the_tool_with_exit_code_1(closed):
    assert closed == 1, f"exit code {closed}"


def test_no_main_window_after_the_end(wine, closed):
    assert wine.probe("main")[0] != 0, "a window is still there"


def test_no_result_log_without_a_run(started, closed):
    folder = started.program.folder
    assert not (folder / "LogfileKarstDFU.txt").exists(), sorted(p.name for p in folder.iterdir())
