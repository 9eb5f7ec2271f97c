"""The restart prompt under Wine, through the test variant of the program
that opens it at once: its look, a screenshot, Restart Later, and the end of
the program by WM_CLOSE afterwards. The tests run in this order."""
import time
from types import SimpleNamespace

import pytest

from winetest import DEMO_DIR, PROMPT_TEST, TITLE, fresh_copy, image_size_and_colours


@pytest.fixture(scope="module")
def started(wine):
    program = wine.start_program(fresh_copy(PROMPT_TEST, "prompt"))
    appeared = wine.probe("wait-prompt", "30000")[0] == 0
    if appeared:
        time.sleep(1)  # let it paint
    return SimpleNamespace(program=program, appeared=appeared)


@pytest.fixture(scope="module")
def prompt(wine, started):
    if not started.appeared:
        pytest.fail("the restart prompt did not appear")
    return wine.report("prompt")


def test_restart_prompt_appears(started):
    assert started.appeared, "no visible prompt within 30 s"


def test_caption_is_the_tools_title(prompt):
    assert prompt["prompt.title"] == TITLE


def test_popup_with_caption_system_menu_and_modal_frame(prompt):
    style = int(prompt["prompt.style"] or "0", 16)
    assert style & 0x80C80080 == 0x80C80080, prompt["prompt.style"]


def test_warning_icon_text_restart_later_left_restart_now_right(prompt):
    patterns = [
        r"^prompt\.child0=id:502\|class:Static\|",
        r"^prompt\.child1=id:501\|class:Static\|.*\|text:You must restart your computer to apply these "
        r"changes\. Before restarting, save any open files and close all programs\.$",
        r"^prompt\.child2=id:2\|class:Button\|.*\|text:Restart Later$",
        r"^prompt\.child3=id:1\|class:Button\|.*\|style:5[0-9a-f]{6}1\|.*\|text:Restart Now$",
    ]
    missing = [p for p in patterns if not prompt.has_line(p)]
    assert not missing, prompt.children("prompt")


def test_screenshot_of_the_prompt(wine, prompt):
    shot = DEMO_DIR / "restart-prompt.png"
    _, _, width, height = (int(v) for v in prompt["prompt.rect"].split())
    assert wine.screenshot(shot, width, height), "no screenshot taken"
    size, colours = image_size_and_colours(shot)
    assert size == (width, height) and 250 <= width <= 600 and 80 <= height <= 300 \
        and colours > 8, f"size {size} (window {width} x {height}), {colours} colours"


@pytest.fixture(scope="module")
def cancelled(wine, started, prompt):
    wine.probe("prompt-cancel")
    time.sleep(1)
    return wine.report("prompt")


def test_restart_later_closes_it_without_restarting(started, cancelled):
    assert cancelled["prompt.visible"] != "1", f'visible {cancelled["prompt.visible"]}'
    assert started.program.running(), "the program ended"


def test_wm_close_afterwards_ends_it_with_exit_code_1(wine, started, cancelled):
    wine.probe("close")
    code = started.program.wait_exit(20)
    assert code == 1, f"exit code {code}"
