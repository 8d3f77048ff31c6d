#!/usr/bin/env bash
# Builds and runs the whole test suite: the release build and the
# AddressSanitizer + UndefinedBehaviorSanitizer build, warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

for preset in default asan; do
    echo "== $preset"
    cmake --preset "$preset" -DKESTRIN_WARNINGS_AS_ERRORS=ON
    cmake --build --preset "$preset"
    ctest --preset "$preset"
done
