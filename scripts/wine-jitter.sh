#!/usr/bin/env bash
# Runs the verified interactive update under Wine N times (default 20) with
# random device timing, seeds 1..N, a few side by side, each on a desktop of
# its own; every run must end verified with its result line.
# Usage: scripts/wine-jitter.sh [N] [PARALLEL]
set -uo pipefail
cd "$(dirname "$0")/.."
n="${1:-20}"
parallel="${2:-4}"
status=0
for ((first = 1; first <= n; first += parallel)); do
    last=$((first + parallel - 1))
    ((last > n)) && last=$n
    seeds="$(seq -s ' ' "$first" "$last")"
    echo "wine-jitter: seeds $seeds"
    TESSEL_JITTER_SEEDS="$seeds" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
        tests/wine/test_jitter.py --rootdir tests/wine -c tests/wine/pytest.ini || status=1
done
exit $status
