# shellcheck shell=bash
# Sourced: a private tgtd (the Linux SCSI target) on the loopback, for the tests that need a real
# SCSI target. Its own control socket (-C PORT) and its own portal (127.0.0.1:PORT) on the first
# free port of BASE, BASE+10, ... BASE+40, so that two build trees never share one; every wait is
# bounded. The caller stops it on every exit (tessaly_tgtd_stop in its EXIT trap).
#
#   tessaly_tgtd_usable            says SKIPPED and why, and returns 1, when tgtd cannot run here
#   tessaly_tgtd_lock DIR WHAT     one run per DIR at a time (a lock on DIR/lock, held on fd 9
#                                  until the caller exits); says another WHAT holds it and
#                                  returns 1 after 60 s
#   tessaly_tgtd_start DIR BASE    starts it, its log in DIR/tgtd.log; sets tessaly_tgtd_pid and
#                                  tessaly_tgtd_port; says SKIPPED and returns 1 when it came up on
#                                  no port
#   tessaly_tgtd_admin ARGS...     tgtadm on its control socket, iSCSI
#   tessaly_tgtd_stop              stops it (through SIGTERM, then SIGKILL) and removes its socket

tessaly_tgtd_pid=
tessaly_tgtd_port=

tessaly_tgtd_usable() {
    if [ "$(id -u)" -ne 0 ]; then
        echo "SKIPPED: tgtd needs root (its control socket lives in /var/run/tgtd)"
        return 1
    fi
    if ! command -v tgtd >/dev/null || ! command -v tgtadm >/dev/null; then
        echo "SKIPPED: tgt is not installed"
        return 1
    fi
}

tessaly_tgtd_lock() {
    mkdir -p "$1"
    exec 9>"$1/lock"
    if ! flock -w 60 9; then
        echo "another $2 holds $1/lock"
        return 1
    fi
}

tessaly_tgtd_port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# Stops the tgtd started on control port $1 (default: the one that came up).
tessaly_tgtd_stop() {
    local port=${1:-$tessaly_tgtd_port}
    [ -n "$tessaly_tgtd_pid" ] || return 0
    # tgtd keeps running on SIGTERM while it has targets: give it a moment, then SIGKILL. Its
    # state lives in memory only.
    kill -TERM "$tessaly_tgtd_pid" 2>/dev/null
    for _ in $(seq 10); do
        kill -0 "$tessaly_tgtd_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$tessaly_tgtd_pid" 2>/dev/null
    wait "$tessaly_tgtd_pid" 2>/dev/null
    tessaly_tgtd_pid=
    [ -z "$port" ] || rm -f "/var/run/tgtd/socket.$port" "/var/run/tgtd/socket.$port.lock"
    return 0
}

tessaly_tgtd_start() {
    local dir=$1 base=$2 try candidate
    mkdir -p "$dir" /var/run/tgtd
    tessaly_tgtd_port=
    # The port doubles as tgtd's control port number.
    for try in 0 1 2 3 4; do
        candidate=$((base + 10 * try))
        tessaly_tgtd_port_in_use "$candidate" && continue
        [ -e "/var/run/tgtd/socket.$candidate" ] && ! rm -f "/var/run/tgtd/socket.$candidate" &&
            continue
        # It inherits neither lock: the callers hold theirs on fds 8 and 9.
        tgtd -f -C "$candidate" --iscsi "portal=127.0.0.1:$candidate" >"$dir/tgtd.log" 2>&1 \
            8>&- 9>&- &
        tessaly_tgtd_pid=$!
        for _ in $(seq 100); do
            kill -0 "$tessaly_tgtd_pid" 2>/dev/null || break
            if tgtadm -C "$candidate" --lld iscsi --op show --mode target >/dev/null 2>&1 &&
                tessaly_tgtd_port_in_use "$candidate"; then
                tessaly_tgtd_port=$candidate
                return 0
            fi
            sleep 0.1
        done
        tessaly_tgtd_stop "$candidate"
    done
    echo "SKIPPED: tgtd did not come up on any port from $base"
    tail -n 20 "$dir/tgtd.log" 2>/dev/null
    return 1
}

tessaly_tgtd_admin() { tgtadm -C "$tessaly_tgtd_port" --lld iscsi "$@"; }
