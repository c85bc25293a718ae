#!/usr/bin/env bash
# A private iSCSI target for tests, benchmarks and trying tessaly-cli: tgtd on 127.0.0.1 with a
# portal and a control socket of its own, one target with LUNS disks (LUN 1 to LUNS; tgt's LUN 0
# is its controller), each backed by a sparse file in DIR.
#
#   scripts/tgt-target.sh start DIR [--luns N] [--port BASE]   start it; prints "PORTAL IQN"
#   scripts/tgt-target.sh stop DIR                               stop what `start` started in DIR
#   scripts/tgt-target.sh run DIR [--luns N] [--port BASE] -- COMMAND [ARG...]
#       start it, run COMMAND with TESSALY_TGT_PORTAL, TESSALY_TGT_IQN and TESSALY_TGT_DIR set,
#       stop it whatever happens; exits with COMMAND's status
#
# LUNS is 4 unless given (at most 1000), BASE 3360: the first free port of BASE, BASE+10, ...
# (five tries) is both the portal's port and tgtd's control port. DIR (made when missing) gets
# portal, iqn, tgtd.pid, tgtd.log and the backing files lunN.img (1 MiB each, sparse); `stop`
# removes the backing files and the pid file. One tgtd per DIR: a second `start` is refused while
# the first runs, and `run` holds DIR/lock until it has stopped tgtd, so two runs on one DIR take
# turns (a tgtd that a killed run left in DIR is stopped first). Exit 77 (skipped) when tgtd cannot run here (not root, tgt not installed, no free port).
set -uo pipefail
skip=77

usage() {
    echo "usage: $0 start|stop|run DIR [--luns N] [--port BASE] [-- COMMAND...]" >&2
    exit 2
}
[ $# -ge 2 ] || usage
action=$1
dir=$2
shift 2
luns=4
base_port=3360
command=()
while [ $# -gt 0 ]; do
    case $1 in
        --luns) [ $# -ge 2 ] || usage; luns=$2; shift 2 ;;
        --port) [ $# -ge 2 ] || usage; base_port=$2; shift 2 ;;
        --) shift; command=("$@"); break ;;
        *) usage ;;
    esac
