#!/usr/bin/env bash
# Makes a release of the committed tree (HEAD; uncommitted changes never
# enter it) in OUTPUT_FOLDER (default: dist/ at the top of the repository):
#
#   Kestrin-<version>-windows-x86.zip       Kestrin.exe, LICENSE, README.md
#   Kestrin-<version>-linux-x86_64.tar.gz   Kestrin (static), LICENSE, README.md
#   SHA256SUMS                              the two archives' SHA-256 sums
#
# The version is project(VERSION) in CMakeLists.txt. The same commit gives
# byte-identical files wherever and whenever it is built: every time stamp
# is the commit's, and the build folder's path enters no file.
#
#   scripts/release.sh [OUTPUT_FOLDER]
set -euo pipefail

root=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
out=${1:-$root/dist}

for tool in cmake make g++ i686-w64-mingw32-g++-posix zip gzip tar sha256sum; do
    if ! command -v "$tool" > /dev/null; then
        echo "release.sh: $tool is missing (see the README's prerequisites)" >&2
        exit 1
    fi
done
if [ -n "$(git -C "$root" status --porcelain --untracked-files=no)" ]; then
    echo "release.sh: uncommitted changes are left out; releasing HEAD"
fi

export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH=$(git -C "$root" log -1 --format=%ct HEAD)
export TZ=UTC LC_ALL=C
umask 022

mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrin-release.XXXXXX")
trap 'rm -rf "$work"' EXIT

src=$work/src
mkdir "$src"
git -C "$root" archive HEAD | tar -x -C "$src"
version=$(sed -n 's/^project(Kestrin VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
if [ -z "$version" ]; then
    echo "release.sh: no project(Kestrin VERSION ...) in CMakeLists.txt" >&2
    exit 1
fi
echo "== Kestrin $version from $(git -C "$root" rev-parse --short HEAD)"

# Each preset builds in its own folder inside the exported tree.
cd "$src"
for preset in default windows-x86; do
    echo "== building $preset (log: build/$preset.log)"
    if ! { cmake --preset "$preset" -DBUILD_TESTING=OFF -DCMAKE_CXX_FLAGS="-ffile-prefix-map=$src=." &&
           cmake --build --preset "$preset"; } > "$work/$preset.log" 2>&1; then
        cat "$work/$preset.log" >&2
        exit 1
    fi
done

# Members in a fixed order, with the commit's time, fixed modes and owners.
stage=$work/stage
mkdir -p "$stage/windows" "$stage/linux"
install -m 755 build/windows-x86/src/Kestrin.exe "$stage/windows/"
install -m 755 build/default/src/Kestrin "$stage/linux/"
install -m 644 LICENSE README.md "$stage/windows/"
install -m 644 LICENSE README.md "$stage/linux/"
touch -d "@$SOURCE_DATE_EPOCH" "$stage"/windows/* "$stage"/linux/*

zip_name=Kestrin-$version-windows-x86.zip
tar_name=Kestrin-$version-linux-x86_64.tar.gz
(cd "$stage/windows" && zip -q -X -9 "$work/$zip_name" Kestrin.exe LICENSE README.md)
tar -C "$stage/linux" --format=gnu --sort=name --mtime="@$SOURCE_DATE_EPOCH" \
    --owner=0 --group=0 --numeric-owner -cf - Kestrin LICENSE README.md | gzip -9 -n > "$work/$tar_name"
(cd "$work" && sha256sum "$zip_name" "$tar_name" > SHA256SUMS)
mv -f "$work/$zip_name" "$work/$tar_name" "$work/SHA256SUMS" "$out/"

echo "== written to $out:"
(cd "$out" && ls -l "$zip_name" "$tar_name" SHA256SUMS)
echo "   Kestrin.exe: $(stat -c %s "$stage/windows/Kestrin.exe") bytes, Kestrin: $(stat -c %s "$stage/linux/Kestrin") bytes"
