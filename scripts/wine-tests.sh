#!/usr/bin/env bash
# Runs the real Windows program under Wine on a private Xvfb display and
# checks what a person and an installer see: the resources, the main window
# and its controls, the single-instance rule, the exit codes, a silent start
# without package, and the restart prompt (through a test variant of the
# program that opens it at once). Screenshots go to build/demo/.
#
# Prints "N passed, M failed" last; the exit status is 1 when a check failed.
set -uo pipefail
source "$(dirname "$0")/wine-common.sh"
trap wine_cleanup EXIT

PASSED=0
FAILED=0
RUN_DIR="$ROOT/build/wine-run"

pass() { PASSED=$((PASSED + 1)); echo "PASS $1"; }
fail() { FAILED=$((FAILED + 1)); echo "FAIL $1${2:+: $2}"; }
check() {  # check NAME CONDITION-COMMAND... ; DETAIL in $WHY
    local name="$1"
    shift
    if "$@"; then pass "$name"; else fail "$name" "${WHY:-}"; fi
    WHY=""
}
finish() {
    wine_cleanup
    echo "$PASSED passed, $FAILED failed"
    [ "$FAILED" -eq 0 ]
    exit $?
}

PACKAGED="$WIN_BUILD/tessel-updater.exe"
BARE="$WIN_BUILD/tessel-updater-bare.exe"
PROMPT_TEST="$WIN_BUILD/wine-test/tessel-updater-prompt-test.exe"
PROBE_EXE="$WIN_BUILD/wine-test/wine-probe.exe"

for f in "$PACKAGED" "$BARE" "$PROMPT_TEST" "$PROBE_EXE"; do
    if [ ! -f "$f" ]; then
        fail "program present: ${f#$ROOT/}" "not built (cmake --preset windows && cmake --build --preset windows)"
    fi
done
[ "$FAILED" -eq 0 ] || finish

# ---------------------------------------------------------------- resources
resource_report=$(/usr/bin/python3 "$ROOT/scripts/check-resources.py" "$PACKAGED" 2>&1)
resource_status=$?
failed_before=$FAILED
while IFS= read -r line; do
    case "$line" in
        PASS\ *) pass "resources: ${line#PASS }" ;;
        FAIL\ *) fail "resources: ${line#FAIL }" ;;
    esac
done <<<"$resource_report"
if [ "$resource_status" -ne 0 ] && [ "$FAILED" -eq "$failed_before" ]; then
    fail "resources: check-resources.py" "$(printf '%s\n' "$resource_report" | tail -n 3 | tr '\n' ' ')"
fi

xvfb_start || { fail "Xvfb display" "could not start"; finish; }
wine_prefix_ready || { fail "Wine prefix" "could not be made"; finish; }

# Each program runs from a scratch folder of its own, where it writes its
# result log.
fresh_copy() {  # fresh_copy SOURCE NAME -> path of the copy
    local dir="$RUN_DIR/$2"
    rm -rf "$dir"
    mkdir -p "$dir"
    cp "$1" "$dir/tessel-updater.exe"
    echo "$dir/tessel-updater.exe"
}

# Starts a program in the background; its exit code lands in $1.rc.
start_program() {  # start_program EXE [ARGS...]
    local exe="$1"
    shift
    rm -f "$exe.rc"
    ( wine "$exe" "$@" >/dev/null 2>&1; echo $? >"$exe.rc" ) &
}

# Waits up to $2 seconds for the program started from $1 to end; prints its exit code.
wait_exit() {
    local i
    for i in $(seq 1 $(($2 * 10))); do
        if [ -s "$1.rc" ]; then
            cat "$1.rc"
            return 0
        fi
        sleep 0.1
    done
    echo "none"
}

child_line() {  # the probe's line for the control with id $2 in output $1
    printf '%s\n' "$1" | grep -E "^main\.child[0-9]+=id:$2\|" | head -n 1
}

# ---------------------------------------------------------------- packaged program
exe=$(fresh_copy "$PACKAGED" packaged)
start_program "$exe"
if probe wait-main 30000 >/dev/null; then
    pass "packaged: main window appears"
else
    fail "packaged: main window appears" "no window of class \"$TITLE\" within 30 s"
    finish
fi
sleep 1
info=$(probe main)

WHY="$(probe_value "$info" main.title)"
check "packaged: title is \"$TITLE\"" [ "$(probe_value "$info" main.title)" = "$TITLE" ]
WHY="rect $(probe_value "$info" main.rect)"
check "packaged: window is 640 x 240 and visible" \
    [ "$(probe_value "$info" main.rect | cut -d' ' -f3-)" = "640 240" -a "$(probe_value "$info" main.visible)" = 1 ]
