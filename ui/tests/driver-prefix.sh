#!/usr/bin/env bash
# The Wine prefix of the black-box scenarios with the stand-in driver.
#   driver-prefix.sh PREFIX          create it or reuse it, with the driver freshly started on its
#                                    default disks, and keep one wineserver running for the tests
#   driver-prefix.sh --stop PREFIX   end that wineserver and the driver with it
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
source "$root/scripts/wine-env.sh"
stop=0
if [ "${1:-}" = --stop ]; then
    stop=1
    shift
fi
export WINEPREFIX=$1

if [ $stop -eq 1 ]; then
    exec "$root/scripts/wine-session.sh" stop "$WINEPREFIX"
fi

# The driver keeps its disks in memory; the script restarts the prefix's wineserver, so the
# driver loads again on the default disks.
if [ -x "$root/scripts/vlkpath-prefix.sh" ]; then
    # Programs started here must not hold the caller's output open after the script ends.
    prepare() { "$root/scripts/vlkpath-prefix.sh" "$WINEPREFIX" </dev/null >"$log" 2>&1 3>&- 4>&-; }
    log=$(mktemp)
    # A prefix created just now may need a second start before its services come up.
    if ! prepare && ! { cat "$log" >&2 && echo "once more:" >&2 && prepare; }; then
        cat "$log" >&2
        rm -f "$log"
        exit 1
    fi
    rm -f "$log"
else
    echo "scripts/vlkpath-prefix.sh is not there: a prefix without the driver, the driver" \
        "scenarios will be skipped" >&2
    "$root/scripts/wine-prefix.sh" "$WINEPREFIX" </dev/null >/dev/null 3>&- 4>&-
fi
wineserver -p </dev/null >/dev/null 2>&1 3>&- 4>&- || true
