"""The release as an installer and an IT department meet it, under Wine with
the simulated keyboard behind the tool's device calls:

- the NSIS installer and the MSI install the tool, ask it whether the update
  applies (-check), run it (-silent) only then, end with the mapped exit code
  and record the outcome in the registry and in update-result.txt, beside the
  tool's own result log; the MSI is removed again without a trace;
- -check ends with its code and writes its line to a standard output; /silent
  and -SILENT are silent;
- a signed program updates the keyboard exactly as the unsigned one does:
  the same DFU blocks, the same result.

Every installation runs side by side with the others, each on a desktop of its
own and with a registry key of its own (TESSEL_DEPLOY_KEY), except the NSIS
installer's verified update, which writes the key installers write."""
import json
import re
import shutil
import subprocess
import time
import uuid

import pytest

import simrun
import winetest

ROOT = simrun.ROOT
NSI = ROOT / "installer" / "tessel-updater-setup.nsi"
WXS = ROOT / "installer" / "tessel-updater.wxs"
README = ROOT / "sample-package" / "readme.mht"
DEPLOY = winetest.WIN_BUILD / "tessel-deploy.exe"
DEPLOY_DLL = winetest.WIN_BUILD / "tessel-deploy-msi.dll"
ICON = winetest.WIN_BUILD / "resources" / "app.ico"
KEY = r"SOFTWARE\Orvex\Tessel Keyboard Updater"
UP_TO_DATE = {"keyboard": {"nxp": 0x0353, "bt": 0xA23F}}
CHECKSUM_FAILURE = {"keyboard": {"checksum": "wrong"}}

# name: (scenario, exit code, outcome, NxpVersion recorded, result line's start and error)
NSIS = {
    "verified": ({"keyboard": {}}, 3010, "verified", "0353", ("OK: ", 0)),
    "up_to_date": (UP_TO_DATE, 0, "up-to-date", "0353", None),
    "no_keyboard": ({}, 11, "no-keyboard", "0000", None),
    "checksum_failure": (CHECKSUM_FAILURE, 2, "failed", "0352", ("NG: ", 2)),
    "another_copy": ({"keyboard": {}}, 1618, "another-copy", "", None),
}
# name: (scenario, msiexec's exit code, outcome, registry ExitCode)
MSI = {
    "verified": ({"keyboard": {}}, 3010, "verified", 3010),
    "up_to_date": (UP_TO_DATE, 0, "up-to-date", 0),
    "no_keyboard": ({}, 0, "no-keyboard", 11),
    "checksum_failure": (CHECKSUM_FAILURE, 1603, "failed", 2),
}
# -check and the switches, run one after the other: (arguments, scenario, exit code, output line)
PACKAGE = " package_nxp=0353 package_bt=A23F"
SWITCHES = [
    ("-check", UP_TO_DATE, 0, "outcome=up-to-date nxp=0353 bt=A23F" + PACKAGE),
    ("-check", {"keyboard": {}}, 10, "outcome=update-applies nxp=0352 bt=A23F" + PACKAGE),
    ("-check", {}, 11, "outcome=no-keyboard nxp=0000 bt=0000" + PACKAGE),
    ("-check", {"keyboard": {"bt": 0x0120}}, 12, "outcome=not-applicable nxp=0352 bt=0120" + PACKAGE),
    # An up-to-date keyboard ends a silent run at once with 1; an interactive
    # one would stay open.
    ("/silent", UP_TO_DATE, 1, None),
    ("-SILENT", UP_TO_DATE, 1, None),
]


