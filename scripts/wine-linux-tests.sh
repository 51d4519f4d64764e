#!/usr/bin/env bash
# Runs cases of a Linux test program against a Windows build's
# tagsmith-cli.exe under Wine (in $WINEPREFIX):
#
#   wine-linux-tests.sh PROGRAM WINDOWS_BIN GTEST_FILTER
#
# The program's fixtures start each run through scripts/wine-run.sh when
# TAGSMITH_TEST_WINE names the prefix. Exit 77 (skipped) when the Linux
# build's program is not there (scripts/test.sh builds it first).
set -euo pipefail
program=$1
win_bin=$2
filter=$3
if [ ! -x "$program" ]; then
    echo "wine-linux-tests: no Linux build's $program; skipped"
    exit 77
fi
: "${WINEPREFIX:?names the Wine prefix of the Windows build}"
exec env TAGSMITH_APPDIR="$win_bin/" TAGSMITH_TEST_WINE="$WINEPREFIX" "$program" \
    --gtest_filter="$filter"
