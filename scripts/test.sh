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
# LeakSanitizer needs to trace the process; where the machine forbids that
# (some containers), the sanitizer build still runs, without leak checks.
probe=$(ASAN_OPTIONS=detect_leaks=1 build/asan/bin/test_device --gtest_filter='*ResultCodes' 2>&1 || true)
if grep -q "LeakSanitizer has encountered a fatal error\|does not work under ptrace" <<<"$probe"; then
    echo "warning: LeakSanitizer cannot run on this machine; leak checks are off"
    export TAGSMITH_ASAN_EXTRA=detect_leaks=0
fi
for preset in default asan; do
    echo "=== $preset: tests"
    ctest --preset "$preset" -j "$jobs" --timeout 600 || status=1
done
exit $status
