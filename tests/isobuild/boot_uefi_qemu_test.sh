#!/bin/sh
# Boots images from velmor-mkiso under QEMU with two entries and as hybrids, and counts success
# only from what the boot code writes to the serial port: a UEFI entry (our own efi_hello.c in a
# FAT image) from the CD on OVMF; the image with a BIOS entry (isolinux) and a UEFI one, on
# SeaBIOS and on OVMF; that image made hybrid with isohdpfx.bin and a GPT, as a USB stick on OVMF
# and as a hard disk on SeaBIOS.
#   boot_uefi_qemu_test.sh <velmor-mkiso>
set -eu
mkiso=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
here=$(cd "$(dirname "$0")" && pwd)
isolinux_bin=/usr/lib/ISOLINUX/isolinux.bin
isohdpfx_bin=/usr/lib/ISOLINUX/isohdpfx.bin
ldlinux_c32=/usr/lib/syslinux/modules/bios/ldlinux.c32
ovmf_code=/usr/share/OVMF/OVMF_CODE.fd
ovmf_vars=/usr/share/OVMF/OVMF_VARS.fd
qemu=$(command -v qemu-system-x86_64) || { echo "qemu-system-x86_64 is not installed"; exit 1; }
for tool in x86_64-w64-mingw32-gcc mkfs.fat mmd mcopy; do
  command -v $tool >/dev/null || { echo "$tool is not installed"; exit 1; }
done
[ -f "$ovmf_code" ] || { echo "$ovmf_code is missing (Debian's ovmf)"; exit 1; }
work=$(mktemp -d)
pid=
trap '[ -z "$pid" ] || kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 1' INT TERM HUP
# shellcheck source=tests/isobuild/qemu_serial.sh
. "$here/qemu_serial.sh"
cd "$work"

# boot <name> <firmware: bios|uefi> <text> <qemu drive flags...>: passes once the text is on the
# serial port; fails when QEMU stops first (-no-reboot ends it where firmware would reboot) or
# after 40 seconds.
boot() {
  name=$1 firmware=$2 text=$3
  shift 3
  set -- -machine q35,accel=tcg -m 128 -nodefaults -display none -monitor none -no-reboot \
    -serial "file:$name.serial" "$@"
  if [ "$firmware" = uefi ]; then
    cp "$ovmf_vars" "$name.vars"
    set -- -drive "if=pflash,format=raw,readonly=on,file=$ovmf_code" \
      -drive "if=pflash,format=raw,file=$name.vars" "$@"
  fi
  "$qemu" "$@" 2>"$name.qemu" &
  pid=$!
  await_serial "$name" 400 "$text"
}

# The EFI program in a FAT image, where firmware looks on removable media.
x86_64-w64-mingw32-gcc -Os -ffreestanding -nostdlib -mno-red-zone -fno-stack-protector \
  -e efi_main -Wl,--subsystem,10 -o BOOTX64.EFI "$here/efi_hello.c"
mkdir -p tree/efi tree/isolinux
mkfs.fat -C -n VELMOREFI tree/efi/efiboot.img 1440 >/dev/null
mmd -i tree/efi/efiboot.img ::/EFI ::/EFI/BOOT
mcopy -i tree/efi/efiboot.img BOOTX64.EFI ::/EFI/BOOT/BOOTX64.EFI
# SAY text would reach only the screen: isolinux starts the serial console after reading the file.
# A default naming a missing kernel makes it print that name on the serial port before its prompt.
cp "$isolinux_bin" "$ldlinux_c32" tree/isolinux/
printf 'SERIAL 0 115200\nDEFAULT velmor-config-read\n' >tree/isolinux/isolinux.cfg

# image <name> <flags...>: <name>.iso of the tree.
image() {
  name=$1
  shift
  (cd tree && "$mkiso" -o "../$name.iso" "$@" .) >"$name.log" 2>&1 || {
    echo "$name: velmor-mkiso failed"; cat "$name.log"; exit 1; }
}
bios='-b isolinux/isolinux.bin -c isolinux/boot.cat -no-emul-boot -boot-load-size 4 -boot-info-table'
uefi='-e efi/efiboot.img'

# shellcheck disable=SC2086 # the flags are words without spaces
image uefi $uefi
boot uefi-cd uefi "VELMOR EFI OK" -cdrom uefi.iso

# shellcheck disable=SC2086 # the flags are words without spaces
image both $bios -eltorito-alt-boot $uefi
boot both-bios bios "Loading velmor-config-read" -cdrom both.iso
boot both-uefi uefi "VELMOR EFI OK" -cdrom both.iso

# shellcheck disable=SC2086
image hybrid $bios -eltorito-alt-boot $uefi -isohybrid-mbr "$isohdpfx_bin" -isohybrid-gpt-basdat
boot hybrid-stick uefi "VELMOR EFI OK" -drive if=none,id=stick,format=raw,file=hybrid.iso \
  -device qemu-xhci -device usb-storage,drive=stick
boot hybrid-disk bios "Loading velmor-config-read" -drive if=ide,format=raw,file=hybrid.iso
echo ok
