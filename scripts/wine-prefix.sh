#!/usr/bin/env bash
# Makes a 64-bit Wine prefix ready for the project's programs.
#   scripts/wine-prefix.sh [PREFIX]     (default: the prefix of scripts/wine-env.sh)
#
# What happens depends on what PREFIX is:
#   missing, or an empty folder     it becomes a new prefix of the project's own
#   a prefix the project made       used; made again when its making broke off half-way
#   a Wine prefix made otherwise    used as it is: nothing in it is changed, nothing added
#   anything else                   refused (exit status 1) with a message naming the folder;
#                                   nothing in it is touched
# The project's own prefixes carry .tessaly-prefix, written before anything else, and
# .tessaly-ready, written once the prefix is complete. Nothing is ever deleted without the first.
# With TESSALY_PREFIX_LIST set (scripts/test.sh sets it), a prefix that is used is added to that
# file: the test run ends the wineservers of exactly those prefixes.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
if [ $# -ge 1 ]; then
    export WINEPREFIX=$1
fi
[[ $WINEPREFIX == /* ]] || WINEPREFIX=$PWD/$WINEPREFIX
used() {
    [ -z "${TESSALY_PREFIX_LIST:-}" ] || echo "$WINEPREFIX" >>"$TESSALY_PREFIX_LIST"
    exit 0
}
[ -f "$WINEPREFIX/.tessaly-ready" ] && used

refuse() {
    echo "$(basename "$0"): $WINEPREFIX $1; it is left as it is. Give a missing or an empty" \
        "folder for a new prefix, or an existing Wine prefix." >&2
    exit 1
}
# What the folder is: new (missing or empty), ours (made by this script), wine (another Wine
# prefix), or other.
kind() {
    if [ ! -e "$WINEPREFIX" ] && [ ! -L "$WINEPREFIX" ]; then
        echo new
    elif [ ! -d "$WINEPREFIX" ]; then
        echo other
    elif [ -f "$WINEPREFIX/.tessaly-prefix" ]; then
        echo ours
    elif [ -z "$(ls -A "$WINEPREFIX")" ]; then
        echo new
    elif [ -f "$WINEPREFIX/system.reg" ] && [ -d "$WINEPREFIX/drive_c" ]; then
        echo wine
    else
        echo other
    fi
}
case $(kind) in
    wine)
        echo "Using the Wine prefix $WINEPREFIX as it is (not made by this project)." >&2
        used
        ;;
    other)
        [ -d "$WINEPREFIX" ] || refuse "is not a folder"
        refuse "holds files and is not a Wine prefix"
        ;;
esac

mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>>"$(tessaly_prefix_lock)"
flock 9
# Another call may have made it, or begun to, while this one waited.
[ -f "$WINEPREFIX/.tessaly-ready" ] && used
case $(kind) in
    ours)
        echo "Making the Wine prefix $WINEPREFIX again (its making broke off) ..." >&2
        find "$WINEPREFIX" -mindepth 1 -maxdepth 1 -exec rm -rf {} +
        ;;
    new) echo "Creating the Wine prefix $WINEPREFIX ..." >&2 ;;
    *) refuse "changed while this script waited for its turn" ;;
esac
mkdir -p "$WINEPREFIX"
: >"$WINEPREFIX/.tessaly-prefix"

# Wine's programs must not inherit the lock (fd 9): a wineserver outlives this script.
wineboot --init >/dev/null 2>&1 3>&- 4>&- 9>&-
wineserver -w 9>&-
reg() { wine reg add "$@" /f >/dev/null 2>&1 3>&- 4>&- 9>&-; }
# Windows work with an X display when there is one and without one otherwise.
reg 'HKCU\Software\Wine\Drivers' /v Graphics /d 'x11,null'
# A virtual desktop gives windows their caption bars and quick destruction without a window
# manager.
reg 'HKCU\Software\Wine\Explorer' /v Desktop /d Default
reg 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768
# This Wine does not load its own fonts (Debian's fonts-wine) by itself.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
# The settings take effect with the next wineserver.
"$here/wine-session.sh" stop "$WINEPREFIX" 9>&-
touch "$WINEPREFIX/.tessaly-ready"
used
