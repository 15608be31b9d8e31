#!/usr/bin/env bash
# image_check.sh BUILD_DIR [IMAGE_DIR]: checks a firmware image made by
# scripts/image (default SOURCE/build-image): the upgrade header byte by byte
# and the parts behind it, the kernel image and its device tree, the root file
# system (every program an ARM EABI5 object whose libraries are all inside it,
# nothing from the PC side), pcmlink.ko's kernel, the configuration partition,
# and the board's programs from the root file system under qemu-arm -cpu arm926
# with its own loader: fwwriter checking the image and writing it into a box's
# flash, gwlinkd printing its configuration in a box.
#
# Exit status 0 when every check passed, 1 when one failed, 77 (skipped) when
# there is no image to check.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
build=$(cd "${1:?usage: image_check.sh BUILD_DIR [IMAGE_DIR]}" && pwd)
image=${2:-$source_dir/build-image}
box=$build/bin/boardbox

if [ ! -f "$image/upgrade.img" ]; then
  echo "image_check: SKIPPED: no $image/upgrade.img (make it with scripts/image)"
  exit 77
fi
for tool in "$box" fdtget unsquashfs jffs2dump dumpimage qemu-arm arm-linux-gnueabi-readelf; do
  command -v "$tool" >/dev/null || { echo "image_check: $tool is missing" >&2; exit 1; }
done

work=$(mktemp -d /tmp/image-check.XXXXXX)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0
check() { # NAME COMMAND...
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1))
    echo "image_check: ok   $name"
  else
    failed=$((failed + 1))
    echo "image_check: FAIL $name"
  fi
}
size() { stat -c %s "$1"; }
hex() { od -An -v -tx1 "$@" | tr -d ' \n'; }
le32hex() { # VALUE: little-endian hex digits
  local v=$(($1 & 0xFFFFFFFF))
  printf '%02x%02x%02x%02x' $((v & 255)) $((v >> 8 & 255)) $((v >> 16 & 255)) $((v >> 24 & 255))
}

img=$image/upgrade.img
kernel=$image/uImage
rootfs=$image/rootfs.squashfs
config=$image/config.jffs2
dtb=$image/at91-gwlink.dtb
release=$(cat "$image/kernel.release")

