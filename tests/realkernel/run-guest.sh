#!/usr/bin/env bash
# Boots this machine's own kernel (from /boot) in a virtual machine whose
# initramfs holds busybox, the kernel modules the test needs, the build's
# tagsmith-cli with its plug-ins and libraries, and the test's device
# program; the guest runs the test's checks and prints one PASS or FAIL line
# per check. The two tests:
#
#   real_kernel  tagsmith-tcmu: each device a TCMU backstore behind its own
#                tcm_loop target (guest/checks.sh)
#   real_usb     tagsmith-usb: each device a USB gadget on the dummy host
#                controller, driven by usb-storage (guest/usb-checks.sh)
#
#   run-guest.sh TEST APPDIR DEVICE_PROGRAM EXAMPLE_DIR WORK_DIR
#
# Exit 0 when every check passed, 1 when one failed or the guest did not
# finish, 77 (one line says why) when this machine cannot run the guest.
# TAGSMITH_GUEST_ONLY=check_a,check_b runs only those checks.
set -uo pipefail

test=$1 app=$2 handler=$3 example=$4 work=$5
here=$(cd "$(dirname "$0")" && pwd)
skip() {
    echo "$test: skipped: $*"
    exit 77
}
die() {
    echo "FAIL guest image: $*"
    exit 1
}

# Modules loaded at boot, in order (NAME or NAME:PARAMETERS), and modules
# the checks load themselves.
case $test in
real_kernel)
    program=tagsmith-tcmu checks=checks.sh
    modules="sd_mod target_core_user tcm_loop"
    later="sg" # the checks begin without it
    ;;
real_usb)
    program=tagsmith-usb checks=usb-checks.sh
    # One emulated controller per device attached at once.
    modules="sd_mod sg usb-storage dummy_hcd:num=4 usb_f_fs"
    later=""
    ;;
*) die "unknown test $test" ;;
esac
modules="$modules vfat nls_cp437 nls_iso8859_1 nls_utf8 nls_cp936"

