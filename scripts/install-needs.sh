#!/usr/bin/env bash
# Installs what scripts/demo.sh or scripts/test.sh needs and this machine
# lacks: on Debian and Ubuntu with apt-get (as root, else through sudo),
# saying in one line what and why; elsewhere it names what is missing and
# stops. What is there is never installed again, so a second run says nothing.
#
#   scripts/install-needs.sh demo|test
#
# KESTRIN_INSTALL=dry-run prints the commands instead of running them.
# For test, KESTRIN_WINDOWS (see scripts/test.sh) chooses the Windows tools.
set -euo pipefail

# Each need is a Debian package and, for systems without dpkg, a command or
# a file that shows it is there.
needs=(cmake=cmake make=make g++=g++ libgtest-dev=/usr/include/gtest/gtest.h)
why="to build Kestrin"
case ${1:-} in
    demo) ;;
    test)
        # GoogleTest's sources for the Windows build; the benchmark's tools;
        # the release's tools and the check of its signature; clang and its
        # libFuzzer (libclang-rt-dev: the default clang's runtime libraries)
        # for the fuzz target.
        needs+=(googletest=/usr/src/googletest/CMakeLists.txt python3=python3 strace=strace
                time=/usr/bin/time zip=zip unzip=unzip osslsigncode=osslsigncode openssl=openssl
                clang=clang++ libclang-rt-dev=clang++)
        why="to build Kestrin and run its tests"
        ;;
    *)
        echo "usage: scripts/install-needs.sh demo|test" >&2
        exit 1
        ;;
esac

# The Windows program: MinGW-w64 builds it, Wine runs it. 32-bit Wine only
# where the kernel runs 32-bit programs (not in some virtual machines and
# containers): elsewhere the tests run the 64-bit build under wine64. (Where
# the temporary folder allows no programs, the probe fails: wine64 it is.)
runs_32_bit() {
    # The smallest 32-bit x86 Linux program: exit(0).
    local probe
    probe=$(mktemp)
    printf '\177ELF\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\010\064\0\0\0\0\0\0\0\0\0\0\0\064\0\040\0\1\0\0\0\0\0\0\0''\1\0\0\0\0\0\0\0\0\200\4\010\0\200\4\010\133\0\0\0\133\0\0\0\5\0\0\0\0\020\0\0''\061\333\061\300\100\315\200' > "$probe"
    chmod 700 "$probe"
    local status=0
    "$probe" 2> /dev/null || status=$?
    rm -f "$probe"
    return $status
}
windows=${KESTRIN_WINDOWS:-auto}
if [ "$1" = test ] && [ "$windows" != none ] && [ "$(uname -m)" = x86_64 ]; then
    needs+=(g++-mingw-w64-i686-posix=i686-w64-mingw32-g++-posix gcc-mingw-w64-i686-posix=i686-w64-mingw32-gcc-posix
            g++-mingw-w64-x86-64-posix=x86_64-w64-mingw32-g++-posix gcc-mingw-w64-x86-64-posix=x86_64-w64-mingw32-gcc-posix
            wine=wine wine64=/usr/lib/wine/wine64)
    if [ "$windows" = x86 ] || [ "$windows" = both ] || { [ "$windows" = auto ] && runs_32_bit; }; then
        needs+=(wine32:i386=/usr/lib/wine/wineserver32)
    fi
    why="to build Kestrin and run its tests, the Windows program's under Wine"
fi

missing=()
if command -v dpkg-query > /dev/null && command -v apt-get > /dev/null; then
    for need in "${needs[@]}"; do
        package=${need%%=*}
        [ "$(dpkg-query -W -f='${db:Status-Status}' "$package" 2> /dev/null)" = installed ] || missing+=("$package")
    done
    [ ${#missing[@]} -gt 0 ] || exit 0
    as_root=(env DEBIAN_FRONTEND=noninteractive) how="as root"
    if [ "$(id -u)" != 0 ]; then
        if ! command -v sudo > /dev/null; then
            echo "scripts/$1.sh needs ${missing[*]}: run it as root, install sudo, or install them: apt-get install ${missing[*]}" >&2
            exit 1
        fi
        as_root=(sudo "${as_root[@]}") how="through sudo"
    fi
    echo "scripts/$1.sh: installing ${missing[*]} with apt-get $how, $why"
    run() {
        if [ "${KESTRIN_INSTALL:-}" = dry-run ]; then
            echo "would run: $*"
        elif ! "$@" < /dev/null > "$log" 2>&1; then
            cat "$log" >&2
            echo "scripts/install-needs.sh: failed: $*" >&2
            exit 1
        fi
    }
    log=$(mktemp)
    trap 'rm -f "$log"' EXIT
    if [[ " ${missing[*]} " = *:i386* ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
        run "${as_root[@]}" dpkg --add-architecture i386
    fi
    run "${as_root[@]}" apt-get update -qq
    # The build's tools without their recommendations; Wine with them.
    plain=() windows=()
    for package in "${missing[@]}"; do
        case $package in
            *mingw* | wine*) windows+=("$package") ;;
            *) plain+=("$package") ;;
        esac
    done
    [ ${#plain[@]} -eq 0 ] || run "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${plain[@]}"
    [ ${#windows[@]} -eq 0 ] || run "${as_root[@]}" apt-get install -y -qq "${windows[@]}"
else
    for need in "${needs[@]}"; do
        probe=${need#*=}
        if [ "${probe:0:1}" = / ]; then [ -e "$probe" ]; else command -v "$probe" > /dev/null; fi ||
            missing+=("$probe")
    done
    [ ${#missing[@]} -gt 0 ] || exit 0
    echo "scripts/$1.sh needs what this system lacks: ${missing[*]}" >&2
    echo "Install them with its package manager (on Debian: ${needs[*]%%=*}), then run it again." >&2
    exit 1
fi
