#!/usr/bin/env bash
# The main window at 150 % display scale (144 DPI) under Wine in English,
# German, Japanese, Arabic and Hebrew, side by side in one picture:
# docs/languages-144dpi.png. The screenshots come from the Wine checks of
# the window's scale and languages (tests/wine/test_dpi_languages.py), which
# leave them in build/demo. Needs the windows build.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/.." && pwd)"
DEMO_DIR="$ROOT/build/demo"
OUT="$ROOT/docs/languages-144dpi.png"
LANGUAGES=(english german japanese arabic hebrew)
LABELS=(English German Japanese "Arabic (mirrored)" "Hebrew (mirrored)")

rm -f "$DEMO_DIR"/window-144dpi-*.png
(cd "$ROOT/tests/wine" && /usr/bin/python3 -m pytest -q test_dpi_languages.py -k screenshot) >&2

args=()
for i in "${!LANGUAGES[@]}"; do
    shot="$DEMO_DIR/window-144dpi-${LANGUAGES[$i]}.png"
    [ -f "$shot" ] || { echo "language-sheet: no screenshot $shot" >&2; exit 1; }
    args+=(-label "${LABELS[$i]}" "$shot")
done
/usr/bin/montage "${args[@]}" -tile 2x -geometry +12+12 -font /usr/share/fonts/truetype/dejavu/DejaVuSans.ttf -pointsize 22 -background '#e8e8e8' \
    -define png:exclude-chunks=date,time -strip "$OUT"
echo "language-sheet: ${OUT#$ROOT/}"
