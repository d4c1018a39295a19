#!/bin/sh
# Boots images that velmor-mkiso built under QEMU (SeaBIOS) and counts success only from what the
# boot code writes to the serial port: our own no-emulation image and floppy (serial_hello.S), and
# isolinux (which stops on a wrong boot information table, though not on a missing one) up to its
# prompt, built and imported again.
#   boot_qemu_test.sh <velmor-mkiso>
set -eu
mkiso=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
isolinux_bin=/usr/lib/ISOLINUX/isolinux.bin
ldlinux_c32=/usr/lib/syslinux/modules/bios/ldlinux.c32
qemu=$(command -v qemu-system-i386 || command -v qemu-system-x86_64) || {
  echo "neither qemu-system-i386 nor qemu-system-x86_64 is installed"; exit 1; }
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP
# shellcheck source=tests/isobuild/qemu_serial.sh
. "$here/qemu_serial.sh"
cd "$work"

# image <folder> <flags...>: builds <folder>.iso with the folder's contents at the root.
image() {
  name=$1
  shift
  (cd "$name" && "$mkiso" -o "../$name.iso" "$@" .) >"$name.log" 2>&1 || {
    echo "$name: velmor-mkiso failed"; cat "$name.log"; exit 1; }
}

# boot <name> <text...>: boots <name>.iso and passes once every text is on the serial port; fails
# when QEMU stops first (-no-reboot ends it where the BIOS would reboot) or after 30 seconds.
boot() {
  name=$1
  shift
  "$qemu" -machine accel=tcg -m 32 -nodefaults -display none -monitor none -no-reboot \
    -boot d -cdrom "$name.iso" -serial "file:$name.serial" 2>"$name.qemu" &
  pid=$!
  await_serial "$name" 300 "$@"
}

as --32 -o hello.o "$here/serial_hello.S"
ld -m elf_i386 -Ttext 0x7C00 --oformat binary -o hello.bin hello.o

mkdir -p noemul/boot floppy/boot isolinux/isolinux
cp hello.bin noemul/boot/hello.bin
image noemul -b boot/hello.bin -no-emul-boot -boot-load-size 4
boot noemul "VELMOR BOOT OK"

cp hello.bin floppy/boot/floppy.img
truncate -s 1474560 floppy/boot/floppy.img
image floppy -b boot/floppy.img
boot floppy "VELMOR BOOT OK"

# SAY text would reach only the screen: isolinux starts the serial console after reading the file.
# A default naming a missing kernel makes it print that name on the serial port before its prompt.
cp "$isolinux_bin" "$ldlinux_c32" isolinux/isolinux/
head -c 10000 /dev/zero >isolinux/isolinux/a.bin # before the boot image, until it is removed
printf 'SERIAL 0 115200\nDEFAULT velmor-config-read\n' >isolinux/isolinux/isolinux.cfg
image isolinux -b isolinux/isolinux.bin -c isolinux/boot.cat -no-emul-boot -boot-load-size 4 \
  -boot-info-table
boot isolinux "Loading velmor-config-read" "boot:"

# The same image imported, a file before the boot image removed and one added: the boot image
# moves and its info table follows.
printf 'added' >added.txt
"$mkiso" -import isolinux.iso -rm isolinux/a.bin -o imported.iso added.txt >imported.log 2>&1 || {
  echo "imported: velmor-mkiso failed"; cat imported.log; exit 1; }
boot imported "Loading velmor-config-read" "boot:"
echo ok
