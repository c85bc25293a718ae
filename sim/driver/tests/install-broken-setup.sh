#!/usr/bin/env bash
# Installs vlkpath.sys into PREFIX with a set-up that does not parse, stored as REG_MULTI_SZ (one
# line a string), and checks that the driver names the faulty line in its debug output and starts
# all the same, with the default disks.
#   sim/driver/tests/install-broken-setup.sh PREFIX
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
[ $# -eq 1 ] || { echo "usage: $0 PREFIX" >&2; exit 2; }
"$root/scripts/vlkpath-prefix.sh" "$1"

source "$root/scripts/wine-env.sh"
WINEPREFIX=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
export WINEPREFIX
exec 9>>"$(tessaly_prefix_lock)"
flock 9

# Line 2 declares device 9 a second time.
wine reg add 'HKLM\System\CurrentControlSet\Services\vlkpath\Parameters' /v Setup \
    /t REG_MULTI_SZ /d 'device 9 paths 0\0device 9 paths 1' /f \
    </dev/null >/dev/null 2>&1 3>&- 4>&- 9>&-
"$root/scripts/wine-session.sh" stop "$WINEPREFIX" 9>&-
wineserver -p120 </dev/null >/dev/null 2>&1 3>&- 4>&- 9>&-

# The driver loads with this first program; its debug output goes to a file (see
# scripts/vlkpath-prefix.sh on why not a pipe).
log=$WINEPREFIX/drive_c/vlkpath-log.txt
WINEDEBUG=warn+debugstr wine sc query vlkpath </dev/null >"$log" 2>&1 3>&- 4>&- 9>&- || true
expected='vlkpath: Parameters\Setup line 2: a device declared twice; default disks'
if ! grep -qF "$expected" "$log" || ! grep -q 'STATE.*RUNNING' "$log"; then
    echo "$0: expected the driver running after \"$expected\"; got:" >&2
    tr -d '\r' <"$log" >&2
    exit 1
fi
