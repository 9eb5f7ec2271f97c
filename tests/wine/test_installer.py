"""The release as an installer and an IT department meet it, under Wine with
the simulated keyboard behind the tool's device calls:

- the NSIS installer installs the packaged tool with its read-me, runs it
  silently, waits, reports its exit code in words and keeps the result log,
  for a verified update, a keyboard already up to date, no keyboard at all
  and a Bluetooth checksum failure;
- a signed program updates the keyboard exactly as the unsigned one does:
  the same DFU blocks, the same result."""
import json
import shutil
import subprocess
import time

import pytest

import simrun

ROOT = simrun.ROOT
NSI = ROOT / "installer" / "tessel-updater-setup.nsi"
README = ROOT / "sample-package" / "readme.mht"

CASES = {
    "verified": ({"keyboard": {}}, 0, "updated and verified"),
    "up_to_date": ({"keyboard": {"nxp": 0x0353}}, 1, "No update was needed"),
    "no_keyboard": ({}, 4, "The USB firmware was not installed"),
    "checksum_failure": ({"keyboard": {"checksum": "wrong"}}, 2, "Bluetooth firmware was not confirmed"),
}


def run_installer(env, folder, setup, name, scenario):
    scenario_file = folder / f"{name}.json"
    scenario_file.write_text(json.dumps(dict(scenario, args="-silent")))
    install_dir = f"C:\\tessel-{name}"
    run_env = dict(env, TESSEL_SIM_SCENARIO=simrun.windows_path(scenario_file),
                   TESSEL_SIM_TRACE=simrun.windows_path(folder / f"{name}.trace.jsonl"))
    process = subprocess.Popen(
        ["wine", "explorer", f"/desktop=setup-{name},800x400", str(setup), "/S", f"/D={install_dir}"],
        env=run_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return process, env["WINEPREFIX"] + f"/drive_c/tessel-{name}"


@pytest.fixture(scope="module")
def installed(wine):
    if shutil.which("makensis") is None:
        pytest.skip("not installed: makensis")
    folder = simrun.winetest.RUN_DIR / "installer"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    setup = folder / "tessel-updater-setup.exe"
    subprocess.run(["makensis", "-V2", f"-DPROGRAM={simrun.SIM_EXE}", f"-DREADME={README}",
                    f"-DOUTFILE={setup}", str(NSI)], check=True, stdout=subprocess.DEVNULL)
    runs = {name: run_installer(wine.env, folder, setup, name, scenario)
            for name, (scenario, _, _) in CASES.items()}
    results = {}
    deadline = time.monotonic() + 150
    for name, (process, install_dir) in runs.items():
        result = simrun.Path(install_dir) / "update-result.txt"
        while not result.is_file() and time.monotonic() < deadline:
            time.sleep(0.5)
        try:
            process.wait(timeout=max(1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            process.kill()
        results[name] = simrun.Path(install_dir)
    return results


@pytest.mark.parametrize("name", list(CASES))
def test_installer_reports_the_exit_code_in_words_and_keeps_the_log(installed, name):
    _, code, words = CASES[name]
    folder = installed[name]
    result = folder / "update-result.txt"
    assert result.is_file(), "the installer wrote no result"
    lines = result.read_bytes().decode("ascii", errors="replace").splitlines()
    assert lines[0].strip() == str(code)
    assert words in lines[1]
    assert (folder / "tessel-updater.exe").is_file() and (folder / "readme.mht").is_file()
    log = folder / "LogfileKarstDFU.txt"
    if name == "up_to_date":
        assert not log.exists(), "a keyboard already up to date gets no result line"
    else:
        text = log.read_bytes().decode("ascii")
        assert text.startswith("OK: " if code == 0 else "NG: ") and text.endswith(f" error={code}\r\n")


def dnload_blocks(trace):
    return [(r["value"], r["length"]) for r in trace if r.get("ev") == "dfu" and r.get("req") == "DNLOAD"]


def test_a_signed_program_updates_the_keyboard_as_the_unsigned_one(wine):
    folder = simrun.winetest.RUN_DIR / "signed"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-sha256",
                    "-subj", "/CN=tessel-updater test", "-addext", "extendedKeyUsage=codeSigning",
                    "-keyout", str(folder / "key.pem"), "-out", str(folder / "cert.pem")],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    signed = folder / "tessel-updater-sim-signed.exe"
    subprocess.run([str(simrun.TESSEL_PACK), "sign", str(simrun.SIM_EXE), "--cert", str(folder / "cert.pem"),
                    "--key", str(folder / "key.pem"), "-o", str(signed)], check=True, stdout=subprocess.DEVNULL)
    (folder / "key.pem").unlink()
    assert signed.stat().st_size > simrun.SIM_EXE.stat().st_size

    scenario = simrun.SCENARIOS / "verified_silent.json"
    unsigned_run = simrun.WineRun(wine.env, scenario, "unsigned")
    signed_run = simrun.WineRun(wine.env, scenario, "signed", program=signed)
    unsigned_trace = unsigned_run.wait(120)
    signed_trace = signed_run.wait(120)
    assert signed_trace and signed_trace[-1]["ev"] == "summary"
    blocks = dnload_blocks(unsigned_trace)
    assert len(blocks) == 641  # 640 blocks of 64 bytes and the final request
    assert dnload_blocks(signed_trace) == blocks
    assert signed_trace[-1]["exit_code"] == unsigned_trace[-1]["exit_code"] == 0
