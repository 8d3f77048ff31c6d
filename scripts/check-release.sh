#!/usr/bin/env bash
# Makes the release of HEAD twice, from two clones in different places into
# two different folders, and checks that the files are byte-identical, that
# the sums match, what the archives hold (names, order, owners, times) and
# that the programs in them are what the README promises.
set -euo pipefail

root=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
for tool in i686-w64-mingw32-g++-posix zip unzip python3; do
    if ! command -v "$tool" > /dev/null; then
        echo "== release check skipped: needs $tool"
        exit 0
    fi
done

export TZ=UTC LC_ALL=C
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrin-check-release.XXXXXX")
trap 'rm -rf "$work"' EXIT
commit=$(git -C "$root" rev-parse HEAD)
epoch=$(git -C "$root" log -1 --format=%ct HEAD)
version=$(sed -n 's/^project(Kestrin VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
files=("Kestrin-$version-windows-x86.zip" "Kestrin-$version-linux-x86_64.tar.gz" SHA256SUMS)

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Different clone paths, of different lengths, and different output folders.
clones=("$work/a/Kestrin" "$work/clone-number-two/deeper/Kestrin")
for i in 0 1; do
    git clone -q --no-checkout "$root" "${clones[$i]}"
    git -C "${clones[$i]}" checkout -q --detach "$commit"
    TMPDIR=$work "${clones[$i]}/scripts/release.sh" "$work/out$i" > "$work/release$i.log" ||
        { cat "$work/release$i.log"; exit 1; }
done
for file in "${files[@]}"; do
    cmp "$work/out0/$file" "$work/out1/$file" || fail "$file differs between two runs"
done

cd "$work/out0"
sha256sum --quiet -c SHA256SUMS || fail "SHA256SUMS does not match"

# The zip: members in order, all with the commit's time (in two-second
# steps, rounded up, as zip stores it), no extra fields.
members=$(unzip -Z1 "${files[0]}" | tr '\n' ' ')
[ "$members" = "Kestrin.exe LICENSE README.md " ] || fail "zip holds: $members"
zip_time=$(date -u -d "@$(((epoch + 1) / 2 * 2))" +%Y%m%d.%H%M%S)
times=$(unzip -Z -T "${files[0]}" | awk '/^[-d]/ { print $7 }' | sort -u | tr '\n' ' ')
[ "$times" = "$zip_time " ] || fail "zip times: $times, not $zip_time"
unzip -Z -v "${files[0]}" | grep "length of extra field" | grep -qv ": *0 bytes" && fail "zip has extra fields"

# The tarball: members in order, owner 0/0, the commit's time.
tar_time=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
listing=$(tar -tvzf "${files[1]}" --full-time --numeric-owner | awk '{ print $2, $4, $5, $6 }')
expected=$(printf '0/0 %s %s\n' "$tar_time" Kestrin "$tar_time" LICENSE "$tar_time" README.md)
[ "$listing" = "$expected" ] || fail "tarball holds: $listing"

# The programs: Kestrin.exe as its own checks want it; the Linux program
# static, stripped, and announcing the project's version.
mkdir windows linux
unzip -q "${files[0]}" -d windows
tar -xzf "${files[1]}" -C linux
python3 "$root/tests/check_windows_program.py" windows/Kestrin.exe --version "$version" ||
    fail "Kestrin.exe"
readelf -lW linux/Kestrin | grep -q INTERP && fail "the Linux program is not static"
readelf -SW linux/Kestrin | grep -q '\.symtab' && fail "the Linux program is not stripped"
status=0
banner=$(linux/Kestrin 2> /dev/null) || status=$?
[ "$status" = 1 ] || fail "the Linux program without arguments exits with $status, not 1"
grep -qF ">> Launcher Kestrin v$version <<" <<< "$banner" ||
    fail "the Linux program's banner does not name version $version"

if [ "$failures" != 0 ]; then
    echo "release check: 0 passed, $failures failed"
    exit 1
fi
echo "release of $version reproducible and complete: $(stat -c %s windows/Kestrin.exe) bytes" \
     "Kestrin.exe, $(stat -c %s linux/Kestrin) bytes Kestrin"
