"""tessel-pack.exe under Wine does what the Linux tessel-pack does on the
sample package: the same output, exit status and files for inspect, lint,
extract and build, and the same refusal of a broken program."""
import concurrent.futures
import shutil
import subprocess
import tempfile

import pytest

import winetest

LINUX = winetest.ROOT / "build" / "host" / "tools" / "tessel-pack"
WINDOWS = winetest.WIN_BUILD / "tools" / "tessel-pack.exe"
SAMPLE = winetest.ROOT / "build" / "host" / "sample"

# Arguments of each case, relative to the folder both run in.
CASES = {
    "version": ["--version"],
    "inspect": ["inspect", "sample.exe", "--messages"],
    "lint": ["lint", "sample.exe"],
    "lint_broken": ["lint", "broken.exe"],
    "extract": ["extract", "sample.exe", "x"],
    "build": ["build", "--exe", "bare.exe", "--ini", "package.ini", "--bt", "bt.bin",
              "--usb", "usb.bin", "-o", "out.exe"],
    "build_refused": ["build", "--exe", "broken.exe", "--ini", "package.ini", "--bt", "bt.bin",
                      "--usb", "usb.bin", "-o", "refused.exe"],
}
WRITTEN = ["x/package.ini", "x/bt.bin", "x/usb.bin", "out.exe"]


def scratch(name):
    """A folder with the sample's pieces and a program whose PE signature is broken."""
    folder = winetest.RUN_DIR / "pack" / name
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    shutil.copy(SAMPLE / "tessel-updater.exe", folder / "sample.exe")
    for piece in ("bare.exe", "bt.bin", "usb.bin"):
        shutil.copy(SAMPLE / piece, folder / piece)
    shutil.copy(winetest.ROOT / "sample-package" / "package.ini", folder / "package.ini")
    broken = bytearray((SAMPLE / "bare.exe").read_bytes())
    broken[0x41] = ord("X")
    (folder / "broken.exe").write_bytes(bytes(broken))
    return folder


def run_in(folder, command, env):
    """(exit status, output, error output) of a command run in folder, line
    ends as on Linux; outputs through files, as winetest.run has them (no
    time limit of its own: ctest's ends a hang)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        status = subprocess.run(command, cwd=folder, env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=err).returncode
        out.seek(0)
        err.seek(0)
        return status, out.read().replace(b"\r\n", b"\n"), err.read().replace(b"\r\n", b"\n")


@pytest.fixture(scope="module")
def runs(wine):
    missing = [str(p) for p in (LINUX, WINDOWS, SAMPLE / "tessel-updater.exe") if not p.is_file()]
    if missing:
        pytest.fail("not built: " + ", ".join(missing))
    linux, windows = scratch("linux"), scratch("windows")
    env = dict(wine.env, WINEDEBUG="-all")
    # Every case at once: one Wine server serves them all.
    with concurrent.futures.ThreadPoolExecutor(2 * len(CASES)) as pool:
        futures = {name: (pool.submit(run_in, linux, [str(LINUX), *args], None),
                          pool.submit(run_in, windows, ["wine", str(WINDOWS), *args], env))
                   for name, args in CASES.items()}
        results = {name: (on_linux.result(), on_windows.result())
                   for name, (on_linux, on_windows) in futures.items()}
    return linux, windows, results


@pytest.mark.parametrize("case", CASES)
def test_same_output_and_status(runs, case):
    _, _, results = runs
    on_linux, on_windows = results[case]
    assert on_windows == on_linux


def test_expected_outcomes(runs):
    _, _, results = runs
    assert results["lint"][0][0] == 0 and results["build"][0][0] == 0
    assert results["lint_broken"][0][0] == 1 and results["build_refused"][0][0] == 1
    assert results["lint_broken"][0][2].endswith(b"lint: 1 error\n")
    assert results["build_refused"][0][2].endswith(b"build: 1 error\n")


@pytest.mark.parametrize("name", WRITTEN)
def test_same_files(runs, name):
    linux, windows, _ = runs
    assert (windows / name).read_bytes() == (linux / name).read_bytes()
    assert not (windows / "refused.exe").exists()
