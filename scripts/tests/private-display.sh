#!/usr/bin/env bash
# scripts/xvfb.sh passes over display numbers that are taken, by a socket without a lock file or
# by a server that answers with neither file in /tmp (listening only on the abstract socket),
# and comes up on a number of its own, with its own server answering. Needs Xvfb, not a display.
set -euo pipefail
scripts=$(cd "$(dirname "$0")/.." && pwd)
# Three free numbers in a row, away from those the scripts use.
first=$((300 + $$ % 600))
while [ -e "/tmp/.X$first-lock" ] || [ -e "/tmp/.X11-unix/X$first" ] ||
    [ -e "/tmp/.X$((first + 1))-lock" ] || [ -e "/tmp/.X11-unix/X$((first + 1))" ]; do
    first=$((first + 2))
done
other=
tessaly_xvfb_pid=
cleanup() {
    rm -f "/tmp/.X11-unix/X$first"
    for pid in $other $tessaly_xvfb_pid; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT

# Number first: a leftover socket file, no lock.
mkdir -p /tmp/.X11-unix
: >"/tmp/.X11-unix/X$first"
# Number first + 1: someone else's server that answers, its files in /tmp gone.
Xvfb ":$((first + 1))" -nolisten tcp </dev/null >/dev/null 2>&1 &
other=$!
for _ in $(seq 100); do
    xdpyinfo -display ":$((first + 1))" >/dev/null 2>&1 && break
    sleep 0.1
done
rm -f "/tmp/.X$((first + 1))-lock" "/tmp/.X11-unix/X$((first + 1))"
xdpyinfo -display ":$((first + 1))" >/dev/null 2>&1 || { echo "the other server does not answer" >&2; exit 1; }

source "$scripts/xvfb.sh"
tessaly_start_xvfb "$first"
number=${DISPLAY#:}
if [ "$number" -le $((first + 1)) ]; then
    echo "FAIL: took display $DISPLAY, which is taken" >&2
    exit 1
fi
[ "$(tr -d ' \n' <"/tmp/.X$number-lock")" = "$tessaly_xvfb_pid" ] || { echo "FAIL: $DISPLAY is not ours" >&2; exit 1; }
xdpyinfo >/dev/null || { echo "FAIL: $DISPLAY does not answer" >&2; exit 1; }
echo "private display: $DISPLAY, passing over :$first and :$((first + 1))"
