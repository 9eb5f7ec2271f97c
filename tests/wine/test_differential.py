"""The same scenarios through tessel-sim (virtual time, stand-in Win32) and
through tessel-updater-sim.exe under Wine (real time, real Win32): the log
texts, result codes, device events, the reports and DFU requests the
keyboard got, the exit code and the result line agree, and in both worlds the
tool kept every wait it must keep (simrun.differences). Times have no upper
bound: a busy machine makes a real run slower. The Wine runs go side by
side, each on a desktop of its own."""
import copy
import json

import pytest

import simrun
import traces

NAMES = ["verified_interactive", "verified_silent", "checksum_failure", "keyboard_never_back",
         "user_never_detaches", "detach_delay", "keyboard_hangs", "system_requests", "vetoed_removal",
         "late_removal_notice", "bootloader_hangs", "second_keyboard", "result_log_locked",
         "result_log_read_only"]
SILENT = [n for n in NAMES if "-silent" in json.loads((simrun.SCENARIOS / f"{n}.json").read_text()).get("args", "")]


@pytest.fixture(scope="module")
def runs(wine):
    folder = simrun.winetest.RUN_DIR / "sim" / "detach-delay-program"
    delay_program = simrun.detach_delay_program(folder)
    found = {}
    # A silent run ends by itself 45 s after its start, whatever it is doing
    # (TIMER_SILENT_EXIT_MS): the silent runs go first, by themselves, so
    # that the others' load does not stretch them past it.
    for batch in (SILENT, [n for n in NAMES if n not in SILENT]):
        started = {}
        for name in batch:
            program = delay_program if name == "detach_delay" else simrun.SIM_EXE
            started[name] = (simrun.WineRun(wine.env, simrun.SCENARIOS / f"{name}.json", name, program), program)
        for name, (run, program) in started.items():
            real = run.wait(200)
            virtual = simrun.tessel_sim(simrun.SCENARIOS / f"{name}.json",
                                        program if name == "detach_delay" else None)
            found[name] = (virtual, real)
    return found


@pytest.mark.parametrize("name", NAMES)
def test_traces_agree(runs, name):
    virtual, real = runs[name]
    assert traces.finished(real), "the Wine run wrote no summary"
    detach_ms = simrun.DETACH_DELAY_MS if name == "detach_delay" else simrun.PAUSE_AFTER_ENTER_DFU_MS
    assert simrun.differences(virtual, real, detach_ms) == []


def test_the_comparison_sees_a_changed_report_a_lost_request_and_a_short_wait():
    """Without Wine: tessel-sim's own trace against itself altered as a
    faulty tool would alter it."""
    virtual = simrun.tessel_sim(simrun.SCENARIOS / "verified_interactive.json")
    assert simrun.differences(virtual, virtual) == []
    names = sorted({w[0] for w in simrun.waits_kept(virtual)})
    assert names == ["a second of the count-down", "the first look for the keyboard",
                     "the look after an arrival", "the pause before the Bluetooth image",
                     "the pause before the finish handshake", "the wait for the boot loader"]

    def altered(change):
        trace = copy.deepcopy(virtual)
        change(trace)
        return " ".join(simrun.differences(virtual, trace))

    def byte_changed(trace):
        report = [r for r in trace if r["ev"] == "kb_out"][100]
        report["hex"] = report["hex"][:20] + ("0" if report["hex"][20] != "0" else "1") + report["hex"][21:]

    def request_lost(trace):
        trace.remove([r for r in trace if r["ev"] == "dfu" and r["req"] == "DNLOAD"][7])

    def boot_loader_wait_short(trace):
        # Everything from the first DFU request on comes 100 ms earlier.
        first = next(i for i, r in enumerate(trace) if r["ev"] == "dfu")
        for r in trace[first:]:
            r["t"] -= 100

    assert "reports to the keyboard (kb_out) differ from item 100" in altered(byte_changed)
    assert "DFU requests (dfu) differ" in altered(request_lost)
    assert "wine: the wait for the boot loader lasted 3900 ms" in altered(boot_loader_wait_short)
