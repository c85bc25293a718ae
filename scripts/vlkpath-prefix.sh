#!/usr/bin/env bash
# Installs the stand-in VLK driver (vlkpath.sys) into a Wine prefix, or takes it out again.
#   scripts/vlkpath-prefix.sh [--setup FILE] [--stop] PREFIX
#
#   (no option)    install or refresh the driver with its default disks
#   --setup FILE   install or refresh the driver with the disks of the set-up text in FILE
#                  (stored as HKLM\System\CurrentControlSet\Services\vlkpath\Parameters\Setup)
#   --stop         remove the driver's service, so that opening "\\.\vlkpath" fails with error 2
#
# Creates the prefix first when it is missing or an empty folder (scripts/wine-prefix.sh, which
# refuses a folder that is neither that nor a Wine prefix) and builds the driver in the mingw
# preset when build/mingw/sim/driver/vlkpath.sys is missing. Every call restarts the prefix's
# wineserver, so the driver loads afresh: new set-up, disks back to their start state. The
# wineserver then stays up for a while (wineserver -p), keeping later Wine starts quick.
# A Wine prefix that the project did not make gets the driver and its service key and nothing
# else; while programs run in it, it is refused, since the restart would end them.
# Safe to call from parallel tests: calls on one prefix take turns (flock).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/.." && pwd)

usage() {
    echo "usage: $0 [--setup FILE] [--stop] PREFIX" >&2
    exit 2
}

setup_file=
stop=0
prefix=
while [ $# -gt 0 ]; do
    case $1 in
        --setup)
            [ $# -ge 2 ] || usage
            setup_file=$2
            shift 2
            ;;
        --stop)
            stop=1
            shift
            ;;
        -*) usage ;;
        *)
            [ -z "$prefix" ] || usage
            prefix=$1
            shift
            ;;
    esac
done
[ -n "$prefix" ] || usage
[ -z "$setup_file" ] || [ "$stop" -eq 0 ] || usage
if [ -n "$setup_file" ] && [ ! -r "$setup_file" ]; then
    echo "$0: cannot read $setup_file" >&2
    exit 2
fi

source "$here/wine-env.sh"
mkdir -p "$(dirname "$prefix")"
WINEPREFIX=$(cd "$(dirname "$prefix")" && pwd)/$(basename "$prefix")
export WINEPREFIX
"$here/wine-prefix.sh" "$WINEPREFIX"

# A set-up that does not parse would only bring up the default disks: refuse it here, with the
# line, when the native checking tool has been built.
checker=$root/build/native/sim/config/vlk_setup
if [ -n "$setup_file" ] && [ -x "$checker" ]; then
    "$checker" --check "$setup_file"
fi

driver=$root/build/mingw/sim/driver/vlkpath.sys
if [ "$stop" -eq 0 ] && [ ! -f "$driver" ]; then
    echo "Building vlkpath.sys ..." >&2
    (
        cd "$root"
        cmake --preset mingw >/dev/null
        cmake --build --preset mingw --target vlkpath >/dev/null
    )
fi

exec 9>>"$(tessaly_prefix_lock)"
flock 9

# Whether a wineserver runs for the prefix: its socket exists. Debian's Wine names the socket's
# folder under /tmp in PREFIX/wineserver; Wine's own default is /tmp/.wine-UID.
server_running() {
    local base socket
    base=/tmp/.wine-$(id -u)
    [ ! -f "$WINEPREFIX/wineserver" ] || base=/tmp/$(cat "$WINEPREFIX/wineserver")
    socket=$base/server-$(stat -c %D "$WINEPREFIX")-$(printf %x "$(stat -c %i "$WINEPREFIX")")/socket
    [ -S "$socket" ]
}
if [ ! -f "$WINEPREFIX/.tessaly-ready" ] && server_running; then
    echo "$0: Wine programs are running in $WINEPREFIX, a prefix this project did not make;" \
        "the driver's restart would end them. End them first (WINEPREFIX=$WINEPREFIX" \
        "wineserver -k) and call again." >&2
    exit 1
fi

service='HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\vlkpath'
# Files of this call's own inside the prefix (regedit reads Windows paths): fresh names, removed
# again at the end.
regfile=$(mktemp "$WINEPREFIX/drive_c/vlkpath-XXXXXX.reg")
state=$(mktemp "$WINEPREFIX/drive_c/vlkpath-XXXXXX.txt")
trap 'rm -f "$regfile" "$regfile.txt" "$state"' EXIT
# UTF-16LE bytes of a file as a .reg hex list, with the terminating zero character.
hex_utf16() {
    { iconv -f LATIN1 -t UTF-16LE "$1"; printf '\0\0'; } | od -An -v -tx1 |
        tr -s ' \n' ',' | sed 's/^,//; s/,$//'
}
{
    echo 'Windows Registry Editor Version 5.00'
    echo
    if [ "$stop" -eq 1 ]; then
        echo "[-$service]"
    else
        echo "[$service]"
        echo '"Type"=dword:00000001'
        echo '"Start"=dword:00000002'
        echo '"ErrorControl"=dword:00000001'
        # Wine 8 loads a driver only from an absolute ImagePath.
        echo '"ImagePath"="\\SystemRoot\\System32\\drivers\\vlkpath.sys"'
        echo
        echo "[$service\\Parameters]"
        if [ -n "$setup_file" ]; then
            echo "\"Setup\"=hex(1):$(hex_utf16 "$setup_file")"
        else
            echo '"Setup"=-'
        fi
    fi
} | sed 's/$/\r/' >"$regfile.txt"
# A .reg file in UTF-16, as regedit writes them: then hex(1) data is read as UTF-16 too.
{ printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$regfile.txt"; } >"$regfile"
rm -f "$regfile.txt"

# Stop everything in the prefix, the driver's host process included, before changing it.
# Wine's processes must not inherit the lock (fd 9) nor the caller's extra descriptors: the
# wineserver and the services outlive this script and would hold them.
restart() { "$here/wine-session.sh" stop "$WINEPREFIX" 9>&-; }
restart
if [ "$stop" -eq 0 ]; then
    mkdir -p "$WINEPREFIX/drive_c/windows/system32/drivers"
    cp "$driver" "$WINEPREFIX/drive_c/windows/system32/drivers/vlkpath.sys"
fi
wine regedit /S "C:\\$(basename "$regfile")" >/dev/null 2>&1 3>&- 4>&- 9>&-
# The service manager reads its services when it starts: restart once more to load the new key.
restart
wineserver -p120 </dev/null >/dev/null 2>&1 3>&- 4>&- 9>&-
# A first program brings up the prefix's services (and with them the driver) with their output in
# a file: started later by a test, they would hold the test's output pipe open for as long as the
# wineserver lives.
wine sc query vlkpath </dev/null >"$state" 2>&1 3>&- 4>&- 9>&- || true
running=0
grep -q 'STATE.*RUNNING' "$state" && running=1
if [ "$running" -ne $((1 - stop)) ]; then
    echo "$0: vlkpath.sys is $([ "$running" -eq 1 ] || echo not) running in $WINEPREFIX:" >&2
    tr -d '\r' <"$state" >&2
    exit 1
fi
