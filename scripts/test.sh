#!/usr/bin/env bash
# The whole test run on a fresh Debian 12 machine: installs what is missing, builds the native,
# sanitizer and Windows presets, and runs every test (the Windows ones under Wine on Xvfb); then
# replays the fuzz targets' seeds and kept failures and fuzzes each target for 20 seconds.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/install-deps.sh

echo "== native build and tests"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake --preset native-asan >/dev/null
cmake --build --preset native-asan
ctest --preset native-asan

echo "== Windows build"
cmake --preset mingw >/dev/null
cmake --build --preset mingw

echo "== Windows tests under Wine"
source scripts/wine-env.sh
# A display of our own for the windows of the tests.
number=${TESSALY_TEST_DISPLAY_NUMBER:-77}
while [ -e "/tmp/.X$number-lock" ]; do number=$((number + 1)); done
display=:$number
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do
    xdpyinfo -display "$display" >/dev/null 2>&1 && break
    sleep 0.1
done
cleanup() {
    for prefix in "$root"/build/wine/*/; do
        WINEPREFIX=${prefix%/} wineserver -k >/dev/null 2>&1 || true
    done
    kill "$xvfb_pid" >/dev/null 2>&1 || true
}
trap cleanup EXIT
export DISPLAY=$display
# One wineserver for the whole run keeps every test start quick.
scripts/wine-session.sh start
ctest --preset mingw

echo "== fuzz targets (libFuzzer), 20 s each"
scripts/fuzz.sh all 20
