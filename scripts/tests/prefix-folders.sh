#!/usr/bin/env bash
# What the prefix scripts do with the folder they are given, with Wine's programs replaced by
# stand-ins that log their calls (no Wine, no display): a folder with a person's file is refused
# by every script, named, and left as it was; a Wine prefix made elsewhere is used as it is; a
# missing or empty folder, or a prefix of ours whose making broke off, becomes a prefix.
set -euo pipefail
scripts=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
fail() { echo "FAIL: $*" >&2 && status=1; }

mkdir "$work/bin"
for tool in wine wineserver wineboot; do
    printf '#!/bin/sh\necho %s >>"%s"\n' "$tool" "$work/wine.log" >"$work/bin/$tool"
    chmod +x "$work/bin/$tool"
done
echo 'mkdir -p "$WINEPREFIX/drive_c" && : >"$WINEPREFIX/system.reg"' >>"$work/bin/wineboot"
export PATH=$work/bin:$PATH
unset TESSALY_WINEPREFIX
snapshot() { (cd "$1" && find . -printf '%p %s %T@\n' | sort && find . -type f -exec md5sum {} + | sort); }

user=$work/user plain=$work/plain
mkdir -p "$user" "$plain/drive_c"
echo "notes of a person" >"$user/notes.txt"
echo "a setting of a person" >"$plain/system.reg"
before=$(snapshot "$user")
for call in "wine-prefix.sh $user" "vlkpath-prefix.sh $user" "vlkpath-prefix.sh --stop $user" \
    "wine-session.sh start $user" "env TESSALY_WINEPREFIX=$user $scripts/wine-run.sh cmd"; do
    read -r script args <<<"$call"
    [ "$script" = env ] || script=$scripts/$script
    rm -f "$work/wine.log"
    # shellcheck disable=SC2086
    ! "$script" $args >"$work/out" 2>&1 || fail "$call: accepted"
    grep -qF "$user" "$work/out" || fail "$call: the message does not name the folder"
    [ "$(snapshot "$user")" = "$before" ] && [ ! -e "$user.lock" ] || fail "$call: changed things"
    [ ! -e "$work/wine.log" ] || fail "$call: Wine ran"
done

before=$(snapshot "$plain")
"$scripts/wine-prefix.sh" "$plain" 2>/dev/null || fail "a Wine prefix was refused"
[ "$(snapshot "$plain")" = "$before" ] && [ ! -e "$work/wine.log" ] || fail "a Wine prefix changed"

mkdir "$work/empty" "$work/broken"
touch "$work/broken/.tessaly-prefix" "$work/broken/half-done"
for folder in "$work/missing" "$work/empty" "$work/broken"; do
    "$scripts/wine-prefix.sh" "$folder" 2>/dev/null || fail "$folder refused"
    [ -f "$folder/.tessaly-ready" ] && [ -f "$folder/system.reg" ] || fail "$folder not made"
done
[ ! -e "$work/broken/half-done" ] || fail "a broken prefix of ours was not made again"
exit $status
