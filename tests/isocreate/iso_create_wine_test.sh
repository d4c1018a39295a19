#!/bin/sh
# The image-from-files window under Wine: makes the sources, runs the window's tests on them and
# reads the images they built back through 7z and isoinfo. A folder whose name ends in 運 (DF 5C
# in GBK) must come back byte for byte.
#   iso_create_wine_test.sh <test program> <directory for the window's screenshot>
set -eu
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
shots=$2
work=$(mktemp -d)
# 200,000 files are made and removed far faster in memory, where there is such a file system.
many=$(mktemp -d /dev/shm/velmor-many-XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work" "$many"' EXIT
cd "$work"

mkdir -p src/好運/誠 flat/sub long
head -c 100 /dev/urandom >src/one.txt
head -c 5000 /dev/urandom >src/two.bin
head -c 3000 /dev/urandom >src/好運/運氣.txt
head -c 10 /dev/urandom >src/好運/誠/q.txt
printf 'flat' >flat/f.txt
printf 'below' >flat/sub/g.txt
i=10
while [ $i -lt 32 ]; do # 22 names of 130 bytes
  printf 'long' >"long/$(printf '%0124d' 0 | tr 0 n)$i.txt"
  i=$((i + 1))
done
printf 'other' >long/one.txt
ln -s "$many" many
perl -e 'for my $d (0 .. 199) {
  my $dir = sprintf "%s/%03d", $ARGV[0], $d;
  mkdir $dir or die "$dir: $!";
  for my $f (1 .. 1000) { open my $h, ">", "$dir/$f" or die "$dir/$f: $!" }
}' "$many"
truncate -s 2G big.bin
mkdir -p windisc/boot windisc/efi/microsoft/boot
head -c 4096 /dev/urandom >windisc/boot/etfsboot.com
head -c 1474560 /dev/urandom >windisc/efi/microsoft/boot/efisys.bin
# The image "打开映像" opens: bootable, made by another tool; and one cut short.
mkdir -p boot/isolinux
cp /usr/lib/ISOLINUX/isolinux.bin boot/isolinux/
printf 'kept' >boot/kept.txt
genisoimage -quiet -J -b isolinux/isolinux.bin -c isolinux/boot.cat -no-emul-boot \
  -boot-load-size 4 -boot-info-table -o bootable.iso boot
head -c 40000 bootable.iso >damaged.iso

VELMOR_ISOCREATE_WORK="Z:$(printf '%s' "$work" | tr / '\\')" \
  VELMOR_WINDOW_SHOT="Z:$(printf '%s' "$work/window.bmp" | tr / '\\')" \
  VELMOR_IMPORT_SHOT="Z:$(printf '%s' "$work/import.bmp" | tr / '\\')" wine "$exe"
if command -v convert >/dev/null; then
  mkdir -p "$shots"
  [ ! -f window.bmp ] || convert window.bmp "$shots/frm-iso-create.png"
  [ ! -f import.bmp ] || convert import.bmp "$shots/frm-iso-create-import.png"
fi

# The dropped files in the root, the dropped folder under its own path with its subfolders, the
# unchecked folder with its own files only.
rel=${work#/}
mkdir -p "want/$rel/src" "want/$rel/flat"
cp src/one.txt src/two.bin want/
cp -R src/好運 "want/$rel/src/"
cp flat/f.txt "want/$rel/flat/"
7z x -odrop-7z drop.iso >/dev/null
diff -r want drop-7z
isoinfo -d -i drop.iso | grep -qx 'Volume id: DROPPED'

# 300 sectors with the post-gap; the volume itself ends before it.
[ "$(stat -c %s tiny.iso)" = $((300 * 2048)) ]
isoinfo -d -i tiny.iso | grep -q 'Joliet'
7z x -otiny-7z tiny.iso >/dev/null
cmp src/one.txt tiny-7z/one.txt
[ "$(ls tiny-7z)" = one.txt ]
# All 200,000 files of the large tree, each with its version number.
[ "$(isoinfo -f -i many.iso | grep -c ';1$')" = 200000 ]
[ ! -e many-abort.iso ]
# "两者": Windows' loader as 8 sectors without emulation, its UEFI image whole.
xorriso -indev boot.iso -report_el_torito plain 2>/dev/null |
  awk '/^El Torito boot img/ { print $7, $8, $9, $12 }' >boot.entries
printf 'BIOS y none 8\nUEFI y none 2880\n' | diff - boot.entries
# The opened image's files, the file dropped in at the root, and its boot entry and catalog.
7z x -oreopened-7z reopened.iso >/dev/null
rm -rf reopened-7z/'[BOOT]'
mkdir -p want-reopened && cp -R boot/. want-reopened/ && cp src/one.txt want-reopened/
rm want-reopened/isolinux/isolinux.bin reopened-7z/isolinux/isolinux.bin reopened-7z/isolinux/boot.cat
diff -r want-reopened reopened-7z
report() {
  xorriso -indev "$1" -report_el_torito plain 2>/dev/null |
    awk '/^El Torito catalog/ { $5 = "LBA" } /^El Torito boot img/ { $NF = "LBA" } /^El Torito/'
}
[ "$(report reopened.iso)" = "$(report bootable.iso)" ]
report reopened.iso | grep -q 'boot-info-table'
echo ok
