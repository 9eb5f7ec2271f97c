#!/usr/bin/env bash
# A whole update in the real window under Wine (tessel-updater-sim.exe, the
# simulated keyboard behind the device calls): stage screenshots in
# build/demo/wine-*.png and the animated docs/wine-update.gif.
set -uo pipefail
source "$(dirname "$0")/wine-common.sh"
for f in "$WIN_BUILD/tessel-updater-sim.exe"; do
    if [ ! -f "$f" ]; then
        echo "wine-demo: ${f#$ROOT/} is not built" >&2
        exit 1
    fi
done
trap wine_cleanup EXIT
xvfb_start || exit 1
wine_prefix_ready || exit 1
/usr/bin/python3 "$ROOT/scripts/wine_demo.py"
