#!/usr/bin/env bash
# Checks that every C++ file of the project is as clang-format (the repository's .clang-format)
# writes it; lists the files that are not and fails.
#   scripts/check-format.sh          check
#   scripts/check-format.sh --fix    rewrite them in place
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard -- \
    '*.cpp' '*.h' '*.hpp' '*.cc' | while read -r f; do [ -f "$f" ] && echo "$f"; done)
if [ "${1:-}" = --fix ]; then
    clang-format -i "${files[@]}"
    exit 0
fi
bad=()
for f in "${files[@]}"; do
    clang-format --dry-run -Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if [ ${#bad[@]} -gt 0 ]; then
    echo "Not formatted as clang-format writes them (scripts/check-format.sh --fix):" >&2
    printf '  %s\n' "${bad[@]}" >&2
    exit 1
fi
echo "All ${#files[@]} C++ files formatted."
