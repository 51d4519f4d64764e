#!/usr/bin/env bash
# Runs a Windows program of the test build under Wine: wine-run.sh PREFIX
# PROGRAM [ARGS...]. Each build has its own Wine prefix, made on first use
# by the loader of the program's own architecture; Wine's own messages are
# silenced so that the program's output stands alone.
set -euo pipefail
source "$(dirname "$0")/wine-common.sh"
export WINEPREFIX=$1
shift
export WINEDEBUG=${WINEDEBUG:--all}
# No desktop integration or Mono/Gecko prompts in a test prefix.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
loader=$(wine_loader_for "$1")
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "$loader" wineboot -i >/dev/null 2>&1 || true
fi
# The stations' ANSI code page is CP936: Wine takes it from the locale's name.
exec env LC_ALL=zh_CN.UTF-8 "$loader" "$@"
