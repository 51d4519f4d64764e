# The checks run inside the test guest (busybox sh). Each device is an image
# file served by tagsmith-usb as a USB mass-storage function (FunctionFS) of
# its own configfs gadget, with its own USB IDs and serial number, bound to
# one of the dummy host controller's ports: the kernel enumerates it as a
# USB device and its usb-storage driver makes it a SCSI disk. Plugging is
# binding the gadget to a controller, pulling is unbinding it (a USB
# disconnect). The tool finds the disk through sysfs, talks to it through
# SG_IO on /dev/sgN and hears of its arrival and removal through the
# kernel's uevents (no udev daemon here).
# Every check prints one line, PASS or FAIL, with details under a FAIL.

. /lib.sh
GADGETS=/sys/kernel/config/usb_gadget
VENDOR=1209
PRODUCT_DEVICE=0001
PRODUCT_DISK=0002

usb_serial() { echo "TS-$1-0042"; }

# disk_on UDC: the block disk of the USB device on that controller's port.
disk_on() {
    local b
    for b in /sys/class/block/sd*; do
        [ -e "$b" ] || continue
        case "$(readlink -f "$b")" in */dummy_hcd.${1#dummy_udc.}/*) echo "${b##*/}"; return 0 ;; esac
    done
    return 1
}

# plug NAME [tagsmith-usb options]: makes $W/NAME.img a USB device and
# connects it to a free port; waits for its disk.
plug() {
    local name=$1 g u udc product=$PRODUCT_DEVICE t0 sd
    shift
    case " $* " in *" --disk "*) product=$PRODUCT_DISK ;; esac
    udc=
    for u in /sys/class/udc/*; do
        u=${u##*/}
        cat "$W"/*.udc 2>/dev/null | grep -qx "$u" || { udc=$u; break; }
    done
    [ -n "$udc" ] || { echo "no free port for $name"; return 1; }
    g=$GADGETS/$name
    mkdir -p "$g/strings/0x409" "$g/configs/c.1/strings/0x409" "$g/functions/ffs.$name" ||
        return 1
    echo "0x$VENDOR" >"$g/idVendor"
    echo "0x$product" >"$g/idProduct"
    echo TAGSMITH >"$g/strings/0x409/manufacturer"
    echo "SIM DEVICE" >"$g/strings/0x409/product"
    usb_serial "$name" >"$g/strings/0x409/serialnumber"
    mkdir -p "/dev/ffs-$name" && mount -t functionfs "$name" "/dev/ffs-$name" || return 1
    tagsmith-usb --ffs "/dev/ffs-$name" --image "$W/$name.img" --serial "$name" "$@" \
        >"$W/$name.log" 2>&1 &
    echo $! >"$W/$name.pid"
    wait_for 10 grep -q '^ready' "$W/$name.log" || { cat "$W/$name.log"; return 1; }
    ln -s "$g/functions/ffs.$name" "$g/configs/c.1/" || return 1
    echo "$udc" >"$W/$name.udc"
    t0=$(now)
    wait_for 10 eval "echo $udc >$g/UDC" || { echo "$name not bound to $udc"; return 1; }
    wait_for 30 disk_on "$udc" >/dev/null || { echo "no disk for $name on $udc"; return 1; }
    sd=$(disk_on "$udc")
    wait_for 10 [ -b "/dev/$sd" ] || { echo "no node /dev/$sd"; return 1; }
    echo "$sd" >"$W/$name.sd"
    awk "BEGIN{print $(now) - $t0}" >>"$W/settle"
}

# pull NAME: the USB disconnect; the device's program keeps running.
pull() {
    local sd
    sd=$(cat "$W/$1.sd" 2>/dev/null)
    echo "" >"$GADGETS/$1/UDC"
    [ -z "$sd" ] || wait_for 20 eval "[ ! -e /sys/class/block/$sd ]" ||
        echo "$sd still there after the disconnect"
}

# unplug NAME: disconnects and takes the gadget apart.
unplug() {
    local name=$1 g=$GADGETS/$1 pid
    [ -f "$W/$name.udc" ] || return 0
    pull "$name"
    pid=$(cat "$W/$name.pid")
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -f "$g/configs/c.1/ffs.$name"
    rmdir "$g/configs/c.1/strings/0x409" "$g/configs/c.1" "$g/functions/ffs.$name" \
        "$g/strings/0x409" "$g"
    umount "/dev/ffs-$name"
    rm -f "$W/$name.udc" "$W/$name.sd"
}

unplug_all() {
    for f in "$W"/*.udc; do
        [ -f "$f" ] || continue
        f=${f##*/}
        unplug "${f%.udc}"
    done
}

