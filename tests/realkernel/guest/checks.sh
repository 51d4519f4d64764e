# The checks run inside the test guest (busybox sh). Each device is an image
# file served by tagsmith-tcmu on a TCMU backstore, made a SCSI disk by its
# own tcm_loop target (its own SCSI host, as a USB stick is). The tool finds
# it through sysfs, talks to it through SG_IO on /dev/sgN and hears of its
# arrival and removal through the kernel's uevents (no udev daemon here).
# Every check prints one line, PASS or FAIL, with details under a FAIL.

. /lib.sh
CFG=/sys/kernel/config/target
targets=0

# plug NAME [tagsmith-tcmu options]: attaches $W/NAME.img as a new disk.
plug() {
    local name=$1 core uio u addr sd tpg wwn
    shift
    core=$CFG/core/user_1/$name
    mkdir -p "$core" || return 1
    echo "dev_config=tagsmith/$name,dev_size=$(stat -c %s "$W/$name.img")" >"$core/control" &&
        echo 1 >"$core/enable" || { echo "backstore $name not enabled"; return 1; }
    uio=
    for u in /sys/class/uio/uio*; do
        case "$(cat "$u/name")" in */"$name"/tagsmith/"$name") uio=${u##*/} ;; esac
    done
    [ -n "$uio" ] || { echo "no uio node for $name"; return 1; }
    tagsmith-tcmu --uio "/dev/$uio" --image "$W/$name.img" --serial "$name" "$@" \
        >"$W/$name.log" 2>&1 &
    echo $! >"$W/$name.pid"
    wait_for 10 grep -q '^ready' "$W/$name.log" || { cat "$W/$name.log"; return 1; }
    targets=$((targets + 1))
    wwn=$(printf 'naa.5001405%09x' $targets)
    tpg=$CFG/loopback/$wwn/tpgt_1
    mkdir -p "$tpg/lun/lun_0" &&
        printf 'naa.5001406%09x\n' $targets >"$tpg/nexus" &&
        ln -s "$core" "$tpg/lun/lun_0/$name" || { echo "tcm_loop target for $name failed"; return 1; }
    echo "$wwn" >"$W/$name.wwn"
    addr=$(cat "$tpg/address")
    wait_for 20 ls "/sys/bus/scsi/devices/$addr:0/block/" >/dev/null ||
        { echo "no disk at $addr:0"; return 1; }
    sd=$(ls "/sys/bus/scsi/devices/$addr:0/block/")
    wait_for 10 [ -b "/dev/$sd" ] || { echo "no node /dev/$sd"; return 1; }
    echo "$sd" >"$W/$name.sd"
}

# unplug NAME: the LUN goes first (the disk disappears as a pulled stick
# does), then the target and the backstore, which ends its handler.
unplug() {
    local name=$1 wwn tpg pid
    [ -f "$W/$name.wwn" ] || return 0
    wwn=$(cat "$W/$name.wwn")
    tpg=$CFG/loopback/$wwn/tpgt_1
    rm -f "$tpg/lun/lun_0/$name"
    rmdir "$tpg/lun/lun_0" "$tpg" "$CFG/loopback/$wwn"
    rmdir "$CFG/core/user_1/$name"
    pid=$(cat "$W/$name.pid")
    wait_for 10 eval "! alive $pid" || { echo "handler of $name still runs"; kill "$pid"; }
    wait "$pid" 2>/dev/null
    rm -f "$W/$name.wwn" "$W/$name.sd"
}

unplug_all() {
    for f in "$W"/*.wwn; do
        [ -f "$f" ] || continue
        f=${f##*/}
        unplug "${f%.wwn}"
    done
}

# ---------------------------------------------------------------- checks

check_modules() {
    local m ok=0
    for m in scsi_mod sd_mod configfs target_core_mod uio target_core_user tcm_loop fat vfat; do
        [ -d "/sys/module/$m" ] || { echo "module $m not loaded"; ok=1; }
    done
    [ -d "$CFG/core" ] || { echo "target configfs missing"; ok=1; }
    [ ! -d /sys/module/sg ] || { echo "sg is loaded already"; ok=1; }
    return $ok
}

check_without_sg() {
    newimg E 2048
    plug E || return 1
    cli devices
    expect_rc 0 || return 1
    grep -qx "/dev/$(sd_of E) type=removable open=failed errno=19 error=\"No such device\"" \
        "$W/out" || { show; return 1; }
    cli --debug write 1A2B --yes
    expect_rc 3 || return 1
    grep -q "DeviceOpen Error = 19" "$W/err" || { show; return 1; }
}

