# shellcheck shell=bash
# Sourced: a private X display (Xvfb) for scripts/run.sh and scripts/test.sh.
#   tessaly_start_xvfb [FIRST]
# Starts Xvfb on the first display number from FIRST (default 90) whose lock file (/tmp/.XN-lock)
# and socket (/tmp/.X11-unix/XN) are both free, and waits until that server answers. The server
# that answers must be the one started here (its process id in the lock file): an X server of
# someone else's on the same number is never taken for it. Sets and exports DISPLAY and sets
# tessaly_xvfb_pid (the caller ends the server with it); says why and returns 1 when no server
# came up on any of fifty numbers.
tessaly_xvfb_lock_pid() { tr -d ' \n' 2>/dev/null <"/tmp/.X$1-lock"; }
tessaly_start_xvfb() {
    local first=${1:-90}
    local number pid
    for ((number = first; number < first + 50; number++)); do
        [ ! -e "/tmp/.X$number-lock" ] && [ ! -e "/tmp/.X11-unix/X$number" ] || continue
        Xvfb ":$number" -screen 0 1024x768x24 -nolisten tcp </dev/null >/dev/null 2>&1 3>&- 4>&- &
        pid=$!
        # Ours answers once it holds the lock, answers, and still runs a moment later: an Xvfb that
        # cannot listen (the number is taken after all, say by a server with no files in /tmp)
        # writes its lock and ends within milliseconds, while the other server answers.
        for _ in $(seq 100); do
            kill -0 "$pid" 2>/dev/null || break
            if [ "$(tessaly_xvfb_lock_pid "$number")" = "$pid" ] &&
                xdpyinfo -display ":$number" >/dev/null 2>&1; then
                sleep 0.2
                if kill -0 "$pid" 2>/dev/null &&
                    [ "$(tessaly_xvfb_lock_pid "$number")" = "$pid" ]; then
                    tessaly_xvfb_pid=$pid
                    export DISPLAY=:$number
                    return 0
                fi
            fi
            sleep 0.1
        done
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    echo "No private X display: Xvfb did not come up on any of :$first to :$((first + 49))." >&2
    return 1
}

# For a script that runs Wine programs in PREFIX on a private display: starts the display now
# (from number FIRST, default 90), and at the script's exit ends the prefix's wineserver, with
# every program in it, and the display.
tessaly_scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tessaly_private_display_for() {
    tessaly_session_prefix=$1
    tessaly_xvfb_pid=
    trap '"$tessaly_scripts/wine-session.sh" stop "$tessaly_session_prefix"
          [ -z "$tessaly_xvfb_pid" ] || kill "$tessaly_xvfb_pid" >/dev/null 2>&1 || true' EXIT
    tessaly_start_xvfb "${2:-90}"
}
