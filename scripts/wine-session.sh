#!/usr/bin/env bash
# The wineserver of a prefix, started and ended in one place:
#   scripts/wine-session.sh start [PREFIX]   make the prefix ready (scripts/wine-prefix.sh) and keep
#                                            one wineserver, with Wine's own services, running for
#                                            it while a test run lasts
#   scripts/wine-session.sh stop [PREFIX]    end the prefix's wineserver and every program in it,
#                                            and wait until they have ended
# PREFIX defaults to the prefix of scripts/wine-env.sh. The services start here, with their output
# sent nowhere: a service started by a test instead would inherit the test's output pipe and hold
# it open, and the test runner would wait for it. Wine's processes never inherit the caller's extra
# descriptors (3, 4, and 9, which the prefix scripts use for their lock).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
action=${1:?start or stop}
if [ $# -ge 2 ]; then
    export WINEPREFIX=$2
fi
case "$action" in
    start)
        "$here/wine-prefix.sh" "$WINEPREFIX"
        wineserver -p </dev/null >/dev/null 2>&1 3>&- 4>&- 9>&-
        wine cmd /c exit </dev/null >/dev/null 2>&1 3>&- 4>&- 9>&- || true
        ;;
    stop)
        # Only a folder in which Wine has run can have a wineserver; in any other, wineserver
        # itself would leave a file behind.
        [ -f "$WINEPREFIX/system.reg" ] || [ -f "$WINEPREFIX/.tessaly-prefix" ] ||
            [ -f "$WINEPREFIX/wineserver" ] || exit 0
        wineserver -k </dev/null >/dev/null 2>&1 3>&- 4>&- 9>&- || true
        wineserver -w </dev/null >/dev/null 2>&1 3>&- 4>&- 9>&- || true
        ;;
    *)
        echo "usage: $0 start|stop [PREFIX]" >&2
        exit 2
        ;;
esac
