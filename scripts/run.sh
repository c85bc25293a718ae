#!/usr/bin/env bash
# Runs tessaly.exe under Wine against the stand-in VLK driver with its default disks.
#   scripts/run.sh
# On a fresh Debian 12 machine it first installs what is missing and builds what is missing
# (mingw preset: tessaly.exe with its help file, and vlkpath.sys). The program runs in the Wine
# prefix build/wine/run, prepared afresh on every call (disks back to their start state).
#
# With a usable X display in $DISPLAY the program opens there and the script returns when you
# close it. Without one the script starts a private Xvfb, lets the program run for a few seconds,
# saves a picture of the screen to build/screenshots/run.png, and ends the program.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh

echo "== building tessaly.exe and vlkpath.sys (mingw preset)" >&2
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target tessaly vlkpath >/dev/null

exe=$root/build/mingw/ui/tessaly.exe
prefix=$root/build/wine/run
picture=$root/build/screenshots/run.png

tessaly_xvfb_pid=
cleanup() {
    if [ -n "$tessaly_xvfb_pid" ]; then
        scripts/wine-session.sh stop "$prefix"
        kill "$tessaly_xvfb_pid" >/dev/null 2>&1 || true
    fi
}
trap cleanup EXIT

if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
    own_display=0
else
    own_display=1
    source scripts/xvfb.sh
    tessaly_start_xvfb 90
    echo "== no X display: using a private Xvfb on $DISPLAY" >&2
fi

echo "== preparing the Wine prefix $prefix with the stand-in driver" >&2
scripts/vlkpath-prefix.sh "$prefix"

export TESSALY_WINEPREFIX=$prefix
source scripts/wine-env.sh

if [ "$own_display" -eq 0 ]; then
    echo "== starting tessaly.exe on $DISPLAY; close it (Cancel or Escape) to end" >&2
    wine "$exe" </dev/null >/dev/null 2>&1 3>&- 4>&- || true
    exit 0
fi

wine "$exe" </dev/null >/dev/null 2>&1 3>&- 4>&- &
wine_pid=$!
sleep 6
mkdir -p "$(dirname "$picture")"
if timeout 20 import -window root "$picture"; then
    echo "== picture of the screen: $picture" >&2
else
    echo "== the picture could not be taken" >&2
fi
# Ending the prefix's wineserver ends the program and the driver with it.
timeout 20 scripts/wine-session.sh stop "$prefix" || true
for _ in $(seq 50); do
    kill -0 "$wine_pid" 2>/dev/null || break
    sleep 0.1
done
kill "$wine_pid" 2>/dev/null || true
