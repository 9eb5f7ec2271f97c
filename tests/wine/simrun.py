"""Whole updates under Wine: tessel-updater-sim.exe (the tool with the
simulated keyboard behind its device calls) driven by a scenario in real
time, next to tessel-sim running the same scenario in virtual time.

Each Wine run has a virtual desktop of its own (explorer /desktop=NAME), so
that runs side by side do not see each other's window as a first instance.

By hand (from the project root, with Xvfb running and DISPLAY set, or through
scripts/wine-jitter.sh): python3 tests/wine/simrun.py SCENARIO.json [SEED]"""
import json
import os
import re
import shutil
import subprocess
import sys
import time
import warnings
from pathlib import Path

import winetest

ROOT = winetest.ROOT
SIM_EXE = winetest.WIN_BUILD / "tessel-updater-sim.exe"
SIM_BARE = winetest.WIN_BUILD / "tessel-updater-sim-bare.exe"
TESSEL_SIM = ROOT / "build" / "host" / "sim" / "tessel-sim"
TESSEL_PACK = ROOT / "build" / "host" / "tools" / "tessel-pack"
SAMPLE = ROOT / "build" / "host" / "sample"
SCENARIOS = Path(__file__).resolve().parent / "scenarios"

# The time between two log texts under Wine may differ from tessel-sim's
# virtual time between them by BASE_MS + SHARE of it + PER_REPORT_MS for every
# command report and PER_REQUEST_MS for every DFU request made in between:
# waits must agree, while every real transfer and its scheduling cost real
# time, more on a loaded machine (docs/wine-sim.md).
BASE_MS = 1000
SHARE = 0.10
PER_REPORT_MS = 10
PER_REQUEST_MS = 3

# Seconds a program has under Wine to write its first trace record.
STARTUP_S = 30

