#!/usr/bin/env bash
# Times `tessaly-cli scan 0-100 --path 0` under Wine against the stand-in driver, beside its floor
# measured in the same run: a process that opens the control device and makes the same 101 READ
# FULL STATUS calls and nothing else. Both are timed whole, process start included, as a script
# meets them; the runs alternate, and the medians are compared.
#   bench/cli/scan.sh [--runs N]     (default 15)
# The driver gets all 101 devices (0..100), each with two paths, three registrations and a
# reservation. Prefix build/wine/bench-cli; the table also goes to build/bench/cli-scan.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

runs=15
if [ "${1:-}" = --runs ]; then
    runs=$2
fi

echo "== building (mingw preset)" >&2
scripts/install-deps.sh >&2
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target tessaly-cli vlkpath tessaly_cli_scan_floor >/dev/null
cli=$root/build/mingw/cli/tessaly-cli.exe
floor=$root/build/mingw/bench/cli/tessaly_cli_scan_floor.exe

prefix=$root/build/wine/bench-cli
out=$root/build/bench
mkdir -p "$out"
setup=$out/cli-scan-devices.txt
{
    echo "# Devices 0 to 100: this host's path 0 and two other nodes registered, one holding it."
    for device in $(seq 0 100); do
        echo "device $device paths 0,1"
        echo "device $device path 0 key \"TESSALY1\""
        echo "device $device foreign 0-1 key \"NODE-B01\" reserve 6"
    done
} >"$setup"

cleanup() { scripts/wine-session.sh stop "$prefix"; }
trap cleanup EXIT
echo "== the stand-in driver with all 101 devices in $prefix" >&2
scripts/vlkpath-prefix.sh --setup "$setup" "$prefix" >&2
# One wineserver for the whole run, as on a server where the driver is always there.
scripts/wine-session.sh stop "$prefix"
scripts/wine-session.sh start "$prefix"
export TESSALY_WINEPREFIX=$prefix
source scripts/wine-env.sh

now() { date +%s.%N; }
raw=$out/cli-scan.raw
: >"$raw"
echo "== $runs runs each" >&2
run_floor() {
    local t0
    t0=$(now)
    calls=$(wine "$floor" 0 100 0 </dev/null 3>&- 4>&- | tr -d '\r')
    floor_time=$(echo "$(now) - $t0" | bc)
}
run_cli() {
    local t0
    t0=$(now)
    wine "$cli" scan 0-100 --path 0 </dev/null >"$out/cli-scan.out" 3>&- 4>&-
    cli_time=$(echo "$(now) - $t0" | bc)
}
for run in $(seq 0 "$runs"); do
    # Each goes first in every other run, so that neither always meets the other's after-effects.
    if [ $((run % 2)) -eq 0 ]; then
        run_floor
        run_cli
    else
        run_cli
        run_floor
    fi
    # The first run of each only warms the caches.
    [ "$run" -eq 0 ] || echo "$run $floor_time $cli_time $calls" >>"$raw"
done
lines=$(grep -c '^device' "$out/cli-scan.out")
[ "$lines" -eq 101 ] || { echo "the scan printed $lines device lines, not 101" >&2; exit 1; }

awk -v when="$(date -u +%Y-%m-%d)" -v model="$(lscpu | sed -n 's/^Model name: *//p' | head -1)" \
    -v cores="$(nproc)" -v wine="$(wine --version 2>/dev/null)" '
    function median(a, n,   i, j, x) {
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { x = a[i]; a[i] = a[j]; a[j] = x }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    { n++; f[n] = $2; c[n] = $3; k[n] = $4; if ($5 != 0) bad++ }
    END {
        mf = median(f, n); mc = median(c, n); mk = median(k, n)
        printf "scan 0..100, path 0, one process; %s; %s, %d cores; %s\n", wine, model, cores, when
        printf "floor, 101 READ FULL STATUS calls in one process: median %.3f s of %d runs (the calls alone %.1f ms)\n", mf, n, mk * 1000
        printf "tessaly-cli scan 0-100 --path 0:                median %.3f s of %d runs\n", mc, n
        printf "ratio %.2fx; the program'\''s own work beyond the floor: %.2f ms a device\n", mc / mf, (mc - mf) * 1000 / 101
        if (bad) printf "floor runs with failed calls: %d\n", bad
    }' "$raw" | tee "$out/cli-scan.txt"
