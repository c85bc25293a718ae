#!/usr/bin/env bash
# The whole test run on a fresh Debian 12 machine: installs what is missing, builds the native,
# sanitizer, Windows and fuzzing presets, and runs every test (the Windows ones under Wine on Xvfb,
# the fuzz targets for a short, bounded time).
#   scripts/test.sh [native] [asan] [wine] [fuzz]     (no argument: all four parts)
# The Windows tests run on a private Xvfb and in the Wine prefixes of the tests; at the end the
# run ends exactly the wineservers of the prefixes it used and its own Xvfb, nothing else (a
# program started by scripts/run.sh keeps running).
set -euo pipefail
cd "$(dirname "$0")/.."

parts=("$@")
[ ${#parts[@]} -gt 0 ] || parts=(native asan wine fuzz)
for part in "${parts[@]}"; do
    case $part in
        native | asan | wine | fuzz) ;;
        *)
            echo "usage: $0 [native] [asan] [wine] [fuzz]" >&2
            exit 2
            ;;
    esac
done
wanted() { [[ " ${parts[*]} " == *" $1 "* ]]; }

scripts/install-deps.sh

if wanted native; then
    echo "== formatting"
    scripts/check-format.sh


    echo "== native build and tests"
    cmake --preset native >/dev/null
    cmake --build --preset native
    ctest --preset native
fi

if wanted asan; then
    echo "== native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
    cmake --preset native-asan >/dev/null
    cmake --build --preset native-asan
    ctest --preset native-asan
fi

if wanted wine; then
    echo "== Windows build"
    cmake --preset mingw >/dev/null
    cmake --build --preset mingw

    echo "== Windows tests under Wine"
    source scripts/wine-env.sh
    source scripts/xvfb.sh
    # scripts/wine-prefix.sh notes here every prefix that a Wine call of this run uses.
    TESSALY_PREFIX_LIST=$(mktemp)
    export TESSALY_PREFIX_LIST
    tessaly_xvfb_pid=
    cleanup() {
        sort -u "$TESSALY_PREFIX_LIST" | while IFS= read -r prefix; do
            scripts/wine-session.sh stop "$prefix"
        done
        rm -f "$TESSALY_PREFIX_LIST"
        [ -z "$tessaly_xvfb_pid" ] || kill "$tessaly_xvfb_pid" >/dev/null 2>&1 || true
    }
    trap cleanup EXIT
    # A display of our own for the windows of the tests.
    tessaly_start_xvfb "${TESSALY_TEST_DISPLAY_NUMBER:-77}"
    # One wineserver for the whole run keeps every test start quick.
    scripts/wine-session.sh start
    ctest --preset mingw
fi

if wanted fuzz; then
    echo "== fuzz targets (libFuzzer): seeds and kept failures replayed, then 20 s each"
    scripts/fuzz.sh all 20
fi
