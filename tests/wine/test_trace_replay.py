"""The support trace of real runs under Wine (real threads, real time),
replayed in tessel-sim as the devices: the replay ends with the same result,
log texts and result line. Four runs of tessel-updater-sim.exe with
-trace= (verified, checksum failure, a slow boot loader, a keyboard that
never comes back), side by side, and the release program with -silent and
no keyboard at all."""
import json
import subprocess

import pytest

import simrun
import traces
import winetest

CASES = {
    "verified_silent": simrun.SCENARIOS / "verified_silent.json",
    "checksum_failure": simrun.SCENARIOS / "checksum_failure.json",
    "keyboard_never_back": simrun.SCENARIOS / "keyboard_never_back.json",
    "slow_boot_loader": None,  # written below
}
SLOW_BOOT_LOADER = {"args": "-silent", "keyboard": {"bootloader": {"poll_ms": 20, "busy_polls": 1}}}


def with_trace(scenario, record):
    """The scenario with -trace= after the tool's first argument, or as the first."""
    scenario = dict(scenario)
    first = scenario.get("args", "")
    scenario["args"] = f"{first} -trace={simrun.windows_path(record)}".strip()
    return scenario


def replay(record, scenario_file):
    command = [str(simrun.TESSEL_SIM), "--device-replay", str(record), str(scenario_file)]
    done = subprocess.run(command, capture_output=True, text=True, timeout=120)
    return done.returncode, traces.parse(done.stdout), done.stderr


@pytest.fixture(scope="module")
def release(wine):
    """The release program, -silent, no keyboard: started first, it runs beside the others."""
    program = winetest.fresh_copy(winetest.PACKAGED, "trace-release")
    record = program.parent / "silent.jsonl"
    process = subprocess.Popen(["wine", str(program), "-silent", f"-trace={simrun.windows_path(record)}"],
                               env=wine.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    return process, record


@pytest.fixture(scope="module")
def runs(wine, release):
    folder = winetest.RUN_DIR / "trace-replay"
    folder.mkdir(parents=True, exist_ok=True)
    started = {}
    for name, source in CASES.items():
        scenario = json.loads(source.read_text()) if source else SLOW_BOOT_LOADER
        record = folder / f"{name}.jsonl"
        record.unlink(missing_ok=True)
        scenario_file = folder / f"{name}.json"
        scenario_file.write_text(json.dumps(with_trace(scenario, record)))
        started[name] = (simrun.WineRun(wine.env, scenario_file, f"trace-{name}"), record, scenario_file)
    return {name: (run.wait(200), record, scenario_file) for name, (run, record, scenario_file) in started.items()}


@pytest.mark.parametrize("name", list(CASES))
def test_replay_of_a_wine_recording_ends_alike(runs, name):
    real, record, scenario_file = runs[name]
    assert traces.finished(real), "the Wine run wrote no summary"
    assert record.is_file(), "the tool wrote no trace"
    status, replayed, error = replay(record, scenario_file)
    assert status == traces.exit_code(real), error
    assert simrun.log_texts(replayed) == simrun.log_texts(real)
    assert traces.result_line(replayed) == traces.result_line(real)


def test_release_program_traces_a_silent_run_without_keyboard(runs, release):
    process, record = release
    assert process.wait(timeout=200) == 4
    folder = record.parent
    recorded = traces.read(record)
    assert [r["name"] for r in recorded if r["ev"] == "cause"][:1] == ["bootloader_not_found"]
    folder.mkdir(parents=True, exist_ok=True)
    scenario_file = folder / "silent.json"
    scenario_file.write_text(json.dumps({"args": "-silent"}))
    code, replayed, error = replay(record, scenario_file)
    assert code == 4, error
    assert simrun.log_texts(replayed) == [r["text"] for r in recorded if r["ev"] == "log"]
