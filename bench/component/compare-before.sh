#!/usr/bin/env bash
# CPU per page of the component's 100-page fax, two builds against each other:
#
#   bench/component/compare-before.sh BEFORE_BINARY NOW_BINARY [ROUNDS]
#
# Each binary is a bench_component run with --cpu-once: it sends a 10-page fax to warm up,
# then the 100-page fax on an unpaced simulated line without and with the console's
# journaling of every Debug line (a journal list and the debug log), and prints
#
#   cpu-us-per-page nojournal X
#   cpu-us-per-page journaled Y
#
# (process CPU from SendFaxG4 until both instances ended, over the 100 pages). Each round runs
# both binaries, one after the other, the order turning every round, and each process turns
# the order of its two faxes too. Printed: the median of each figure with its range, and the
# ratio of the medians, now / before.
#
# The build before the speed work is commit 113413c. Its bench_component has no --cpu-once;
# before-cpu-once.patch beside this script adds it (the same two documents, the warm-up and the
# two faxes into a JournalList and a DebugLog of that tree, CPU read with
# clock_gettime(CLOCK_PROCESS_CPUTIME_ID) before SendFaxG4 and after both ends):
#
#   git worktree add /tmp/before 113413c && cd /tmp/before
#   git apply PATH/TO/bench/component/before-cpu-once.patch && ./scripts/build.sh build
#   bench/component/compare-before.sh /tmp/before/build/bin/bench_component \
#       PATH/TO/build/bin/bench_component 7
set -euo pipefail
if [ $# -lt 2 ]; then
    echo "usage: $0 BEFORE_BINARY NOW_BINARY [ROUNDS]" >&2
    exit 2
fi
before=$1
now=$2
rounds=${3:-7}
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

run() { # NAME BINARY ROUND
    local order=()
    if [ $(( $3 % 2 )) -eq 1 ]; then order=(--journal-first); fi
    if ! "$2" --cpu-once "${order[@]}" > "$out/one" 2> "$out/err"; then
        echo "$1 failed in round $3:" >&2
        cat "$out/err" >&2
        exit 1
    fi
    awk -v who="$1" '$1 == "cpu-us-per-page" { print who, $2, $3 }' "$out/one" >> "$out/all"
}

echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for ((r = 0; r < rounds; ++r)); do
    if [ $(( r % 2 )) -eq 0 ]; then
        run before "$before" "$r"
        run now "$now" "$r"
    else
        run now "$now" "$r"
        run before "$before" "$r"
    fi
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"

awk -v rounds="$rounds" '
function median(key,    n, i, j, t, v) {
    n = count[key]
    for (i = 1; i <= n; ++i) v[i] = values[key, i]
    for (i = 2; i <= n; ++i)
        for (j = i; j > 1 && v[j - 1] > v[j]; --j) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
    lo[key] = v[1]; hi[key] = v[n]
    return n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
}
{ key = $1 " " $2; values[key, ++count[key]] = $3 }
END {
    printf "CPU per page of the 100-page fax, median of %d interleaved rounds [min - max]\n", rounds
    split("nojournal journaled", kinds, " ")
    for (k = 1; k <= 2; ++k) {
        b = median("before " kinds[k]); n = median("now " kinds[k])
        printf "  %-9s before %8.1f us [%.1f - %.1f]   now %8.1f us [%.1f - %.1f]   now/before %.2f\n",
               kinds[k], b, lo["before " kinds[k]], hi["before " kinds[k]],
               n, lo["now " kinds[k]], hi["now " kinds[k]], n / b
    }
}' "$out/all"
