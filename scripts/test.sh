#!/usr/bin/env bash
# Installs what it needs that is missing (scripts/install-needs.sh), then
# builds and runs the whole test suite, warnings as errors:
#   - the release build and the AddressSanitizer + UndefinedBehaviorSanitizer
#     build on Linux, and the program check under libFuzzer for 40 seconds;
#   - the Windows program under Wine: the 32-bit program where this machine
#     runs 32-bit programs, else the same sources built as a 64-bit program
#     under wine64 (the 32-bit program is then built and inspected, not run).
#     KESTRIN_WINDOWS=x86, x64, both or none overrides the choice;
#   - two releases from two clones of HEAD, which must be identical.
# The last lines name every suite that ran and every one that could not.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-needs.sh test

log=$(mktemp)
trap 'rm -f "$log"' EXIT
ran=() skipped=()

suite() {
    local preset=$1
    shift
    echo "== $preset"
    cmake --preset "$preset" -DKESTRIN_WARNINGS_AS_ERRORS=ON
    cmake --build --preset "$preset"
    ctest --preset "$preset" "$@" | tee -a "$log"
    ran+=("$preset${*:+ ($*)}")
}

# 32-bit Wine needs a kernel that runs 32-bit programs: where it cannot, its
# server fails at once with "Exec format error".
runs_32_bit() {
    [ -x /usr/lib/wine/wineserver32 ] && timeout 20 /usr/lib/wine/wineserver32 --version > /dev/null 2>&1
}
has() { command -v "$1" > /dev/null; }

windows=${KESTRIN_WINDOWS:-auto}
if [ "$windows" = auto ]; then
    if has i686-w64-mingw32-g++-posix && has wine && runs_32_bit; then
        windows=x86 why="this machine runs 32-bit programs"
    elif has x86_64-w64-mingw32-g++-posix && [ -x /usr/lib/wine/wine64 ]; then
        windows=x64 why="this machine runs no 32-bit programs (or 32-bit Wine is missing): the 64-bit build runs under wine64"
    else
        windows=none why="MinGW-w64 or Wine is missing"
    fi
else
    why="chosen by KESTRIN_WINDOWS"
fi

suite default
suite asan
suite fuzz
echo "== Windows suite: $windows, because $why"
case $windows in
    x86) suite windows-x86 ;;
    x64)
        has i686-w64-mingw32-g++-posix && suite windows-x86 -L without-wine
        suite windows-x64
        ;;
    both)
        suite windows-x86
        suite windows-x64
        ;;
    *) skipped+=("windows ($why)") ;;
esac

if has i686-w64-mingw32-g++-posix && has zip && has unzip && has git && has osslsigncode && has openssl; then
    scripts/check-release.sh
    ran+=("release reproducibility")
else
    skipped+=("release reproducibility (needs MinGW-w64, zip, unzip, git, osslsigncode and openssl)")
fi

echo
echo "Suites run: $(IFS=,; echo "${ran[*]}")"
[ ${#skipped[@]} -eq 0 ] || echo "Suites NOT run: $(IFS=,; echo "${skipped[*]}")"
passed=$(sed -n 's/.* tests passed, 0 tests failed out of \([0-9]*\).*/\1/p' "$log" | awk '{ n += $1 } END { print n + 0 }')
echo "$passed passed, 0 failed"
