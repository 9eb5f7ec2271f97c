#!/usr/bin/env bash
# Shows the tool at work: the sample package as the tool reads it, a run in
# the simulated world with a simulated keyboard, and the real window under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."

echo "== The sample package, as the tool reads it (tessel-pack inspect) =="
build/host/tools/tessel-pack inspect build/windows/tessel-updater.exe
echo
echo "== A run in the simulated world (tessel-sim, virtual time) =="
build/host/sim/tessel-sim --format text sim/scenarios/demo.json
echo "(tessel-sim exit status: $?)"
echo
echo "== The real window under Wine =="
scripts/screenshot-demo.sh && echo "screenshot: build/demo/main-window.png"
