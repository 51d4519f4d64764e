#!/usr/bin/env bash
# Runs the command-line program's end-to-end cases against the Linux build
# and the Windows build (under Wine) and compares what they print, line by
# line (line ends normalised, each run's own folders named alike).
#
#   scripts/compare-windows.sh [LINUX_BIN [WINDOWS_BIN]]
#
# Defaults: build/default/bin and build/windows-x64/bin. Exit 0 when the
# outputs agree, 1 with the difference on standard output otherwise, 77
# (skipped) when the Linux build is not there. The differences that remain
# by design are listed in docs/windows.md.
set -Eeuo pipefail
# A step that fails stops the comparison: say which, or the failure is silent.
trap 'echo "compare-windows: line $LINENO failed (exit $?): $BASH_COMMAND" >&2' ERR
root=$(cd "$(dirname "$0")/.." && pwd)
linux_bin=${1:-$root/build/default/bin}
win_bin=${2:-$root/build/windows-x64/bin}
prefix=${WINEPREFIX:-$(dirname "$win_bin")/wineprefix}
if [ ! -x "$linux_bin/tagsmith-cli" ]; then
    echo "compare-windows: no Linux build at $linux_bin; skipped"
    exit 77
fi
work=$(mktemp -d)
# The clean-up decides nothing: under `set -e` a failing command in this
# trap would turn a comparison that agreed into a failure.
trap 'if [ -n "${COMPARE_KEEP:-}" ]; then echo "kept: $work"; else rm -rf "$work" || true; fi' EXIT