check_device_nodes() {
    local sd
    insmod /modules/sg.ko || return 1
    sd=$(sd_of E)
    wait_for 10 ls "/sys/class/block/$sd/device/scsi_generic/" >/dev/null || return 1
    sg=$(ls "/sys/class/block/$sd/device/scsi_generic/")
    echo "block /dev/$sd, generic /dev/$sg"
    wait_for 10 [ -c "/dev/$sg" ] || { echo "no /dev/$sg"; return 1; }
    [ "$(cat "/sys/block/$sd/removable")" = 1 ] || { echo "removable is not 1"; return 1; }
    [ "$(cat "/sys/block/$sd/size")" = 2048 ] || { echo "size $(cat "/sys/block/$sd/size")"; return 1; }
    [ "$(cat "/sys/block/$sd/device/vendor")" = TAGSMITH ] || return 1
    [ "$(cat "/sys/block/$sd/device/type")" = 0 ] || return 1
}

check_devices_handshake() {
    cli devices
    expect_rc 0 || return 1
    grep -qx "/dev/$(sd_of E) type=removable open=ok handshake=ok sectors=2048" "$W/out" ||
        { show; return 1; }
}

check_read_blank() {
    cli read
    expect_rc 1
}

check_write_blank() {
    cli write 1A2B --yes
    expect_rc 0 || return 1
    grep -q "烧写成功 ID: 1A2B" "$W/out" || { show; return 1; }
}

check_read_back() {
    cli read
    expect_rc 0 || return 1
    [ "$(last_line)" = 1A2B ] || { show; return 1; }
}

check_write_no() {
    cli write 5E6F --no
    expect_rc 0 || return 1
    ! grep -q "烧写成功" "$W/out" || { show; return 1; }
    cli read
    [ "$(last_line)" = 1A2B ] || { show; return 1; }
}

check_write_yes() {
    cli write 5E6F --yes
    expect_rc 0 || return 1
    grep -q "烧写成功 ID: 5E6F" "$W/out" || { show; return 1; }
    cli read
    [ "$(last_line)" = 5E6F ] || { show; return 1; }
}

check_vfat_contents() { image_holds "$(sd_of E)" 5E6F; }

check_fsck() {
    fsck.fat -n "/dev/$(sd_of E)"
}

check_ordinary_disk() {
    unplug E
    newimg D
    plug D --disk || return 1
    cli devices
    grep -qx "/dev/$(sd_of D) type=removable open=ok handshake=no" "$W/out" || { show; return 1; }
    cli write 1111 --yes
    expect_rc 3 || return 1
    newimg F
    plug F || return 1
    cli write 1111 --yes
    expect_rc 0 || return 1
    grep -q "烧写成功 ID: 1111" "$W/out" || { show; return 1; }
    cli read
    [ "$(last_line)" = 1111 ] || { show; return 1; }
    cmp -n $((256 * 512)) "$W/D.img" /dev/zero || { echo "the disk was written"; return 1; }
    unplug D
    unplug F
}

# A device that refuses what it is sent with a check condition.
check_refused_write() {
    newimg R
    echo "status=write:2" >"$W/R.fault"
    plug R --faults "$W/R.fault" || return 1
    cli write 2222 --yes
    unplug R
    expect_rc 1
}

check_refused_read() {
    cp "$W/F.img" "$W/Q.img"
    echo "status=read:2" >"$W/Q.fault"
    plug Q --faults "$W/Q.fault" || return 1
    cli read
    unplug Q
    expect_rc 1
}

check_oversized_handshake() {
    newimg O
    echo "size=512" >"$W/O.fault"
    plug O --faults "$W/O.fault" || return 1
    cli write 3333 --yes
    unplug O
    expect_rc 1
}

check_slow_finish() {
    newimg S
    plug S --delay finish:1200 || return 1
    cli write 4444 --yes
    unplug S
    expect_rc 0
}

check_late_finish() {
    local t0 t1
    newimg L
    plug L --delay finish:5000 || return 1
    t0=$(now)
    cli write 5555 --yes
    t1=$(now)
    echo "write took $(awk "BEGIN{print $t1 - $t0}") s"
    expect_rc 1 || return 1
    grep -q "烧写失败" "$W/out" || { show; return 1; }
    awk "BEGIN{exit !($t1 - $t0 >= 2)}" || { echo "failed before the timeout"; return 1; }
}

check_late_handshake() {
    local t0 t1
    newimg H
    plug H --delay handshake:5000 || return 1
    t0=$(now)
    cli devices
    t1=$(now)
    unplug H
    echo "devices took $(awk "BEGIN{print $t1 - $t0}") s"
    grep -qx "/dev/.* type=removable open=ok handshake=failed code=337 errno=110" "$W/out" ||
        { show; return 1; }
    awk "BEGIN{exit !($t1 - $t0 >= 2)}" || { echo "failed before the timeout"; return 1; }
}

