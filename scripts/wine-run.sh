#!/usr/bin/env bash
# Runs a Windows build of the tool under Wine on a private Xvfb display and
# prints its exit code. Without a display nobody can click: the run ends by
# itself (for example with -silent) or after --timeout seconds, when the
# window is sent WM_CLOSE.
#
# Usage: scripts/wine-run.sh [--bare] [--timeout S] [--screenshot FILE.png] [ARGS...]
#   --bare        the program without package (build/windows/tessel-updater-bare.exe)
#   --timeout S   close the window after S seconds (default 60)
#   --screenshot  a picture of the main window once it is shown
set -uo pipefail
source "$(dirname "$0")/wine-common.sh"

exe="$WIN_BUILD/tessel-updater.exe"
timeout_s=60
shot=""
while [ $# -gt 0 ]; do
    case "$1" in
        --bare) exe="$WIN_BUILD/tessel-updater-bare.exe"; shift ;;
        --timeout) timeout_s="$2"; shift 2 ;;
        --screenshot) shot="$2"; shift 2 ;;
        *) break ;;
    esac
done
if [ ! -f "$exe" ]; then
    echo "wine-run: ${exe#$ROOT/} is not built" >&2
    exit 2
fi

trap wine_cleanup EXIT
xvfb_start || exit 2
wine_prefix_ready || exit 2

run_dir="$ROOT/build/wine-run/manual"
rm -rf "$run_dir"
mkdir -p "$run_dir"
cp "$exe" "$run_dir/tessel-updater.exe"
rc_file="$run_dir/exit-code"
( wine "$run_dir/tessel-updater.exe" "$@" >/dev/null 2>&1; echo $? >"$rc_file" ) &

if [ -n "$shot" ] && probe wait-main 30000 >/dev/null; then
    sleep 1
    read -r _ _ width height <<<"$(probe_value "$(probe main)" main.rect)"
    screenshot_window "$shot" "$width" "$height" && echo "wine-run: screenshot $shot"
fi
for _ in $(seq 1 $((timeout_s * 10))); do
    [ -s "$rc_file" ] && break
    sleep 0.1
done
if [ ! -s "$rc_file" ]; then
    echo "wine-run: closing the window after $timeout_s s"
    probe close >/dev/null
    for _ in $(seq 1 100); do
        [ -s "$rc_file" ] && break
        sleep 0.1
    done
fi
if [ -f "$run_dir/LogfileKarstDFU.txt" ]; then
    echo "wine-run: result log:"
    cat "$run_dir/LogfileKarstDFU.txt"
fi
echo "wine-run: exit code $(cat "$rc_file" 2>/dev/null || echo none)"
