#!/usr/bin/env bash
# Checks the fault campaign against faults put into the product on purpose:
# every patch in tests/mutants/ (or the ones named) is applied, one at a time,
# to a scratch copy of this tree; the simulator is built from it and the
# campaign run. A mutant counts as found when the campaign reports a break.
#
#   scripts/check-the-checker.sh [--count N] [--seed S] [--jobs J]
#                                [--work DIR] [--no-baseline] [MUTANT ...]
#
# The unmodified tree is run first (the baseline): it must break nothing.
# The scratch copy and its build stay in --work (default
# build/check-the-checker) so that a second run rebuilds only what a patch
# touches; a ccache launcher in the environment (CMAKE_CXX_COMPILER_LAUNCHER)
# is used when set. Exit status 0 only when the baseline breaks nothing and
# every mutant is found within the count.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
count=2000
seed=1
jobs=2
work="$root/build/check-the-checker"
baseline=1
names=()
while [ $# -gt 0 ]; do
    case "$1" in
    --count) count=$2; shift 2 ;;
    --seed) seed=$2; shift 2 ;;
    --jobs) jobs=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --no-baseline) baseline=0; shift ;;
    -h | --help) sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "unknown option $1" >&2; exit 2 ;;
    *) names+=("$1"); shift ;;
    esac
done
if [ ${#names[@]} -eq 0 ]; then
    for p in "$root"/tests/mutants/*.patch; do
        names+=("$(basename "$p" .patch)")
    done
fi

copy="$work/tree"
build="$work/build"
logs="$work/logs"
mkdir -p "$copy" "$logs"

# The scratch copy follows the tree as it is now, uncommitted changes
# included. Only files whose content differs are copied, so that the build
# keeps what is still current.
(cd "$root" && git ls-files --cached --others --exclude-standard -z) |
    while IFS= read -r -d '' f; do
        [ -f "$root/$f" ] || continue
        if ! cmp -s "$root/$f" "$copy/$f"; then
            mkdir -p "$(dirname "$copy/$f")"
            cp "$root/$f" "$copy/$f"
        fi
    done

if [ ! -f "$build/build.ninja" ]; then
    cmake -S "$copy" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$logs/configure.log" 2>&1 ||
        { echo "configure failed: $logs/configure.log" >&2; exit 2; }
fi
# The packaged sample is made once, from the unmodified tree.
cmake --build "$build" --target sample >"$logs/sample.log" 2>&1 ||
    { echo "the sample package did not build: $logs/sample.log" >&2; exit 2; }
program="$build/sample/tessel-updater.exe"

# git apply in the copy, which lies inside this repository's build folder:
# git must not find the repository above it.
in_copy() { (cd "$copy" && GIT_CEILING_DIRECTORIES="$work" "$@"); }

# Runs the campaign with the simulator built now; prints one result row.
# Returns 0 when the campaign broke something.
run_campaign() {
    local name=$1 out="$logs/$1.txt"
    if ! cmake --build "$build" --target tessel-sim >"$logs/$name.build.log" 2>&1; then
        printf '%-26s %-9s %s\n' "$name" "NO BUILD" "see $logs/$name.build.log"
        return 2
    fi
    "$build/sim/tessel-sim" --campaign "$count" --seed "$seed" --jobs "$jobs" --program "$program" \
        >"$out" 2>&1 || true
    local breaks first invariants
    breaks=$(sed -n 's/^campaign: [0-9]* scenarios, \([0-9]*\) broken.*/\1/p' "$out" | tail -1)
    if [ -z "$breaks" ]; then
        printf '%-26s %-9s %s\n' "$name" "NO RUN" "see $out"
        return 2
    fi
    first=$(sed -n 's/^BREAK scenario \([0-9]*\) .*/\1/p' "$out" | sort -n | head -1)
    # The invariants broken, by how often, their details left out.
    invariants=$(sed -n 's/^  broken: //p' "$out" | sed 's/ (.*//; s/: ".*//; s/^no fault: .*/no fault/' |
        sort | uniq -c | sort -rn | head -4 | sed 's/^ *\([0-9]*\) \(.*\)/\2 [\1]/' | paste -sd ';' | sed 's/;/; /g')
    local hit=found miss="NOT FOUND"
    [ "$name" != "(unmodified)" ] || { hit=BROKEN; miss=clean; }
    if [ "$breaks" -gt 0 ]; then
        printf '%-26s %-9s %-12s %-7s %s\n' "$name" "$hit" "$((first + 1))" "$breaks" "$invariants"
        return 0
    fi
    printf '%-26s %-9s %-12s %-7s %s\n' "$name" "$miss" "-" "0" ""
    return 1
}

printf 'campaign: %s scenarios, seed %s; logs in %s\n' "$count" "$seed" "$logs"
printf '%-26s %-9s %-12s %-7s %s\n' "mutant" "verdict" "scenarios" "breaks" "invariants broken [times]"
status=0
if [ $baseline -eq 1 ]; then
    rc=0
    run_campaign "(unmodified)" || rc=$?
    if [ $rc -ne 1 ]; then
        echo "the unmodified tree breaks invariants (or did not run): see $logs/(unmodified).txt" >&2
        status=1
    fi
fi
for name in "${names[@]}"; do
    patch="$root/tests/mutants/$name.patch"
    if [ ! -f "$patch" ]; then
        echo "no such mutant: $patch" >&2
        status=1
        continue
    fi
    if ! in_copy git apply --check "$patch" 2>"$logs/$name.apply.log"; then
        printf '%-26s %-9s %s\n' "$name" "NO APPLY" "see $logs/$name.apply.log"
        status=1
        continue
    fi
    in_copy git apply "$patch"
    rc=0
    run_campaign "$name" || rc=$?
    # Reverted by the patch itself: the files touched get a new time, so the
    # next build compiles them again.
    in_copy git apply -R "$patch"
    [ $rc -eq 0 ] || status=1
done
# The simulator is left built from the unmodified copy.
cmake --build "$build" --target tessel-sim >/dev/null 2>&1 || true
exit $status
