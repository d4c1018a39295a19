#!/bin/sh
# Images imported by velmor-mkiso with one file removed and one added: one of our own (isolinux
# with a boot info table, UDF) and three made by others (genisoimage with Joliet, xorriso, and
# genisoimage with Rock Ridge and Joliet). The new image must list exactly the old files less the
# removed one plus the added one, with the same sizes, dates (to the second, by 7-Zip), hidden
# flags (isoinfo) and bytes, keep its boot entries (xorriso), and hold a boot info table that
# names its new place. Then the refusals: writing over the image read, a damaged image, a path
# to remove that is not in it.
#   import_peer_test.sh <velmor-mkiso>
set -eu
mkiso=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export TZ=Asia/Shanghai

fail() { echo "$name: $*"; exit 1; }

mkdir -p tree/docs/deep tree/isolinux "tree/长名字的文件夹 with a long name"
cp /usr/lib/ISOLINUX/isolinux.bin /usr/lib/syslinux/modules/bios/ldlinux.c32 tree/isolinux/
printf 'serial 0\nprompt 1\n' >tree/isolinux/isolinux.cfg
head -c 300001 /dev/urandom >tree/docs/data.bin
printf 'readme' >tree/readme.txt
printf 'secret' >tree/secret.txt
printf 'deep' >tree/docs/deep/z.txt
printf 'gone' >tree/docs/gone.txt
printf 'chinese' >"tree/长名字的文件夹 with a long name/一个很长的中文名字的文件 with spaces.txt"
touch -d '2019-03-04 05:06:07' tree/readme.txt tree/docs/deep/z.txt tree/docs/deep
touch -d '2011-11-11 11:11:11' tree/docs/data.bin
printf 'added' >added.txt

# listing <image> <type>: "path size date" of every file and folder as 7-Zip reads them.
listing() {
  7z l -slt "-t$2" "$1" | awk -F' = ' '/^Path = / { p = $2 } /^Size = / { s = $2 }
    /^Modified = / && p != "" { print p " " s " " $2 }' | sed 1d | sort
}
# flags <image>: Joliet names with their sizes and flag bytes (hidden is 01), sector numbers out.
flags() {
  isoinfo -J -l -i "$1" | sed -n 's/^\([-d]\)[^ ]* *[0-9]* *[0-9]* *[0-9]* *\([0-9]*\) .*\[ *[0-9]* \([0-9]*\)\] *\(.*\)$/\1 \2 \3 \4/p' |
    sed -e 's/;1 *$//' -e 's/ *$//' | grep -v ' \.\.*$' | sort
}
boot_report() {
  xorriso -indev "$1" -report_el_torito plain 2>/dev/null |
    awk '/^El Torito catalog/ { $5 = "LBA" } /^El Torito boot img/ { $NF = "LBA" }
         /^El Torito/ { print }'
}

# check <name> <type of listing>: imports <name>.iso less docs/gone.txt plus added.txt.
check() {
  "$mkiso" -import "$name.iso" -rm /docs/gone.txt -o "$name-new.iso" added.txt >"$name.log" 2>&1 ||
    { cat "$name.log"; fail "import failed"; }
  # The catalog is made again, with the time it is made.
  listing "$name.iso" "$1" | grep -v -e '^docs/gone.txt ' -e '/boot.cat ' >expected
  listing "$name-new.iso" "$1" | grep -v -e '^added.txt ' -e '/boot.cat ' >got
  diff expected got >/dev/null || { diff expected got; fail "listing differs"; }
  listing "$name-new.iso" "$1" | grep -q '^added.txt 5 ' || fail "added.txt missing"
  flags "$name.iso" | grep -v ' gone.txt$' >expected
  flags "$name-new.iso" | grep -v ' added.txt$' >got
  diff expected got >/dev/null || { diff expected got; fail "flags differ"; }
  rm -rf old new && 7z x "-t$1" -oold "$name.iso" >/dev/null && 7z x "-t$1" -onew "$name-new.iso" >/dev/null
  rm old/docs/gone.txt new/added.txt
  # The boot image differs in its info table, checked apart.
  for image in old new; do rm -rf "$image/isolinux/isolinux.bin" "$image/isolinux/boot.cat" "$image/[BOOT]"; done
  diff -r old new >/dev/null || { diff -r old new; fail "contents differ"; }
  boot_report "$name.iso" >expected
  boot_report "$name-new.iso" >got
  diff expected got >/dev/null || { diff expected got; fail "boot entries differ"; }
}

# The isolinux image read back: its source but for the info table, which names the primary
# descriptor (16), the image's own new sector, its length and its checksum.
check_info_table() {
  lba=$(xorriso -indev "$name-new.iso" -report_el_torito plain 2>/dev/null |
    awk '/^El Torito boot img/ { print $NF }')
  xorriso -osirrox on -indev "$name-new.iso" -extract /isolinux/isolinux.bin back >/dev/null 2>&1
  [ "$(od -An -tu4 -j8 -N8 back | tr -s ' ')" = " 16 $lba" ] || fail "info table not patched"
  cmp -s -n 8 back tree/isolinux/isolinux.bin && cmp -s -i 64 back tree/isolinux/isolinux.bin ||
    fail "boot image changed beyond its info table"
}

name=ours
(cd tree && "$mkiso" -udf -o ../ours.iso -b isolinux/isolinux.bin -c isolinux/boot.cat \
  -no-emul-boot -boot-load-size 4 -boot-info-table .) >ours.log 2>&1 || { cat ours.log; fail build; }