done
[[ $luns =~ ^[1-9][0-9]*$ ]] && [ "$luns" -le 1000 ] || usage
[[ $base_port =~ ^[1-9][0-9]*$ ]] && [ "$base_port" -le 65000 ] || usage
case $action in
    start | stop) [ ${#command[@]} -eq 0 ] || usage ;;
    run) [ ${#command[@]} -gt 0 ] || usage ;;
    *) usage ;;
esac

iqn=iqn.2026-12.org.tessaly:private

source "$(dirname "$0")/tgtd.sh"
tessaly_tgtd_usable || exit $skip
mkdir -p "$dir" /var/run/tgtd || exit 1
dir=$(cd "$dir" && pwd)

# start and stop each hold the lock for their own work; run holds it from start to stop.
exec 9>"$dir/lock"
if ! flock -w 120 9; then
    echo "another run holds $dir/lock" >&2
    exit 1
fi

# The tgtd that `start` left in DIR, when it still runs: its pid, else nothing (also once it has
# ended and is left for `run` to reap: its command line is empty then).
running_pid() {
    local pid port
    pid=$(cat "$dir/tgtd.pid" 2>/dev/null) || return 0
    port=$(cat "$dir/port" 2>/dev/null) || return 0
    [[ $pid =~ ^[0-9]+$ ]] || return 0
    # Only a tgtd with our control port: a pid that a finished tgtd left may be anyone's now.
    tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline" | grep -q "tgtd -f -C $port " && echo "$pid"
}

do_stop() {
    local pid port
    pid=$(running_pid)
    port=$(cat "$dir/port" 2>/dev/null)
    if [ -n "$pid" ]; then
        # Through its control socket first (a test may have left it stopped): the target goes,
        # then the daemon ends itself...
        kill -CONT "$pid" 2>/dev/null
        timeout 5 tgtadm -C "$port" --lld iscsi --op delete --mode target --tid 1 --force \
            >/dev/null 2>&1
        timeout 5 tgtadm -C "$port" --op delete --mode system >/dev/null 2>&1
        # (it notices that at its next event: this call is one)
        timeout 5 tgtadm -C "$port" --op show --mode system >/dev/null 2>&1
        for _ in $(seq 30); do
            [ -n "$(running_pid)" ] || break
            sleep 0.1
        done
        # ... then by its process id. Its state lives in memory only.
        if [ -n "$(running_pid)" ]; then
            kill -TERM "$pid" 2>/dev/null
            for _ in $(seq 20); do
                [ -n "$(running_pid)" ] || break
                sleep 0.1
            done
            [ -z "$(running_pid)" ] || kill -KILL "$pid" 2>/dev/null
        fi
        wait "$pid" 2>/dev/null
    fi
    if [ -n "$port" ] && ! tessaly_tgtd_port_in_use "$port"; then
        rm -f "/var/run/tgtd/socket.$port" "/var/run/tgtd/socket.$port.lock"
    fi
    rm -f "$dir"/lun*.img "$dir/tgtd.pid" "$dir/port" "$dir/portal" "$dir/iqn"
    return 0
}

do_start() {
    local pid candidate port=
    pid=$(running_pid)
    if [ -n "$pid" ]; then
        echo "tgtd $pid already runs for $dir: stop it first ($0 stop $dir)" >&2
        return 1
    fi
    for try in 0 1 2 3 4; do
        candidate=$((base_port + 10 * try))
        tessaly_tgtd_port_in_use "$candidate" && continue
        [ -e "/var/run/tgtd/socket.$candidate" ] && continue
        # setsid: tgtd outlives this script after `start`, and no terminal signal reaches it.
        setsid tgtd -f -C "$candidate" --iscsi "portal=127.0.0.1:$candidate" \
            </dev/null >"$dir/tgtd.log" 2>&1 9>&- &
        pid=$!
        echo "$pid" >"$dir/tgtd.pid"
        echo "$candidate" >"$dir/port"
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            if tgtadm -C "$candidate" --lld iscsi --op show --mode target >/dev/null 2>&1 &&
                tessaly_tgtd_port_in_use "$candidate"; then
                port=$candidate
                break
            fi
            sleep 0.1
        done
        [ -n "$port" ] && break
        do_stop
    done
    if [ -z "$port" ]; then
        echo "SKIPPED: tgtd did not come up on any port from $base_port"
        tail -n 20 "$dir/tgtd.log" 2>/dev/null
        return $skip
    fi

    admin() { tgtadm -C "$port" --lld iscsi "$@"; }
    if ! admin --op new --mode target --tid 1 -T "$iqn"; then
        do_stop
        return 1
    fi
    for lun in $(seq "$luns"); do
        rm -f "$dir/lun$lun.img"
        truncate -s 1M "$dir/lun$lun.img"
        if ! admin --op new --mode logicalunit --tid 1 --lun "$lun" -b "$dir/lun$lun.img"; then
            do_stop
            return 1
        fi
    done
    if ! admin --op bind --mode target --tid 1 -I ALL; then
        do_stop
        return 1
    fi
    echo "127.0.0.1:$port" >"$dir/portal"
    echo "$iqn" >"$dir/iqn"
    echo "127.0.0.1:$port $iqn"
}

case $action in
    stop)
        do_stop
        ;;
    start)
        do_start
        ;;
    run)
        trap do_stop EXIT
        trap 'exit 1' INT TERM
        do_stop  # what a run that was killed left behind in DIR
        do_start >/dev/null || exit $?
        echo "tgtd $(cat "$dir/tgtd.pid") on $(cat "$dir/portal"), target $iqn with $luns LUNs"
        TESSALY_TGT_PORTAL=$(cat "$dir/portal") TESSALY_TGT_IQN=$iqn TESSALY_TGT_DIR=$dir \
            "${command[@]}" 9>&-
        ;;
esac
