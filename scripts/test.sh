#!/usr/bin/env bash
# Builds and runs every test: the default build, then the clang build with
# AddressSanitizer, UndefinedBehaviorSanitizer and the bounded fuzz runs,
# then the two Windows builds with their tests under Wine.
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
# The Windows application folders (64- and 32-bit) and their tests under
# Wine, each in a Wine prefix of its own kept running for the whole run so
# that Wine's own background processes never hold a test's pipes.
if command -v wine >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null &&
    command -v i686-w64-mingw32-g++-posix >/dev/null; then
    for preset in windows-x64 windows-x86; do
        echo "=== $preset: configure, build and tests under Wine"
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j "$jobs"
        prefix=$PWD/build/$preset/wineprefix
        mkdir -p "$prefix"
        # The lasting server first, so that the one wineboot would start and
        # keep for a while does not make it fail.
        WINEPREFIX=$prefix wineserver -p || true
        WINEPREFIX=$prefix WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
        ctest --preset "$preset" -j "$jobs" --timeout 900 || status=1
        WINEPREFIX=$prefix wineserver -k || true
    done
else
    echo "=== Windows builds skipped: mingw-w64 or Wine is not installed"
fi
exit $status
