#!/usr/bin/env bash
# Shows the tool at work: the sample package as the tool reads it, a run in
# the simulated world with a simulated keyboard, and the real window under Wine.
set -uo pipefail
cd "$(dirname "$0")/.."

echo "== The sample package, as the tool reads it (tessel-pack inspect) =="
build/host/tools/tessel-pack inspect build/windows/tessel-updater.exe
echo
echo "== An update in the simulated world (tessel-sim, virtual time) =="
echo "   scenario: sim/scenarios/demo.json (press Update, detach and re-attach when asked, close)"
trace=$(mktemp)
start=$(date +%s.%N)
build/host/sim/tessel-sim --format text sim/scenarios/demo.json > "$trace"
status=$?
end=$(date +%s.%N)
grep -vE '^ +[0-9.]+ s  (kb_out|kb_in|dfu|progress) ' "$trace"
echo "($(grep -cE '^ +[0-9.]+ s  (kb_out|kb_in|dfu|progress) ' "$trace") keyboard reports, DFU requests and progress steps not shown)"
echo "(tessel-sim exit status: $status; $(awk "BEGIN{printf \"%.2f\", $end-$start}") s of real time)"
rm -f "$trace"
echo
echo "== The real window under Wine =="
scripts/screenshot-demo.sh && echo "screenshot: build/demo/main-window.png"
echo
echo "== The window at 150 % display scale in five languages (Wine) =="
scripts/language-sheet.sh
echo
echo "== A whole update in the real window under Wine (tessel-updater-sim.exe, real time, about a minute) =="
scripts/wine-demo.sh
