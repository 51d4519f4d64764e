#!/usr/bin/env bash
# Builds and runs every test: the default build, then the clang build with
# AddressSanitizer, UndefinedBehaviorSanitizer and the bounded fuzz runs.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)
status=0
for preset in default asan; do
    echo "=== $preset: configure and build"
    cmake --preset "$preset" >/dev/null
    cmake --build --preset "$preset" -j "$jobs"
done
export QT_QPA_PLATFORM=offscreen
for preset in default asan; do
    echo "=== $preset: tests"
    ctest --preset "$preset" -j "$jobs" --timeout 600 || status=1
done
exit $status
