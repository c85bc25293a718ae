#!/usr/bin/env bash
# A private iSCSI target on this machine's loopback for trying the native tessaly-cli: tgt on its
# own port (3390 or the next free of +10, +20, ...), whose LUNs 1 to 8 hold the registrations and
# reservations of the stand-in's default disks 0 to 7 (disk N is LUN N + 1; tgt's LUN 0 is its
# controller). It stays up until `stop`; `start` again gives the LUNs their states afresh.
#   scripts/iscsi-demo.sh [start]     prints the address of the LUNs' target
#   scripts/iscsi-demo.sh stop
# On a fresh Debian 12 machine it first installs and builds what is missing (native preset).
# tgtd needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=$PWD/build/iscsi-demo

case ${1:-start} in
    stop)
        exec scripts/tgt-target.sh stop "$dir"
        ;;
    start) ;;
    *)
        echo "usage: $0 [start|stop]" >&2
        exit 2
        ;;
esac

scripts/install-deps.sh >&2
cmake --preset native >/dev/null
cmake --build --preset native --target tessaly-cli tgt_setup >/dev/null
if [ ! -f "$dir/tgtd.pid" ] || ! kill -0 "$(cat "$dir/tgtd.pid")" 2>/dev/null; then
    scripts/tgt-target.sh start "$dir" --luns 8 --port 3390 >/dev/null
fi
portal=$(cat "$dir/portal")
iqn=$(cat "$dir/iqn")
build/native/cli/tgt_setup "$portal" "$iqn" -
echo "iscsi://$portal/$iqn"
echo "try: build/native/cli/tessaly-cli scan iscsi://$portal/$iqn/1-8" >&2
