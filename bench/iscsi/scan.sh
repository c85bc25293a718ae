#!/usr/bin/env bash
# Times a scan (or, with --fence, a fence) of the LUNs of a private tgt target with N commands in
# flight on one session: the floor (tessaly_iscsi_floor: bare libiscsi, one process, one session,
# N LUNs in progress at once, on each what the program sends on tgt) and, given --cli PATH, a
# native tessaly-cli with --parallel N beside it:
#   scan:  tessaly-cli scan iscsi://127.0.0.1:PORT/IQN/1-LUNS --parallel N
#   fence: tessaly-cli fence iscsi://127.0.0.1:PORT/IQN/1-LUNS --victim NODE-C03 --yes --parallel N
# Both are timed whole, process start included, as a script meets them; with --cli the two
# alternate (each goes first in every other run) and their medians are compared.
#   bench/iscsi/scan.sh [--fence] [--luns N] [--parallel N] [--runs N] [--cli PATH]
#                       [--allocation BYTES]       (256 LUNs, 16 in flight, 11 runs, 65535 bytes)
# Each LUN holds the registration of NODE-C03 (another session's) and its reservation: set up once
# for a scan, and again before every timed fence (not timed). Needs root and tgt (exit 77
# otherwise). The target lives in build/bench/iscsi-tgt, the table goes to
# build/bench/iscsi-scan.txt or iscsi-fence.txt.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"

verb=scan
luns=256
parallel=16
runs=11
cli=
allocation=65535
usage() {
    echo "usage: $0 [--fence] [--luns N] [--parallel N] [--runs N] [--cli PATH] [--allocation BYTES]" >&2
    exit 2
}
while [ $# -gt 0 ]; do
    case $1 in
        --fence) verb=fence; shift ;;
        --luns) luns=${2:-}; shift 2 || usage ;;
        --parallel) parallel=${2:-}; shift 2 || usage ;;
        --runs) runs=${2:-}; shift 2 || usage ;;
        --cli) cli=$(realpath "${2:-}"); shift 2 || usage ;;
        --allocation) allocation=${2:-}; shift 2 || usage ;;
        *) usage ;;
    esac
done
for number in "$luns" "$parallel" "$runs" "$allocation"; do
    [[ $number =~ ^[1-9][0-9]*$ ]] || usage
done
[ "$luns" -le 1000 ] || { echo "--luns takes at most 1000" >&2; exit 2; }
[ -z "$cli" ] || [ -x "$cli" ] || { echo "$cli is not a program" >&2; exit 2; }

echo "== building (native preset)" >&2
scripts/install-deps.sh >&2
cmake --preset native >/dev/null
cmake --build --preset native --target tessaly_iscsi_floor >/dev/null
floor=$root/build/native/bench/iscsi/tessaly_iscsi_floor

out=$root/build/bench
tgt=$out/iscsi-tgt
mkdir -p "$out"
status=0
started=$(scripts/tgt-target.sh start "$tgt" --luns "$luns" --port 3460) || status=$?
[ $status -eq 0 ] || { echo "$started"; exit $status; }
trap 'scripts/tgt-target.sh stop "$tgt"' EXIT
read -r portal iqn <<<"$started"
echo "== tgtd on $portal, $iqn with LUNs 1 to $luns" >&2
setup() { "$floor" setup "$portal" "$iqn" 1 "$luns"; }
setup

now() { date +%s.%N; }
raw=$out/iscsi-$verb.raw
: >"$raw"
run_floor() {
    [ "$verb" = scan ] || setup
    local t0
    t0=$(now)
    result=$("$floor" "$verb" "$portal" "$iqn" 1 "$luns" "$parallel" "$allocation")
    floor_time=$(echo "$(now) - $t0" | bc)
    read -r commands unexpected calls most <<<"$result"
}
cli_time=0
cli_args=("$verb" "iscsi://$portal/$iqn/1-$luns" --parallel "$parallel")
[ "$verb" = scan ] || cli_args+=(--victim NODE-C03 --yes)
run_cli() {
    [ -n "$cli" ] || return 0
    [ "$verb" = scan ] || setup
    local t0
    t0=$(now)
    cli_status=0
    "$cli" "${cli_args[@]}" </dev/null >"$out/iscsi-$verb.out" 2>&1 || cli_status=$?
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
    [ "$run" -eq 0 ] || echo "$run $floor_time $cli_time $calls $commands $unexpected $most" >>"$raw"
done
[ -z "$cli" ] || echo "tessaly-cli's last $verb ended with $cli_status; its output is in $out/iscsi-$verb.out" >&2

awk -v when="$(date -u +%Y-%m-%d)" -v model="$(lscpu | sed -n 's/^Model name: *//p' | head -1)" \
    -v cores="$(nproc)" -v load="$(cut -d' ' -f1-3 /proc/loadavg)" -v cli="$cli" \
    -v allocation="$allocation" -v verb="$verb" -v luns="$luns" -v parallel="$parallel" '
    function median(a, n,   i, j, x) {
        for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++) if (a[j] < a[i]) { x = a[i]; a[i] = a[j]; a[j] = x }
        return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
    }
    { n++; f[n] = $2; c[n] = $3; k[n] = $4; commands = $5; if ($6 != 0) bad++; if ($7 > most) most = $7 }
    END {
        mf = median(f, n); mc = median(c, n); mk = median(k, n)
        printf "%s of LUNs 1..%d of a private tgt on the loopback, %d in flight, allocation %d; %s, %d cores, load %s; %s\n", verb, luns, parallel, allocation, model, cores, load, when
        printf "floor, one process, one session, %d commands, at most %d in flight: median %.3f s of %d runs (login and commands %.1f ms, %.3f ms a command)\n", commands, most, mf, n, mk * 1000, mk * 1000 / commands
        if (cli != "") {
            printf "tessaly-cli %s iscsi://.../1-%d --parallel %d: median %.3f s of %d runs\n", verb, luns, parallel, mc, n
            printf "ratio %.2fx; the program'\''s own work beyond the floor: %.3f ms a LUN\n", mc / mf, (mc - mf) * 1000 / luns
        }
        if (bad) printf "floor runs with answers other than tgt gives: %d\n", bad
    }' "$raw" | tee "$out/iscsi-$verb.txt"