check_after_timeout() {
    cli devices
    unplug L
    grep -q "handshake=ok sectors=256" "$W/out" || { show; return 1; }
}

check_pulled_during_write() {
    local sd
    newimg P 2048 # 32 slow writes: a wide window to pull it in
    plug P --delay write:300 || return 1
    sd=$(sd_of P)
    bg_start pulled write 6666 --yes
    wait_for 30 lines_at_least "$W/P.log" "^cmd f3 01 .*status" 3 ||
        { echo "no writes seen"; cat "$W/P.log"; unplug P; return 1; }
    unplug P
    bg_wait pulled
    expect_rc 1 || return 1
    grep -q "烧写失败" "$W/out" || { show; return 1; }
    [ ! -e "/sys/class/block/$sd" ] || { echo "$sd still there"; return 1; }
    cli devices
    ! grep -q "/dev/$sd" "$W/out" || { show; return 1; }
}

check_watch_hotplug() {
    bg_start watch watch --count 2
    wait_for 20 grep -q '^ready' "$W/watch.out" || { cat "$W/watch.out" "$W/watch.err"; return 1; }
    cp "$W/F.img" "$W/G.img"
    plug E || return 1
    wait_for 20 grep -q '^ID 5E6F$' "$W/watch.out" || { echo "E not read"; cat "$W/watch.out"; }
    unplug E
    plug G || return 1
    bg_wait watch
    unplug G
    expect_rc 0 || return 1
    [ "$(grep '^ID ' "$W/out" | tr '\n' ' ')" = "ID 5E6F ID 1111 " ] || { show; return 1; }
    [ "$(last_line)" = "read 2, failed 0" ] || { show; return 1; }
}

check_auto_one_after_another() { auto_run A ""; }
check_auto_gang() { auto_gang C; }
check_auto_attached_at_once() { auto_run B keep; }

check_watch_attached_at_once() {
    bg_start watch2 watch --count 2
    wait_for 20 grep -q '^ready' "$W/watch2.out" || return 1
    plug E || return 1
    wait_for 20 grep -q '^ID 5E6F$' "$W/watch2.out" || echo "E not read"
    plug G || return 1
    bg_wait watch2
    unplug_all
    [ "$(grep '^ID ' "$W/out" | tr '\n' ' ')" = "ID 5E6F ID 1111 " ] || { show; return 1; }
}

# Every handler served its ring to the end without a complaint.
check_handlers_clean() {
    ! grep -H 'tagsmith-tcmu:\|Sanitizer\|runtime error' "$W"/*.log
}

run_check "the SCSI, target and vfat modules are loaded, sg is not" check_modules
run_check "without sg: the disk is listed, opening it fails with errno 19, nothing is written" check_without_sg
run_check "with sg: /dev/sdX and /dev/sgN exist, removable=1, 2048 sectors" check_device_nodes
run_check "devices: the vendor handshake answers through SG_IO" check_devices_handshake
run_check "read of a blank device fails" check_read_blank
run_check "write --yes on a blank device" check_write_blank
run_check "read gives the written ID back" check_read_back
run_check "write --no keeps the ID the device holds" check_write_no
run_check "write --yes replaces the ID" check_write_yes
run_check "the kernel's vfat driver reads the ID file and both copies byte for byte" check_vfat_contents
run_check "fsck.fat -n finds the written file system clean" check_fsck
run_check "an ordinary disk does not answer the handshake and is skipped" check_ordinary_disk
run_check "a write the device refuses with a check condition fails" check_refused_write
run_check "a read the device refuses with a check condition fails" check_refused_read
run_check "a handshake claiming more sectors than the device has fails the write" check_oversized_handshake
run_check "a finish answered after 1.2 s (inside the 2 s timeout) is a written device" check_slow_finish
run_check "a handshake answered after 5 s: the call fails with ETIMEDOUT (110)" check_late_handshake
run_check "a finish answered after 5 s (past the 2 s timeout) is a failed write" check_late_finish
run_check "the device answers again after the timed-out command" check_after_timeout
run_check "a device pulled during a write fails the write and its nodes go" check_pulled_during_write
run_check "watch reads devices as they are added and removed" check_watch_hotplug
run_check "auto writes devices plugged one after another" check_auto_one_after_another
run_check "auto with devices left attached writes each once, in plug order" check_auto_attached_at_once
run_check "auto --gang writes three devices plugged together, each on its own port" check_auto_gang
run_check "watch with devices left attached reads each arrival once" check_watch_attached_at_once
unplug_all
run_check "every handler served its disk without an error" check_handlers_clean
summary