# journal_devices ID: the usb_serial,usb_vendor,usb_product of the journal's
# written attempts of ID.
journal_devices() {
    cli journal --csv -
    [ "$rc" -eq 0 ] || { show; return 1; }
    awk -F, -v id="$1" '$3 == "write" && $11 == id && $17 == 0 {print $13 "," $14 "," $15}' "$W/out"
}

# ---------------------------------------------------------------- checks

check_modules() {
    local m ok=0
    for m in usbcore usb_storage dummy_hcd libcomposite usb_f_fs sd_mod sg vfat; do
        [ -d "/sys/module/$m" ] || { echo "module $m not loaded"; ok=1; }
    done
    [ "$(ls /sys/class/udc | wc -l)" -ge 3 ] || { ls /sys/class/udc; ok=1; }
    [ -d "$GADGETS" ] || { echo "gadget configfs missing"; ok=1; }
    return $ok
}

check_device_nodes() {
    local sd sg usb
    newimg E 2048
    plug E || return 1
    sd=$(sd_of E)
    wait_for 10 ls "/sys/class/block/$sd/device/scsi_generic/" >/dev/null || return 1
    sg=$(ls "/sys/class/block/$sd/device/scsi_generic/")
    echo "block /dev/$sd, generic /dev/$sg"
    wait_for 10 [ -c "/dev/$sg" ] || { echo "no /dev/$sg"; return 1; }
    [ "$(cat "/sys/block/$sd/removable")" = 1 ] || { echo "removable is not 1"; return 1; }
    [ "$(cat "/sys/block/$sd/size")" = 2048 ] || { echo "size $(cat "/sys/block/$sd/size")"; return 1; }
    # The USB device above the disk, as udev reads it.
    usb=$(readlink -f "/sys/class/block/$sd/device")
    while [ "$usb" != / ] && [ ! -f "$usb/idVendor" ]; do usb=${usb%/*}; done
    echo "usb device $usb"
    [ "$(cat "$usb/idVendor"):$(cat "$usb/idProduct")" = "$VENDOR:$PRODUCT_DEVICE" ] || return 1
    [ "$(cat "$usb/serial")" = "$(usb_serial E)" ] || return 1
    [ "$(readlink -f "$usb"/*:1.0/driver)" = /sys/bus/usb/drivers/usb-storage ] ||
        { echo "driver $(readlink -f "$usb"/*:1.0/driver)"; return 1; }
    note "usb: largest transfer $(cat "/sys/block/$sd/queue/max_sectors_kb") KiB," \
        "connect to disk $(cat "$W/settle") s"
}

check_devices_handshake() {
    cli devices
    expect_rc 0 || return 1
    grep -qx "/dev/$(sd_of E) type=removable open=ok handshake=ok sectors=2048" "$W/out" ||
        { show; return 1; }
}

check_write_read() {
    cli write 1A2B --yes
    expect_rc 0 || return 1
    grep -q "烧写成功 ID: 1A2B" "$W/out" || { show; return 1; }
    cli read
    expect_rc 0 || return 1
    [ "$(last_line)" = 1A2B ] || { show; return 1; }
}

check_vfat_contents() { image_holds "$(sd_of E)" 1A2B; }

check_fsck() { fsck.fat -n "/dev/$(sd_of E)"; }

check_journal_usb() {
    local got
    got=$(journal_devices 1A2B) || return 1
    [ "$got" = "$(usb_serial E),$VENDOR,$PRODUCT_DEVICE" ] || { echo "journal: $got"; cat "$W/out"; return 1; }
}

# An ordinary USB disk refuses the vendor command (a failed CSW, then the
# sense the kernel fetches with REQUEST SENSE) and is skipped.
check_ordinary_disk() {
    unplug E
    newimg D
    plug D --disk || return 1
    cli devices
    unplug D
    grep -qx "/dev/.* type=removable open=ok handshake=no" "$W/out" || { show; return 1; }
}

check_refused_write() {
    newimg R
    echo "status=write:2" >"$W/R.fault"
    plug R --faults "$W/R.fault" || return 1
    local t0 t1
    t0=$(now)
    cli --debug write 2222 --yes
    t1=$(now)
    unplug R
    expect_rc 1 || return 1
    grep -q "烧写失败" "$W/out" || { show; return 1; }
    note "usb: a refused write: $(grep -m 1 'DeviceWrite:' "$W/err"), the write took" \
        "$(awk "BEGIN{print $t1 - $t0}") s, the device was sent it" \
        "$(count_lines "$W/R.log" '^cmd f3 01 .*csw=1') times"
}

# A device that moves half the handshake's answer and says so in its CSW:
# the residue reaches the tool, and the size field it did not send (past
# the half) is not taken from whatever the buffer held.
check_short_handshake() {
    newimg H
    echo "short_at=handshake:1" >"$W/H.fault"
    plug H --faults "$W/H.fault" || return 1
    cli --debug devices
    unplug H
    grep -q "^cmd f3 00 .* len=32 status=0 csw=0 residue=16" "$W/H.log" || { cat "$W/H.log"; return 1; }
    grep -q "DataTransferLength=16" "$W/err" || { show; return 1; }
    ! grep -q "sectors=256" "$W/out" || { show; return 1; }
}

# A device that takes half of a write's data, says good and reports the rest
# as its CSW's residue.
check_short_write() {
    newimg K
    echo "short_at=write:1" >"$W/K.fault"
    plug K --faults "$W/K.fault" || return 1
    cli write 7777 --yes
    unplug K
    grep -q "^cmd f3 01 .* len=32768 status=0 csw=0 residue=16384" "$W/K.log" || { cat "$W/K.log"; return 1; }
    expect_rc 1 || return 1
    grep -q "烧写失败" "$W/out" || { show; return 1; }
}

check_late_handshake() {
    local t0 t1
    newimg J
    plug J --delay handshake:5000 || return 1
    t0=$(now)
    cli --debug devices
    t1=$(now)
    unplug J
    note "usb: a handshake answered after 5 s: $(grep -m 1 'handshake=' "$W/out" | cut -d' ' -f4-)" \
        "$(grep -m 1 'SG_IO' "$W/err") after $(awk "BEGIN{print $t1 - $t0}") s; the host reset" \
        "the device $(sed -n 's/^cmd f3 00 .*abandoned by a reset after \([0-9]*\) ms/\1 ms/p' \
            "$W/J.log") after it was sent"
    grep -qx "/dev/.* type=removable open=ok handshake=failed code=337 errno=110" "$W/out" ||
        { show; return 1; }
}

check_late_finish() {
    local t0 t1
    newimg L
    plug L --delay finish:5000 || return 1
    t0=$(now)
    cli write 5555 --yes
    t1=$(now)
    note "usb: a finish answered after 5 s: the host reset the device $(sed -n \
        's/^cmd f3 02 .*abandoned by a reset after \([0-9]*\) ms/\1 ms/p' "$W/L.log")" \
        "after it was sent; the whole write took $(awk "BEGIN{print $t1 - $t0}") s"
    expect_rc 1 || return 1
    grep -q "烧写失败" "$W/out" || { show; return 1; }
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
    pull P
    bg_wait pulled
    unplug P
    expect_rc 1 || return 1
    grep -q "烧写失败" "$W/out" || { show; return 1; }
    [ ! -e "/sys/class/block/$sd" ] || { echo "$sd still there"; return 1; }
    cli devices
    ! grep -q "/dev/$sd" "$W/out" || { show; return 1; }
    # The journal keeps the failed attempt under the device's USB serial.
    cli journal --csv -
    awk -F, '$3 == "write" && $11 == "6666" {print $13, $17}' "$W/out" >"$W/pulled.rows"
    [ "$(cat "$W/pulled.rows")" = "$(usb_serial P) 1" ] || { cat "$W/out"; return 1; }
}

check_pulled_during_read() {
    local t0
    cp "$W/E.img" "$W/Q.img"
    plug Q --delay read:300 || return 1
    bg_start pulledread --debug read
    wait_for 30 lines_at_least "$W/Q.log" "^cmd f3 03 .*status" 3 ||
        { echo "no reads seen"; cat "$W/Q.log"; unplug Q; return 1; }
    t0=$(now)
    pull Q
    bg_wait pulledread
    unplug Q
    note "usb: a device pulled during a read: $(grep -m 1 'SG_IO' "$W/err")" \
        "$(grep -m 1 'GetLastError' "$W/err")," \
        "the read ended $(awk "BEGIN{print $(now) - $t0}") s after the pull"
    expect_rc 1
}

check_watch_hotplug() {
    newimg G
    cp "$W/E.img" "$W/G.img"
    bg_start watch watch --count 2
    wait_for 20 grep -q '^ready' "$W/watch.out" || { cat "$W/watch.out" "$W/watch.err"; return 1; }
    plug E || return 1
    wait_for 30 grep -q '^ID 1A2B$' "$W/watch.out" || { echo "E not read"; cat "$W/watch.out"; }
    unplug E
    plug G || return 1
    bg_wait watch 30
    unplug G
    expect_rc 0 || return 1
    [ "$(grep '^ID ' "$W/out" | tr '\n' ' ')" = "ID 1A2B ID 1A2B " ] || { show; return 1; }
    [ "$(last_line)" = "read 2, failed 0" ] || { show; return 1; }
}

# The journal names each device auto_run PREFIX wrote by its own USB serial.
journal_names_serials() {
    local p=$1 ok=0 i got
    for i in 1 2 3; do
        got=$(journal_devices "1A2B3C4D0000000$i")
        echo "1A2B3C4D0000000$i written on $got"
        [ "$got" = "$(usb_serial "$p$i"),$VENDOR,$PRODUCT_DEVICE" ] || ok=1
    done
    return $ok
}

check_auto_one_after_another() { auto_run A "" 40 && journal_names_serials A; }
check_auto_gang() { auto_gang C 40; }
check_auto_attached_at_once() { auto_run B keep 40 && journal_names_serials B; }

# Every device program served its function to the end without a complaint.
check_devices_clean() {
    ! grep -H 'tagsmith-usb:\|bad cbw\|too long\|Sanitizer\|runtime error' "$W"/*.log
}

run_check "the USB, gadget, storage and vfat modules are loaded, 3 or more ports" check_modules
run_check "a USB device: /dev/sdX and /dev/sgN, removable=1, its USB IDs and serial, usb-storage" check_device_nodes
run_check "devices: the vendor handshake answers through usb-storage" check_devices_handshake
run_check "write --yes on a blank device, read gives the ID back" check_write_read
run_check "the kernel's vfat driver reads the ID file and both copies byte for byte" check_vfat_contents
run_check "fsck.fat -n finds the written file system clean" check_fsck
run_check "the journal names the device by its USB serial, vendor and product" check_journal_usb
run_check "an ordinary USB disk does not answer the handshake and is skipped" check_ordinary_disk
run_check "a write the device refuses (failed CSW, sense by REQUEST SENSE) fails" check_refused_write
run_check "a handshake answered short: its residue reaches the tool, the size it lacks is not taken" check_short_handshake
run_check "a write the device takes half of (good CSW, residue 16384) fails" check_short_write
run_check "a handshake answered after 5 s: the call fails with ETIMEDOUT (110)" check_late_handshake
run_check "a finish answered after 5 s (past the 2 s timeout) is a failed write" check_late_finish
run_check "the device answers again after the timed-out command" check_after_timeout
run_check "a device pulled during a write fails the write, its nodes go, the journal has it" check_pulled_during_write
run_check "a device pulled during a read fails the read" check_pulled_during_read
run_check "watch reads devices as they connect and disconnect" check_watch_hotplug
run_check "auto writes devices connected one after another; the journal has each serial" check_auto_one_after_another
run_check "auto with devices left connected writes each once; the journal has each serial" check_auto_attached_at_once
run_check "auto --gang writes three devices plugged together, each on its own port" check_auto_gang
unplug_all
run_check "every device program served its function without an error" check_devices_clean
echo "guest: connect to disk: $(tr '\n' ' ' <"$W/settle")s"
summary
