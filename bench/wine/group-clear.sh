#!/usr/bin/env bash
# Times the group clear of the real tessaly.exe under Wine against the stand-in driver, beside the
# floor measured in the same run.
#   bench/wine/group-clear.sh [--exe PATH] [--ranges N]
#
# The driver gets a set-up with all 101 devices (0..100), each with paths 0 and 1 and a reservation
# that another node holds under the program's own key. tessaly_group_clear_bench starts the
# program, ticks Group, fills in 0, 100 and path 0 and clicks CLEAR PR KEYS N times (default 10) in
# the same dialog (after ten ranges the two lists hold 72,720 lines). Each range is timed from the
# click until the program has handled it and painted its window; the program's working set and
# private bytes are read after each. The floor is the same 303 requests sent straight through the
# same driver port, each followed by Sleep(1) with the timer at 1 ms; it is measured before the
# first range and after each, and a range's ratio is its time over the mean of the floors just
# before and just after it, so that a machine busy with other work weighs on both alike.
# Runs on a private Xvfb, in the Wine prefix build/wine/bench; the table also goes to
# build/bench/group-clear.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

exe=$root/build/mingw/ui/tessaly.exe
ranges=10
while [ $# -gt 0 ]; do
    case $1 in
        --exe) exe=$(realpath "$2"); shift 2 ;;
        --ranges) ranges=$2; shift 2 ;;
        *) echo "usage: $0 [--exe PATH] [--ranges N]" >&2; exit 2 ;;
    esac
done

scripts/install-deps.sh
echo "== building (mingw preset)" >&2
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target tessaly vlkpath tessaly_group_clear_bench >/dev/null

prefix=$root/build/wine/bench
out=$root/build/bench
mkdir -p "$out"
setup=$out/all-devices.txt
{
    echo "# Devices 0 to 100, each reserved by another node under the program's own key."
    for device in $(seq 0 100); do
        echo "device $device paths 0,1"
        echo "device $device foreign 0 key \"TESSALY1\" reserve 6"
    done
} >"$setup"

source scripts/xvfb.sh
tessaly_private_display_for "$prefix"

echo "== the stand-in driver with all 101 devices in $prefix" >&2
scripts/vlkpath-prefix.sh --setup "$setup" "$prefix"
export TESSALY_WINEPREFIX=$prefix
source scripts/wine-env.sh

echo "== $ranges ranges over devices 0..100, path 0, of $exe" >&2
raw=$out/group-clear.raw
wine "$root/build/mingw/bench/wine/tessaly_group_clear_bench.exe" --exe="$exe" \
    --ranges="$ranges" </dev/null 3>&- 4>&- | tr -d '\r' | tee "$raw" >&2

awk -v when="$(date -u +%Y-%m-%d)" -v model="$(lscpu | sed -n 's/^Model name: *//p' | head -1)" \
    -v cores="$(nproc)" -v wine="$(wine --version 2>/dev/null)" '
    $1 == "start" { ws0 = $2; pb0 = $3 }
    $1 == "floor" { floor[$2] = $3; sorted[++nf] = $3 }
    $1 == "range" { t[$2] = $3; st[$2] = $4; lg[$2] = $5; ws[$2] = $6; pb[$2] = $7; nr = $2 }
    END {
        for (i = 1; i <= nf; i++) for (j = i + 1; j <= nf; j++)
            if (sorted[j] < sorted[i]) { x = sorted[i]; sorted[i] = sorted[j]; sorted[j] = x }
        median = nf % 2 ? sorted[(nf + 1) / 2] : (sorted[nf / 2] + sorted[nf / 2 + 1]) / 2
        printf "group clear 0..100, path 0; %s; %s, %d cores; %s\n", wine, model, cores, when
        printf "floor (303 calls, each + Sleep(1)): median %.3f s of %d runs (%.3f .. %.3f)\n",
            median, nf, sorted[1], sorted[nf]
        printf "program at start: working set %.1f MiB, private %.1f MiB\n", ws0 / 1048576,
            pb0 / 1048576
        printf "%-5s %8s %8s %7s %7s %7s %11s %11s\n", "range", "seconds", "floor", "ratio",
            "status", "log", "working MiB", "private MiB"
        for (r = 1; r <= nr; r++) {
            f = (floor[r - 1] + floor[r]) / 2
            printf "%-5d %8.3f %8.3f %6.2fx %7d %7d %11.1f %11.1f\n", r, t[r], f, t[r] / f, st[r],
                lg[r], ws[r] / 1048576, pb[r] / 1048576
        }
        if (nr > 1) {
            lines = st[nr] + lg[nr] - st[1] - lg[1]
            printf "private bytes from range 1 to range %d: %+.1f MiB for %d more lines, %.0f bytes a line\n",
                nr, (pb[nr] - pb[1]) / 1048576, lines, (pb[nr] - pb[1]) / lines
        }
    }' "$raw" | tee "$out/group-clear.txt"
