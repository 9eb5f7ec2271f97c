"""The verified interactive update with random device timing (a seed per
run): every run ends verified with its result line. make test runs two
seeds side by side; scripts/wine-jitter.sh N runs more."""
import os

import pytest

import simrun
import traces

SEEDS = [int(s) for s in os.environ.get("TESSEL_JITTER_SEEDS", "1 2").split()]


@pytest.fixture(scope="module")
def runs(wine):
    started = {seed: simrun.WineRun(wine.env, simrun.SCENARIOS / "verified_interactive.json",
                                    f"jitter-{seed}", seed=seed) for seed in SEEDS}
    return {seed: run.wait(200) for seed, run in started.items()}


@pytest.mark.parametrize("seed", SEEDS)
def test_verified(runs, seed):
    trace = runs[seed]
    assert traces.exit_code(trace) == 0, [r for r in trace if r["ev"] in ("log", "exit")]
    assert traces.result_line(trace) == "OK: DATE error=0\r\n"
