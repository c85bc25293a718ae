#!/usr/bin/env bash
# Runs tessaly-cli.exe under Wine against the stand-in VLK driver and its default disks.
#   scripts/tessaly-cli.sh [--fresh] ARGS...     scripts/tessaly-cli.sh --stop
# On a fresh Debian 12 machine it first installs and builds what is missing (mingw preset). The
# disks live in the driver's memory, in the Wine prefix build/wine/cli, for as long as that
# prefix's wineserver runs: this script starts the driver when none runs there, with a wineserver
# that stays up, so changes carry from one call to the next. --fresh starts the driver again on
# its default disks; --stop ends the wineserver and the driver with it. The program's exit status
# is the script's.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

fresh=0
case "${1:-}" in
    --fresh)
        fresh=1
        shift
        ;;
    --stop)
        exec scripts/wine-session.sh stop "$root/build/wine/cli"
        ;;
esac

scripts/install-deps.sh >&2
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target tessaly-cli vlkpath >/dev/null

prefix=$root/build/wine/cli
export TESSALY_WINEPREFIX=$prefix
source scripts/wine-env.sh

# Wine's server for a prefix listens on a socket named after the prefix folder's device and inode.
server_running() {
    [ -d "$prefix" ] || return 1
    local dev ino
    read -r dev ino < <(stat -c '%d %i' "$prefix")
    compgen -G "/tmp/wine*/server-$(printf %x "$dev")-$(printf %x "$ino")/socket" >/dev/null
}

if [ "$fresh" -eq 1 ] || ! server_running; then
    echo "== starting the stand-in driver on its default disks in $prefix" >&2
    scripts/vlkpath-prefix.sh "$prefix" </dev/null >&2
    # Once more under a wineserver that stays up with no time limit: the disks go when it goes.
    scripts/wine-session.sh stop "$prefix"
    scripts/wine-session.sh start "$prefix"
fi
exec wine "$root/build/mingw/cli/tessaly-cli.exe" "$@" 3>&- 4>&-