# A private application folder per build: the example installation, the
# program and its plug-ins; the ledger on, as installed, with one station
# name for both (the journal names it).
install_app() {
    local side=$1 bin=$2 app=$work/$1/app
    mkdir -p "$app" "$work/$side/line"
    cp "$root"/res/example/* "$app/"
    printf 'station=compare\r\n' >>"$app/tagsmith.cfg"
    if [ "$side" = linux ]; then
        cp "$bin"/tagsmith-cli "$bin"/modhost.so "$bin"/Volkit.so "$app/"
    else
        cp "$bin"/tagsmith-cli.exe "$bin"/modhost.dll "$bin"/Volkit.dll "$app/"
    fi
}

# The program of a side, run on its line.
run() {
    local side=$1
    shift
    local app=$work/$side/app line=$work/$side/line
    cd "$work/$side"
    if [ "$side" = linux ]; then
        timeout 120 "$app/tagsmith-cli" --simulate "$line" "$@"
    else
        timeout 120 "$root/scripts/wine-run.sh" "$prefix" "$app/tagsmith-cli.exe" --simulate "$line" "$@"
    fi
}

record() {
    local side=$1 name=$2 status=$3 out=$work/$1/stdout err=$work/$1/stderr
    shift 3
    {
        echo "== $name: $*"
        echo "exit $status"
        echo "-- stdout"
        cat "$out"
        echo "-- stderr"
        cat "$err"
    } >>"$work/$side.txt"
}

# cli SIDE NAME ARGS...: one run, its exit status and both streams into the
# side's transcript.
cli() {
    local side=$1 name=$2 status=0
    shift 2
    (run "$side" "$@") >"$work/$side/stdout" 2>"$work/$side/stderr" </dev/null || status=$?
    record "$side" "$name" "$status" "$@"
}

# line_run SIDE NAME LETTERS ARGS...: a line command (auto) that waits for
# arrivals; the devices are plugged one after another while it runs.
line_run() {
    local side=$1 name=$2 letters=$3 status=0
    shift 3
    (run "$side" "$@") >"$work/$side/stdout" 2>"$work/$side/stderr" </dev/null &
    local pid=$!
    # waits_for TEXT N: until standard output holds TEXT N times (60 s at most).
    waits_for() {
        for _ in $(seq 300); do
            [ "$(grep -c "$1" "$work/$side/stdout" 2>/dev/null)" -ge "$2" ] && return 0
            sleep 0.2
        done
        echo "compare-windows: $side $name: no '$1' ($2) after 60 s; its output so far:"
        cat "$work/$side/stdout" "$work/$side/stderr"
        return 1
    }
    # Each device is plugged once the run is ready for it, so that both
    # builds print the same order. The plugging is the operator's hand, not
    # the build under comparison (whose own `sim` runs are compared above):
    # it is done by the Linux program, which starts at once, for both.
    waits_for 软件就绪 1
    local n=0
    for l in $letters; do
        if ! timeout 60 "$work/linux/app/tagsmith-cli" --simulate "$work/$side/line" sim new "$l" \
            >"$work/$side/plug.txt" 2>&1; then
            echo "compare-windows: $side $name: plugging $l failed:"
            cat "$work/$side/plug.txt"
            return 1
        fi
        n=$((n + 1))
        waits_for '烧写成功 ID:' "$n"
    done
    wait "$pid" || status=$?
    record "$side" "$name" "$status" "$@"
}
# ID files in every encoding the list page reads.
make_id_files() {
    local d=$work/$1
    printf '1A2B0001\r\n1A2B0002\r\n1A2B0003\r\n1A2B0004\r\n' >"$d/ansi.ids"
    printf '\xef\xbb\xbf1A2B0001\n1A2B0002\n' >"$d/utf8.ids"
    printf '\xff\xfe1\x00A\x002\x00B\x00\r\x00\n\x003\x00C\x00' >"$d/utf16le.ids"
    printf '\xfe\xff\x001\x00A\x002\x00B\x00\r\x00\n\x003\x00C' >"$d/utf16be.ids"
    printf '1\x00A\x002\x00B\x00\r\x00\n\x003\x00C\x004\x00D\x00' >"$d/utf16bare.ids"
    printf '\xd6\xd0\xce\xc4\r\n1A2B\r\n' >"$d/gbk.ids"
    printf '' >"$d/empty.ids"
    mkdir -p "$d/folder.ids"
}

run_cases() {
    local side=$1
    make_id_files "$side"
    cli "$side" plug sim new E
    cli "$side" plug-again sim new E
    cli "$side" plug-disk sim disk D
    cli "$side" devices devices
    cli "$side" write-blank write 1A2B --yes
    cli "$side" read read
    cli "$side" write-no write 3C4D --no
    cli "$side" read-kept read
    cli "$side" write-yes write 3C4D --yes
    cli "$side" read-new read
    cli "$side" write-invalid write XYZ --yes
    printf 'fail_at=write:2\n' >"$work/$side/line/E.fault"
    cli "$side" write-fault write 5E6F --yes
    rm "$work/$side/line/E.fault"
    printf 'open=fail\n' >"$work/$side/line/E.fault"
    cli "$side" open-fault read
    rm "$work/$side/line/E.fault"
    cli "$side" read-after-faults read
    cli "$side" unplug-keep sim unplug E --keep "$work/$side/kept.img"
    cli "$side" unplug-disk sim unplug D
    cli "$side" unplug-empty sim unplug E
    for f in ansi utf8 utf16le utf16be utf16bare gbk empty folder missing; do
        cli "$side" "ids-$f" ids "$work/$side/$f.ids"
    done
    line_run "$side" auto-list "F G H" auto --ids "$work/$side/ansi.ids" --count 3
    for l in F G H; do cli "$side" "unplug-$l" sim unplug $l; done
    line_run "$side" auto-counter "J K L" auto --prefix ab --counter 00fe --suffix cd --count 3
    cli "$side" read-counter read
    cli "$side" devices-end devices
    # What the ledger kept of all that.
    cli "$side" ledger-status ledger status
    cli "$side" journal journal
    cli "$side" journal-csv journal --csv -
    cli "$side" journal-since journal --since 2000-01-01 --csv -
    cli "$side" ledger-backup ledger backup "$work/$side/backup.ledger"
    cli "$side" ledger-release-unknown ledger release 99999999
}

install_app linux "$linux_bin"
install_app windows "$win_bin"
run_cases linux
run_cases windows

# What the Windows build must do whatever Linux does: read back the ID it
# wrote, and leave an image that is a FAT volume Linux tools read.
last_read=$(sed -n '/^== read: read$/,/^-- stderr$/p' "$work/windows.txt" | tr -d '\r' | grep -v '^-- stderr$' | tail -1)
[ "$last_read" = 1A2B ] || { echo "compare-windows: the Windows read ended with '$last_read', not 1A2B"; exit 1; }
if command -v fsck.fat >/dev/null; then
    fsck.fat -n "$work/windows/kept.img" >/dev/null || { echo "fsck.fat refuses the Windows image"; exit 1; }
fi
if command -v mtype >/dev/null; then
    MTOOLS_SKIP_CHECK=1 mtype -i "$work/windows/kept.img" ::/sn/id.txt >"$work/kept-id.txt" ||
        { echo "mtools cannot read the Windows image"; exit 1; }
    # The file is padded with NULs after the ID.
    kept_id=$(tr -d '\0' <"$work/kept-id.txt")
    [ "$kept_id" = 5E6F ] || { echo "mtools reads '$kept_id' from the Windows image"; exit 1; }
fi

# The times and durations of the ledger's records differ from run to run.
# The Windows program names this machine's folders on drive Z: (Z:/tmp/...
# in its messages, Z:\tmp\... for a list file it was given, whose
# backslashes its readable lines double).
normalise() {
    local bs dbs
    bs=$(sed 's#/#\\\\#g' <<<"$work/$1")
    dbs=$(sed 's#/#\\\\\\\\#g' <<<"$work/$1")
    sed -e 's/\r$//' -e "s#Z:$work/$1#RUN#g" -e "s#Z:$dbs\\\\\\\\#RUN/#g" \
        -e "s#Z:$bs\\\\#RUN/#g" -e "s#$work/$1#RUN#g" \
        -e 's/[0-9]\{4\}-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\.[0-9]\{3\}Z/TIME/g' \
        -e 's/[0-9]\{4\}-[0-9][0-9]-[0-9][0-9] [0-9][0-9]:[0-9][0-9]:[0-9][0-9]\(\.[0-9]\{3\}\)\?/TIME/g' \
        -e 's/[0-9][0-9]* ms\b/N ms/g' "$work/$1.txt" |
        normalise_csv_durations
}
# In the CSV exports the column duration_ms holds the duration.
normalise_csv_durations() {
    awk -F, -v OFS=, '
        /^time,/ { col = 0; for (i = 1; i <= NF; i++) if ($i == "duration_ms") col = i; print; next }
        /^== / || /^-- / { col = 0 }
        col && $1 == "TIME" && NF >= col && $col ~ /^[0-9]+$/ { $col = "N" }
        { print }'
}
if diff -u <(normalise linux) <(normalise windows) >"$work/diff.txt"; then
    echo "compare-windows: the Linux and Windows builds agree on $(grep -c '^== ' "$work/linux.txt") runs"
    exit 0
fi
cat "$work/diff.txt"
exit 1
