#!/usr/bin/env bash
# Runs a Windows GUI test program under Wine on a virtual display:
# wine-gui-run.sh PREFIX SHOTS PROGRAM [ARGS...]. The prefix is the GUI
# tests' own (its desktop belongs to this display), kept running for the
# run and ended after it; the dialogs' pictures land in SHOTS as PNG.
set -euo pipefail
source "$(dirname "$0")/wine-common.sh"
prefix=$1
shots=$2
shift 2
if [ -z "${TAGSMITH_IN_XVFB:-}" ]; then
    exec env TAGSMITH_IN_XVFB=1 xvfb-run -a -s "-screen 0 1280x1024x24" "$0" "$prefix" "$shots" "$@"
fi
export WINEPREFIX=$prefix WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;winemenubuilder.exe=d}
export LC_ALL=zh_CN.UTF-8
mkdir -p "$prefix" "$shots"
loader=$(wine_loader_for "$1")
if [ ! -f "$prefix/system.reg" ]; then
    "$loader" wineboot -i >/dev/null 2>&1 || true
fi
wineserver -p || true  # already running after a fresh wineboot
# The dialogs' fonts and the Chinese locale's own fonts drawn with the CJK
# font Debian has, so that the screenshots show their text.
for face in "MS Shell Dlg" "MS Shell Dlg 2" "Tahoma" "SimSun" "NSimSun" "宋体" "新宋体" \
    "Microsoft YaHei" "微软雅黑"; do
    "$loader" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /t REG_SZ \
        /d "WenQuanYi Zen Hei" /f >/dev/null 2>&1 || true
done
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
rm -f "$shots"/*.req "$shots"/*.png
status=0
if command -v import >/dev/null && import -version 2>/dev/null | grep -q ImageMagick; then
    # The test asks for a picture by writing NAME.req with the window's
    # geometry; it is taken from the display and the request removed.
    stop=$shots/.stop
    rm -f "$stop"
    (
        while [ ! -e "$stop" ]; do
            for req in "$shots"/*.req; do
                [ -e "$req" ] || continue
                import -window root -crop "$(head -n1 "$req")" +repage "${req%.req}.png" || true
                rm -f "$req"
            done
            sleep 0.1
        done
    ) &
    shooter=$!
    TAGSMITH_SCREENSHOTS=$("$loader" winepath -w "$shots") "$loader" "$@" || status=$?
    touch "$stop"
    wait "$shooter" || true
    rm -f "$stop"
else
    "$loader" "$@" || status=$?
fi
exit $status
