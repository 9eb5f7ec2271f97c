"""Runs the Windows build of tessel-updater under Wine on a private Xvfb
display, for the tests in this folder. The Wine prefix itself (made once in
build/wine-prefix) and the window screenshots come from scripts/wine-common.sh,
which the other Wine scripts share."""
import os
import re
import select
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
WIN_BUILD = ROOT / "build" / "windows"
DEMO_DIR = ROOT / "build" / "demo"
# A chain of tests that runs beside the others has its own run folder (and
# its own prefix: TESSEL_WINE_PREFIX, read by scripts/wine-common.sh).
RUN_DIR = Path(os.environ.get("TESSEL_WINE_RUN_DIR", ROOT / "build" / "wine-run"))
COMMON = ROOT / "scripts" / "wine-common.sh"
TITLE = "Orvex Tessel Keyboard Firmware Updater"

PACKAGED = WIN_BUILD / "tessel-updater.exe"
BARE = WIN_BUILD / "tessel-updater-bare.exe"
PROMPT_TEST = WIN_BUILD / "wine-test" / "tessel-updater-prompt-test.exe"
PROBE = WIN_BUILD / "wine-test" / "wine-probe.exe"
PROGRAMS = (PACKAGED, BARE, PROMPT_TEST, PROBE)

# The Wine server and the simulated updates run this much above normal
# priority where the user may raise it (root): the tool has real-time limits
# of its own (a silent run ends 45 s after its start, a report not taken
# within 1 s counts as refused), which other work on a busy machine would
# otherwise push a run past. Elsewhere they run at normal priority.
PRIORITY = -10


def raise_priority(pid=0, group=False):
    """Raises a process (0: this one) to PRIORITY where allowed; with group,
    also the scheduling group of its session (the Wine server is a daemon,
    in a session of its own, which otherwise shares the processors equally
    with every other session however busy they are)."""
    try:
        os.setpriority(os.PRIO_PROCESS, pid, PRIORITY)
        if group:
            Path(f"/proc/{pid}/autogroup").write_text(str(PRIORITY))
    except OSError:
        pass


# The real ImageMagick: /usr/local/bin may hold a stand-in.
CONVERT = "/usr/bin/convert"
IDENTIFY = "/usr/bin/identify"


def run(command, env, timeout):
    """Runs a command; (exit status, output, error output). The outputs go
    through files, not pipes: a wineserver that a wine command starts keeps
    its inherited descriptors open long after the command has ended."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run(command, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=err, timeout=timeout).returncode
        out.seek(0)
        err.seek(0)
        return status, out.read(), err.read()


def fresh_copy(source, name):
    """A copy of a program in a scratch folder of its own, where it writes its
    result log."""
    folder = RUN_DIR / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    exe = folder / "tessel-updater.exe"
    shutil.copy(source, exe)
    return exe


class Report:
    """The probe's "key=value" lines about one window and its controls."""

    def __init__(self, text):
        self.text = text
        self.values = {}
        for line in text.splitlines():
            key, sep, value = line.partition("=")
            if sep:
                self.values.setdefault(key, value)

    def __getitem__(self, key):
        return self.values.get(key, "")

    def has_line(self, pattern):
        """Whether one line matches the regular expression (^ and $ per line)."""
        return re.search(pattern, self.text, re.M) is not None

    def children(self, prefix):
        return [line for line in self.text.splitlines()
                if re.match(rf"{prefix}\.child[0-9]+=", line)]

    def child(self, prefix, control_id):
        return next((line for line in self.children(prefix)
                     if re.match(rf"{prefix}\.child[0-9]+=id:{control_id}\|", line)), "")


