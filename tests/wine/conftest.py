"""Fixtures of the tests under Wine: one Xvfb display and Wine prefix for the
whole pytest session, skipped where Wine or Xvfb is not installed."""
import collections
import shutil

import pytest

import winetest

# Exit status of a session in which every test was skipped: ctest's
# SKIP_RETURN_CODE, so that ctest shows the tests as not run, not passed.
ALL_SKIPPED = 77

_outcomes = collections.Counter()


@pytest.fixture(scope="session")
def wine():
    missing = [tool for tool in ("wine", "wineserver", "Xvfb") if shutil.which(tool) is None]
    if missing:
        pytest.skip("not installed: " + ", ".join(missing))
    absent = [str(p.relative_to(winetest.ROOT)) for p in winetest.PROGRAMS if not p.is_file()]
    if absent:
        pytest.fail("not built: " + ", ".join(absent)
                    + " (cmake --preset windows && cmake --build --preset windows)")
    session = winetest.WineSession()
    try:
        try:
            session.start()
        except RuntimeError as error:
            pytest.fail(str(error))
        yield session
    finally:
        session.stop()


def pytest_runtest_logreport(report):
    if report.when == "call" or report.outcome != "passed":
        _outcomes[report.outcome] += 1


def pytest_sessionfinish(session, exitstatus):
    if exitstatus == 0 and _outcomes["skipped"] and not _outcomes["passed"]:
        session.exitstatus = ALL_SKIPPED
