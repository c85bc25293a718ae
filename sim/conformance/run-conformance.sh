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
source "$(dirname "$0")/../../scripts/tgtd.sh"

tessaly_tgtd_usable || exit $skip
# One run per build tree at a time.
tessaly_tgtd_lock "$workdir" "conformance run" || exit 1
trap tessaly_tgtd_stop EXIT
trap 'exit 1' INT TERM
tessaly_tgtd_start "$workdir" "$base_port" || exit $skip
port=$tessaly_tgtd_port
echo "tgtd $tessaly_tgtd_pid on 127.0.0.1:$port"

admin() { tessaly_tgtd_admin "$@"; }
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
