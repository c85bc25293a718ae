#!/usr/bin/env bash
# Makes the pictures of docs/images again: tessaly.exe under Wine on the stand-in driver's default
# disks, on a private Xvfb; tessaly_pictures drives it and takes each picture with ImageMagick's
# import, cut to the dialog's window.
#   scripts/pictures.sh [FOLDER]      (default: docs/images)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
out=$(realpath -m "${1:-docs/images}")

scripts/install-deps.sh
echo "== building tessaly.exe, vlkpath.sys and tessaly_pictures (mingw preset)" >&2
cmake --preset mingw >/dev/null
cmake --build --preset mingw --target tessaly vlkpath tessaly_pictures >/dev/null

prefix=$root/build/wine/pictures
source scripts/xvfb.sh
tessaly_private_display_for "$prefix"

echo "== the stand-in driver on its default disks in $prefix" >&2
scripts/vlkpath-prefix.sh "$prefix"
export TESSALY_WINEPREFIX=$prefix
source scripts/wine-env.sh
mkdir -p "$out"
wine build/mingw/ui/tests/tessaly_pictures.exe --exe="$root/build/mingw/ui/tessaly.exe" \
    --out="$out" </dev/null 3>&- 4>&- | tr -d '\r' | sed "s|^|$out/|"
