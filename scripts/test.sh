#!/usr/bin/env bash
# Builds and runs every test: the default build, then the clang build with
# AddressSanitizer, UndefinedBehaviorSanitizer and the bounded fuzz runs,
# then the ThreadSanitizer build of the core and the gang tests, then the two
# Windows builds with their tests under Wine.
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
# ThreadSanitizer: only the core and the tests of several ports at once (the
# preset's targets and test filter), so that the stage stays small. Where
# the kernel lays out memory in a way this TSan cannot map (high ASLR
# entropy), the tests run with address randomisation off.
echo "=== tsan: configure, build and the gang tests"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j "$jobs"
tsan_run=()
if build/tsan/bin/test_gang --gtest_list_tests 2>&1 | grep -q "unexpected memory mapping"; then
    echo "warning: ThreadSanitizer cannot map memory here; its tests run with ASLR off"
    tsan_run=(setarch "$(uname -m)" -R)
fi
"${tsan_run[@]}" ctest --preset tsan -j "$jobs" --timeout 600 || status=1
# The Windows application folders (64- and 32-bit) and their tests under
# Wine, each in a Wine prefix of its own kept running for the whole run so
# that Wine's own background processes never hold a test's pipes. Both are
# always built; running the 32-bit programs (the windows-x86 tests and the
# setup program, which is 32-bit for both) needs a kernel that runs 32-bit
# programs, which not every machine has (TAGSMITH_NO_32BIT=1 takes the path
# of one that has not).
source scripts/wine-common.sh
skipped=()
if command -v wine >/dev/null && command -v x86_64-w64-mingw32-g++-posix >/dev/null &&
    command -v i686-w64-mingw32-g++-posix >/dev/null; then
    runs32=$(runs_32bit_cached)
    echo "=== 32-bit programs on this machine: $runs32"
    for preset in windows-x64 windows-x86; do
        echo "=== $preset: configure and build"
        cmake --preset "$preset" >/dev/null
        cmake --build --preset "$preset" -j "$jobs"
        if [ "$preset" = windows-x86 ] && [ "$runs32" != yes ]; then
            why="this machine's kernel runs no 32-bit programs"
            echo "=== $preset: tests skipped: $why (built only)"
            skipped+=("$preset tests: $why")
            continue
        fi
        if [ "$runs32" != yes ]; then
            skipped+=("$preset setup-program test (win32_setup): the setup program is 32-bit")
        fi
        echo "=== $preset: tests under Wine"
        export WINEPREFIX=$PWD/build/$preset/wineprefix
        mkdir -p "$WINEPREFIX"
        # The lasting server first, so that the one wineboot would start and
        # keep for a while does not make it fail.
        wineserver -p || true
        if [ "$preset" = windows-x64 ]; then arch=64; else arch=32; fi
        WINEDEBUG=-all wine_start_prefix $arch
        ctest --preset "$preset" -j "$jobs" --timeout 900 || status=1
        wineserver -k || true
        unset WINEPREFIX
    done
else
    skipped+=("Windows builds and tests: mingw-w64 or Wine is not installed")
fi
echo "=== done: $([ $status = 0 ] && echo passed || echo FAILED)"
for s in "${skipped[@]}"; do
    echo "skipped: $s"
done
exit $status
