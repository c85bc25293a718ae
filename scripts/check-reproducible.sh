#!/usr/bin/env bash
# Checks that a release of HEAD comes out the same, byte for byte, when it is made again:
#   scripts/check-reproducible.sh
# makes two clones of HEAD in two different temporary folders, runs scripts/release.sh in each
# (the second a few seconds after the first, with another umask, another time zone and a longer
# temporary folder for its build), and compares the two dist folders: for each file, the same
# bytes or where they part (for a zip, the entry and its first differing offset). Two full builds:
# some minutes, so it is not part of scripts/test.sh. Exit status 1 when anything differs.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
commit=$(git rev-parse HEAD)

first=$(mktemp -d /tmp/tessaly-repro.XXXXXX)
second=$(mktemp -d /var/tmp/tessaly-reproducible-second.XXXXXX)
trap 'rm -rf "$first" "$second"' EXIT

clone() {
    git clone --quiet --no-checkout "$root" "$1"
    git -C "$1" checkout --quiet --detach "$commit"
}
clone "$first/tessaly"
clone "$second/a/longer/path/to/tessaly"

echo "== first release, in $first" >&2
start=$(date +%s)
"$first/tessaly/scripts/release.sh"
middle=$(date +%s)
sleep 5
echo "== second release, in $second" >&2
mkdir -p "$second/tmp"
(umask 0027 && TZ=Pacific/Chatham TMPDIR=$second/tmp \
    "$second/a/longer/path/to/tessaly/scripts/release.sh")
end=$(date +%s)

echo "== the two releases of $commit (made in $((middle - start)) s and $((end - middle)) s)" >&2
python3 release/compare_dist.py "$first/tessaly/dist" "$second/a/longer/path/to/tessaly/dist"