qemu=$(command -v qemu-system-x86_64) || skip "qemu-system-x86_64 is not installed"
"$qemu" -accel help 2>/dev/null | grep -qx tcg || skip "qemu cannot emulate a machine (no TCG)"
kernel="" version=""
for k in /boot/vmlinuz-*; do
    v=${k#/boot/vmlinuz-}
    [ -r "$k" ] && [ -d "/lib/modules/$v/kernel" ] || continue
    if [ -z "$version" ] || [ "$(printf '%s\n%s\n' "$version" "$v" | sort -V | tail -n 1)" = "$v" ]; then
        kernel=$k version=$v
    fi
done
[ -n "$kernel" ] || skip "no readable kernel in /boot with its modules in /lib/modules"
modprobe=$(PATH=$PATH:/sbin:/usr/sbin command -v modprobe) || skip "modprobe (kmod) is missing"
busybox=$(command -v busybox) || skip "busybox is not installed"
cpio=$(command -v cpio) || skip "cpio is not installed"
fsck=$(PATH=$PATH:/sbin:/usr/sbin command -v fsck.fat) || skip "fsck.fat (dosfstools) is missing"

root=$work/root
rm -rf "$work"
mkdir -p "$root"/{bin,modules,app} || die "cannot make $root"

# Modules in load order, each once, with their parameters ("NAME.ko ARGS"
# lines, read by guest/init).
order=()
for entry in $modules $later; do
    m=${entry%%:*} params=""
    [ "$m" = "$entry" ] || params=${entry#*:}
    deps=$("$modprobe" -S "$version" --show-depends "$m" 2>/dev/null) ||
        skip "kernel $version has no module $m"
    self=$(awk '$1 == "insmod" {p = $2} END {print p}' <<<"$deps") # listed after its dependencies
    while read -r word path _; do
        [ "$word" = insmod ] || continue
        name=$(basename "$path")
        [ -e "$root/modules/$name" ] && continue
        cp "$path" "$root/modules/$name" || die "cannot copy $path"
        [ "$path" = "$self" ] && case " $later " in *" $m "*) continue ;; esac
        [ "$path" = "$self" ] && name="$name${params:+ ${params//,/ }}"
        order+=("$name")
    done <<<"$deps"
done
printf '%s\n' "${order[@]}" >"$root/modules/order"

# Binaries and the shared libraries they name (Volkit.so and modhost.so are
# loaded at run time, so ldd sees them only when asked directly).
copy_with_libs() { # copy_with_libs FILE DEST
    cp "$1" "$root/$2" || die "cannot copy $1"
    local libs lib
    libs=$(ldd "$1" 2>/dev/null | grep -o '/[^ ]*') || return 0 # static
    for lib in $libs; do
        [ -e "$root$lib" ] && continue
        mkdir -p "$root$(dirname "$lib")" && cp -L "$lib" "$root$lib" ||
            die "cannot copy $lib for $1"
    done
}
copy_with_libs "$busybox" bin/busybox
copy_with_libs "$handler" "bin/$program"
copy_with_libs "$fsck" bin/fsck.fat
for f in tagsmith-cli modhost.so Volkit.so; do
    [ -f "$app/$f" ] || die "$app/$f is missing: build first"
    copy_with_libs "$app/$f" "app/$f"
done
# The example installation, never the build's saved settings.
for f in tagsmith.cfg ulpkData.bin sample.ids; do
    cp "$example/$f" "$root/app/$f" || die "cannot copy $example/$f"
done
# glibc's converters: CP936 (GBK) for drive roots and file names, UTF-16 for
# the ID pages. ldd does not list them; without them no drive can be opened.
gconv=""
for d in /usr/lib/x86_64-linux-gnu/gconv /usr/lib64/gconv /usr/lib/gconv; do
    [ -f "$d/gconv-modules" ] && { gconv=$d; break; }
done
[ -n "$gconv" ] || skip "glibc's gconv modules are missing"
mkdir -p "$root$gconv"
cp -r "$gconv"/gconv-modules* "$root$gconv/" || die "cannot copy $gconv"
for m in GBK UTF-16 UTF-32 UNICODE; do
    cp "$gconv/$m.so" "$root$gconv/" || die "cannot copy $gconv/$m.so"
done
cp "$here/guest/init" "$root/init" && cp "$here/guest/lib.sh" "$root/lib.sh" &&
    cp "$here/guest/$checks" "$root/checks.sh" && chmod +x "$root/init" ||
    die "cannot copy the guest scripts"

# An uncompressed archive: unpacking it is cheaper under emulation.
(cd "$root" && find . | "$cpio" -o -H newc --quiet) >"$work/initrd.cpio" ||
    die "cannot pack the initramfs"

# KVM cannot boot this kernel on every host; TCG always can.
start=$(date +%s)
timeout 780 "$qemu" -accel tcg -cpu max -smp 2 -m 1024 -nodefaults -no-user-config \
    -display none -serial "file:$work/console.log" -no-reboot \
    -kernel "$kernel" -initrd "$work/initrd.cpio" \
    -append "console=ttyS0 panic=-1 loglevel=1 rdinit=/init${TAGSMITH_GUEST_ONLY:+ tagsmith.only=$TAGSMITH_GUEST_ONLY}"
status=$?
secs=$(($(date +%s) - start))

tr -d '\r' <"$work/console.log" >"$work/console.txt"
grep -E '^(PASS|FAIL|guest:|note:|    )' "$work/console.txt"
pass=$(grep -c '^PASS ' "$work/console.txt")
fail=$(grep -c '^FAIL ' "$work/console.txt")
if ! grep -q '^CHECKS-DONE' "$work/console.txt"; then
    echo "FAIL the guest did not finish (qemu status $status); its console ends:"
    tail -n 30 "$work/console.txt" | sed 's/^/    /'
    fail=$((fail + 1))
fi
echo "$test: kernel $version, $pass checks passed, $fail failed, ${secs} s"
[ "$fail" -eq 0 ] && [ "$pass" -gt 0 ]
