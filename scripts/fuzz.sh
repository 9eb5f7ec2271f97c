#!/usr/bin/env bash
# Runs fuzz targets of the sanitizer build.
#   scripts/fuzz.sh BUILD_DIR NAME SECONDS   one target (the ctest tests use this)
#   scripts/fuzz.sh BUILD_DIR all SECONDS    every target, SECONDS each, two at a time
# Seeds come from tests/fuzz/corpus/NAME; what the fuzzer adds goes to
# BUILD_DIR/fuzz-corpus/NAME, crashes to BUILD_DIR/fuzz-artifacts/NAME-*.
# Each run ends with a line "fuzz NAME: N executions in S s".
set -euo pipefail

build=$1
name=$2
seconds=$3
src=$(cd "$(dirname "$0")/.." && pwd)
targets="package ini raw_input dfu command_line scenario"

if [ "$name" = all ]; then
    # Two at a time (two cores); the first failure fails the whole.
    status=0
    set -- $targets
    while [ $# -gt 0 ]; do
        pids=()
        for n in "$1" "${2:-}"; do
            [ -n "$n" ] || continue
            "$0" "$build" "$n" "$seconds" > "$build/fuzz-$n.log" 2>&1 &
            pids+=($!)
        done
        for p in "${pids[@]}"; do wait "$p" || status=1; done
        shift; [ $# -gt 0 ] && shift
    done
    for n in $targets; do grep "^fuzz $n:" "$build/fuzz-$n.log" || echo "fuzz $n: FAILED, see $build/fuzz-$n.log"; done
    exit $status
fi

bin="$build/tests/fuzz/fuzz_$name"
if [ ! -x "$bin" ]; then
    echo "fuzz $name: no target built at $bin (the sanitizer build needs clang)"
    exit 77
fi

case "$name" in
    package) max_len=40000 ;;  # past the 32768-byte Bluetooth image, into the USB image
    ini) max_len=4096 ;;
    raw_input) max_len=1100 ;;
    dfu) max_len=512 ;;
    command_line) max_len=600 ;;
    scenario) max_len=2048 ;;
    *) echo "fuzz: unknown target $name"; exit 2 ;;
esac

corpus="$build/fuzz-corpus/$name"
artifacts="$build/fuzz-artifacts"
mkdir -p "$corpus" "$artifacts"
dict=()
[ -f "$src/tests/fuzz/$name.dict" ] && dict=(-dict="$src/tests/fuzz/$name.dict")

# Leak checking stays off: the world's objects live as long as the process.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
set +e
"$bin" "$corpus" "$src/tests/fuzz/corpus/$name" "${dict[@]}" -max_len=$max_len \
    -max_total_time="$seconds" -print_final_stats=1 -artifact_prefix="$artifacts/$name-" \
    -close_fd_mask=1 >"$log" 2>&1
rc=$?
set -e
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
if [ $rc -ne 0 ]; then
    tail -60 "$log"
    echo "fuzz $name: FAILED (exit $rc) after ${runs:-?} executions; artifacts in $artifacts"
    exit 1
fi
grep -E "^#[0-9]+ +DONE" "$log" | tail -1 || true
echo "fuzz $name: ${runs:-?} executions in $seconds s"