# --- the upgrade image: header and parts ---
want_header="44 6f 76 47 57 49 4d 00 03 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00"
want_header=${want_header// /}$(le32hex "$(size "$kernel")")$(le32hex "$(size "$rootfs")")$(le32hex "$(size "$config")")
check "header: DovGWIM, upg_ver 3, fw_ver byte 14 = 1, mtd0 0, the three part sizes" \
  test "$(hex -N 36 "$img")" = "$want_header"
cat "$kernel" "$rootfs" "$config" >"$work/parts"
check "behind the header: kernel, root file system, configuration, back to back" \
  cmp -s -i 36:0 "$img" "$work/parts"
check "the upgrade image is under 16 MiB" test "$(size "$img")" -lt $((16 * 1024 * 1024))
check "the root file system is under 12 MiB" test "$(size "$rootfs")" -lt $((12 * 1024 * 1024))

# --- kernel image: a legacy U-Boot image of an ARM Linux kernel, the device
# tree appended to the zImage inside ---
dumpimage -l "$kernel" >"$work/uimage.txt" 2>&1
check "uImage: an ARM Linux kernel image" grep -q "Image Type:.*ARM Linux Kernel Image" "$work/uimage.txt"
check "uImage: named after the kernel release" grep -q "Image Name:.*Linux-$release" "$work/uimage.txt"
check "uImage: loaded and started in the SDRAM" grep -q "Load Address: 20008000" "$work/uimage.txt"
tail -c "$(size "$dtb")" "$kernel" >"$work/appended.dtb"
check "uImage: the device tree is appended to the zImage" cmp -s "$work/appended.dtb" "$dtb"
check "uImage: the zImage is an ARM boot executable" \
  test "$(od -An -tx4 -j $((64 + 36)) -N 4 "$kernel" | tr -d ' ')" = 016f2818

# --- device tree ---
prop() { fdtget "$@" 2>/dev/null; }
apb=/ahb/apb
check "dt: an AT91SAM9260 board" sh -c "fdtget '$dtb' / compatible | grep -qw atmel,at91sam9260"
check "dt: generic-uio over 0x5FD60 bytes at 0xFFFA0000" \
  test "$(prop "$dtb" /uio@fffa0000 compatible) $(prop -t x "$dtb" /uio@fffa0000 reg)" = "generic-uio fffa0000 5fd60"
check "dt: SSC 0 enabled, with no sound users" \
  test "$(prop "$dtb" $apb/ssc@fffbc000 status)-$(prop -d none "$dtb" $apb/ssc@fffbc000 '#sound-dai-cells')" = "okay-none"
check "dt: no sound node anywhere" sh -c "! dtc -I dtb -O dts '$dtb' 2>/dev/null | grep -q 'sound-dai\|simple-audio-card\|atmel,ssc-audio'"
check "dt: the TWI bus enabled and alias i2c0" \
  test "$(prop "$dtb" $apb/i2c@fffac000 status) $(prop "$dtb" /aliases i2c0)" = "okay $apb/i2c@fffac000"
check "dt: the MAX9768 at 0x4B" \
  test "$(prop "$dtb" $apb/i2c@fffac000/amplifier@4b compatible) $(prop -t x "$dtb" $apb/i2c@fffac000/amplifier@4b reg)" = "maxim,max9768 4b"
check "dt: ttyS1 is USART0, enabled" \
  test "$(prop "$dtb" /aliases serial1) $(prop "$dtb" $apb/serial@fffb0000 status)" = "$apb/serial@fffb0000 okay"
check "dt: ttyS3 is USART3, enabled" \
  test "$(prop "$dtb" /aliases serial3) $(prop "$dtb" $apb/serial@fffd0000 status)" = "$apb/serial@fffd0000 okay"
check "dt: the console's debug unit enabled" test "$(prop "$dtb" $apb/serial@fffff200 status)" = okay
check "dt: the Ethernet MAC enabled (RMII)" \
  test "$(prop "$dtb" $apb/ethernet@fffc4000 status) $(prop "$dtb" $apb/ethernet@fffc4000 phy-mode)" = "okay rmii"
parts=/ahb/ebi@10000000/nand-controller/nand@3/partitions
labels=""
for node in $(prop -l "$dtb" $parts); do
  labels="$labels $(prop "$dtb" "$parts/$node" label)"
done
check "dt: NAND partitions mtd0..mtd5, mtd3 kernel, mtd4 rootfs, mtd5 config" \
  test "$labels" = " bootstrap uboot ubootenv kernel rootfs config"
part_size() { prop -t u "$dtb" "$parts/$1" reg | awk '{print $2}'; }
k=$(prop -l "$dtb" $parts | sed -n 4p)
r=$(prop -l "$dtb" $parts | sed -n 5p)
c=$(prop -l "$dtb" $parts | sed -n 6p)
check "dt: each part fits its partition" \
  test "$(size "$kernel")" -lt "$(part_size "$k")" -a "$(size "$rootfs")" -lt "$(part_size "$r")" \
  -a "$(size "$config")" -lt "$(part_size "$c")"

# --- root file system ---
fs=$work/rootfs
unsquashfs -q -n -d "$fs" "$rootfs" >/dev/null 2>&1
check "rootfs: unpacks" test -x "$fs/bin/busybox"
for f in /sbin/init /bin/sh /sbin/mtd /usr/sbin/gwlinkd /usr/sbin/fwwriter /usr/sbin/headflash \
  /usr/sbin/gwcfg /usr/sbin/gwwebd /usr/sbin/gwupgrade /etc/init.d/rcS /etc/init.d/gwlinkd /lib/ld-linux.so.3 \
  /sbin/logread /sbin/syslogd /sbin/insmod /sbin/ifconfig; do
  check "rootfs: $f" test -x "$fs$f"
done
for d in /proc /sys /dev /tmp /var /config; do
  check "rootfs: mount point $d" test -d "$fs$d"
done
check "rootfs: init runs rcS, gwlinkd under respawn" \
  sh -c "grep -qx '::sysinit:/etc/init.d/rcS' '$fs/etc/inittab' && grep -qx '::respawn:/etc/init.d/gwlinkd' '$fs/etc/inittab'"
ko=$fs/lib/modules/$release/extra/pcmlink.ko
check "rootfs: pcmlink.ko for kernel $release" test -f "$ko"
check "pcmlink.ko: vermagic is the image kernel's" \
  sh -c "modinfo -F vermagic '$ko' | grep -q '^$release '"
check "pcmlink.ko: licence GPL" test "$(modinfo -F license "$ko" 2>/dev/null)" = GPL
pc_side=$(find "$fs" \( -name 'gatesimd' -o -name 'boardbox*' -o -name 'libgatesim*' -o -name '*_test' \
  -o -name 'ssc_sim*' -o -name '*.a' -o -name '*.h' \) | sed "s|^$fs||")
check "rootfs: nothing from the PC side or the tests (${pc_side:-none})" test -z "$pc_side"

# Every ELF file is ARM EABI5, and each NEEDED name is a file in the loader's
# folders of the root file system.
elf_bad=""
unresolved=""
while IFS= read -r f; do
  desc=$(file -b "$f")
  case $desc in
    *"32-bit LSB"*ARM*"EABI5"*) ;;
    *) elf_bad="$elf_bad ${f#"$fs"}" ;;
  esac
  for lib in $(arm-linux-gnueabi-readelf -d "$f" 2>/dev/null | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    found=""
    for d in lib/arm-linux-gnueabi usr/lib/arm-linux-gnueabi lib usr/lib; do
      [ -e "$fs/$d/$lib" ] && found=1
    done
    [ -n "$found" ] || unresolved="$unresolved ${f#"$fs"}:$lib"
  done
done < <(find "$fs" -type f -exec sh -c 'head -c 4 "$1" | grep -q ELF' _ {} \; -print)
check "rootfs: every ELF file is an ARM EABI5 object (${elf_bad:-all})" test -z "$elf_bad"
check "rootfs: every NEEDED library is inside (${unresolved:-all resolved})" test -z "$unresolved"

# --- the configuration partition: JFFS2 holding the factory files ---
qemu=(qemu-arm -cpu arm926 -L "$fs")
mkdir -p "$work/factory"
"${qemu[@]}" "$fs/usr/sbin/gwcfg" --dir "$work/factory" reset >/dev/null
check "config: a JFFS2 image of whole 128 KiB erase blocks" \
  test $(($(size "$config") % 131072)) -eq 0 -a "$(hex -N 2 "$config")" = 8519
check "config: main.cfg and codec.cfg in it" \
  sh -c "jffs2dump -c '$config' 2>/dev/null | grep -c 'name \(main\|codec\)\.cfg$' | grep -qx 2"
# The files are stored uncompressed: the factory record's bytes are in the image.
hex "$config" >"$work/config.hex"
check "config: main.cfg is the factory record" grep -q "$(hex "$work/factory/main.cfg")" "$work/config.hex"
check "config: codec.cfg holds one 32-bit word" \
  sh -c "jffs2dump -c '$config' 2>/dev/null | grep -q 'isize *4, csize *4, dsize *4'"

# --- the programs of the root file system under qemu-arm with its loader ---
"${qemu[@]}" "$fs/usr/sbin/gwcfg" --dir "$work/factory" show >"$work/out" 2>&1
check "gwcfg runs: shows the factory record" grep -qx "remote_ip:172.16.0.189" "$work/out"
"${qemu[@]}" "$fs/bin/busybox" echo busybox runs >"$work/out" 2>&1
check "busybox runs" grep -qx "busybox runs" "$work/out"
rc=0
"${qemu[@]}" "$fs/sbin/mtd" >"$work/out" 2>&1 || rc=$?
check "mtd runs: its usage, status 1" sh -c "[ $rc -eq 1 ] && grep -q 'usage: mtd erase DEVICE' '$work/out'"
run_box() { # BOX_OPTIONS... -- PROGRAM ARGS...: output in $work/out, status in $rc
  local opts=()
  while [ "$1" != "--" ]; do
    opts+=("$1")
    shift
  done
  shift
  rc=0
  timeout 300 "$box" "${opts[@]}" -- "${qemu[@]}" "$fs$1" "${@:2}" >"$work/out" 2>&1 || rc=$?
}
run_box -- /usr/sbin/gwlinkd --getconfig
check "gwlinkd --getconfig runs in a box: the factory record" \
  sh -c "[ $rc -eq 0 ] && grep -qx 'remote_ip:172.16.0.189' '$work/out' && grep -qx 'radio_type:1' '$work/out'"
run_box --tty1 flashtarget -- /usr/sbin/headflash -f /nonexistent -m head -t 3
check "headflash runs in a box: refuses a missing file with 255" test "$rc" -eq 255
run_box --ram0 "$img" -- /usr/sbin/fwwriter --check
check "fwwriter --check in a box: upgrade looks fine" \
  sh -c "[ $rc -eq 0 ] && grep -qx 'upgrade looks fine' '$work/out'"

# fwwriter --upgrade writes each part into its partition, zero padded to whole
# 8192-byte chunks, the rest still erased, then reboots the box.
mtd=$work/mtd
mkdir -p "$mtd"
for p in 3:"$k" 4:"$r" 5:"$c"; do
  head -c "$(part_size "${p#*:}")" /dev/zero | tr '\0' '\377' >"$mtd/mtd${p%%:*}"
done
run_box --ram0 "$img" --mtd "$mtd" -- /usr/sbin/fwwriter --upgrade
check "fwwriter --upgrade in a box: rebooted" sh -c "[ $rc -eq 129 ] && grep -qx ': rebooting' '$work/out'"
written() { # DEVICE FILE: the partition holds FILE, zeros to 8192, then erased bytes
  local n pad
  n=$(size "$2")
  pad=$(((n + 8191) / 8192 * 8192))
  cmp -s -n "$n" "$2" "$1" &&
    cmp -s -n $((pad - n)) -i "$n:0" "$1" /dev/zero &&
    [ "$(tail -c +$((pad + 1)) "$1" | tr -d '\377' | wc -c)" -eq 0 ]
}
check "mtd3 holds the kernel" written "$mtd/mtd3" "$kernel"
check "mtd4 holds the root file system" written "$mtd/mtd4" "$rootfs"
check "mtd5 holds the configuration" written "$mtd/mtd5" "$config"

echo "image_check: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
