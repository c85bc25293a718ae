#!/usr/bin/env bash
# What the prefix scripts do with the folder they are given, with Wine replaced by stand-ins that
# only log their calls (no display, no Wine, a second or two):
#   a folder with a person's file      refused by every script, the folder named, nothing changed
#   a Wine prefix made elsewhere       used as it is: nothing changed, nothing added
#   a missing or an empty folder       made into a prefix
#   a prefix of ours that broke off    made again
set -euo pipefail
scripts=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

# Stand-ins for Wine's programs: wineboot makes the files of a prefix, the others only log.
mkdir "$work/bin"
for tool in wine wineserver wineboot; do
    cat >"$work/bin/$tool" <<STUB
#!/bin/sh
printf "%s\n" "$tool \$*" >>"$work/wine.log"
[ "$tool" != wineboot ] || { mkdir -p "\$WINEPREFIX/drive_c" && : >"\$WINEPREFIX/system.reg"; }
STUB
    chmod +x "$work/bin/$tool"
done
export PATH=$work/bin:$PATH
unset TESSALY_WINEPREFIX

# Everything in a folder, contents included, as one text.
snapshot() { (cd "$1" && find . -print0 | sort -z | xargs -0 -r ls -ld --time-style=+%s && find . -type f -print0 | sort -z | xargs -0 -r md5sum); }

# A person's folder, given to each script that takes a prefix.
user=$work/user
mkdir "$user"
echo "notes of a person" >"$user/notes.txt"
before=$(snapshot "$user")
for call in "wine-prefix.sh $user" "vlkpath-prefix.sh $user" "vlkpath-prefix.sh --stop $user" \
    "wine-session.sh start $user" "env TESSALY_WINEPREFIX=$user $scripts/wine-run.sh cmd"; do
    : >"$work/wine.log"
    read -r script args <<<"$call"
    [ "$script" = env ] || script=$scripts/$script
    # shellcheck disable=SC2086
    if "$script" $args >"$work/out" 2>&1; then
        fail "$call: accepted the folder"
    fi
    grep -qF "$user" "$work/out" || fail "$call: the message does not name $user: $(cat "$work/out")"
    [ "$(snapshot "$user")" = "$before" ] || fail "$call: the folder changed"
    [ ! -s "$work/wine.log" ] || fail "$call: Wine ran: $(cat "$work/wine.log")"
    [ ! -e "$user.lock" ] || fail "$call: left $user.lock beside the folder"
done

# A Wine prefix that this project did not make.
plain=$work/plain
mkdir -p "$plain/drive_c/users"
: >"$plain/system.reg"
echo "a setting of a person" >"$plain/user.reg"
before=$(snapshot "$plain")
: >"$work/wine.log"
"$scripts/wine-prefix.sh" "$plain" 2>"$work/out" || fail "a Wine prefix was refused: $(cat "$work/out")"
[ "$(snapshot "$plain")" = "$before" ] || fail "a Wine prefix changed"
[ ! -s "$work/wine.log" ] || fail "a Wine prefix: Wine ran: $(cat "$work/wine.log")"

# Missing and empty folders become prefixes; so does one of ours whose making broke off.
mkdir "$work/empty" "$work/broken"
: >"$work/broken/.tessaly-prefix"
: >"$work/broken/half-done"
for folder in "$work/missing" "$work/empty" "$work/broken"; do
    "$scripts/wine-prefix.sh" "$folder" 2>"$work/out" || fail "$folder refused: $(cat "$work/out")"
    [ -f "$folder/.tessaly-ready" ] && [ -f "$folder/system.reg" ] || fail "$folder: not made"
done
[ ! -e "$work/broken/half-done" ] || fail "a broken prefix of ours was not made again"

[ "$failures" -eq 0 ] || exit 1
echo "prefix folders: all cases as expected"
