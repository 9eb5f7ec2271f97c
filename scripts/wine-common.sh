# Shared by the scripts and the tests (tests/wine) that run the Windows
# program under Wine: the Wine prefix (build/wine-prefix, made once), a
# private Xvfb display, screenshots and the clean-up. Source it; it defines
# functions and sets no traps.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
WIN_BUILD="$ROOT/build/windows"
DEMO_DIR="$ROOT/build/demo"
TITLE="Orvex Tessel Keyboard Firmware Updater"

# TESSEL_WINE_PREFIX: another prefix, for tests that run beside the others.
export WINEPREFIX="${TESSEL_WINE_PREFIX:-$ROOT/build/wine-prefix}"
export WINEARCH=win64
export WINEDEBUG=-all
# No Mono or Gecko installer prompts in a fresh prefix.
export WINEDLLOVERRIDES="mscoree,mshtml="

XVFB_PID=""
# All windows live on one Wine desktop of this size, which Wine draws with
# captions and frames as Windows does (there is no window manager on Xvfb).
WINE_DESKTOP_SIZE="1024x600"

# Starts Xvfb on the first free display from :97 on and exports DISPLAY.
xvfb_start() {
    local n
    for n in $(seq 97 130); do
        if [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ]; then
            continue
        fi
        Xvfb ":$n" -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        local i
        for i in $(seq 1 50); do
            if [ -e "/tmp/.X11-unix/X$n" ]; then
                export DISPLAY=":$n"
                return 0
            fi
            kill -0 "$XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=""
    done
    echo "wine: no free X display for Xvfb" >&2
    return 1
}

xvfb_stop() {
    if [ -n "$XVFB_PID" ]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=""
    fi
}

# Wine's own fonts (Tahoma, Marlett for the caption buttons, ...) in the
# prefix's font folder, where every Wine build finds them.
wine_fonts() {
    local fonts="$WINEPREFIX/drive_c/windows/Fonts" f
    [ -d "$fonts" ] || return 0
    for f in /usr/share/wine/fonts/*.ttf; do
        [ -e "$f" ] && [ ! -e "$fonts/$(basename "$f")" ] && cp "$f" "$fonts/"
    done
    return 0
}

# Windows links fonts for the scripts a face lacks (FontLink\SystemLink); in
# the prefix Arial (Wine's Liberation Sans) gets the small Debian fonts that
# scripts/install-deps.sh installs: WenQuanYi Micro Hei for Chinese, Japanese
# and Korean, DejaVu Sans for Hebrew and Arabic, Loma for Thai.
WINE_FONT_LINKS='wqy-microhei.ttc,WenQuanYi Micro Hei\0DejaVuSans.ttf,DejaVu Sans\0Loma.ttf,Loma'
wine_font_links() {
    local key='HKLM\Software\Microsoft\Windows NT\CurrentVersion\FontLink\SystemLink' face
    # Arial is Liberation Sans, whatever fontconfig prefers for sans-serif.
    wine reg add 'HKCU\Software\Wine\Fonts\Replacements' /v Arial /t REG_SZ /d "Liberation Sans" /f \
        >/dev/null 2>&1 || return 1
    for face in "Arial" "Liberation Sans"; do
        wine reg add "$key" /v "$face" /t REG_MULTI_SZ /d "$WINE_FONT_LINKS" /f >/dev/null 2>&1 || return 1
    done
}

wine_font_links_once() {
    [ -f "$WINEPREFIX/.tessel-font-links" ] && return 0
    wine_font_links && wineserver -w && touch "$WINEPREFIX/.tessel-font-links"
}

# Makes the prefix once (wineboot -i, some 10 s) and reuses it afterwards.
wine_prefix_ready() {
    if [ -f "$WINEPREFIX/.tessel-ready" ]; then
        wine_fonts
        wine_font_links_once
        return 0
    fi
    rm -rf "$WINEPREFIX"
    mkdir -p "$(dirname "$WINEPREFIX")"
    wineboot -i >/dev/null 2>&1 || true
    local reg="$ROOT/build/wine-desktop.reg"
    cat >"$reg" <<EOF
REGEDIT4

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer]
"Desktop"="Default"

[HKEY_CURRENT_USER\\Software\\Wine\\Explorer\\Desktops]
"Default"="$WINE_DESKTOP_SIZE"
EOF
    wine regedit /S "$(winepath -w "$reg" 2>/dev/null)" >/dev/null 2>&1
    wineserver -w
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        echo "wine: could not make the prefix $WINEPREFIX" >&2
        return 1
    fi
    wine_fonts
    wine_font_links_once
    touch "$WINEPREFIX/.tessel-ready"
}

# Ends whatever still runs in our prefix, then the display.
wine_cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    xvfb_stop
}

# The probe that looks at the tool's windows from another Windows process.
probe() {
    wine "$WIN_BUILD/wine-test/wine-probe.exe" "$@" 2>/dev/null | tr -d '\r'
}

# Value of KEY in probe output held in $1.
probe_value() {
    printf '%s\n' "$1" | sed -n "s/^$2=//p" | head -n 1
}

# Screenshot of the tool's window of the given size (the main window or the
# restart prompt, which share the title) into a PNG file. The window is taken
# by itself: Wine may give it a visual of its own that a root capture shows black.
screenshot_window() {  # screenshot_window OUT WIDTH HEIGHT
    local out="$1" width="$2" height="$3" w WIDTH HEIGHT X Y SCREEN WINDOW
    for w in $(xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null); do
        eval "$(xdotool getwindowgeometry --shell "$w")"
        if [ "$WIDTH" = "$width" ] && [ "$HEIGHT" = "$height" ]; then
            mkdir -p "$(dirname "$out")"
            xwd -id "$w" -silent | /usr/bin/convert xwd:- "$out"
            return $?
        fi
    done
    echo "wine: no window of $width x $height titled \"$TITLE\" on the display" >&2
    return 1
}
