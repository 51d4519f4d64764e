#!/usr/bin/env bash
# Builds the tool and starts it on a simulated line with one virtual device
# plugged in. The line lives in ./sim-line; plug more devices in with
#   build/default/bin/tagsmith-cli --simulate sim-line sim new F
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
BIN=build/default/bin
# The single-instance lock lives in the per-user runtime folder.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=/tmp/runtime-$(id -u)
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi
LINE=${TAGSMITH_LINE:-$PWD/sim-line}
mkdir -p "$LINE"
[ -e "$LINE/E.img" ] || "$BIN/tagsmith-cli" --simulate "$LINE" sim new E
if [ -x "$BIN/tagsmith" ]; then
    if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
        echo "no display: running under Xvfb"
        exec xvfb-run -a "$BIN/tagsmith" --simulate "$LINE" "$@"
    fi
    exec "$BIN/tagsmith" --simulate "$LINE" "$@"
fi
echo "the desktop program was not built" >&2
exit 1
