#!/bin/sh
# velmor-mkiso.exe under Wine on folders with Chinese names, some of whose characters end in the
# byte of "\" in GBK (運 DF 5C, 誠 D5 5C, 錦 E5 5C): every file must come back from the image byte
# for byte, read through 7z and bsdtar, and through 7z's UDF reader from an image with -udf.
#   mkiso_chinese_paths_wine_test.sh <velmor-mkiso.exe>
set -eu
exe=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

mkdir -p src/照片/好運/誠 src/照片/錦/好運
head -c 3000 /dev/urandom >src/照片/好運/p.jpg
head -c 5000 /dev/urandom >src/照片/好運/運氣.txt
head -c 10 /dev/urandom >src/照片/好運/誠/q.txt
head -c 2048 /dev/urandom >src/照片/錦/好運/r.bin
printf 'note' >src/照片/說明.txt
done_gbk=$(printf '压制完毕!' | iconv -f UTF-8 -t GBK)

# check <name> <expected tree> <arguments...>: builds <name>.iso from the arguments and compares
# what each reader extracts with the expected tree.
check() {
  name=$1 expected=$2
  shift 2
  (cd src && wine "$exe" -o "../$name.iso" -V 测试 "$@") >"$name.out" 2>"$name.err" || {
    echo "$name: velmor-mkiso failed"; cat "$name.err"; exit 1; }
  if [ -s "$name.err" ] || ! LC_ALL=C grep -qF "$done_gbk" "$name.out"; then
    echo "$name: unexpected output"; cat "$name.out" "$name.err"; exit 1
  fi
  7z x -o"$name-7z" "$name.iso" >/dev/null
  mkdir "$name-bsdtar"
  LC_ALL=C.UTF-8 bsdtar -xf "$name.iso" -C "$name-bsdtar"
  diff -r "$expected" "$name-7z"
  diff -r "$expected" "$name-bsdtar"
}

# A folder with its subfolders, and a file inside a folder ending in 運 given with "\".
mkdir -p want-a
cp -R src/照片 want-a/
cp src/照片/好運/p.jpg want-a/
check a want-a 照片 '照片\好運\p.jpg'

# A folder whose name ends in 運, given with "\" and with a trailing "/".
mkdir -p want-b/照片/錦
cp -R src/照片/好運 want-b/照片/
cp -R src/照片/錦/好運 want-b/照片/錦/
check b want-b '照片\好運' 照片/錦/好運/

# A boot image and its catalog named inside folders ending in 運, with "\": the catalog lands
# there and the image's copy carries the boot info table (the primary descriptor's sector first).
(cd src && wine "$exe" -o ../c.iso -b '照片\好運\運氣.txt' -c '照片\錦\好運\boot.cat' \
  -no-emul-boot -boot-info-table 照片) >c.out 2>c.err || { echo "c: velmor-mkiso failed"; cat c.err; exit 1; }
7z x -oc c.iso >/dev/null
test "$(stat -c %s c/照片/錦/好運/boot.cat)" = 2048 || { echo "c: no catalog"; exit 1; }
test "$(od -An -tu4 -j8 -N4 c/照片/好運/運氣.txt | tr -d ' ')" = 16 || { echo "c: no info table"; exit 1; }
# The same folder with a UDF bridge: 7-Zip's UDF reader finds the GBK names in UTF-16, whole,
# among them one of 109 characters (159 bytes in GBK) that Joliet shortens.
long=$(i=0; while [ $i -lt 50 ]; do printf 长; i=$((i + 1)); done)$(printf '%055d' 0 | tr 0 a)
printf 'long' >"src/照片/$long.txt"
(cd src && wine "$exe" -o ../d.iso -V 测试 -udf 照片) >d.out 2>d.err || {
  echo "d: velmor-mkiso failed"; cat d.err; exit 1; }
7z x -tudf -od d.iso >/dev/null
mkdir -p want-d
cp -R src/照片 want-d/
diff -r want-d d
echo ok
