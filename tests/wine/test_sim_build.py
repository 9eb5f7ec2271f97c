"""The release program carries none of the simulated devices: it imports the
system's device libraries and is far smaller than tessel-updater-sim.exe,
which answers those calls itself and imports none of them."""
import pefile
import pytest

import winetest

SIM = winetest.WIN_BUILD / "tessel-updater-sim.exe"
DEVICE_DLLS = {"setupapi.dll", "hid.dll", "winusb.dll"}


def imports(path):
    pe = pefile.PE(str(path), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_IMPORT"]])
    return {entry.dll.decode().lower() for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", [])}


@pytest.fixture(scope="module")
def built():
    missing = [p.name for p in (winetest.PACKAGED, SIM) if not p.is_file()]
    if missing:
        pytest.fail("not built: " + ", ".join(missing))


def test_release_imports_the_device_libraries(built):
    assert DEVICE_DLLS <= imports(winetest.PACKAGED)


def test_sim_imports_none_of_them(built):
    assert not DEVICE_DLLS & imports(SIM)


def test_release_is_the_smaller_program(built):
    # The models, the bus and the JSON reader add far more than a tenth.
    release, sim = winetest.PACKAGED.stat().st_size, SIM.stat().st_size
    assert release * 1.1 < sim, (release, sim)
