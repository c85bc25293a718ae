#!/usr/bin/env bash
# Times the stand-in driver's latency under Wine: 101 overlapped calls to 101 disks of 10 ms each,
# all sent at once; one call (one latency); and, to show the order per disk, 101 calls to one disk
# (101 latencies, one after the other). The floor, measured in the same run: the same three with
# disks that answer at once, which is what Wine's own round trips cost.
#   bench/driver/latency.sh [--rounds N] [--latency MS]     (default 10 rounds, 10 ms)
# Prefix build/wine/bench-latency; the table also goes to build/bench/driver-latency.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

rounds=10
latency=10
while [ $# -gt 0 ]; do
    case "$1" in
        --rounds) rounds=$2; shift 2 ;;
        --latency) latency=$2; shift 2 ;;
        *) echo "usage: $0 [--rounds N] [--latency MS]" >&2; exit 2 ;;
    esac
done

echo "== building (mingw preset)" >&2
scripts/install-deps.sh >&2
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target vlkpath vlkpath_latency_bench >/dev/null
bench=$root/build/mingw/bench/driver/vlkpath_latency_bench.exe

prefix=$root/build/wine/bench-latency
out=$root/build/bench
mkdir -p "$out"
cleanup() { scripts/wine-session.sh stop "$prefix"; }
trap cleanup EXIT
export TESSALY_WINEPREFIX=$prefix
raw=$out/driver-latency.raw
: >"$raw"
for ms in 0 "$latency"; do
    setup=$out/driver-latency-devices.txt
    {
        echo "latency $ms"
        for device in $(seq 0 100); do
            echo "device $device paths 0"
        done
    } >"$setup"
    echo "== the stand-in driver with 101 disks of $ms ms in $prefix" >&2
    scripts/vlkpath-prefix.sh --setup "$setup" "$prefix" >&2
    scripts/wine-session.sh stop "$prefix"
    scripts/wine-session.sh start "$prefix"
    # The first round only warms up.
    (source scripts/wine-env.sh && wine "$bench" 0 100 $((rounds + 1)) </dev/null 3>&- 4>&-) |
        tr -d '\r' | tail -n +2 | sed "s/^/$ms /" >>"$raw"
done

source scripts/wine-env.sh
awk -v when="$(date -u +%Y-%m-%d)" -v model="$(lscpu | sed -n 's/^Model name: *//p' | head -1)" \
    -v cores="$(nproc)" -v wine="$(wine --version 2>/dev/null)" -v latency="$latency" '
    function median(a, n,   i, j, x) {
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { x = a[i]; a[i] = a[j]; a[j] = x }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    { k = ($1 == 0) ? "z" : "l"; n[k]++; f[k, n[k]] = $2; s[k, n[k]] = $3; q[k, n[k]] = $4; bad += $5 }
    function col(t, k,   i, a) { for (i = 1; i <= n[k]; i++) a[i] = t == "f" ? f[k, i] : t == "s" ? s[k, i] : q[k, i]; return median(a, n[k]) }
    END {
        printf "stand-in driver; %s; %s, %d cores; %s; medians of %d rounds\n", wine, model, cores, when, n["l"]
        printf "%-34s %12s %12s %12s\n", "", "0 ms (floor)", latency " ms", "added"
        split("f s q", kinds, " ")
        names["f"] = "one call"; names["s"] = "101 calls to 101 disks, at once"; names["q"] = "101 calls to one disk"
        for (i = 1; i <= 3; i++) {
            t = kinds[i]; z = col(t, "z"); l = col(t, "l")
            printf "%-34s %9.2f ms %9.2f ms %9.2f ms = %.1f latencies\n", names[t], z, l, l - z, (l - z) / latency
        }
        if (bad) printf "failed calls: %d\n", bad
    }' "$raw" | tee "$out/driver-latency.txt"
