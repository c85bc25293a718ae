#!/usr/bin/env bash
# Times a scan of 100 iSCSI LUNs of a private tgt target: the floor (tessaly_iscsi_scan_floor: bare
# libiscsi, one process, one session, READ FULL STATUS, READ KEYS and READ RESERVATION on each LUN)
# and, given --cli PATH, a native tessaly-cli doing `scan iscsi://127.0.0.1:PORT/IQN/1-100` beside
# it. Both are timed whole, process start included, as a script meets them; with --cli the two
# alternate (each goes first in every other run) and their medians are compared.
#   bench/iscsi/scan.sh [--runs N] [--cli PATH] [--allocation BYTES]    (11 runs, 512 bytes)
# Each LUN holds one registration and a reservation (made once, by a session of its own). Needs
# root and tgt (exit 77 otherwise). The target lives in build/bench/iscsi-tgt, the table goes to
# build/bench/iscsi-scan.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

runs=11
cli=
allocation=512
while [ $# -gt 0 ]; do
    case $1 in
        --runs) runs=$2; shift 2 ;;
        --cli) cli=$(realpath "$2"); shift 2 ;;
        --allocation) allocation=$2; shift 2 ;;
        *) echo "usage: $0 [--runs N] [--cli PATH] [--allocation BYTES]" >&2; exit 2 ;;
    esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "--runs takes a number from 1" >&2; exit 2; }
[ -z "$cli" ] || [ -x "$cli" ] || { echo "$cli is not a program" >&2; exit 2; }

echo "== building (native preset)" >&2
scripts/install-deps.sh >&2
[ -f build/native/CMakeCache.txt ] || cmake --preset native >/dev/null
cmake --build --preset native --target tessaly_iscsi_scan_floor >/dev/null
floor=$root/build/native/bench/iscsi/tessaly_iscsi_scan_floor

out=$root/build/bench
tgt=$out/iscsi-tgt
mkdir -p "$out"
status=0
started=$(scripts/tgt-target.sh start "$tgt" --luns 100 --port 3460) || status=$?
[ $status -eq 0 ] || { echo "$started"; exit $status; }
trap 'scripts/tgt-target.sh stop "$tgt"' EXIT
read -r portal iqn <<<"$started"
echo "== tgtd on $portal, $iqn with LUNs 1 to 100" >&2
"$floor" --setup "$portal" "$iqn" 1 100

now() { date +%s.%N; }
raw=$out/iscsi-scan.raw
: >"$raw"
run_floor() {
    local t0
    t0=$(now)
    result=$("$floor" "$portal" "$iqn" 1 100 "$allocation")
    floor_time=$(echo "$(now) - $t0" | bc)
    read -r commands unexpected calls <<<"$result"
}
cli_time=0
run_cli() {
    [ -n "$cli" ] || return 0
    local t0
    t0=$(now)
    cli_status=0
    "$cli" scan "iscsi://$portal/$iqn/1-100" </dev/null >"$out/iscsi-scan.out" 2>&1 ||
        cli_status=$?
    cli_time=$(echo "$(now) - $t0" | bc)
}
echo "== $runs runs" >&2
for run in $(seq 0 "$runs"); do
    if [ $((run % 2)) -eq 0 ]; then
        run_floor
        run_cli
    else
        run_cli
        run_floor
    fi
    # The first run of each only warms the caches.
    [ "$run" -eq 0 ] || echo "$run $floor_time $cli_time $calls $commands $unexpected" >>"$raw"
done
[ -z "$cli" ] || echo "tessaly-cli's last scan ended with $cli_status; its output is in $out/iscsi-scan.out" >&2

awk -v when="$(date -u +%Y-%m-%d)" -v model="$(lscpu | sed -n 's/^Model name: *//p' | head -1)" \
    -v cores="$(nproc)" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" -v cli="$cli" \
    -v allocation="$allocation" '
    function median(a, n,   i, j, x) {
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { x = a[i]; a[i] = a[j]; a[j] = x }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    { n++; f[n] = $2; c[n] = $3; k[n] = $4; commands = $5; if ($6 != 0) bad++ }
    END {
        mf = median(f, n); mc = median(c, n); mk = median(k, n)
        printf "scan of LUNs 1..100 of a private tgt on the loopback, allocation %d; %s, %d cores, load %s; %s\n", allocation, model, cores, load, when
        printf "floor, one process, one session, %d commands: median %.3f s of %d runs (login and commands %.1f ms, %.3f ms a command)\n", commands, mf, n, mk * 1000, mk * 1000 / commands
        if (cli != "") {
            printf "tessaly-cli scan iscsi://.../1-100:         median %.3f s of %d runs\n", mc, n
            printf "ratio %.2fx; the program'\''s own work beyond the floor: %.2f ms a LUN\n", mc / mf, (mc - mf) * 1000 / 100
        }
        if (bad) printf "floor runs with answers other than tgt gives: %d\n", bad
    }' "$raw" | tee "$out/iscsi-scan.txt"
