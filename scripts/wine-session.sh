#!/usr/bin/env bash
# Keeps one wineserver, with Wine's own services, running for a prefix while a test run lasts:
#   scripts/wine-session.sh start [PREFIX]    scripts/wine-session.sh stop [PREFIX]
# The services start here, with their output sent nowhere: a service started by a test instead would
# inherit the test's output pipe and hold it open, and the test runner would wait for it.
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
        wineserver -p </dev/null >/dev/null 2>&1
        wine cmd /c exit </dev/null >/dev/null 2>&1 3>&- 4>&- || true
        ;;
    stop)
        wineserver -k >/dev/null 2>&1 || true
        ;;
    *)
        echo "usage: $0 start|stop [PREFIX]" >&2
        exit 2
        ;;
esac
