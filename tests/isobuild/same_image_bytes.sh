#!/bin/sh
# Two builds of velmor-mkiso (say, before and after a change that must not change images) make
# the same bytes of the same trees: plain and without Joliet, long and equal-after-shortening
# names, a deep tree, many files and folders (extents and path tables of several sectors), empty
# folders, dot files, CJK names and label, UDF, bootable images (no emulation with load size and
# info table, floppy emulation, a catalog path, with UDF), and a sparse file over 4 GiB (several
# ISO extents; with UDF too). The clock is held at one instant (a preloaded time and clock_gettime) and the
# time zone fixed, so every date the images carry comes out the same. Not part of the test run:
# it needs the build from before the change.
#   same_image_bytes.sh <velmor-mkiso before> <velmor-mkiso after>   (SKIP_BIG=1: no 4 GiB file)
set -eu
abs() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
before=$(abs "$1")
after=$(abs "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

cat >clock.c <<'EOF'
#define _GNU_SOURCE
#include <dlfcn.h>
#include <time.h>
#define HELD 1767229323 /* 2026-01-01 01:02:03 UTC */
time_t time(time_t *t) {
  if (t)
    *t = HELD;
  return HELD;
}
int clock_gettime(clockid_t id, struct timespec *ts) {
  static int (*real)(clockid_t, struct timespec *);
  if (id == CLOCK_REALTIME || id == CLOCK_REALTIME_COARSE) {
    ts->tv_sec = HELD;
    ts->tv_nsec = 456000000;
    return 0;
  }
  if (!real)
    real = (int (*)(clockid_t, struct timespec *))dlsym(RTLD_NEXT, "clock_gettime");
  return real(id, ts);
}
EOF
cc -shared -fPIC -O2 -o clock.so clock.c -ldl
export LD_PRELOAD="$work/clock.so" TZ=Asia/Shanghai

stamp() { find "$1" -exec touch -h -d '2024-02-29 13:14:15.5' {} +; }

# The trees.
mkdir -p plain/docs/sub plain/empty
printf 'readme' >plain/readme.txt
printf 'a' >plain/docs/a.txt
head -c 70000 /dev/urandom >plain/docs/sub/data.bin
: >plain/zero-length
printf 'no extension' >plain/Makefile
printf 'dot' >plain/.hidden
mkdir plain/.config && printf 'x' >plain/.config/settings

mkdir -p long
# Files of up to 127 characters (longer ones are left out), folders longer still.
for n in 60 97 98 99 100 101 102 120 150 200; do
  name=$(printf '%*s' "$n" '' | tr ' ' 'n')
  if [ "$n" -le 120 ]; then
    printf '%s' "$n" >"long/$name.txt"
    printf '%s' "$n" >"long/${name}x.txt"
  fi
  mkdir -p "long/dir-$name"
  printf '%s' "$n" >"long/dir-$name/f"
done
for i in 1 2 3 4 5; do
  printf '%s' "$i" >"long/same-start-of-a-long-name-cut-by-joliet-$(printf '%070d' 0)-$i.data"
done
printf 'MiXeD' >long/MiXeD.Case.Name.With.Many.Dots.txt
printf 'semi' >'long/semi;colon and space.txt'

d=deep
for i in 1 2 3 4 5 6 7 8 9 10 11 12; do d="$d/level$i"; done
mkdir -p "$d"
printf 'bottom' >"$d/bottom.txt"

mkdir -p many/onefolder
i=0
while [ $i -lt 3000 ]; do : >"many/onefolder/file-with-a-longer-name-$i.txt"; i=$((i + 1)); done
i=0
while [ $i -lt 400 ]; do
  mkdir -p "many/folders/folder-number-$i-with-a-name-long-enough-for-the-path-table"
  printf '%s' $i >"many/folders/folder-number-$i-with-a-name-long-enough-for-the-path-table/f"
  i=$((i + 1))
done

mkdir -p cjk/文档/子目录 cjk/空文件夹
printf '中' >cjk/中文名.txt
printf '日' >cjk/日本語のファイル名.txt
printf '韓' >cjk/한국어.txt
printf 'deep' >cjk/文档/子目录/深.txt
printf 'mixed' >'cjk/混合 Mixed 名字.TXT'

mkdir -p boot/boot boot/docs
head -c 9001 /dev/urandom >boot/boot/loader.bin
head -c 512 /dev/urandom >boot/boot/fd144.img
truncate -s 1474560 boot/boot/fd144.img
printf 'readme' >boot/readme.txt

mkdir -p big
truncate -s 4097M big/sparse.bin
printf 'small' >big/small.txt

for t in plain long deep many cjk boot big; do stamp "$t"; done

fails=0
# same <name> <flags...>: both builds make <name>'s image alike.
same() {
  name=$1
  shift
  "$before" -o "$name.before.iso" "$@" >"$name.before.log" 2>&1 ||
    { echo "$name: velmor-mkiso (before) failed"; cat "$name.before.log"; exit 1; }
  "$after" -o "$name.after.iso" "$@" >"$name.after.log" 2>&1 ||
    { echo "$name: velmor-mkiso (after) failed"; cat "$name.after.log"; exit 1; }
  if cmp "$name.before.iso" "$name.after.iso"; then
    echo "same: $name ($(wc -c <"$name.after.iso") bytes)"
  else
    echo "DIFFERENT: $name"
    fails=$((fails + 1))
  fi
  rm -f "$name.before.iso" "$name.after.iso"
}

# The check means something only where one build makes the same image twice.
"$before" -o again1.iso -udf plain >/dev/null 2>&1 && "$before" -o again2.iso -udf plain >/dev/null 2>&1
cmp -s again1.iso again2.iso || { echo "one build makes two different images: the clock is not held"; exit 1; }

same plain -V plain plain
same plain-no-joliet -V plain --no-joliet plain
same plain-udf -V plain -udf plain
same long -V long long
same long-no-joliet --no-joliet long
same long-udf -udf long
same deep deep
same deep-udf -udf deep
same many -V many many
same many-udf -udf many
same cjk -V 中文卷标 cjk
same cjk-udf -V 中文卷标 -udf cjk
same several plain long cjk
same boot-no-emulation -b boot/boot/loader.bin -no-emul-boot -boot-load-size 4 -boot-info-table boot
same boot-floppy -b boot/boot/fd144.img boot
same boot-catalog -b boot/boot/loader.bin -no-emul-boot -c boot/docs/boot.cat boot
same boot-udf -b boot/boot/loader.bin -no-emul-boot -boot-info-table -udf boot
same boot-no-joliet -b boot/boot/fd144.img --no-joliet boot
if [ -z "${SKIP_BIG:-}" ]; then
  same big big
  same big-udf -udf big
fi
[ "$fails" -eq 0 ] || { echo "$fails images differ"; exit 1; }
echo "every image the same"
