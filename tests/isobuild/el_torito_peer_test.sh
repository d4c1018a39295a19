#!/bin/sh
# Bootable images from velmor-mkiso beside genisoimage's of the same tree and flags. xorriso and
# isoinfo must report the same boot entry, and the boot record and catalog sectors must hold the
# same bytes (the catalog's validation checksum included, which neither reader checks); only
# sector numbers may differ. The boot image read back must equal its source, but for the boot
# information table, checked field by field; the source file must be left as it was. Images with
# several entries and hybrid images are compared with xorriso's of the same tree and flags.
#   el_torito_peer_test.sh <velmor-mkiso>
set -eu
mkiso=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

fail() { echo "$name: $*"; exit 1; }

# A loader whose length is not a multiple of 4 (the checksum's last word is partial), and floppy
# images of each size with a boot sector.
mkdir -p tree/boot tree/docs
head -c 9001 /dev/urandom >tree/boot/loader.bin
for fd in 1228800:fd120 1474560:fd144 2949120:fd288; do
  head -c 512 /dev/urandom >"tree/boot/${fd#*:}.img"
  truncate -s "${fd%:*}" "tree/boot/${fd#*:}.img"
done
printf 'readme' >tree/readme.txt
printf 'a' >tree/docs/a.txt
cp -R tree pristine

# What the readers report of the boot entry, with sector numbers masked.
report() {
  xorriso -indev "$1" -report_el_torito plain 2>/dev/null |
    awk '/^El Torito catalog/ { $5 = "LBA" } /^El Torito boot img/ { $NF = "LBA" }
         /^El Torito|^Boot record/ { print }'
  isoinfo -d -i "$1" | sed -n -e 's/sector [0-9]*/sector LBA/' -e 's/Bootoff .*/Bootoff LBA/' \
    -e '/^El Torito VD/p' -e '/^Eltorito validation/,$p'
}
# lba_of <image> <line> <field>: a sector number from xorriso's report.
lba_of() {
  xorriso -indev "$1" -report_el_torito plain 2>/dev/null | awk "/^El Torito $2/ { print \$$3 }"
}

# sector <image> <n> <offset> <out>: sector n with the 4-byte sector number at the offset zeroed.
sector() {
  dd if="$1" of="$4" bs=2048 skip="$2" count=1 2>/dev/null
  dd if=/dev/zero of="$4" bs=1 seek="$3" count=4 conv=notrunc 2>/dev/null
}

# shellcheck disable=SC2059 # the format is an octal escape
le32() { for shift in 0 8 16 24; do printf "\\$(printf %03o $((($1 >> shift) & 255)))"; done; }

# boot_image <image> <path> <with table>: the boot image read back equals its source, with bytes
# 8-63 replaced, when a table was asked for, by: the primary descriptor's sector (16), the image's
# own sector, its length, the sum of its 32-bit little-endian words from byte 64 on, 40 zeros.
boot_image() {
  rm -f back expected
  xorriso -osirrox on -indev "$1" -extract "/$2" back >/dev/null 2>&1
  if [ "$3" = yes ]; then
    size=$(wc -c <"pristine/$2")
    sum=$(tail -c +65 "pristine/$2" | od -An -v -tu4 --endian=little |
      awk '{ for (i = 1; i <= NF; i++) s = (s + $i) % 4294967296 } END { printf "%.0f", s }')
    { head -c 8 "pristine/$2"; le32 16; le32 "$(lba_of "$1" "boot img" NF)"; le32 "$size"
      le32 "$sum"; head -c 40 /dev/zero; tail -c +65 "pristine/$2"; } >expected
  else
    cp "pristine/$2" expected
  fi
  cmp -s back expected || fail "$1: the boot image read back differs from what it should be"
}

# peer <name> <with table> <velmor-mkiso flags> <genisoimage flags>: each tool builds an image of
# the tree (genisoimage writes the table into its input, so it gets a copy of its own).
peer() {
  name=$1 table=$2 ours=$3 theirs=$4
  boot=$(echo "$ours" | sed 's/.*-b \([^ ]*\).*/\1/')
  # shellcheck disable=SC2086 # the flags are words without spaces
  (cd tree && "$mkiso" -o ../ours.iso -V BOOT $ours .) >log 2>&1 || {
    cat log; fail "velmor-mkiso failed"; }
  rm -rf theirs && cp -R pristine theirs
  # shellcheck disable=SC2086
  (cd theirs && genisoimage -quiet -J -V BOOT -o ../theirs.iso $theirs .)
  report ours.iso >ours.report
  report theirs.iso >theirs.report
  grep -q '^El Torito boot img' theirs.report || fail "the peer's image has no boot entry"
  diff theirs.report ours.report || fail "the readers report other boot entries than genisoimage's"
  for iso in ours theirs; do
    sector $iso.iso 17 71 $iso.record
    sector $iso.iso "$(lba_of $iso.iso catalog 5)" 40 $iso.catalog
  done
  cmp -s theirs.record ours.record || fail "sector 17 is not the same boot record"
  cmp -s theirs.catalog ours.catalog || fail "the boot catalogs differ beyond the image's sector"
  [ "$(isoinfo -f -i ours.iso)" = "$(isoinfo -f -i theirs.iso)" ] ||
    fail "the ISO 9660 tree lists other files, or in another order, than genisoimage's"
  [ "$(isoinfo -J -f -i ours.iso | sed 's/;1$//')" = "$(isoinfo -J -f -i theirs.iso)" ] ||
    fail "the Joliet tree lists other files, or in another order, than genisoimage's"
  boot_image theirs.iso "$boot" "$table" # the expected table is genisoimage's too
  boot_image ours.iso "$boot" "$table"
}

