"""Whole updates under Wine: tessel-updater-sim.exe (the tool with the
simulated keyboard behind its device calls) driven by a scenario in real
time, next to tessel-sim running the same scenario in virtual time.

Each Wine run has a virtual desktop of its own (explorer /desktop=NAME), so
that runs side by side do not see each other's window as a first instance.

By hand (from the project root, with Xvfb running and DISPLAY set, or through
scripts/wine-jitter.sh): python3 tests/wine/simrun.py SCENARIO.json [SEED]"""
import json
import os
import shutil
import subprocess
import sys
import time
import warnings
from pathlib import Path

import traces
import winetest
from traces import events, exit_code, result_line

ROOT = winetest.ROOT
SIM_EXE = winetest.WIN_BUILD / "tessel-updater-sim.exe"
SIM_BARE = winetest.WIN_BUILD / "tessel-updater-sim-bare.exe"
TESSEL_SIM = ROOT / "build" / "host" / "sim" / "tessel-sim"
TESSEL_PACK = ROOT / "build" / "host" / "tools" / "tessel-pack"
SAMPLE = ROOT / "build" / "host" / "sample"
SCENARIOS = Path(__file__).resolve().parent / "scenarios"

# Seconds a program has under Wine to write its first trace record.
STARTUP_S = 30


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


# The detach_delay_program's INI_DFU_DETACH_DELAY: its wait after DFU_DETACH.
DETACH_DELAY_MS = 2000


