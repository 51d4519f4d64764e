# Helpers shared by the guests' checks (busybox sh): running one check,
# waiting, running the tool, images, background runs, and the summary of
# what the devices were sent. Sourced by the check script of each test.

CLI=/app/tagsmith-cli
W=/tmp/work
mkdir -p "$W"
failed=0
# tagsmith.only=check_a,check_b on the kernel command line runs just those.
only=$(sed -n 's/.*tagsmith\.only=\([^ ]*\).*/\1/p' /proc/cmdline)

now() { cut -d' ' -f1 /proc/uptime; }
checks_start=$(now)

# note TEXT: a finding worth reading in the test's output, printed after
# the checks (a check's own output is shown only when it fails).
note() { echo "note: $*" >>"$W/notes"; }

# run_check NAME FUNCTION: the function's output is shown only if it fails.
run_check() {
    local t0 secs
    case ",$only," in ,,) ;; *",$2,"*) ;; *) return 0 ;; esac
    t0=$(now)
    "$2" >"$W/detail" 2>&1
    local ok=$?
    secs=$(awk "BEGIN{printf \"%.1f\", $(now) - $t0}")
    if [ $ok -eq 0 ]; then
        echo "PASS $1 ($secs s)"
    else
        echo "FAIL $1 ($secs s)"
        sed 's/^/    /' "$W/detail" | tail -n 40
        failed=$((failed + 1))
    fi
}

# wait_for SECONDS COMMAND...: polls every 0.1 s until the command succeeds.
wait_for() {
    local limit=$(($1 * 10))
    shift
    while ! "$@" 2>/dev/null; do
        limit=$((limit - 1))
        [ $limit -gt 0 ] || return 1
        usleep 100000
    done
}

alive() { [ -d "/proc/$1" ] && ! grep -q '^State:.*Z' "/proc/$1/status"; }

# cli ARGS...: runs the tool; stdout in $W/out, stderr in $W/err, status in rc.
cli() {
    timeout 60 "$CLI" "$@" >"$W/out" 2>"$W/err"
    rc=$?
}

show() {
    echo "exit $rc; stdout:"
    cat "$W/out"
    echo "stderr:"
    cat "$W/err"
}

expect_rc() {
    [ "$rc" -eq "$1" ] && return 0
    echo "expected exit $1"
    show
    return 1
}

last_line() { tail -n 1 "$W/out"; }

# forget_ledger: a run that writes the same list afresh starts a new ledger
# on purpose; the ledger of the run before would rightly skip every ID it
# wrote, and its mark would rightly refuse a ledger that went missing.
forget_ledger() {
    rm -rf /app/tagsmith.ledger /app/tagsmith.ledger-wal /app/tagsmith.ledger-shm \
        /app/tagsmith.ledger.mark /app/tagsmith.ledger.sessions
}

# newimg NAME [SECTORS]: a blank device's storage. Small by default: the
# read flow pauses 0.1 s per 32 KiB block, as the station's tool does.
newimg() {
    rm -f "$W/$1.img"
    truncate -s $((${2:-256} * 512)) "$W/$1.img"
}

sd_of() { cat "$W/$1.sd"; }

# image_holds SD ID: the kernel's vfat driver reads the ID file (the ID and
# one NUL) and both copies of ulpkData.bin, with their long names, byte for
# byte.
image_holds() {
    local sd=$1 ok=0
    blockdev --flushbufs "/dev/$sd"
    mount -t vfat -o ro,iocharset=utf8 "/dev/$sd" /mnt || { dmesg | tail -n 5; return 1; }
    printf '%s\000' "$2" >"$W/expected-id"
    ls -la /mnt /mnt/sn
    [ "$(ls /mnt | tr '\n' ' ')" = "sn ulpkData.bin " ] || { echo "root: $(ls /mnt)"; ok=1; }
    [ "$(ls /mnt/sn | tr '\n' ' ')" = "id.txt ulpkData.bak " ] || { echo "sn: $(ls /mnt/sn)"; ok=1; }
    cmp "$W/expected-id" /mnt/sn/id.txt || ok=1
    cmp /app/ulpkData.bin /mnt/ulpkData.bin || ok=1
    cmp /app/ulpkData.bin /mnt/sn/ulpkData.bak || ok=1
    umount /mnt
    return $ok
}

