#!/usr/bin/env bash
# Starts the packaged program under Wine on a private Xvfb display, takes a
# screenshot of its main window into build/demo/main-window.png and closes it
# again (WM_CLOSE). Exit status 0 when the screenshot was written.
set -uo pipefail
source "$(dirname "$0")/wine-common.sh"

PACKAGED="$WIN_BUILD/tessel-updater.exe"
SHOT="$DEMO_DIR/main-window.png"
for f in "$PACKAGED" "$WIN_BUILD/wine-test/wine-probe.exe"; do
    if [ ! -f "$f" ]; then
        echo "screenshot-demo: ${f#$ROOT/} is not built" >&2
        exit 1
    fi
done

trap wine_cleanup EXIT
xvfb_start || exit 1
wine_prefix_ready || exit 1

run_dir="$ROOT/build/wine-run/demo"
rm -rf "$run_dir"
mkdir -p "$run_dir"
cp "$PACKAGED" "$run_dir/tessel-updater.exe"
wine "$run_dir/tessel-updater.exe" >/dev/null 2>&1 &

if ! probe wait-main 30000 >/dev/null; then
    echo "screenshot-demo: the main window did not appear" >&2
    exit 1
fi
sleep 1  # let it paint
read -r _ _ width height <<<"$(probe_value "$(probe main)" main.rect)"
rm -f "$SHOT"
screenshot_window "$SHOT" "$width" "$height" || exit 1
probe close >/dev/null
echo "screenshot-demo: $SHOT ($width x $height)"