def detach_delay_program(folder):
    """The sample package with INI_DFU_DETACH_DELAY=DETACH_DELAY_MS, behind the sim exe."""
    ini = (ROOT / "sample-package" / "package.ini").read_bytes()
    assert b"INI_DFU_DETACH_DELAY=0" in ini
    ini = ini.replace(b"INI_DFU_DETACH_DELAY=0", b"INI_DFU_DETACH_DELAY=%d" % DETACH_DELAY_MS, 1)
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "package.ini").write_bytes(ini)
    out = folder / "tessel-updater-sim.exe"
    subprocess.run([str(TESSEL_PACK), "build", "--exe", str(SIM_BARE), "--ini", str(folder / "package.ini"),
                    "--bt", str(SAMPLE / "bt.bin"), "--usb", str(SAMPLE / "usb.bin"), "-o", str(out)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return out


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
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        preexec_fn=winetest.raise_priority)

    def _running_within(self, seconds):
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if traces.read(self.trace_file):
                return True
            time.sleep(0.1)
        return False

    def wait(self, seconds):
        """The trace once the run has written its summary (or after SECONDS)."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            if traces.finished(traces.read(self.trace_file)):
                self.wall = time.monotonic() - self.started
                break
            time.sleep(0.5)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            pass
        return traces.read(self.trace_file)

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
    return traces.parse(subprocess.run(command, capture_output=True, text=True, timeout=120).stdout)


# The waits the tool must keep, each at least this long in both worlds
# (src/app, src/dfu): a name, where the wait starts and where it has ended
# (see waits_kept), its least length in milliseconds and the number of timer
# waits it is made of. Under Wine each timer wait may end up to 1 ms early
# against the trace's clock (both count whole milliseconds), and so may the
# interval itself: the least length allows that much. Upper bounds are not
# checked: real transfers and their scheduling cost real time, more on a
# busy machine.
PROBE_START_MS = 250        # TIMER_PROBE_START_MS: the first look for the keyboard
PROBE_ARRIVAL_MS = 4000     # TIMER_PROBE_ARRIVAL_MS: the look again after an arrival
PAUSE_BEFORE_TRANSFER_MS = 1000  # kPauseBeforeTransferMs: readiness to the Bluetooth image
PAUSE_AFTER_ENTER_DFU_MS = 4000  # kPauseAfterEnterDfuMs: the switch to the boot loader
PAUSE_BEFORE_FINISH_MS = 5000    # kPauseBeforeFinishMs: the keyboard back to the finish handshake
COUNTDOWN_STEP_MS = 1000    # one second of the count-down, in ten waits of 100 ms
AFTER_COUNTDOWN_MS = 8000   # kAfterCountdownWaits: 80 waits of 100 ms after the count-down
KEYBOARD_BACK_MS = 30000    # kKeyboardBackWaits: 300 waits of 100 ms for the keyboard to return

BLUETOOTH_LOG = "Updating Bluetooth firmware ..."
DETACH_LOG = "\r\nDFU DETACH ..."
FAILED_LOG = "Keyboard firmware update fail"
FINISH_REPORT = "060B"


def keyboard(record):
    return record.get("kb", 1)


def is_log(record, text=None):
    return record["ev"] == "log" and (text is None or record["text"].startswith(text))


def is_arrival(record):
    return record["ev"] == "device" and record.get("what") == "keyboard_attached"


def waits_kept(trace, detach_ms=PAUSE_AFTER_ENTER_DFU_MS):
    """The mandated waits found in a trace: (name, start t, end t, least ms,
    timer waits) for each, in the order they ended. detach_ms: the program's
    wait after the switch to the boot loader (INI_DFU_DETACH_DELAY when the
    package has one, which the DFU procedure waits itself)."""
    found = []

    def last_before(i, match):
        return next((trace[j] for j in range(i - 1, -1, -1) if match(trace[j])), None)

    def first_after(i, match):
        return next((trace[j] for j in range(i + 1, len(trace)) if match(trace[j])), None)

    start = trace[0] if trace and trace[0]["ev"] == "start" else None
    first_report = first_after(0, lambda r: r["ev"] == "kb_out") if start else None
    if first_report:
        found.append(("the first look for the keyboard", start["t"], first_report["t"], PROBE_START_MS, 1))
    for i, r in enumerate(trace):
        if is_arrival(r):
            # Nothing goes to a keyboard that has just arrived before the
            # probe has opened it anew.
            report = first_after(i, lambda x: x["ev"] == "kb_out" and keyboard(x) == keyboard(r))
            if report:
                found.append(("the look after an arrival", r["t"], report["t"], PROBE_ARRIVAL_MS, 1))
        elif is_log(r, BLUETOOTH_LOG):
            ready = last_before(i, lambda x: x["ev"] == "kb_in" and keyboard(x) == 1)
            if ready:
                found.append(("the pause before the Bluetooth image", ready["t"], r["t"],
                              PAUSE_BEFORE_TRANSFER_MS, 1))
        elif is_log(r, DETACH_LOG):
            request = first_after(i, lambda x: x["ev"] == "dfu" and keyboard(x) == 1)
            if request:
                found.append(("the wait for the boot loader", r["t"], request["t"], detach_ms, 1))
        elif is_log(r) and r["text"].strip().isdigit() and r["text"].startswith(" "):
            step = first_after(i, lambda x: is_log(x) and x["text"].strip() == str(int(r["text"]) - 1))
            if step:
                found.append(("a second of the count-down", r["t"], step["t"], COUNTDOWN_STEP_MS, 10))
            failed = first_after(i, lambda x: is_log(x, FAILED_LOG) or is_arrival(x))
            if r["text"] == " 1" and failed and is_log(failed):
                found.append(("the count-down's last second and the wait after it", r["t"], failed["t"],
                              COUNTDOWN_STEP_MS + AFTER_COUNTDOWN_MS, 90))
        elif r["ev"] == "kb_out" and r["hex"].startswith(FINISH_REPORT) and keyboard(r) == 1:
            before = last_before(i, lambda x: x["ev"] == "kb_out" and keyboard(x) == 1)
            if before and before["hex"].startswith(FINISH_REPORT):
                continue  # a finish command after the first one
            arrival = last_before(i, lambda x: is_arrival(x) and keyboard(x) == 1)
            download = last_before(i, lambda x: x["ev"] == "dfu" and keyboard(x) == 1)
            if arrival and download and arrival["t"] >= download["t"]:
                found.append(("the pause before the finish handshake", arrival["t"], r["t"],
                              PROBE_ARRIVAL_MS + PAUSE_BEFORE_FINISH_MS, 2))
        elif is_log(r, FAILED_LOG):
            download = last_before(i, lambda x: x["ev"] == "dfu" and keyboard(x) == 1)
            arrival = last_before(i, lambda x: is_arrival(x) and keyboard(x) == 1)
            if download and not (arrival and arrival["t"] > download["t"]):
                found.append(("the wait for the keyboard to return", download["t"], r["t"],
                              KEYBOARD_BACK_MS, 300))
    return found


def is_countdown(text):
    return text.startswith(" ") and text[1:].isdigit()


def log_texts(trace):
    """The log texts, each run of count-down seconds (" 20", " 19", ...) as
    one COUNTDOWN: how many seconds the tool shows before the keyboard leaves
    depends on when the user's or the device's real-time action lands among
    the tool's waits, which a busy machine stretches (their lengths are
    checked by waits_kept, their order by countdown_faults)."""
    texts = []
    for r in events(trace, "log"):
        if is_countdown(r["text"]):
            if not texts or texts[-1] != "COUNTDOWN":
                texts.append("COUNTDOWN")
        else:
            texts.append(r["text"])
    return texts


def countdown_faults(trace):
    """Each run of count-down seconds starts at 20 and goes down."""
    faults, run = [], []
    for r in events(trace, "log") + [{"text": ""}]:
        if is_countdown(r["text"]):
            run.append(int(r["text"]))
            continue
        if run and (run[0] != 20 or any(a <= b for a, b in zip(run, run[1:]))):
            faults.append(f"a count-down that is no count-down from 20: {run}")
        run = []
    return faults


def device_traffic(trace):
    """What went to the keyboards: the report bytes (kb_out) and the DFU
    requests (dfu), each with its keyboard, in their order."""
    reports = [(keyboard(r), r["hex"]) for r in events(trace, "kb_out")]
    requests = [(keyboard(r), r["req"], r["value"], r["length"], r.get("ok", True))
                for r in events(trace, "dfu")]
    return reports, requests


def first_difference(a, b):
    """Where two sequences part: (index, a's item, b's item), None at the end of one."""
    for i in range(max(len(a), len(b))):
        x = a[i] if i < len(a) else None
        y = b[i] if i < len(b) else None
        if x != y:
            return i, x, y
    return None


def differences(virtual, real, detach_ms=PAUSE_AFTER_ENTER_DFU_MS):
    """Every way the Wine trace differs from tessel-sim's: a list of texts.
    Order and content are compared, the count-down's length aside
    (log_texts); times only against the waits the tool must keep
    (waits_kept), in both traces."""
    found = []
    compared = [
        ("log texts", log_texts),
        ("result codes", lambda t: [r["value"] for r in events(t, "result")]),
        ("the keyboard's verdicts on the images",
         lambda t: [(keyboard(r), r["part"], r["what"], r.get("version")) for r in events(t, "firmware")]),
        ("device events", lambda t: [(keyboard(r), r["what"]) for r in events(t, "device")]),
        ("reports to the keyboard (kb_out)", lambda t: device_traffic(t)[0]),
        ("DFU requests (dfu)", lambda t: device_traffic(t)[1]),
        ("refused sleeps", lambda t: [r["what"] for r in events(t, "power") if r["what"] == "sleep_refused"]),
    ]
    for what, of in compared:
        where = first_difference(of(virtual), of(real))
        if where:
            i, v, r = where
            found.append(f"{what} differ from item {i} on ({len(of(virtual))} in tessel-sim, "
                         f"{len(of(real))} under Wine): tessel-sim {v!r}, wine {r!r}")
    if exit_code(virtual) != exit_code(real):
        found.append(f"exit code differs: tessel-sim {exit_code(virtual)}, wine {exit_code(real)}")
    if result_line(virtual) != result_line(real):
        found.append(f"result line differs: tessel-sim {result_line(virtual)!r}, wine {result_line(real)!r}")
    for world, trace in (("tessel-sim", virtual), ("wine", real)):
        found += [f"{world}: {fault}" for fault in countdown_faults(trace)]
    for r in events(real, "violation"):
        found.append(f"the tool broke a protocol rule under Wine: {r['rule']} ({r['detail']})")
    vwaits, rwaits = waits_kept(virtual, detach_ms), waits_kept(real, detach_ms)
    if {w[0] for w in vwaits} != {w[0] for w in rwaits}:
        found.append(f"the waits found differ: tessel-sim {sorted({w[0] for w in vwaits})}, "
                     f"wine {sorted({w[0] for w in rwaits})}")
    for world, waits, slack in (("tessel-sim", vwaits, 0), ("wine", rwaits, 1)):
        for name, begin, end, least, timers in waits:
            if end - begin < least - slack * (timers + 1):
                found.append(f"{world}: {name} lasted {end - begin} ms from t={begin}, "
                             f"less than the {least} ms the tool must wait")
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
