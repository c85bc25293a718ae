# Sourced: the environment every Wine call of the project runs in.
tessaly_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${TESSALY_WINEPREFIX:-$tessaly_root/build/wine/bare}"
export WINEARCH=win64
export WINEDEBUG=-all
export LANG=C.UTF-8
# No Mono or Gecko prompts; a crash exits non-zero instead of waiting in the debugger.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"

# The lock file by which calls on the prefix WINEPREFIX take turns (flock). It lives in the
# project's build folder, never beside the prefix, which may be a folder of a person's own.
tessaly_prefix_lock() {
    local locks=$tessaly_root/build/wine-locks
    mkdir -p "$locks"
    echo "$locks/$(printf '%s' "$WINEPREFIX" | cksum | cut -d' ' -f1).lock"
}
