#!/usr/bin/env bash
# Runs a Windows program under Wine in the project's prefix (the cross build's test emulator).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source "$here/wine-env.sh"
"$here/wine-prefix.sh"
# The services a program starts would otherwise hold the caller's output pipe open.
exec wine "$@" 3>&- 4>&-