xwin=$(xdotool search --onlyvisible --name "^$TITLE\$" 2>/dev/null | head -n 1)
WHY="no visible X window named so"
check "packaged: an X window titled \"$TITLE\" is on the display" [ -n "$xwin" ]
WHY="exstyle $(probe_value "$info" main.exstyle)"
check "packaged: WS_EX_CONTROLPARENT" [ $((0x$(probe_value "$info" main.exstyle) & 0x10000)) -ne 0 ]

WHY="$(probe_value "$info" main.children) children"
check "packaged: seven controls" [ "$(probe_value "$info" main.children)" = 7 ]

expect_control() {  # NAME PATTERN(grep -E) over all child lines
    WHY="$(printf '%s\n' "$info" | grep '^main\.child' | tr '\n' ' ')"
    check "packaged: $1" bash -c 'printf "%s\n" "$1" | grep -qE "$2"' _ "$info" "$2"
}
expect_control "icon control at 20,20, 128 x 128" \
    '^main\.child[0-9]+=id:0\|class:Static\|pos:20,20\|size:128,128\|style:5000000[3-9a-f]'
expect_control "title label" \
    "^main\.child[0-9]+=id:0\|class:Static\|pos:160,20\|size:250,15\|.*\|text:$TITLE\$"
expect_control "date label reads Version =20171016_V0353_BTA23F" \
    '^main\.child[0-9]+=id:0\|class:Static\|pos:160,40\|size:250,15\|.*\|text:Version =20171016_V0353_BTA23F$'
expect_control "version label reads NXP = 0353, BT = A23F" \
    '^main\.child[0-9]+=id:0\|class:Static\|pos:160,60\|size:250,15\|.*\|text:NXP = 0353, BT = A23F$'
expect_control "Update button: disabled, reads Update" \
    '^main\.child[0-9]+=id:100\|class:Button\|pos:420,20\|size:180,50\|style:5800000[0-9a-f]\|enabled:0\|visible:1\|text:Update$'
line=$(child_line "$info" 101)
style=$(printf '%s\n' "$line" | sed -n 's/.*|style:\([0-9a-f]*\)|.*/\1/p')
WHY="$line"
# The edit control may trade WS_BORDER for a client edge, as on Windows.
check "packaged: log view: multi-line, scrolling, editable, with the attach message and a line break" \
    bash -c '[ $((0x${2:-0} & 0x50200804)) -eq $((0x50200004)) ] &&
        printf "%s\n" "$1" | grep -qE "^main\.child[0-9]+=id:101\|class:Edit\|pos:160,80\|size:440,80\|.*\|enabled:1\|visible:1\|text:Please attach your keyboard and connect power adapter to your tablet\..*\.\.\.\|\|$"' \
    _ "$line" "$style"
expect_control "progress bar: hidden" \
    '^main\.child[0-9]+=id:110\|class:msctls_progress32\|pos:160,170\|size:440,20\|style:40000000\|enabled:1\|visible:0\|'

# Second instance while the first one runs: exit code 2 at once.
second=$(fresh_copy "$PACKAGED" second)
t0=$(date +%s)
start_program "$second"
rc=$(wait_exit "$second" 20)
t1=$(date +%s)
WHY="exit code $rc after $((t1 - t0)) s"
check "second instance exits with 2 at once" [ "$rc" = 2 -a $((t1 - t0)) -le 10 ]
WHY="second instance showed a window or touched the first"
check "second instance leaves one main window" [ "$(probe main | grep -c '^main.hwnd=')" = 1 ]

# Screenshot of the main window.
shot="$DEMO_DIR/main-window.png"
read -r left top width height <<<"$(probe_value "$info" main.rect)"
rm -f "$shot"
screenshot_window "$shot" "$width" "$height"
size=$(/usr/bin/identify -format '%w %h' "$shot" 2>/dev/null)
colours=$(/usr/bin/convert "$shot" -format '%k' info: 2>/dev/null)
WHY="size '$size', $colours colours"
check "screenshot build/demo/main-window.png: 640 x 240, not one colour" \
    [ "$size" = "640 240" -a "${colours:-0}" -gt 8 ]

# Closing the window (WM_CLOSE) ends the tool with exit code 1 (no run).
probe close >/dev/null
rc=$(wait_exit "$exe" 20)
WHY="exit code $rc"
check "packaged: WM_CLOSE ends the tool with exit code 1" [ "$rc" = 1 ]
WHY="a window is still there"
check "packaged: no main window after the end" bash -c '! wine "$1" main >/dev/null 2>&1' _ "$PROBE_EXE"
WHY="$(ls "$(dirname "$exe")")"
check "packaged: no result log without a run" [ ! -e "$(dirname "$exe")/LogfileKarstDFU.txt" ]