class Program:
    """A Windows program started under Wine; wine's exit code is the program's."""

    def __init__(self, exe, args, env):
        self.exe = exe
        self.folder = exe.parent
        self.process = subprocess.Popen(["wine", str(exe), *args], env=env,
                                        stdin=subprocess.DEVNULL,
                                        stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

    def running(self):
        return self.process.poll() is None

    def wait_exit(self, seconds):
        """The exit code, or None when the program still runs after SECONDS."""
        try:
            return self.process.wait(timeout=seconds)
        except subprocess.TimeoutExpired:
            return None


class WineSession:
    """One Xvfb display and the Wine prefix, for one pytest session."""

    def __init__(self):
        self.xvfb = None
        self.env = None
        self.programs = []

    def start(self):
        self.display = self._start_xvfb()
        env = dict(os.environ, DISPLAY=self.display)
        # Whatever an earlier, interrupted run left in the prefix ends first:
        # a program still running there would answer as the first instance.
        status, out, err = run(
            ["bash", "-c",
             'source "$1" && { wineserver -k >/dev/null 2>&1; wineserver -w; true; } '
             '&& wine_prefix_ready >&2 && env -0', "_", str(COMMON)], env, 300)
        if status != 0:
            raise RuntimeError("the Wine prefix could not be made: "
                               + err.decode(errors="replace"))
        self.env = dict(item.split("=", 1) for item in out.decode().split("\0") if "=" in item)
        self._server_up()

    def _server(self, *args, timeout=60):
        subprocess.run(["wineserver", *args], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=timeout)

    def _server_down(self):
        """Ends every Windows process in the prefix and waits until the server is gone."""
        self._server("-k")
        self._server("-w")

    def _server_up(self):
        """A Wine server that stays up for the whole session, with its start-up
        done (wineboot, services, the desktop) before a test starts anything:
        left to itself the server ends some seconds after its last program,
        and the first program of a cold start races that start-up (seen as a
        program that never ran, or a window that never appeared)."""
        self._server("-p")
        for proc in Path("/proc").iterdir():
            try:
                if (proc.name.isdigit() and (proc / "comm").read_text().startswith("wineserver")
                        and f"WINEPREFIX={self.env['WINEPREFIX']}\0".encode() in (proc / "environ").read_bytes()):
                    raise_priority(int(proc.name), group=True)
            except OSError:
                pass
        run(["wine", str(PROBE), "main"], self.env, 120)

    def _start_xvfb(self):
        """Xvfb on a display number it picks itself among the free ones."""
        read_end, write_end = os.pipe()
        try:
            self.xvfb = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1280x800x24",
                 "-nolisten", "tcp"],
                pass_fds=(write_end,), stdin=subprocess.DEVNULL,
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        finally:
            os.close(write_end)
        number = b""
        deadline = time.monotonic() + 10
        try:
            while not number.endswith(b"\n"):
                left = deadline - time.monotonic()
                if left <= 0 or not select.select([read_end], [], [], left)[0]:
                    break
                chunk = os.read(read_end, 16)
                if not chunk:
                    break
                number += chunk
        finally:
            os.close(read_end)
        if not number.strip().isdigit():
            raise RuntimeError("Xvfb did not start")
        return ":" + number.strip().decode()

    def stop(self):
        if self.env is not None:
            self._server_down()
        for program in self.programs:
            if program.wait_exit(10) is None:
                program.process.kill()
                program.process.wait()
        if self.xvfb is not None:
            self.xvfb.terminate()
            try:
                self.xvfb.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.xvfb.kill()
                self.xvfb.wait()

    def start_program(self, exe, *args):
        program = Program(exe, args, self.env)
        self.programs.append(program)
        return program

    def end_programs(self):
        """Ends every program this session started that still runs."""
        if any(p.running() for p in self.programs):
            self._server_down()
            for program in self.programs:
                program.wait_exit(10)
            self._server_up()

    def restart_server(self):
        """Ends the server and everything in the prefix, and starts it anew
        (settings the desktop reads at its start, as the DPI, then apply)."""
        self._server_down()
        self._server_up()

    def probe(self, *args):
        """Runs wine-probe; (exit status, output without carriage returns)."""
        status, out, _ = run(["wine", str(PROBE), *args], self.env, 90)
        return status, out.decode("utf-8", "replace").replace("\r", "")

    def report(self, what):
        """The probe's view of the main window ("main") or the prompt ("prompt")."""
        return Report(self.probe(what)[1])

    def x_windows_titled(self, title):
        return run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"],
                   self.env, 30)[1].split()

    def screenshot(self, out, width, height):
        """A PNG of the visible tool window of that size (scripts/wine-common.sh)."""
        out.unlink(missing_ok=True)
        return run(["bash", "-c", 'source "$1" && screenshot_window "$2" "$3" "$4"', "_",
                    str(COMMON), str(out), str(width), str(height)], self.env, 60)[0] == 0


def image_size_and_colours(path):
    """((width, height), number of distinct colours) of an image; (None, 0)
    when it cannot be read."""
    size = subprocess.run([IDENTIFY, "-format", "%w %h", str(path)],
                          capture_output=True, text=True)
    colours = subprocess.run([CONVERT, str(path), "-format", "%k", "info:"],
                             capture_output=True, text=True)
    try:
        wh = tuple(int(v) for v in size.stdout.split())
    except ValueError:
        wh = None
    return (wh if size.returncode == 0 else None,
            int(colours.stdout) if colours.returncode == 0 and colours.stdout.isdigit() else 0)
