#!/usr/bin/env bash
# Times tessaly-cli over devices 0..100 of the stand-in driver under Wine, every device answering
# each command LATENCY ms after it took it (10 unless given), with --parallel 1 and with the
# default, each beside its floor measured in the same run: tessaly_cli_parallel_floor, a bare
# program that sends the same commands with the same number in flight and nothing else
# (bench/cli/ParallelFloor.cpp). scan, group-clear --yes and fence --yes; every run of a command
# that changes the disks starts on disks set up afresh. Timed whole, process start included, as a
# script meets them; the median of RUNS. The program's start (tessaly-cli --version, timed after
# each run) is given apart, so that the speed-up of the range itself shows beside the whole.
#   bench/cli/parallel.sh [--runs N] [--latency MS]     (3 runs, 10 ms)
# Prefix build/wine/bench-parallel; the table goes to build/bench/cli-parallel.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

runs=3
latency=10
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --latency) latency=$2; shift 2 ;;
        *) echo "usage: $0 [--runs N] [--latency MS]" >&2; exit 2 ;;
    esac
done

echo "== building (mingw preset)" >&2
scripts/install-deps.sh >&2
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target tessaly-cli vlkpath tessaly_cli_parallel_floor >/dev/null
cli=$root/build/mingw/cli/tessaly-cli.exe
floor=$root/build/mingw/bench/cli/tessaly_cli_parallel_floor.exe
default_parallel=16

prefix=$root/build/wine/bench-parallel
out=$root/build/bench
mkdir -p "$out"
# The disks each command finds: held by another node under this host's key with path 0
# registered nowhere (group-clear clears them), or a dead node's key holding them with path 0
# registered (fence preempts it under the key path 0 holds).
setup_for() {
    echo "latency $latency"
    for device in $(seq 0 100); do
        echo "device $device paths 0,1"
        case $1 in
            group-clear) echo "device $device foreign 0 key \"TESSALY1\" reserve 6" ;;
            *)
                echo "device $device path 0 key \"TESSALY1\""
                echo "device $device foreign 5-6 key \"NODE-C03\" reserve 6"
                ;;
        esac
    done
}

cleanup() { scripts/wine-session.sh stop "$prefix"; }
trap cleanup EXIT
export TESSALY_WINEPREFIX=$prefix
source scripts/wine-env.sh
prepared=
prepare() {
    [ "$prepared" != "$1" ] || [ "$1" = scan ] && [ "$prepared" = scan ] && return 0
    setup_for "$1" >"$out/cli-parallel-$1.txt"
    scripts/vlkpath-prefix.sh --setup "$out/cli-parallel-$1.txt" "$prefix" >/dev/null
    scripts/wine-session.sh stop "$prefix"
    scripts/wine-session.sh start "$prefix"
    prepared=$1
}

now() { date +%s.%N; }
time_of() {
    local t0
    t0=$(now)
    "$@" </dev/null >"$out/cli-parallel.out" 3>&- 4>&- || true
    echo "$(now) - $t0" | bc
}
raw=$out/cli-parallel.raw
: >"$raw"
for verb in scan group-clear fence; do
    yes=()
    [ $verb = scan ] || yes=(--yes)
    victim=()
    [ $verb = fence ] && victim=(--victim NODE-C03)
    for parallel in 1 $default_parallel; do
        for run in $(seq 1 "$runs"); do
            echo "== $verb, $parallel at once, run $run" >&2
            prepare $verb
            [ $verb = scan ] || prepared=
            f=$(time_of wine "$floor" $verb 0 100 $parallel)
            prepare $verb
            [ $verb = scan ] || prepared=
            c=$(time_of wine "$cli" --parallel $parallel $verb 0-100 --path 0 "${victim[@]}" "${yes[@]}")
            lines=$(grep -c '^device' "$out/cli-parallel.out" || true)
            [ "$lines" -eq 101 ] || { echo "$verb printed $lines device lines, not 101" >&2; exit 1; }
            s=$(time_of wine "$cli" --version)
            echo "$verb $parallel $f $c $s" >>"$raw"
        done
    done
done

awk -v when="$(date -u +%Y-%m-%d)" -v latency="$latency" -v runs="$runs" \
    -v model="$(lscpu | sed -n 's/^Model name: *//p' | head -1)" -v cores="$(nproc)" \
    -v wine="$(wine --version 2>/dev/null)" '
    function median(list,   a, n, i, j, x) {
        n = split(list, a, " ")
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { x = a[i]; a[i] = a[j]; a[j] = x }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    { f[$1 " " $2] = f[$1 " " $2] " " $3; c[$1 " " $2] = c[$1 " " $2] " " $4; s = s " " $5; widths[$2] = 1 }
    END {
        start = median(s)
        printf "devices 0..100 at %d ms a command, path 0; %s; %s, %d cores; %s; median of %d runs\n", latency, wine, model, cores, when, runs
        printf "| command | at once | floor | tessaly-cli | ratio to the floor |\n|---|---|---|---|---|\n"
        split("scan group-clear fence", order, " ")
        for (v = 1; v <= 3; v++) {
            for (w in widths) {
                k = order[v] " " w
                mf = median(f[k]); mc = median(c[k]); one[order[v], w] = mc
                printf "| %s | %s | %.3f s | %.3f s | %.2fx |\n", order[v], w, mf, mc, mc / mf
            }
        }
        for (v = 1; v <= 3; v++) {
            n = 0
            for (w in widths) ws[++n] = w + 0
            lo = ws[1] < ws[2] ? ws[1] : ws[2]; hi = ws[1] < ws[2] ? ws[2] : ws[1]
            printf "%s: %d at once takes %.1fx less than %d at a time, %.1fx less beyond the program'"'"'s start (%.3f s)\n", order[v], hi, one[order[v], lo] / one[order[v], hi], lo, (one[order[v], lo] - start) / (one[order[v], hi] - start), start
        }
    }' "$raw" | tee "$out/cli-parallel.txt"
