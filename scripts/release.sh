#!/usr/bin/env bash
# Makes a release of the committed tree (HEAD; uncommitted changes never
# enter it) in OUTPUT_FOLDER (default: dist/ at the top of the repository):
#
#   Kestrin-<version>-windows-x86.zip       Kestrin.exe, LICENSE, README.md, docs/*.md
#   Kestrin-<version>-linux-x86_64.tar.gz   Kestrin (static), LICENSE, README.md, docs/*.md
#   SHA256SUMS                              the two archives' SHA-256 sums
#
# Each archive holds one folder named like it, with the files in it.
# The version is project(VERSION) in CMakeLists.txt. The same commit gives
# byte-identical files wherever and whenever it is built: every time stamp
# is the commit's, and the build folder's path enters no file.
#
#   scripts/release.sh [--sign CERT.p12 [--password-file FILE] [--timestamp URL]] [OUTPUT_FOLDER]
#
# --sign signs Kestrin.exe with Authenticode (SHA-256) before it is zipped,
# with the certificate, its chain and the private key in CERT.p12, whose
# password, if any, is the first line of FILE. The signing time is the
# commit's, so a signed release is as reproducible as an unsigned one, unless
# --timestamp asks an RFC 3161 time-stamping server to countersign it.
set -euo pipefail

root=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
out=$root/dist cert='' password_file='' timestamp=''
while [ $# -gt 0 ]; do
    case $1 in
        --sign | --password-file | --timestamp)
            if [ $# -lt 2 ]; then
                echo "release.sh: $1 needs a value" >&2
                exit 1
            fi
            case $1 in
                --sign) cert=$(realpath -e -- "$2") ;;
                --password-file) password_file=$(realpath -e -- "$2") ;;
                *) timestamp=$2 ;;
            esac
            shift ;;
        -*)
            echo "usage: scripts/release.sh [--sign CERT.p12 [--password-file FILE] [--timestamp URL]] [OUTPUT_FOLDER]" >&2
            exit 1 ;;
        *) out=$1 ;;
    esac
    shift
done
if [ -z "$cert" ] && [ -n "$password_file$timestamp" ]; then
    echo "release.sh: --password-file and --timestamp go with --sign" >&2
    exit 1
fi

for tool in cmake make g++ i686-w64-mingw32-g++-posix zip gzip tar sha256sum ${cert:+osslsigncode}; do
    if ! command -v "$tool" > /dev/null; then
        echo "release.sh: $tool is missing (scripts/install-needs.sh test installs it on Debian and Ubuntu)" >&2
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

# Signed with the commit's time as the signing time: an RSA key's signature
# of the same bytes at the same time is the same signature.
exe=build/windows-x86/src/Kestrin.exe
if [ -n "$cert" ]; then
    echo "== signing Kestrin.exe with $cert${timestamp:+, time stamp from $timestamp}"
    signing=(-pkcs12 "$cert" -h sha256 -time "$SOURCE_DATE_EPOCH")
    [ -z "$password_file" ] || signing+=(-readpass "$password_file")
    [ -z "$timestamp" ] || signing+=(-ts "$timestamp")
    if ! osslsigncode sign "${signing[@]}" -in "$exe" -out "$work/Kestrin-signed.exe" > "$work/sign.log" 2>&1; then
        cat "$work/sign.log" >&2
        exit 1
    fi
    exe=$work/Kestrin-signed.exe
fi

# Each archive holds one folder named like it; members in a fixed order, with
# the commit's time, fixed modes and owners.
windows=Kestrin-$version-windows-x86 linux=Kestrin-$version-linux-x86_64
stage=$work/stage
install -d -m 755 "$stage/$windows/docs" "$stage/$linux/docs"
install -m 755 "$exe" "$stage/$windows/Kestrin.exe"
install -m 755 build/default/src/Kestrin "$stage/$linux/"
install -m 644 LICENSE README.md "$stage/$windows/"
install -m 644 LICENSE README.md "$stage/$linux/"
# The README's links lead to the manual beside it.
manual=(docs/*.md)
install -m 644 "${manual[@]}" "$stage/$windows/docs/"
install -m 644 "${manual[@]}" "$stage/$linux/docs/"
touch -d "@$SOURCE_DATE_EPOCH" "$stage/$windows" "$stage/$windows"/* "$stage/$windows"/docs/* \
    "$stage/$linux" "$stage/$linux"/* "$stage/$linux"/docs/*

zip_name=$windows.zip
tar_name=$linux.tar.gz
(cd "$stage" && zip -q -X -9 "$work/$zip_name" "$windows/" "$windows/Kestrin.exe" "$windows/LICENSE" "$windows/README.md" \
    "$windows/docs/" "${manual[@]/#/$windows/}")
tar -C "$stage" --format=gnu --sort=name --mtime="@$SOURCE_DATE_EPOCH" \
    --owner=0 --group=0 --numeric-owner -cf - "$linux" | gzip -9 -n > "$work/$tar_name"
(cd "$work" && sha256sum "$zip_name" "$tar_name" > SHA256SUMS)
mv -f "$work/$zip_name" "$work/$tar_name" "$work/SHA256SUMS" "$out/"

echo "== written to $out:"
(cd "$out" && ls -l "$zip_name" "$tar_name" SHA256SUMS)
echo "   Kestrin.exe${cert:+ (signed)}: $(stat -c %s "$stage/$windows/Kestrin.exe") bytes, Kestrin: $(stat -c %s "$stage/$linux/Kestrin") bytes"
