# Sourced: the environment every Wine call of the project runs in.
tessaly_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export WINEPREFIX="${TESSALY_WINEPREFIX:-$tessaly_root/build/wine/bare}"
export WINEARCH=win64
export WINEDEBUG=-all
export LANG=C.UTF-8
# No Mono or Gecko prompts; a crash exits non-zero instead of waiting in the debugger.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d"
