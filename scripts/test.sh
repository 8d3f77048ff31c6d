#!/usr/bin/env bash
# Builds and runs the whole test suite, warnings as errors: the release build
# and the AddressSanitizer + UndefinedBehaviorSanitizer build on Linux, and
# the 32-bit Windows program under Wine where MinGW-w64 and Wine are
# installed.
set -euo pipefail
cd "$(dirname "$0")/.."

presets=(default asan)
if command -v i686-w64-mingw32-g++-posix > /dev/null && command -v wine > /dev/null; then
    presets+=(windows-x86)
else
    echo "== windows-x86 skipped: needs g++-mingw-w64-i686-posix, wine and wine32"
fi

for preset in "${presets[@]}"; do
    echo "== $preset"
    cmake --preset "$preset" -DKESTRIN_WARNINGS_AS_ERRORS=ON
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