check udf
check iso
check_info_table

name=genisoimage
genisoimage -quiet -J -joliet-long -hidden secret.txt -o genisoimage.iso tree
check iso

name=xorriso
xorriso -as mkisofs -quiet -J -joliet-long -b isolinux/isolinux.bin -c isolinux/boot.cat \
  -no-emul-boot -boot-load-size 4 -boot-info-table -o xorriso.iso tree 2>/dev/null
check iso
check_info_table

# BIOS and UEFI entries (xorriso): both are written again, each as it was.
name=two-entries
mkdir -p tree/efi && head -c 65536 /dev/zero >tree/efi/efiboot.img
xorriso -as mkisofs -quiet -J -joliet-long -b isolinux/isolinux.bin -c isolinux/boot.cat \
  -no-emul-boot -boot-load-size 4 -boot-info-table -eltorito-alt-boot -e efi/efiboot.img \
  -no-emul-boot -o two-entries.iso tree 2>/dev/null
"$mkiso" -import two-entries.iso -o two-entries-new.iso added.txt >two.log 2>&1 ||
  { cat two.log; fail "import failed"; }
grep -q 'not written again' two.log && fail "$(cat two.log)"
boot_report two-entries.iso | grep -v 'catalog' >expected
boot_report two-entries-new.iso | grep -v 'catalog' >got
diff expected got >/dev/null || { diff expected got; fail "boot entries differ"; }
rm -r tree/efi

name=rockridge
genisoimage -quiet -R -J -joliet-long -hidden secret.txt -o rockridge.iso tree
check iso

# Shaped like a Windows installation disc: UDF, a BIOS boot image loaded as 8 sectors without
# emulation and a UEFI one, an install.wim of 4.5 GiB (sparse, with data at its start, middle
# and end) and names longer than Joliet holds. The import reads its UDF tree and keeps all of
# it, both boot entries included.
name=windows
mkdir -p win/boot win/sources win/efi/microsoft/boot "win/安装程序的说明文件夹"
head -c 4096 /dev/urandom >win/boot/etfsboot.com
head -c 1474560 /dev/urandom >win/efi/microsoft/boot/efisys.bin
truncate -s 4831838208 win/sources/install.wim
for at in 0 2415919104 4831830016; do
  head -c 8192 /dev/urandom | dd of=win/sources/install.wim bs=1 seek=$at conv=notrunc 2>/dev/null
done
long="很长的文件名很长的文件名$(printf 'a-long-english-part-%.0s' 1 2 3 4)"
printf 'long' >"win/安装程序的说明文件夹/$long Überprüfung.txt"
(cd win && "$mkiso" -udf -o ../windows.iso -b boot/etfsboot.com -no-emul-boot \
  -boot-load-size 8 -eltorito-alt-boot -e efi/microsoft/boot/efisys.bin .) >windows.log 2>&1 ||
  { cat windows.log; fail build; }
"$mkiso" -import windows.iso -o windows-new.iso added.txt >windows.log 2>&1 ||
  { cat windows.log; fail "import failed"; }
grep -q 'windows.iso: cannot' windows.log && fail "$(cat windows.log)"
listing windows.iso udf | grep -v '/boot.cat ' >expected
listing windows-new.iso udf | grep -v -e '^added.txt ' -e '/boot.cat ' >got
diff expected got >/dev/null || { diff expected got; fail "listing differs"; }
grep -q "^安装程序的说明文件夹/$long Überprüfung.txt 4 " got || fail "long name lost"
boot_report windows.iso >expected
boot_report windows-new.iso >got
diff expected got >/dev/null || { diff expected got; fail "boot entries differ"; }
awk '/^El Torito boot img/ { print $7, $8, $9, $12 }' got >entries
printf 'BIOS y none 8\nUEFI y none 2880\n' | diff - entries >/dev/null ||
  fail "entries lost: $(cat got)"
# The big file: one run in the new image (its ISO 9660 extents follow one another), compared
# where its data is; the holes between read as zeros.
first=$(xorriso -indev windows-new.iso -find /sources/install.wim -exec report_lba -- 2>/dev/null |
  awk -F' , ' '/File data lba/ { print $2; exit }')
for at in 0 2415919104 4831830016; do
  cmp -s -n 8192 -i "$((first * 2048 + at)):$at" windows-new.iso win/sources/install.wim ||
    fail "install.wim differs at $at"
done
[ "$(7z l -tudf windows-new.iso sources/install.wim | awk '/install.wim/ { print $4 }')" = 4831838208 ] ||
  fail "install.wim has another size"
rm -rf win windows.iso windows-new.iso

# Refusals: nothing is written, and the message names the fault.
name=refusals
cp genisoimage.iso same.iso
ln -s same.iso other-name.iso
"$mkiso" -import same.iso -o other-name.iso added.txt >out 2>&1 && fail "wrote over the image read"
grep -q 'the output is the image being imported' out || fail "$(cat out)"
cmp -s same.iso genisoimage.iso || fail "the image read changed"
"$mkiso" -import same.iso -rm /no/such.txt -o x.iso added.txt >out 2>&1 && fail "removed nothing"
grep -q '/no/such.txt: not in the image' out && [ ! -e x.iso ] || fail "$(cat out)"
head -c 40000 genisoimage.iso >short.iso
"$mkiso" -import short.iso -o x.iso added.txt >out 2>&1 && fail "imported a cut image"
grep -q 'short.iso: cannot be read: .*past the end of the image' out && [ ! -e x.iso ] ||
  fail "$(cat out)"
echo "import peer test passed"
