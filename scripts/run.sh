#!/usr/bin/env bash
# Builds the tool and starts the desktop program on a simulated line, then
# plugs a virtual device in (port E) once the window is up, so that its
# arrival shows in the log. The line lives in ./sim-line (TAGSMITH_LINE to
# choose another); plug more devices in with
#   build/default/bin/tagsmith-cli --simulate sim-line sim new F
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
cmake --preset default >/dev/null
cmake --build --preset default -j "$(nproc)"
BIN=build/default/bin
if [ ! -x "$BIN/tagsmith" ]; then
    echo "the desktop program was not built" >&2
    exit 1
fi
# The single-instance lock lives in the per-user runtime folder.
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    export XDG_RUNTIME_DIR=/tmp/runtime-$(id -u)
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
fi
LINE=${TAGSMITH_LINE:-$PWD/sim-line}
mkdir -p "$LINE"
# A device attached before the start is found only at the next event, as on
# a station: keep port E's device (and what it holds) aside until the window
# runs, then plug it back in.
PARKED="$LINE/.E.img.parked"
if [ -e "$LINE/E.img" ]; then
    mv "$LINE/E.img" "$PARKED"
else
    "$BIN/tagsmith-cli" --simulate "$LINE" sim new E >/dev/null
    mv "$LINE/E.img" "$PARKED"
fi
(sleep 4; [ -e "$PARKED" ] && mv "$PARKED" "$LINE/E.img"; echo "plugged E: into $LINE") &
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
    echo "no display: running under Xvfb"
    xvfb-run -a "$BIN/tagsmith" --simulate "$LINE" "$@"
else
    "$BIN/tagsmith" --simulate "$LINE" "$@"
fi