# Background runs of the tool (watch, auto, a write to be interrupted).
bg_start() { # bg_start NAME ARGS...
    local name=$1
    shift
    timeout 120 "$CLI" "$@" >"$W/$name.out" 2>"$W/$name.err" &
    echo $! >"$W/$name.bgpid"
}
bg_wait() { # bg_wait NAME [SECONDS]: ends it (SIGTERM) if it runs longer;
    local pid     # sets rc, copies its output to $W/out and $W/err
    pid=$(cat "$W/$1.bgpid")
    wait_for "${2:-20}" eval "! alive $pid" || { echo "$1 still runs: stopped"; kill "$pid"; }
    wait "$pid"
    rc=$?
    cp "$W/$1.out" "$W/out"
    cp "$W/$1.err" "$W/err"
}
count_lines() { grep -c "$2" "$1" 2>/dev/null; }
lines_at_least() { [ "$(count_lines "$1" "$2")" -ge "$3" ]; }

# auto_run PREFIX [keep [SECONDS]]: auto over three blank devices
# PREFIX1..3 (each left attached while the next arrives with "keep"; a write
# may take SECONDS, 30 by default); what each holds is read back one at a
# time. The guest script defines plug, unplug and unplug_all.
auto_run() {
    local p=$1 keep=$2 wait=${3:-30} i
    for i in 1 2 3; do newimg "$p$i"; done
    forget_ledger
    bg_start auto auto --ids /app/sample.ids --count 3
    wait_for 20 grep -q '软件就绪' "$W/auto.out" || { cat "$W/auto.out" "$W/auto.err"; return 1; }
    for i in 1 2 3; do
        plug "$p$i" || return 1
        wait_for "$wait" lines_at_least "$W/auto.out" '烧写成功' $i || echo "no write after $p$i"
        [ -n "$keep" ] || unplug "$p$i"
    done
    bg_wait auto 30
    unplug_all
    expect_rc 0 || return 1
    [ "$(last_line)" = "written 3, failed 0" ] || { show; return 1; }
    local ok=0 held
    for i in 1 2 3; do
        plug "$p$i" || return 1
        cli read
        unplug "$p$i"
        held=$(last_line)
        [ "$rc" -eq 0 ] || held="nothing (read exit $rc)"
        echo "$p$i holds $held"
        [ "$held" = "1A2B3C4D0000000$i" ] || ok=1
    done
    return $ok
}

# auto_gang PREFIX [SECONDS]: auto --gang over three blank devices plugged
# together, each written on its own port at once: three distinct IDs of the
# list's first three, each held by its own device.
auto_gang() {
    local p=$1 wait=${2:-30} i held all=
    for i in 1 2 3; do newimg "$p$i"; done
    forget_ledger
    bg_start gang auto --ids /app/sample.ids --count 3 --gang
    wait_for 20 grep -q '软件就绪' "$W/gang.out" || { cat "$W/gang.out" "$W/gang.err"; return 1; }
    for i in 1 2 3; do plug "$p$i" || return 1; done
    wait_for "$wait" lines_at_least "$W/gang.out" '烧写成功' 3 || echo "not all three written"
    bg_wait gang 30
    unplug_all
    expect_rc 0 || return 1
    [ "$(last_line)" = "written 3, failed 0" ] || { show; return 1; }
    [ "$(grep -c '\[[^]]*\] 烧写成功' "$W/out")" -eq 3 ] || { echo "no port on each line"; show; return 1; }
    for i in 1 2 3; do
        plug "$p$i" || return 1
        cli read
        unplug "$p$i"
        held=$(last_line)
        [ "$rc" -eq 0 ] || held="nothing (read exit $rc)"
        echo "$p$i holds $held"
        all="$all$held "
    done
    [ "$(echo $all | tr ' ' '\n' | sort | tr '\n' ' ')" = \
        "1A2B3C4D00000001 1A2B3C4D00000002 1A2B3C4D00000003 " ]
}

# The summary after the checks: what the kernel sent the devices besides the
# tool's vendor commands, what they refused, and the time the checks took.
summary() {
    [ ! -f "$W/notes" ] || cat "$W/notes"
    echo "guest: opcodes seen: $(cat "$W"/*.log | awk '/^cmd .*status/ {print $2}' | sort | uniq -c |
        awk '{printf "%s%s x%s", sep, $2, $1; sep=", "}')"
    echo "guest: refused: $(cat "$W"/*.log | awk '/^cmd .*status=2/ && $2 != "f3" {print $2, $3, $4}' |
        sort | uniq -c | awk '{printf "%s%s %s %s x%s", sep, $2, $3, $4, $1; sep=", "}')"
    echo "guest: checks took $(awk "BEGIN{print $(now) - $checks_start}") s, $failed failed"
    if [ $failed -gt 0 ]; then
        echo "guest: kernel messages"
        dmesg | tail -n 60 | sed 's/^/    /'
    fi
}
