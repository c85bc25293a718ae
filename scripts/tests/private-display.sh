#!/usr/bin/env bash
# scripts/xvfb.sh passes over display numbers that are taken, by a leftover socket without a lock
# file or by a server that answers with neither file in /tmp (on its abstract socket only), and
# comes up on a number of its own, with its own server answering. Needs Xvfb, not a display.
set -euo pipefail
n=$((300 + $$ % 600))
while [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$((n + 1))-lock" ] ||
    [ -e "/tmp/.X11-unix/X$((n + 1))" ]; do n=$((n + 2)); done
other='' tessaly_xvfb_pid=''
trap 'rm -f /tmp/.X11-unix/X$n; kill $other $tessaly_xvfb_pid 2>/dev/null || true' EXIT
mkdir -p /tmp/.X11-unix
: >"/tmp/.X11-unix/X$n"
Xvfb ":$((n + 1))" -nolisten tcp </dev/null >/dev/null 2>&1 &
other=$!
for _ in $(seq 100); do xdpyinfo -display ":$((n + 1))" >/dev/null 2>&1 && break || sleep 0.1; done
rm -f "/tmp/.X$((n + 1))-lock" "/tmp/.X11-unix/X$((n + 1))"

source "$(dirname "$0")/../xvfb.sh"
tessaly_start_xvfb "$n"
[ "${DISPLAY#:}" -gt $((n + 1)) ] || { echo "FAIL: took $DISPLAY, which is taken" >&2 && exit 1; }
[ "$(tr -d ' \n' <"/tmp/.X${DISPLAY#:}-lock")" = "$tessaly_xvfb_pid" ] && xdpyinfo >/dev/null
