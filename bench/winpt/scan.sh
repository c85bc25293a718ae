#!/usr/bin/env bash
# Times a scan of the stand-in driver's 101 disk objects "\\.\PhysicalDrive<10000 + 100 x device>"
# (devices 0..100, path 0) through SCSI pass-through under Wine: the floor, one process that opens
# each disk and sends it one READ FULL STATUS and nothing else; the same through PassThroughTarget;
# and, with --cli, tessaly-cli scan over the 101 names joined by commas, once the program takes
# them (a program that answers with a syntax error is reported and left out). Each is timed whole,
# process start included, as a script meets it; the runs alternate, and the medians are compared.
#   bench/winpt/scan.sh [--runs N] [--allocation BYTES] [--cli PATH]
# Defaults: 15 runs, 512 bytes (what the scan asks of READ FULL STATUS; give what the program
# asks). Prefix build/wine/bench-winpt; the table also goes to build/bench/winpt-scan.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

runs=15
allocation=512
cli=
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2 ;;
        --allocation) allocation=$2 ;;
        --cli) cli=$(realpath "$2") ;;
        *)
            echo "usage: $0 [--runs N] [--allocation BYTES] [--cli PATH]" >&2
            exit 2
            ;;
    esac
    shift 2
done

echo "== building (mingw preset)" >&2
scripts/install-deps.sh >&2
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target vlkpath tessaly_winpt_scan_floor >/dev/null
floor=$root/build/mingw/bench/winpt/tessaly_winpt_scan_floor.exe

prefix=$root/build/wine/bench-winpt
out=$root/build/bench
mkdir -p "$out"
setup=$out/winpt-scan-devices.txt
{
    echo "# Devices 0 to 100 on path 0: this host and two other nodes registered, one holding it."
    for device in $(seq 0 100); do
        echo "device $device paths 0"
        echo "device $device path 0 key \"TESSALY1\""
        echo "device $device foreign 0-1 key \"NODE-B01\" reserve 6"
    done
} >"$setup"
names=$(for device in $(seq 0 100); do printf '\\\\.\\PhysicalDrive%d,' $((10000 + 100 * device)); done)
names=${names%,}

cleanup() { scripts/wine-session.sh stop "$prefix"; }
trap cleanup EXIT
echo "== the stand-in driver with all 101 devices in $prefix" >&2
scripts/vlkpath-prefix.sh --setup "$setup" "$prefix" >&2
# One wineserver for the whole run, as on a server where the driver is always there.
scripts/wine-session.sh stop "$prefix"
scripts/wine-session.sh start "$prefix"
export TESSALY_WINEPREFIX=$prefix
source scripts/wine-env.sh

if [ -n "$cli" ]; then
    status=0
    wine "$cli" scan "$names" </dev/null >"$out/winpt-scan.out" 2>"$out/winpt-scan.err" 3>&- 4>&- ||
        status=$?
    lines=$(grep -c '^\\\\\.\\PhysicalDrive' "$out/winpt-scan.out" || true)
    if [ "$status" -eq 1 ] || [ "$lines" -ne 101 ]; then
        echo "== $cli does not scan the disk names yet (exit status $status, $lines device" \
            "lines: $(head -1 "$out/winpt-scan.err" | tr -d '\r')); timing the rest" >&2
        cli=
    fi
fi

now() { date +%s.%N; }
# One timed run of a kind: whole seconds, and for the floor's two kinds the calls' own seconds
# and failures.
time_run() {
    local t0 inner
    t0=$(now)
    case $1 in
        floor) inner=$(wine "$floor" 0 100 "$allocation" </dev/null 3>&- 4>&- | tr -d '\r') ;;
        target) inner=$(wine "$floor" 0 100 "$allocation" target </dev/null 3>&- 4>&- | tr -d '\r') ;;
        cli)
            wine "$cli" scan "$names" </dev/null >/dev/null 2>&1 3>&- 4>&- || true
            inner="0 0"
            ;;
    esac
    echo "$(echo "$(now) - $t0" | bc) $inner"
}
kinds=(floor target)
[ -z "$cli" ] || kinds+=(cli)
raw=$out/winpt-scan.raw
: >"$raw"
echo "== $runs runs each (${kinds[*]})" >&2
for run in $(seq 0 "$runs"); do
    # Each kind goes first in turn, so that none always meets another's after-effects.
    order=("${kinds[@]:run % ${#kinds[@]}}" "${kinds[@]:0:run % ${#kinds[@]}}")
    for kind in "${order[@]}"; do
        result=$(time_run "$kind")
        # The first run of each only warms the caches.
        [ "$run" -eq 0 ] || echo "$kind $result" >>"$raw"
    done
done

awk -v when="$(date -u +%Y-%m-%d)" -v model="$(lscpu | sed -n 's/^Model name: *//p' | head -1)" \
    -v cores="$(nproc)" -v wine="$(wine --version 2>/dev/null)" -v allocation="$allocation" \
    -v load="$(cut -d' ' -f1-3 /proc/loadavg)" '
    function median(a, n,   i, j, x) {
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { x = a[i]; a[i] = a[j]; a[j] = x }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    { n[$1]++; whole[$1, n[$1]] = $2; inner[$1, n[$1]] = $3; if ($4 != 0) bad[$1]++ }
    END {
        # Median and fastest: on a loaded machine the runs fall into a fast and a slow group, and
        # the fastest shows what the work itself costs.
        for (k in n) {
            for (i = 1; i <= n[k]; i++) { w[i] = whole[k, i]; c[i] = inner[k, i] }
            mw[k] = median(w, n[k]); mc[k] = median(c, n[k]); fw[k] = w[1]; fc[k] = c[1]
        }
        printf "scan of 101 disk objects (path 0), READ FULL STATUS of %d bytes; %s; %s, %d cores; load %s; %s\n", allocation, wine, model, cores, load, when
        printf "%d runs each; seconds whole (process start included) and the disks alone, median / fastest\n", n["floor"]
        printf "floor, bare calls in one process:  %.3f / %.3f s, the disks alone %.1f / %.1f ms\n", mw["floor"], fw["floor"], mc["floor"] * 1000, fc["floor"] * 1000
        printf "through PassThroughTarget:         %.3f / %.3f s, the disks alone %.1f / %.1f ms\n", mw["target"], fw["target"], mc["target"] * 1000, fc["target"] * 1000
        printf "PassThroughTarget beside the floor: %.2fx / %.2fx whole, %.2fx / %.2fx the disks alone\n", mw["target"] / mw["floor"], fw["target"] / fw["floor"], mc["target"] / mc["floor"], fc["target"] / fc["floor"]
        if ("cli" in n) {
            printf "tessaly-cli scan (the 101 names):  %.3f / %.3f s\n", mw["cli"], fw["cli"]
            printf "ratio %.2fx / %.2fx; the program'\''s own work beyond the floor: %.2f ms a disk (medians)\n", mw["cli"] / mw["floor"], fw["cli"] / fw["floor"], (mw["cli"] - mw["floor"]) * 1000 / 101
        }
        for (k in bad) printf "%s runs with failed calls: %d\n", k, bad[k]
    }' "$raw" | tee "$out/winpt-scan.txt"
