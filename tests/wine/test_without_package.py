"""The program without package under Wine: an empty window that WM_CLOSE
ends, and a silent start that ends by itself with one result line."""
import re
from types import SimpleNamespace

import pytest

from winetest import BARE, fresh_copy


@pytest.fixture(scope="module")
def windowed(wine):
    program = wine.start_program(fresh_copy(BARE, "bare"))
    appeared = wine.probe("wait-main", "30000")[0] == 0
    return SimpleNamespace(program=program, appeared=appeared)


def test_main_window_appears(windowed):
    assert windowed.appeared, "none within 30 s"


def test_the_window_shows_no_controls(wine, windowed):
    if not windowed.appeared:
        pytest.fail("the main window did not appear")
    info = wine.report("main")
    assert info["main.children"] == "0" and info["main.visible"] == "1", \
        f'{info["main.children"]} children, visible {info["main.visible"]}'


def test_wm_close_ends_the_tool_with_exit_code_1(wine, windowed):
    if not windowed.appeared:
        pytest.fail("the main window did not appear")
    wine.probe("close")
    code = windowed.program.wait_exit(20)
    assert code == 1, f"exit code {code}"


@pytest.fixture(scope="module")
def silent(wine):
    # Alone: another instance would make it end with exit code 2.
    wine.end_programs()
    program = wine.start_program(fresh_copy(BARE, "silent-bare"), "-silent")
    return SimpleNamespace(program=program, code=program.wait_exit(20))


def test_silent_ends_by_itself_with_exit_code_1(silent):
    assert silent.code == 1, f"exit code {silent.code}"


def test_silent_writes_one_result_line_ng_error_1(silent):
    log = silent.program.folder / "LogfileKarstDFU.txt"
    assert log.exists(), "no log file"
    data = log.read_bytes()
    assert re.fullmatch(rb"NG: \d{4}/\d{2}/\d{2}-\d{2}:\d{2}:\d{2} error=1\r\n", data), data