ne='-b boot/loader.bin -c boot/boot.cat -no-emul-boot -boot-load-size 4'
peer defaults no '-b boot/loader.bin -no-emul-boot' "$ne"
peer info-table yes "$ne -boot-info-table" "$ne -boot-info-table"
elsewhere='-b boot/loader.bin -c docs/eltorito.cat -no-emul-boot -boot-load-size 2'
peer catalog-elsewhere no "$elsewhere" "$elsewhere"
for fd in fd120 fd144 fd288; do
  peer $fd no "-b boot/$fd.img" "-b boot/$fd.img -c boot/boot.cat"
done
name=source
diff -r pristine tree || fail "velmor-mkiso changed its input"

# Several entries and hybrid images beside xorriso's of the same tree and flags: the El Torito
# and system area reports tell the same story, with sector numbers and GUIDs masked (xorriso puts
# boot images first, we keep the tree's order). The UEFI image is not a multiple of 2048 bytes.
mkdir -p tree/isolinux tree/efi
cp /usr/lib/ISOLINUX/isolinux.bin tree/isolinux/
head -c 1474000 /dev/urandom >tree/efi/efiboot.img
hybrid_report() {
  xorriso -indev "$1" -report_el_torito plain -report_system_area plain 2>/dev/null |
    awk '/^El Torito catalog/ { $5 = "LBA" } /^El Torito boot img/ { $NF = "LBA" }
         /^MBR partition  / && $4 != 1 { $7 = "LBA" } /^GPT start and size/ && $6 != 1 { $7 = "LBA" }
         /^GPT (disk|partition) GUID/ { $NF = "GUID" }
         /^El Torito|^System area|^ISO image size|^Partition offset|^MBR|^GPT/ { print }'
}
# xorriso_peer <name> <flags for both>
xorriso_peer() {
  name=$1
  # shellcheck disable=SC2086 # the flags are words without spaces
  (cd tree && "$mkiso" -o ../ours.iso -V BOOT $2 .) >log 2>&1 || { cat log; fail "velmor-mkiso failed"; }
  # shellcheck disable=SC2086
  xorriso -as mkisofs -quiet -J -V BOOT -o theirs.iso $2 tree 2>/dev/null
  hybrid_report ours.iso >ours.report
  hybrid_report theirs.iso >theirs.report
  grep -q '^El Torito boot img' theirs.report || fail "the peer's image has no boot entry"
  diff theirs.report ours.report || fail "xorriso reports another story than of its own image"
  [ $(($(wc -c <ours.iso) % 1048576)) = 0 ] || [ "${2#*isohybrid}" = "$2" ] ||
    fail "a hybrid image of $(wc -c <ours.iso) bytes, not whole cylinders"
}
isolinux='-b isolinux/isolinux.bin -c isolinux/boot.cat -no-emul-boot -boot-load-size 4 -boot-info-table'
efi='-e efi/efiboot.img -no-emul-boot'
mbr=/usr/lib/ISOLINUX/isohdpfx.bin
xorriso_peer uefi "-c efi/boot.cat $efi"
xorriso_peer bios-uefi "$isolinux -eltorito-alt-boot $efi"
xorriso_peer sections "$isolinux -eltorito-alt-boot $efi -eltorito-alt-boot -b boot/loader.bin \
  -no-emul-boot -boot-load-size 8 -eltorito-alt-boot -b boot/fd144.img -eltorito-alt-boot $efi"
xorriso_peer isohybrid "$isolinux -isohybrid-mbr $mbr"
# xorriso's GPT entry rounds the UEFI image down to whole 2048-byte sectors, ours holds it whole:
# the same only for an image of whole sectors.
head -c 1474560 /dev/urandom >tree/efi/whole.img
xorriso_peer isohybrid-gpt "$isolinux -eltorito-alt-boot -e efi/whole.img -no-emul-boot -isohybrid-mbr $mbr \
  -isohybrid-gpt-basdat"

# The same hybrid with UDF is still read by every reader, names and sizes as given; UDF keeps an
# anchor 256 sectors before the end, the backup GPT the end.
name=hybrid-udf
head -c 3000000 /dev/urandom >tree/big.bin
# shellcheck disable=SC2086 # the flags are words without spaces
(cd tree && "$mkiso" -o ../ours.iso -udf $isolinux -eltorito-alt-boot $efi -isohybrid-mbr $mbr \
  -isohybrid-gpt-basdat .) >log 2>&1 || { cat log; fail "velmor-mkiso failed"; }
[ $(($(wc -c <ours.iso) % 1048576)) = 0 ] || fail "not whole cylinders"
isoinfo -J -f -i ours.iso | grep -qx '/big.bin;1' || fail "isoinfo does not list /big.bin"
iso-info -f ours.iso | grep -q '3000000 /big.bin' || fail "iso-info does not list /big.bin"
7z l -tudf ours.iso | grep -q ' 3000000 .* big.bin$' || fail "7z does not read UDF"
udfinfo ours.iso >udf.info 2>&1 || { cat udf.info; fail "udfinfo refuses the image"; }
grep -q '^numfiles=' udf.info || fail "udfinfo found no file set"
[ "$(grep -c 'type=ANCHOR' udf.info)" = 2 ] || { cat udf.info; fail "udfinfo finds no second anchor"; }
echo ok
