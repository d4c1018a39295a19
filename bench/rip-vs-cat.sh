#!/usr/bin/env bash
# Rips a 650 MB ISO image from a CD-ROM drive under Wine (the image behind drive D: of a prefix
# of its own) through the ripper window, and copies the same image with cat, in one run; when
# the host tree has velmor_rip_loop_bench, the ripper's copy loop alone copies it on the host too.
# They take turns RUNS times (default 5; at least five for a figure), each pair in the other order
# than the last, the outputs removed and the disk synced before each timed run. Prints the median
# times and the median of the pairs' ratios rip / cat (of throughputs, by wall time and by
# processor time, the steadier figure on a shared machine). Both write into OUT
# (default: a temporary folder on the disk; OUT=/dev/shm leaves the disk's write-back out).
#   bench/rip-vs-cat.sh [win32 build dir] [host build dir] (default build/win32, build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/timing.sh
build=$(realpath "${1:-build/win32}")
bench="$build/bench/velmor_rip_bench.exe"
loop=$(realpath "${2:-build/host}")/bench/velmor_rip_loop_bench
runs=${RUNS:-5}
[ -x "$bench" ] || { echo "build velmor_rip_bench first: $bench" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/velmor-rip-bench-XXXXXX")
export WINEPREFIX="$work/prefix" WINEARCH=win32 # a new prefix is 64-bit where wine64 is installed
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8 TZ=Asia/Shanghai
xvfb=""
cleanup() {
  restore_page_reporting
  wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
hold_page_reporting

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

rips=() cats=() loops=() pairs=() cpu_pairs=()
copy_with_cat() { cat "$cd_dir/.disc.iso" >"$out/cat.iso"; }
rip_once() { # prints the rip's wall and processor seconds
  rm -f "$out/rip.iso"
  sync
  read -r t bytes cpu < <(wine "$bench" D: "$out_dos" | tr -d '\r')
  [ "$bytes" = "$image_bytes" ] || { echo "rip wrote $bytes bytes of $image_bytes" >&2; exit 1; }
  rm -f "$out/rip.iso"
  echo "$t $cpu"
}
for i in $(seq "$runs"); do
  if [ $((i % 2)) -eq 1 ]; then # alternate which of the two goes first
    read -r r rc <<<"$(rip_once)"
    read -r c cc <<<"$(timed_run "$out/cat.iso" new copy_with_cat)"
  else
    read -r c cc <<<"$(timed_run "$out/cat.iso" new copy_with_cat)"
    read -r r rc <<<"$(rip_once)"
  fi
  rm -f "$out/cat.iso"
  rips+=("$r") cats+=("$c") pairs+=("$(ratio "$c" "$r")") cpu_pairs+=("$(ratio "$cc" "$rc")")
  echo "pair $i: rip ${r}s (cpu ${rc}s), cat ${c}s (cpu ${cc}s), rip / cat throughput ${pairs[-1]}" >&2
  if [ -x "$loop" ]; then
    rm -f "$out/loop.iso"
    sync
    read -r t _ < <("$loop" "$cd_dir/.disc.iso" "$out/loop.iso")
    rm -f "$out/loop.iso"
    loops+=("$(ratio "$c" "$t")")
  fi
done
awk -v r="$(median "${rips[@]}")" -v c="$(median "${cats[@]}")" -v b="$image_bytes" \
  -v p="$(median "${pairs[@]}")" -v cp="$(median "${cpu_pairs[@]}")" -v n="$runs" \
  -v l="$(median "${loops[@]}" 2>/dev/null || true)" 'BEGIN {
  mb = b / 1048576
  printf "image %.2f MB\n", mb
  printf "rip  %7.3f s  %8.1f MB/s  (median)\n", r, mb / r
  printf "cat  %7.3f s  %8.1f MB/s  (median)\n", c, mb / c
  printf "rip / cat throughput, median of %d pairs: %.2f (of processor time: %.2f)\n", n, p, cp
  if (l != "") printf "copy loop on the host / cat throughput, median: %.2f\n", l
}'
