#!/usr/bin/env bash
# The setup program in a Wine prefix of its own, on a virtual display:
# test-setup.sh PREFIX SETUP TESTPROGRAM. Installs silently, checks the
# folder and the Start-menu entry, upgrades over a station's own settings
# and data (they must stay), runs the installed CLI and program, uninstalls.
set -euo pipefail
source "$(dirname "$0")/wine-common.sh"
prefix=$1
setup=$2
tests=$3
# The setup program (NSIS) is a 32-bit program whatever it installs. It is
# still built everywhere; only running it needs a kernel that runs 32-bit
# programs.
if [ "$(runs_32bit_cached)" != yes ]; then
    echo "skipped: the setup program is a 32-bit program and this machine's kernel runs no 32-bit programs"
    exit 77
fi
if [ -z "${TAGSMITH_IN_XVFB:-}" ]; then
    exec env TAGSMITH_IN_XVFB=1 xvfb-run -a -s "-screen 0 1024x768x24" "$0" "$@"
fi
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
export LC_ALL=zh_CN.UTF-8
mkdir -p "$prefix"
loader=$(wine_loader_for "$tests")
[ -f "$prefix/system.reg" ] || "$loader" wineboot -i >/dev/null 2>&1 || true
wineserver -p || true  # already running after a fresh wineboot
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

dir=$prefix/drive_c/Tagsmith
menu="$prefix/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Tagsmith"
rm -rf "$dir" "$menu"
failed=0
passed=0
check() {  # check WHAT COMMAND...
    local what=$1
    shift
    if "$@"; then echo "ok: $what"; passed=$((passed + 1)); else echo "FAILED: $what"; failed=$((failed + 1)); fi
}

wine "$setup" /S '/D=C:\Tagsmith' || true
for f in tagsmith.exe tagsmith-cli.exe modhost.dll Volkit.dll tagsmith.cfg ulpkData.bin \
    sample.ids uninstall.exe; do
    check "installed $f" test -f "$dir/$f"
done
check "Start-menu entry" test -f "$menu/Tagsmith.lnk"

# A station's own settings and data, then an upgrade over them. The ledger
# and what lives beside it (its mark, SQLite's log and index, the folder of
# session locks) are the record of which IDs were written: kept as they are.
printf 'idprefix=KEPT\r\n' >>"$dir/tagsmith.cfg"
printf 'station data' >"$dir/ulpkData.bin"
ledger_files=(tagsmith.ledger tagsmith.ledger.mark tagsmith.ledger-wal tagsmith.ledger-shm
    tagsmith.ledger.sessions/0123abcd.lock)
plant_ledger() {
    local f
    mkdir -p "$dir/tagsmith.ledger.sessions"
    for f in "${ledger_files[@]}"; do
        printf 'record of %s' "$f" >"$dir/$f"
    done
}
ledger_kept() {
    local f
    for f in "${ledger_files[@]}"; do
        [ "$(cat "$dir/$f" 2>/dev/null)" = "record of $f" ] || return 1
    done
}
plant_ledger
rm -f "$dir/tagsmith.exe"
wine "$setup" /S '/D=C:\Tagsmith' || true
check "upgrade installs the program again" test -f "$dir/tagsmith.exe"
check "upgrade keeps tagsmith.cfg" grep -q 'idprefix=KEPT' "$dir/tagsmith.cfg"
check "upgrade keeps ulpkData.bin" grep -qx 'station data' "$dir/ulpkData.bin"
check "upgrade keeps the ledger, its mark, log, index and session locks" ledger_kept

check "installed CLI reads the sample list" \
    "$(wine_loader_for "$dir/tagsmith-cli.exe")" 'C:\Tagsmith\tagsmith-cli.exe' ids 'C:\Tagsmith\sample.ids'
check "installed program starts" env TAGSMITH_INSTALLED='C:\Tagsmith\tagsmith.exe' \
    "$loader" "$tests" --gtest_filter='WinSetup.*' --gtest_brief=1

# The program just run may have tidied the planted files (they are no
# ledger): planted again for the uninstaller.
plant_ledger
# The uninstaller runs from a copy of itself: wait for it to finish.
wine "$dir/uninstall.exe" /S || true
# It removes the Start-menu entry after the files: wait for both.
for _ in $(seq 100); do
    [ -e "$dir/tagsmith.exe" ] || [ -e "$menu/Tagsmith.lnk" ] || break
    sleep 0.2
done
check "uninstall removes the program" test ! -e "$dir/tagsmith.exe"
check "uninstall keeps the station's settings" test -f "$dir/tagsmith.cfg"
check "uninstall keeps ulpkData.bin" grep -qx 'station data' "$dir/ulpkData.bin"
check "uninstall keeps the ledger, its mark, log, index and session locks" ledger_kept
check "uninstall removes the Start-menu entry" test ! -e "$menu/Tagsmith.lnk"
echo "$passed passed, $failed failed"
exit $((failed > 0))
