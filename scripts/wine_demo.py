"""A whole update in the real window under Wine (tessel-updater-sim.exe, the
verified interactive scenario): screenshots of its stages into build/demo/
and an animated GIF of the whole update into docs/wine-update.gif.
Run by scripts/wine-demo.sh, which provides the display and the prefix."""
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests" / "wine"))
import simrun  # noqa: E402
import traces  # noqa: E402

DEMO = ROOT / "build" / "demo"
GIF = ROOT / "docs" / "wine-update.gif"
CONVERT = "/usr/bin/convert"
# The Wine desktop (scripts/wine-common.sh) sits at the top left of the display.
DESKTOP = "1024x600+0+0"
# The part of it the tool's window and its restart prompt take.
FRAME = "700x440+0+0"


TITLE = "Orvex Tessel Keyboard Firmware Updater"


def tool_windows():
    """(x, y, width, height, id) of the tool's visible X windows, largest first."""
    found = []
    ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", f"^{TITLE}$"],
                         capture_output=True, text=True).stdout.split()
    for wid in ids:
        geo = dict(line.split("=", 1) for line in subprocess.run(
            ["xdotool", "getwindowgeometry", "--shell", wid], capture_output=True, text=True).stdout.split())
        try:
            found.append((int(geo["X"]), int(geo["Y"]), int(geo["WIDTH"]), int(geo["HEIGHT"]), wid))
        except (KeyError, ValueError):
            pass
    return sorted(found, key=lambda w: -w[2] * w[3])


def grab(out, crop=DESKTOP):
    """The desktop, with the tool's windows taken one by one on top: Wine may
    give a dialog a visual of its own that a root capture shows black."""
    with tempfile.TemporaryDirectory() as tmp:
        base = Path(tmp) / "root.png"
        xwd = subprocess.run(["xwd", "-root", "-silent"], capture_output=True).stdout
        subprocess.run([CONVERT, "xwd:-", str(base)], input=xwd, check=True)
        layers = []
        for n, (x, y, w, h, wid) in enumerate(tool_windows()):
            shot = Path(tmp) / f"w{n}.png"
            data = subprocess.run(["xwd", "-id", wid, "-silent"], capture_output=True).stdout
            if subprocess.run([CONVERT, "xwd:-", str(shot)], input=data).returncode == 0:
                layers += [str(shot), "-geometry", f"+{x}+{y}", "-composite"]
        subprocess.run([CONVERT, str(base), *layers, "-crop", crop, "+repage", str(out)], check=True)


def main():
    DEMO.mkdir(parents=True, exist_ok=True)
    frames = Path(tempfile.mkdtemp(prefix="tessel-gif-"))
    env = dict(os.environ)
    folder = simrun.winetest.RUN_DIR / "sim" / "demo"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    exe = folder / "tessel-updater-sim.exe"
    shutil.copy(simrun.SIM_EXE, exe)
    trace_file = folder / "trace.jsonl"
    env.update(TESSEL_SIM_SCENARIO=simrun.windows_path(simrun.SCENARIOS / "verified_interactive.json"),
               TESSEL_SIM_TRACE=simrun.windows_path(trace_file))
    process = subprocess.Popen(["wine", str(exe)], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Stage screenshots, each taken once its moment in the trace has come.
    stages = [
        ("wine-1-attach.png", lambda t: any(r["ev"] == "button" and r["enabled"] for r in t)),
        ("wine-2-bluetooth.png", lambda t: any(r["ev"] == "progress" and 20 <= r["pos"] < 49 for r in t)),
        ("wine-3-dfu.png", lambda t: any(r["ev"] == "progress" and 60 <= r["pos"] < 80 for r in t)),
        ("wine-4-countdown.png", lambda t: any(r["ev"] == "log" and r["text"] == " 19" for r in t)),
        ("wine-5-verified.png", lambda t: any(r["ev"] == "prompt" and r["open"] for r in t)),
    ]
    n = 0
    deadline = time.monotonic() + 180
    while process.poll() is None and time.monotonic() < deadline:
        trace = traces.read(trace_file)
        if stages and stages[0][1](trace):
            time.sleep(0.3)  # let it paint
            grab(DEMO / stages[0][0])
            print(f"wine-demo: build/demo/{stages[0][0]}")
            stages.pop(0)
        grab(frames / f"f{n:04d}.png", FRAME)
        n += 1
        time.sleep(0.4)
    process.wait(timeout=60)
    trace = traces.read(trace_file)
    print(f"wine-demo: exit code {traces.exit_code(trace)}, result line {traces.result_line(trace)!r}")
    # Every frame half a second, the last one two seconds; few colours, then gifsicle.
    pngs = sorted(frames.glob("f*.png"))
    raw = frames / "raw.gif"
    subprocess.run([CONVERT, "-delay", "50", *map(str, pngs[:-1]), "-delay", "200", str(pngs[-1]),
                    "-resize", "560x", "-colors", "32", "-layers", "Optimize", str(raw)], check=True)
    subprocess.run(["gifsicle", "-O3", "--colors", "32", "--lossy=30", str(raw), "-o", str(GIF)], check=False)
    if not GIF.exists() or GIF.stat().st_size == 0:
        subprocess.run(["gifsicle", "-O3", "--colors", "32", str(raw), "-o", str(GIF)], check=True)
    shutil.rmtree(frames, ignore_errors=True)
    print(f"wine-demo: docs/{GIF.name} ({GIF.stat().st_size // 1024} KB, {len(pngs)} frames)")
    return 0 if traces.exit_code(trace) == 0 and not stages else 1


if __name__ == "__main__":
    sys.exit(main())
