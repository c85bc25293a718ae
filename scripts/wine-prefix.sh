#!/usr/bin/env bash
# Creates a 64-bit Wine prefix ready for the project's programs, or leaves a ready one alone.
#   scripts/wine-prefix.sh [PREFIX]     (default: the prefix of scripts/wine-env.sh)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
if [ $# -ge 1 ]; then
    export WINEPREFIX=$1
fi
[ -f "$WINEPREFIX/.tessaly-ready" ] && exit 0

mkdir -p "$(dirname "$WINEPREFIX")"
exec 9>"$WINEPREFIX.lock"
flock 9
[ -f "$WINEPREFIX/.tessaly-ready" ] && exit 0

echo "Creating the Wine prefix $WINEPREFIX ..." >&2
rm -rf "$WINEPREFIX"
wineboot --init >/dev/null 2>&1 3>&- 4>&-
wineserver -w
reg() { wine reg add "$@" /f >/dev/null 2>&1 3>&- 4>&-; }
# Windows work with an X display when there is one and without one otherwise.
reg 'HKCU\Software\Wine\Drivers' /v Graphics /d 'x11,null'
# A virtual desktop gives windows their caption bars and quick destruction without a window
# manager.
reg 'HKCU\Software\Wine\Explorer' /v Desktop /d Default
reg 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768
# This Wine does not load its own fonts (Debian's fonts-wine) by itself.
mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
cp /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
wineserver -k || true
wineserver -w || true
touch "$WINEPREFIX/.tessaly-ready"
