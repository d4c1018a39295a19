#!/usr/bin/env bash
# Rips a 650 MB ISO image from a CD-ROM drive under Wine (the image behind drive D: of a prefix
# of its own) through the ripper window, and copies the same image with cat, in one run; when
# the host tree has velmor_rip_loop_bench, the ripper's copy loop alone copies it on the host too.
# They take turns RUNS times (default 5), the output flushed and removed after each; the best time of
# each is kept. Prints both throughputs and the ratio rip / cat. Both write into OUT (default: a
# temporary folder on the disk; OUT=/dev/shm leaves the disk's write-back out of the measure).
#   bench/rip-vs-cat.sh [win32 build dir] [host build dir] (default build/win32, build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/win32}")
bench="$build/bench/velmor_rip_bench.exe"
loop=$(realpath "${2:-build/host}")/bench/velmor_rip_loop_bench
runs=${RUNS:-5}
[ -x "$bench" ] || { echo "build velmor_rip_bench first: $bench" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velmor-rip-bench-XXXXXX")
export WINEPREFIX="$work/prefix"
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8 TZ=Asia/Shanghai
xvfb=""
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
export DISPLAY=":$n"

echo "making a 650 MB image and a prefix with it as drive D: in $work" >&2
if [ -f "$build/wineprefix/system.reg" ]; then
  cp -a "$build/wineprefix" "$WINEPREFIX"
else
  wineboot -i >/dev/null 2>&1 || true
fi
wineserver -w
out=$(realpath "${OUT:-$work}")
out_dos="Z:${out//\//\\}\\rip.iso" # the same folder as Wine names it
cd_dir="$WINEPREFIX/drive_c/cd"
mkdir -p "$cd_dir" "$work/content"
head -c $((650 * 1048576 - 400 * 1024)) /dev/urandom >"$work/content/disc.bin"
genisoimage -quiet -V BENCH -o "$cd_dir/.disc.iso" "$work/content"
rm -rf "$work/content"
ln -sfn "$cd_dir" "$WINEPREFIX/dosdevices/d:"
ln -sfn "$cd_dir/.disc.iso" "$WINEPREFIX/dosdevices/d::"
wine reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f /reg:64 >/dev/null
wineserver -k
wineserver -w
wineserver -p # warm: the rip's process starts in milliseconds
wine wineboot >/dev/null 2>&1 || true
image_bytes=$(stat -c %s "$cd_dir/.disc.iso")
cat "$cd_dir/.disc.iso" >/dev/null # both read the image from the page cache

min() { if [ -z "$1" ]; then echo "$2"; else awk "BEGIN{print ($2 < $1) ? $2 : $1}"; fi; }
rip="" cat_time="" loop_time=""
for _ in $(seq "$runs"); do
  read -r t bytes < <(wine "$bench" D: "$out_dos" | tr -d '\r')
  [ "$bytes" = "$image_bytes" ] || { echo "rip wrote $bytes bytes of $image_bytes" >&2; exit 1; }
  rip=$(min "$rip" "$t")
  rip_run=$t
  rm -f "$out/rip.iso"
  sync
  t=$( { TIMEFORMAT=%R; time cat "$cd_dir/.disc.iso" >"$out/cat.iso"; } 2>&1 )
  cat_time=$(min "$cat_time" "$t")
  echo "run: rip ${rip_run}s, cat ${t}s" >&2
  rm -f "$out/cat.iso"
  sync
  if [ -x "$loop" ]; then
    read -r t _ < <("$loop" "$cd_dir/.disc.iso" "$out/loop.iso")
    loop_time=$(min "$loop_time" "$t")
    rm -f "$out/loop.iso"
    sync
  fi
done
awk -v r="$rip" -v c="$cat_time" -v l="$loop_time" -v b="$image_bytes" 'BEGIN {
  mb = b / 1048576
  printf "image %.2f MB\n", mb
  printf "rip  %7.3f s  %8.1f MB/s\n", r, mb / r
  printf "cat  %7.3f s  %8.1f MB/s\n", c, mb / c
  printf "rip / cat throughput: %.2f\n", c / r
  if (l != "") printf "copy loop on the host  %7.3f s  %8.1f MB/s  (/ cat: %.2f)\n", l, mb / l, c / l
}'
