"""The same scenarios through tessel-sim (virtual time, stand-in Win32) and
through tessel-updater-sim.exe under Wine (real time, real Win32): the log
texts, result codes, exit code and result line agree, the times of the log
texts within the allowance of simrun.differences. The Wine runs go side by
side, each on a desktop of its own."""
import pytest

import simrun

NAMES = ["verified_interactive", "verified_silent", "checksum_failure", "keyboard_never_back",
         "user_never_detaches", "detach_delay", "keyboard_hangs", "system_requests", "vetoed_removal",
         "late_removal_notice", "bootloader_hangs", "second_keyboard", "result_log_locked",
         "result_log_read_only"]


@pytest.fixture(scope="module")
def runs(wine):
    folder = simrun.winetest.RUN_DIR / "sim" / "detach-delay-program"
    delay_program = simrun.detach_delay_program(folder)
    started = {}
    for name in NAMES:
        program = delay_program if name == "detach_delay" else simrun.SIM_EXE
        started[name] = (simrun.WineRun(wine.env, simrun.SCENARIOS / f"{name}.json", name, program), program)
    traces = {}
    for name, (run, program) in started.items():
        real = run.wait(200)
        virtual = simrun.tessel_sim(simrun.SCENARIOS / f"{name}.json",
                                    program if name == "detach_delay" else None)
        traces[name] = (virtual, real)
    return traces


@pytest.mark.parametrize("name", NAMES)
def test_traces_agree(runs, name):
    virtual, real = runs[name]
    assert real and real[-1]["ev"] == "summary", "the Wine run wrote no summary"
    assert simrun.differences(virtual, real) == []