class Installation:
    """One installer (or msiexec) run on a desktop of its own; its exit code
    goes through cmd into a file, whole (wine's own status is cut to 8 bits)."""

    def __init__(self, env, folder, name, scenario, command, key):
        self.name = name
        scenario_file = folder / f"{name}.json"
        scenario_file.write_text(json.dumps(scenario))
        self.code_file = folder / f"{name}.code"
        self.env = dict(env, TESSEL_SIM_SCENARIO=simrun.windows_path(scenario_file),
                        TESSEL_SIM_TRACE=simrun.windows_path(folder / f"{name}.trace.jsonl"))
        self.key = key or KEY
        if key:
            self.env["TESSEL_DEPLOY_KEY"] = key
        self.desktop = f"/desktop=deploy-{name},800x400"
        self.process = self.start(command, self.code_file)

    def start(self, command, code_file):
        line = f"start /wait {command} & echo %ERRORLEVEL% > {simrun.windows_path(code_file)}"
        return subprocess.Popen(["wine", "explorer", self.desktop, "cmd", "/c", line], env=self.env,
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def code(self, deadline, code_file=None):
        code_file = code_file or self.code_file
        while not code_file.is_file() and time.monotonic() < deadline:
            time.sleep(0.5)
        try:
            self.process.wait(timeout=max(1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            self.process.kill()
        text = code_file.read_text().strip() if code_file.is_file() else ""
        return int(text) if text.isdigit() else None

    def registry(self):
        status, out, _ = winetest.run(["wine", "reg", "query", "HKLM\\" + self.key, "/reg:64"], self.env, 60)
        values = {}
        for line in out.decode(errors="replace").splitlines():
            m = re.match(r"^\s+(\S+)\s+(REG_\w+)\s*(.*?)\s*$", line)
            if m:
                values[m[1]] = int(m[3], 16) if m[2] == "REG_DWORD" else m[3]
        return values if status == 0 else None


def build_msi(folder, name):
    """One MSI per case: wixl gives each build a product code of its own, so
    that the cases install side by side as different products."""
    msi = folder / f"{name}.msi"
    # wixl takes the files' paths relative to where it runs.
    for source, target in ((simrun.SIM_EXE, "tessel-updater.exe"), (README, "readme.mht"),
                           (DEPLOY_DLL, "tessel-deploy-msi.dll")):
        if not (folder / target).is_file():
            shutil.copy(source, folder / target)
    # Components of their own too: files that another installed package
    # shares stay when one package is removed.
    text = WXS.read_text()
    for guid in re.findall(r'<Component Id="\w+" Guid="([0-9a-f-]+)"', text):
        text = text.replace(guid, str(uuid.uuid4()))
    (folder / f"{name}.wxs").write_text(text)
    subprocess.run(["wixl", "-a", "x64", "-D", "Program=tessel-updater.exe", "-D", "Readme=readme.mht",
                    "-D", "DeployDll=tessel-deploy-msi.dll", "-o", msi.name, f"{name}.wxs"],
                   cwd=folder, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return msi


@pytest.fixture(scope="module")
def deployed(wine):
    missing = [tool for tool in ("makensis", "wixl") if shutil.which(tool) is None]
    if missing:
        pytest.skip("not installed: " + ", ".join(missing))
    started = time.monotonic()
    folder = simrun.winetest.RUN_DIR / "installer"
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    # Nothing of an earlier run counts: its folders and keys go first.
    drive_c = winetest.Path(wine.env["WINEPREFIX"]) / "drive_c"
    for old in list(drive_c.glob("tessel-nsis-*")) + list(drive_c.glob("tessel-msi-*")):
        shutil.rmtree(old, ignore_errors=True)
    for key in (r"HKLM\SOFTWARE\tessel-test", r"HKLM\SOFTWARE\Orvex"):
        winetest.run(["wine", "reg", "delete", key, "/f", "/reg:64"], wine.env, 60)
    setup = folder / "tessel-updater-setup.exe"
    subprocess.run(["makensis", "-V2", f"-DPROGRAM={simrun.SIM_EXE}", f"-DDEPLOY={DEPLOY}", f"-DREADME={README}",
                    f"-DICON={ICON}", f"-DOUTFILE={setup}", str(NSI)], check=True, stdout=subprocess.DEVNULL)
    runs = {}
    # The verified updates first: they take longest.
    for name in sorted(NSIS, key=lambda n: n != "verified"):
        scenario = NSIS[name][0]
        if name == "another_copy":
            runs["nsis", name] = start_beside_another_copy(wine.env, folder, setup, scenario)
            continue
        key = None if name == "verified" else rf"SOFTWARE\tessel-test\nsis-{name}"
        runs["nsis", name] = Installation(wine.env, folder, f"nsis-{name}", scenario,
                                          f"{simrun.windows_path(setup)} /S /D=C:\\tessel-nsis-{name}", key)
    for name in sorted(MSI, key=lambda n: n != "verified"):
        msi = build_msi(folder, name)
        runs["msi", name] = Installation(
            wine.env, folder, f"msi-{name}", MSI[name][0],
            f"msiexec /i {simrun.windows_path(msi)} /qn REBOOT=ReallySuppress "
            f"INSTALLFOLDER=C:\\tessel-msi-{name}\\", rf"SOFTWARE\tessel-test\msi-{name}")
    # The switches meanwhile, one after the other on the default desktop.
    switches = [run_switch(wine.env, folder, i, *case) for i, case in enumerate(SWITCHES)]
    deadline = time.monotonic() + 240
    results = {}
    for (kind, name), run in runs.items():
        results[kind, name] = {"code": run.code(deadline), "registry": run.registry(), "run": run}
    # Every MSI is removed again. (Wine's msiexec forgets an INSTALLFOLDER
    # given at installation: it is given again.)
    def remove(name):
        run = runs["msi", name]
        run.process = run.start(f"msiexec /x {simrun.windows_path(folder / (name + '.msi'))} /qn "
                                f"INSTALLFOLDER=C:\\tessel-msi-{name}\\", folder / f"msi-{name}-removal.code")
        return run

    others = [remove(name) for name in MSI if name != "verified"]
    removal = remove("verified")
    results["removal"] = {"code": removal.code(time.monotonic() + 120, folder / "msi-verified-removal.code"),
                          "registry": removal.registry()}
    for run in others:
        run.code(time.monotonic() + 120, folder / f"{run.name}-removal.code")
    print(f"deployment cases took {time.monotonic() - started:.0f} s")
    results["setup"] = setup
    return results, switches


def start_beside_another_copy(env, folder, setup, scenario):
    """The installer on a desktop where the tool already runs (interactive,
    ending by itself after a while)."""
    other = dict(scenario, events=[{"at": 60000, "do": "close"}])
    other_file = folder / "another-copy.json"
    other_file.write_text(json.dumps(other))
    trace = folder / "another-copy.trace.jsonl"
    other_env = dict(env, TESSEL_SIM_SCENARIO=simrun.windows_path(other_file),
                     TESSEL_SIM_TRACE=simrun.windows_path(trace))
    subprocess.Popen(["wine", "explorer", "/desktop=deploy-nsis-another_copy,800x400", str(simrun.SIM_EXE)],
                     env=other_env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and '"log"' not in (trace.read_text() if trace.is_file() else ""):
        time.sleep(0.3)
    return Installation(env, folder, "nsis-another_copy", scenario,
                        f"{simrun.windows_path(setup)} /S /D=C:\\tessel-nsis-another_copy",
                        r"SOFTWARE\tessel-test\nsis-another_copy")


def run_switch(env, folder, i, args, scenario, code, line):
    scenario_file = folder / f"switch-{i}.json"
    scenario_file.write_text(json.dumps(scenario))
    run_env = dict(env, TESSEL_SIM_SCENARIO=simrun.windows_path(scenario_file),
                   TESSEL_SIM_TRACE=simrun.windows_path(folder / f"switch-{i}.trace.jsonl"))
    status, out, _ = winetest.run(["wine", str(simrun.SIM_EXE), args], run_env, 120)
    return status, out.decode(errors="replace")


@pytest.mark.parametrize("name", list(NSIS))
def test_nsis_installer_maps_the_outcome_and_records_it(deployed, name):
    results, _ = deployed
    _, code, outcome, nxp, line = NSIS[name]
    result = results["nsis", name]
    assert result["code"] == code
    folder = winetest.Path(result["run"].env["WINEPREFIX"]) / "drive_c" / f"tessel-nsis-{name}"
    lines = (folder / "update-result.txt").read_bytes().decode("ascii").splitlines()
    assert lines[0] == str(code) and lines[2] == outcome and lines[1]
    registry = result["registry"]
    assert registry["Outcome"] == outcome and registry["ExitCode"] == code
    assert re.fullmatch(r"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ", registry["Time"])
    assert registry.get("NxpVersion", "") == nxp
    if nxp:
        assert registry["BtVersion"] == ("0000" if nxp == "0000" else "A23F")
        assert registry["PackageNxpVersion"] == "0353" and registry["PackageBtVersion"] == "A23F"
    assert (folder / "tessel-updater.exe").is_file() and (folder / "readme.mht").is_file()
    log = folder / "LogfileKarstDFU.txt"
    if line is None:
        assert not log.exists(), "no update ran: no result line"
    else:
        text = log.read_bytes().decode("ascii")
        assert text.startswith(line[0]) and text.endswith(f" error={line[1]}\r\n")


@pytest.mark.parametrize("name", list(MSI))
def test_msi_maps_the_outcome_and_records_it(deployed, name):
    results, _ = deployed
    _, code, outcome, recorded = MSI[name]
    result = results["msi", name]
    assert result["code"] == code
    assert result["registry"]["Outcome"] == outcome and result["registry"]["ExitCode"] == recorded


def test_msi_removal_leaves_nothing_behind(deployed):
    results, _ = deployed
    assert results["removal"]["code"] == 0
    assert results["removal"]["registry"] is None, "the key is gone"
    folder = winetest.Path(results["msi", "verified"]["run"].env["WINEPREFIX"]) / "drive_c" / "tessel-msi-verified"
    assert not folder.exists() or not any(folder.iterdir())


@pytest.mark.parametrize("i", range(len(SWITCHES)))
def test_check_and_switches(deployed, i):
    _, switches = deployed
    _, _, code, line = SWITCHES[i]
    status, out = switches[i]
    assert status == code
    if line:
        assert out.strip() == line


def test_installer_has_the_version_block_and_the_tools_icon(deployed):
    import pefile
    results, _ = deployed
    pe = pefile.PE(str(results["setup"]))
    strings = {k.decode(): v.decode() for info in pe.FileInfo[0] if hasattr(info, "StringTable")
               for table in info.StringTable for k, v in table.entries.items()}
    assert strings["ProductVersion"] == "3.0.0.1" and strings["ProductName"] == "Orvex Tessel Keyboard Firmware Update"
    # The tool's icon, whose group lists its nine sizes (6 + 9 x 14 bytes).
    groups = [entry for entry in pe.DIRECTORY_ENTRY_RESOURCE.entries if entry.id == pefile.RESOURCE_TYPE["RT_GROUP_ICON"]]
    sizes = [leaf.data.struct.Size for group in groups for name in group.directory.entries
             for leaf in name.directory.entries]
    assert sizes == [6 + 9 * 14]


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