DATE = re.compile(r"\d{4}/\d\d/\d\d-\d\d:\d\d:\d\d")


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def detach_delay_program(folder):
    """The sample package with INI_DFU_DETACH_DELAY=2000, behind the sim exe."""
    ini = (ROOT / "sample-package" / "package.ini").read_bytes()
    ini = ini.replace(b"INI_DFU_DETACH_DELAY=0", b"INI_DFU_DETACH_DELAY=2000", 1)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "package.ini").write_bytes(ini)
    out = folder / "tessel-updater-sim.exe"
    subprocess.run([str(TESSEL_PACK), "build", "--exe", str(SIM_BARE), "--ini", str(folder / "package.ini"),
                    "--bt", str(SAMPLE / "bt.bin"), "--usb", str(SAMPLE / "usb.bin"), "-o", str(out)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out


def read_trace(path):
    records = []
    try:
        for line in Path(path).read_text(encoding="utf-8").splitlines():
            if line.strip():
                records.append(json.loads(line))
    except (OSError, ValueError):
        pass
    return records


class WineRun:
    """One scenario run by tessel-updater-sim.exe under Wine, in a folder of its own."""

    def __init__(self, env, scenario_file, name, program=SIM_EXE, seed=None):
        self.folder = winetest.RUN_DIR / "sim" / name
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir(parents=True)
        exe = self.folder / "tessel-updater-sim.exe"
        shutil.copy(program, exe)
        scenario = json.loads(Path(scenario_file).read_text())
        self.trace_file = self.folder / "trace.jsonl"
        run_env = dict(env, TESSEL_SIM_SCENARIO=windows_path(scenario_file),
                       TESSEL_SIM_TRACE=windows_path(self.trace_file))
        if seed is not None:
            run_env["TESSEL_SIM_SEED"] = str(seed)
        self.command = ["/usr/bin/time", "-f", "%e %U %S", "-o", str(self.folder / "time.txt"),
                        "wine", "explorer", f"/desktop=tessel-{name},800x400", str(exe),
                        *scenario.get("args", "").split()]
        self.env = run_env
        self.wall = None
        self.restarted = False
        self._launch()
        # One run at a time gets going: Wine starts programs one after the
        # other anyway. A run whose program never starts (it writes its first
        # trace record at once) is Wine's failure, not the tool's: it is
        # started once more, and says so.
        if not self._running_within(STARTUP_S):
            self._kill(exe)
            self.restarted = True
            warnings.warn(f"{name}: the program did not start under Wine within {STARTUP_S} s; "
                          "started again")
            self._launch()
            self._running_within(STARTUP_S)

    def _kill(self, exe):
        """Ends this run's launcher and whatever of it Wine did start."""
        self.process.kill()
        self.process.wait()
        names = (str(exe).encode(), windows_path(exe).encode())
        for proc in Path("/proc").iterdir():
            try:
                if proc.name.isdigit() and any(n in (proc / "cmdline").read_bytes() for n in names):
                    os.kill(int(proc.name), 9)
            except OSError:
                pass

    def _launch(self):
        self.trace_file.unlink(missing_ok=True)
        self.started = time.monotonic()
        self.process = subprocess.Popen(self.command, env=self.env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def _running_within(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if read_trace(self.trace_file):
                return True
            time.sleep(0.1)
        return False

    def wait(self, seconds):
        """The trace once the run has written its summary (or after SECONDS)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            records = read_trace(self.trace_file)
            if records and records[-1].get("ev") == "summary":
                self.wall = time.monotonic() - self.started
                break
            time.sleep(0.5)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass
        return read_trace(self.trace_file)

    def times(self):
        """(wall, user, system) seconds of the wine process, as /usr/bin/time saw them."""
        try:
            return tuple(float(v) for v in (self.folder / "time.txt").read_text().split()[-3:])
        except (OSError, ValueError):
            return None


def tessel_sim(scenario_file, program=None):
    command = [str(TESSEL_SIM), str(scenario_file)]
    if program:
        command[1:1] = ["--program", str(program)]
    out = subprocess.run(command, capture_output=True, text=True, timeout=120).stdout
    return [json.loads(line) for line in out.splitlines() if line.strip()]


def events(trace, ev):
    return [r for r in trace if r.get("ev") == ev]


def result_line(trace):
    summary = events(trace, "summary")
    log = summary[-1].get("result_log") if summary else None
    return DATE.sub("DATE", log) if log else log


def exit_code(trace):
    codes = [r["code"] for r in events(trace, "exit")]
    return codes[-1] if codes else None


def differences(virtual, real):
    """Every way the Wine trace differs from tessel-sim's: a list of texts."""
    found = []
    vlog = [r["text"] for r in events(virtual, "log")]
    rlog = [r["text"] for r in events(real, "log")]
    if vlog != rlog:
        found.append(f"log texts differ:\n  tessel-sim: {vlog}\n  wine:       {rlog}")
    vres = [r["value"] for r in events(virtual, "result")]
    rres = [r["value"] for r in events(real, "result")]
    if vres != rres:
        found.append(f"result codes differ: tessel-sim {vres}, wine {rres}")
    if exit_code(virtual) != exit_code(real):
        found.append(f"exit code differs: tessel-sim {exit_code(virtual)}, wine {exit_code(real)}")
    vfw = [(r["part"], r["what"], r.get("version")) for r in events(virtual, "firmware")]
    rfw = [(r["part"], r["what"], r.get("version")) for r in events(real, "firmware")]
    if vfw != rfw:
        found.append(f"the keyboard judged the images otherwise: tessel-sim {vfw}, wine {rfw}")
    vsleep = [r["what"] for r in events(virtual, "power") if r["what"] == "sleep_refused"]
    rsleep = [r["what"] for r in events(real, "power") if r["what"] == "sleep_refused"]
    if vsleep != rsleep:
        found.append(f"the system's own sleep was refused {len(vsleep)} times in tessel-sim, {len(rsleep)} under Wine")
    for r in events(real, "violation"):
        found.append(f"the tool broke a protocol rule under Wine: {r['rule']} ({r['detail']})")
    if result_line(virtual) != result_line(real):
        found.append(f"result line differs: tessel-sim {result_line(virtual)!r}, wine {result_line(real)!r}")
    if vlog == rlog:
        vt, rt = 0, 0
        for v, r in zip(events(virtual, "log"), events(real, "log")):
            reports = sum(1 for x in real if x["ev"] == "kb_out" and rt < x["t"] <= r["t"])
            requests = sum(1 for x in real if x["ev"] == "dfu" and rt < x["t"] <= r["t"])
            allowed = BASE_MS + SHARE * (v["t"] - vt) + PER_REPORT_MS * reports + PER_REQUEST_MS * requests
            if abs((r["t"] - rt) - (v["t"] - vt)) > allowed:
                found.append(f"log {v['text']!r}: {r['t'] - rt} ms after the one before under Wine, "
                             f"{v['t'] - vt} ms in tessel-sim (allowed difference {allowed:.0f} ms)")
            vt, rt = v["t"], r["t"]
    return found


def main(argv):
    scenario = Path(argv[1]).resolve()
    seed = int(argv[2]) if len(argv) > 2 else None
    env = dict(os.environ, WINEDEBUG="-all")
    run = WineRun(env, scenario, f"manual-{seed or 0}", seed=seed)
    trace = run.wait(300)
    print(f"exit code {exit_code(trace)}, result line {result_line(trace)!r}, "
          f"wall {run.wall and round(run.wall, 1)} s, time {run.times()}")
    return 0 if exit_code(trace) is not None else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
