#!/usr/bin/env bash
# Makes a release of Tessaly from the commit checked out (HEAD), and writes into dist/:
#   tessaly-VERSION-win64.zip          tessaly.exe, tessaly-cli.exe, the help file, the manual of
#                                      tessaly-cli, a read-me and the third-party notices
#   tessaly-standin-VERSION-win64.zip  the stand-in driver vlkpath.sys, its install and set-up
#                                      notes, the default set-up text and the notices
#   tessaly-cli_VERSION_ARCH.deb       the native tessaly-cli (iSCSI through libiscsi) for Debian
#                                      12, with its manual page, copyright file and changelog
#   SHA256SUMS                         the SHA-256 of each, for sha256sum -c
#   scripts/release.sh [--out DIR]     (default DIR: dist at the top of this tree)
#
# The release is built from a fresh clone of HEAD in a temporary folder: only committed work goes
# in (uncommitted changes are named and left out), and nothing of this tree's own build is used.
# Every date inside is the time of that commit (SOURCE_DATE_EPOCH), so that the same commit gives
# the same files, byte for byte, wherever and whenever it is built (scripts/check-reproducible.sh).
# Files of the same names in DIR are replaced; nothing else there is touched.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

out=$root/dist
while [ $# -gt 0 ]; do
    case $1 in
        --out)
            out=$(realpath -m "${2:?--out needs a folder}")
            shift 2
            ;;
        *)
            echo "usage: $0 [--out DIR]" >&2
            exit 2
            ;;
    esac
done

scripts/install-deps.sh

commit=$(git rev-parse HEAD)
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "release.sh: uncommitted changes are left out; the release is made from $commit:" >&2
    git status --short --untracked-files=no >&2
fi
SOURCE_DATE_EPOCH=$(git log -1 --format=%ct "$commit")
export SOURCE_DATE_EPOCH

work=$(mktemp -d "${TMPDIR:-/tmp}/tessaly-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "== a fresh clone of $commit in $work" >&2
git clone --quiet --no-checkout "$root" "$work/src"
git -C "$work/src" checkout --quiet --detach "$commit"
src=$work/src
files=()

# The steps of a release, each writing its files into $work/dist and naming them in files.
windows_zips() {
    echo "== the Windows programs, the help file, the stand-in driver, and their zips" >&2
    (cd "$src" && cmake --preset mingw >/dev/null &&
        cmake --build --preset mingw --target tessaly_release)
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$src/build/mingw/CMakeCache.txt")
    local zips=("$src/build/mingw/release/zips/"*-"$version"-win64.zip)
    python3 "$src/release/check_release.py" --version "$version" "${zips[@]}" >&2
    for zip in "${zips[@]}"; do
        cp "$zip" "$work/dist/"
        files+=("$(basename "$zip")")
    done
}
debian_package() {
    echo "== the native tessaly-cli and its Debian package" >&2
    (cd "$src" && cmake --preset native-release >/dev/null &&
        cmake --build --preset native-release)
    version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$src/build/native-release/CMakeCache.txt")
    local debs=("$src/build/native-release/release/deb/tessaly-cli_${version}_"*.deb)
    python3 "$src/release/check_deb.py" --version "$version" "${debs[@]}" >&2
    for deb in "${debs[@]}"; do
        cp "$deb" "$work/dist/"
        files+=("$(basename "$deb")")
    done
}
steps=(windows_zips debian_package)

mkdir -p "$work/dist"
for step in "${steps[@]}"; do
    "$step"
done
(cd "$work/dist" && sha256sum "${files[@]}" >SHA256SUMS && chmod 0644 "${files[@]}" SHA256SUMS)

mkdir -p "$out"
for file in "${files[@]}" SHA256SUMS; do
    cp "$work/dist/$file" "$out/$file"
done
echo "== release $version of $commit in $out:" >&2
(cd "$out" && cat SHA256SUMS)
