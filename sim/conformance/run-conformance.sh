#!/usr/bin/env bash
# Starts tgtd on the loopback with one logical unit per sequence, runs the conformance player
# against it and stops tgtd again, whatever happens. Exit 77 (skipped) when tgtd cannot run here.
#
#   run-conformance.sh PLAYER WORKDIR PORT
set -uo pipefail
player=$1
workdir=$2
base_port=$3
skip=77

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIPPED: tgtd needs root (its control socket lives in /var/run/tgtd)"
    exit $skip
fi
if ! command -v tgtd >/dev/null || ! command -v tgtadm >/dev/null; then
    echo "SKIPPED: tgt is not installed"
    exit $skip
fi

mkdir -p "$workdir" /var/run/tgtd
# One run per build tree at a time.
exec 9>"$workdir/lock"
if ! flock -w 60 9; then
    echo "another conformance run holds $workdir/lock"
    exit 1
fi

tgtd_pid=
stop_tgtd() {
    [ -n "$tgtd_pid" ] || return 0
    # tgtd keeps running on SIGTERM while it has targets: give it a moment, then SIGKILL. Its
    # state lives in memory only and the backing files go with the run.
    kill -TERM "$tgtd_pid" 2>/dev/null
    for _ in $(seq 10); do
        kill -0 "$tgtd_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$tgtd_pid" 2>/dev/null
    wait "$tgtd_pid" 2>/dev/null
    tgtd_pid=
    [ -n "${port:-}" ] && rm -f "/var/run/tgtd/socket.$port" "/var/run/tgtd/socket.$port.lock"
    return 0
}
trap stop_tgtd EXIT
trap 'exit 1' INT TERM

port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# The port doubles as tgtd's control port number, so two trees never share a control socket.
port=
for try in 0 1 2 3 4; do
    candidate=$((base_port + 10 * try))
    port_in_use "$candidate" && continue
    [ -e "/var/run/tgtd/socket.$candidate" ] && ! rm -f "/var/run/tgtd/socket.$candidate" && continue
    tgtd -f -C "$candidate" --iscsi "portal=127.0.0.1:$candidate" >"$workdir/tgtd.log" 2>&1 &
    tgtd_pid=$!
    for _ in $(seq 100); do
        kill -0 "$tgtd_pid" 2>/dev/null || break
        if tgtadm -C "$candidate" --lld iscsi --op show --mode target >/dev/null 2>&1 &&
            port_in_use "$candidate"; then
            port=$candidate
            break
        fi
        sleep 0.1
    done
    [ -n "$port" ] && break
    stop_tgtd
done
if [ -z "$port" ]; then
    echo "SKIPPED: tgtd did not come up on any port from $base_port"
    tail -n 20 "$workdir/tgtd.log" 2>/dev/null
    exit $skip
fi
echo "tgtd $tgtd_pid on 127.0.0.1:$port"

admin() { tgtadm -C "$port" --lld iscsi "$@"; }
target=iqn.2026-12.org.tessaly:conformance
count=$("$player" --count) || exit 1
admin --op new --mode target --tid 1 -T "$target" || exit 1
for lun in $(seq "$count"); do
    store="$workdir/lun$lun.img"
    rm -f "$store"
    truncate -s 1M "$store"  # sparse: 2048 blocks of 512 bytes, like the model's disks
    admin --op new --mode logicalunit --tid 1 --lun "$lun" -b "$store" || exit 1
done
admin --op bind --mode target --tid 1 -I ALL || exit 1

timeout 120 "$player" "127.0.0.1:$port" "$target"
status=$?
rm -f "$workdir"/lun*.img
exit $status
