#!/usr/bin/env bash
# Makes the release of HEAD twice, signed with a throw-away certificate, from
# two clones in different places into two different folders, and checks that
# the files are byte-identical, that the sums match, what the archives hold
# (names, order, owners, times), that the programs in them are what the
# manual promises, that the signature holds up against the throw-away
# authority and fails once one byte changes, and that the signed Kestrin.exe
# still updates a launcher under Wine.
set -euo pipefail

root=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
for tool in i686-w64-mingw32-g++-posix zip unzip python3 openssl osslsigncode; do
    if ! command -v "$tool" > /dev/null; then
        echo "== release check skipped: needs $tool"
        exit 0
    fi
done

export TZ=UTC LC_ALL=C
work=$(mktemp -d "${TMPDIR:-/tmp}/kestrin-check-release.XXXXXX")
trap 'WINEPREFIX=$work/wine wineserver -k 2> /dev/null || true; rm -rf "$work"' EXIT
commit=$(git -C "$root" rev-parse HEAD)
epoch=$(git -C "$root" log -1 --format=%ct HEAD)
version=$(sed -n 's/^project(Kestrin VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
windows=Kestrin-$version-windows-x86 linux=Kestrin-$version-linux-x86_64
files=("$windows.zip" "$linux.tar.gz" SHA256SUMS)

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# A throw-away authority and a code-signing certificate (RSA) from it, in a
# PKCS#12 file with its chain and a password.
keys=$work/keys
mkdir "$keys"
echo "throw-away password" > "$keys/password"
if ! {
    openssl genpkey -quiet -algorithm RSA -out "$keys/ca.key" &&
    openssl req -x509 -key "$keys/ca.key" -subj "/CN=Kestrin throw-away CA" -days 2 -out "$keys/ca.pem" &&
    openssl genpkey -quiet -algorithm RSA -out "$keys/signer.key" &&
    openssl req -new -key "$keys/signer.key" -subj "/CN=Kestrin throw-away signer" |
        openssl x509 -req -CA "$keys/ca.pem" -CAkey "$keys/ca.key" -days 2 -out "$keys/signer.pem" \
            -extfile <(printf 'keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n') &&
    openssl pkcs12 -export -inkey "$keys/signer.key" -in "$keys/signer.pem" -certfile "$keys/ca.pem" \
        -passout "file:$keys/password" -out "$keys/signer.p12"
} > "$work/keys.log" 2>&1; then
    cat "$work/keys.log"
    exit 1
fi

# Different clone paths, of different lengths, and different output folders.
clones=("$work/a/Kestrin" "$work/clone-number-two/deeper/Kestrin")
for i in 0 1; do
    git clone -q --no-checkout "$root" "${clones[$i]}"
    git -C "${clones[$i]}" checkout -q --detach "$commit"
    TMPDIR=$work "${clones[$i]}/scripts/release.sh" --sign "$keys/signer.p12" --password-file "$keys/password" \
        "$work/out$i" > "$work/release$i.log" ||
        { cat "$work/release$i.log"; exit 1; }
done
for file in "${files[@]}"; do
    cmp "$work/out0/$file" "$work/out1/$file" || fail "$file differs between two runs"
done

cd "$work/out0"
sha256sum --quiet -c SHA256SUMS || fail "SHA256SUMS does not match"

# The zip: one folder, members in order, all with the commit's time (in
# two-second steps, rounded up, as zip stores it), no extra fields.
manual=$(cd "${clones[0]}" && printf '%s\n' docs/*.md)
members=$(unzip -Z1 "${files[0]}" | tr '\n' ' ')
expected=$(printf "$windows/%s " "" Kestrin.exe LICENSE README.md docs/ $manual)
[ "$members" = "$expected" ] || fail "zip holds: $members"
zip_time=$(date -u -d "@$(((epoch + 1) / 2 * 2))" +%Y%m%d.%H%M%S)
times=$(unzip -Z -T "${files[0]}" | awk '/^[-d]/ { print $7 }' | sort -u | tr '\n' ' ')
[ "$times" = "$zip_time " ] || fail "zip times: $times, not $zip_time"
unzip -Z -v "${files[0]}" | grep "length of extra field" | grep -qv ": *0 bytes" && fail "zip has extra fields"

# The tarball: members in order, owner 0/0, the commit's time.
tar_time=$(date -u -d "@$epoch" '+%Y-%m-%d %H:%M:%S')
listing=$(tar -tvzf "${files[1]}" --full-time --numeric-owner | awk '{ print $2, $4, $5, $6 }')
expected=$(for member in "" Kestrin LICENSE README.md docs/ $manual; do echo "0/0 $tar_time $linux/$member"; done)
[ "$listing" = "$expected" ] || fail "tarball holds: $listing"

# The programs: Kestrin.exe as its own checks want it; the Linux program
# static, stripped, and announcing the project's version.
unzip -q "${files[0]}"
tar -xzf "${files[1]}"
exe=$work/out0/$windows/Kestrin.exe
python3 "$root/tests/check_windows_program.py" "$exe" --version "$version" || fail "Kestrin.exe"
readelf -lW "$linux/Kestrin" | grep -q INTERP && fail "the Linux program is not static"
readelf -SW "$linux/Kestrin" | grep -q '\.symtab' && fail "the Linux program is not stripped"
status=0
banner=$("$linux/Kestrin" 2> /dev/null) || status=$?
[ "$status" = 1 ] || fail "the Linux program without arguments exits with $status, not 1"
grep -qF ">> Launcher Kestrin v$version <<" <<< "$banner" ||
    fail "the Linux program's banner does not name version $version"

# The signature: SHA-256, the commit's time, a chain up to the throw-away
# authority; one byte changed in the code and it no longer holds.
osslsigncode verify -CAfile "$keys/ca.pem" -in "$exe" > "$work/verify.log" 2>&1 ||
    fail "the signature does not verify: $(cat "$work/verify.log")"
grep -q "^Message digest algorithm  : SHA256" "$work/verify.log" || fail "the signature's digest is not SHA-256"
grep -qF "Signing time: $(date -u -d "@$epoch" '+%b %e %H:%M:%S %Y') GMT" "$work/verify.log" ||
    fail "the signing time is not the commit's"
cp "$exe" "$work/tampered.exe"
python3 -c 'import sys; f = open(sys.argv[1], "r+b"); f.seek(4096); b = f.read(1)[0]; f.seek(4096); f.write(bytes([b ^ 1]))' \
    "$work/tampered.exe"
osslsigncode verify -CAfile "$keys/ca.pem" -in "$work/tampered.exe" > /dev/null 2>&1 &&
    fail "the signature still verifies with one byte of the code changed"

# The signed program replaces a launcher under Wine, where this machine runs
# 32-bit programs; the new launcher is Kestrin.exe itself.
if command -v wine > /dev/null && timeout 20 /usr/lib/wine/wineserver32 --version > /dev/null 2>&1; then
    mkdir "$work/run"
    echo "old launcher" > "$work/run/launcher.exe"
    cp "$exe" "$work/run/launcher.new"
    status=0
    (cd "$work/run" && WINEPREFIX=$work/wine WINEDEBUG=-all timeout 120 wine "$exe" launcher.exe launcher.new) \
        > "$work/wine.log" 2>&1 || status=$?
    [ "$status" = 0 ] || fail "the signed Kestrin.exe under Wine exits with $status: $(cat "$work/wine.log")"
    cmp -s "$exe" "$work/run/launcher.exe" || fail "the signed Kestrin.exe under Wine did not replace the launcher"
    [ ! -e "$work/run/launcher.new" ] || fail "the signed Kestrin.exe under Wine left the download"
    ran_under="; the signed Kestrin.exe updated a launcher under Wine"
else
    ran_under="; the signed Kestrin.exe NOT run: no Wine for 32-bit programs here"
fi

if [ "$failures" != 0 ]; then
    echo "release check: 0 passed, $failures failed"
    exit 1
fi
echo "release of $version reproducible, signed and complete: $(stat -c %s "$exe") bytes" \
     "Kestrin.exe, $(stat -c %s "$linux/Kestrin") bytes Kestrin$ran_under"