# ---------------------------------------------------------------- program without package
bare=$(fresh_copy "$BARE" bare)
start_program "$bare"
if probe wait-main 30000 >/dev/null; then
    info=$(probe main)
    WHY="$(probe_value "$info" main.children) children, visible $(probe_value "$info" main.visible)"
    check "without package: the window shows no controls" \
        [ "$(probe_value "$info" main.children)" = 0 -a "$(probe_value "$info" main.visible)" = 1 ]
    probe close >/dev/null
    rc=$(wait_exit "$bare" 20)
    WHY="exit code $rc"
    check "without package: WM_CLOSE ends the tool with exit code 1" [ "$rc" = 1 ]
else
    fail "without package: main window appears" "none within 30 s"
fi

# Silent start without package: ends at once with exit code 1 and one result line.
silent=$(fresh_copy "$BARE" silent-bare)
start_program "$silent" -silent
rc=$(wait_exit "$silent" 20)
WHY="exit code $rc"
check "silent without package: ends by itself with exit code 1" [ "$rc" = 1 ]
logfile="$(dirname "$silent")/LogfileKarstDFU.txt"
WHY="$(cat -A "$logfile" 2>/dev/null || echo 'no log file')"
check "silent without package: one result line NG: ... error=1" \
    bash -c '[ "$(wc -l <"$1")" = 1 ] &&
        LC_ALL=C grep -qaE "^NG: [0-9]{4}/[0-9]{2}/[0-9]{2}-[0-9]{2}:[0-9]{2}:[0-9]{2} error=1.$" "$1" &&
        [ "$(tail -c 2 "$1" | od -An -tx1 | tr -d " ")" = 0d0a ]' _ "$logfile"

# ---------------------------------------------------------------- restart prompt
prompt_exe=$(fresh_copy "$PROMPT_TEST" prompt)
start_program "$prompt_exe"
if probe wait-prompt 30000 >/dev/null; then
    pass "restart prompt appears"
    sleep 1
    pinfo=$(probe prompt)
    WHY="$(probe_value "$pinfo" prompt.title)"
    check "restart prompt: caption is the tool's title" [ "$(probe_value "$pinfo" prompt.title)" = "$TITLE" ]
    WHY="style $(probe_value "$pinfo" prompt.style)"
    check "restart prompt: popup with caption, system menu and modal frame" \
        [ $((0x$(probe_value "$pinfo" prompt.style) & 0x80C80080)) -eq $((0x80C80080)) ]
    WHY="$(printf '%s\n' "$pinfo" | grep '^prompt\.child' | tr '\n' ' ')"
    check "restart prompt: warning icon, S13, Restart Later (left), Restart Now (right)" bash -c '
        p="$1"
        printf "%s\n" "$p" | grep -qE "^prompt\.child0=id:502\|class:Static\|" &&
        printf "%s\n" "$p" | grep -qE "^prompt\.child1=id:501\|class:Static\|.*\|text:You must restart your computer to apply these changes\. Before restarting, save any open files and close all programs\.$" &&
        printf "%s\n" "$p" | grep -qE "^prompt\.child2=id:2\|class:Button\|.*\|text:Restart Later$" &&
        printf "%s\n" "$p" | grep -qE "^prompt\.child3=id:1\|class:Button\|.*\|style:5[0-9a-f]{6}1\|.*\|text:Restart Now$"' _ "$pinfo"
    read -r left top width height <<<"$(probe_value "$pinfo" prompt.rect)"
    shot="$DEMO_DIR/restart-prompt.png"
    rm -f "$shot"
    screenshot_window "$shot" "$width" "$height"
    size=$(/usr/bin/identify -format '%w %h' "$shot" 2>/dev/null)
    colours=$(/usr/bin/convert "$shot" -format '%k' info: 2>/dev/null)
    WHY="size '$size' (window $width x $height), $colours colours"
    check "screenshot build/demo/restart-prompt.png: the prompt's size, not one colour" \
        [ "$size" = "$width $height" -a "$width" -ge 250 -a "$width" -le 600 -a "$height" -ge 80 \
          -a "$height" -le 300 -a "${colours:-0}" -gt 8 ]

    # Restart later takes the prompt off the screen; the tool stays.
    probe prompt-cancel >/dev/null
    sleep 1
    pinfo=$(probe prompt)
    WHY="visible $(probe_value "$pinfo" prompt.visible)"
    check "restart prompt: Restart Later closes it without restarting" \
        [ "$(probe_value "$pinfo" prompt.visible)" != 1 -a ! -s "$prompt_exe.rc" ]
    probe close >/dev/null
    rc=$(wait_exit "$prompt_exe" 20)
    WHY="exit code $rc"
    check "restart prompt variant: WM_CLOSE afterwards ends it with exit code 1" [ "$rc" = 1 ]
else
    fail "restart prompt appears" "no visible prompt within 30 s"
fi

finish
