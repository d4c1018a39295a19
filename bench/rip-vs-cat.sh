#!/usr/bin/env bash
# Rips a 650 MB ISO image from a CD-ROM drive under Wine (the image behind drive D: of a prefix
# of its own) through the ripper window, copies the same image with cat, and hashes it with the
# ripper's own SHA-1 alone (the system's, read and hashed on one thread as sha1sum does), in one
# run; when the host tree has velmor_rip_loop_bench, the ripper's copy loop with its sums
# (nettle's SHA-1) copies it on the host too. A whole image's SHA-1 cannot be split, so the hash
# alone is the pace a rip with its sums cannot pass. With BEFORE set to the velmor_rip_bench.exe
# of another build (an earlier commit's), that one rips in the same turns, so before and after
# are measured in one run.
# They take turns RUNS times (default 5; at least five for a figure), each turn in the other order
# than the last, the outputs removed and the disk synced before each timed run. Prints the median
# times and the medians of the turns' ratios rip / cat and rip / SHA-1 (of throughputs, by wall
# time and by processor time, the steadier figure on a shared machine). The copies go into OUT
# (default: a temporary folder on the disk; OUT=/dev/shm leaves the disk's write-back out).
#   [BEFORE=old/velmor_rip_bench.exe] bench/rip-vs-cat.sh [win32 build dir] [host build dir]
#   (default build/win32, build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/timing.sh
build=$(realpath "${1:-build/win32}")
bench="$build/bench/velmor_rip_bench.exe"
hash="$build/bench/velmor_sha1_bench.exe"
before=${BEFORE:+$(realpath "$BEFORE")}
loop=$(realpath "${2:-build/host}")/bench/velmor_rip_loop_bench
runs=${RUNS:-5}
for exe in "$bench" "$hash" $before; do
  [ -x "$exe" ] || { echo "build velmor_rip_bench and velmor_sha1_bench first: $exe" >&2; exit 2; }
done

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

rips=() cats=() loops=() pairs=() cpu_pairs=() hashes=() of_hash=() cpu_of_hash=()
olds=() old_pairs=() cpu_old_pairs=()
copy_with_cat() { cat "$cd_dir/.disc.iso" >"$out/cat.iso"; }
rip_once() { # rip_once BENCH: prints the rip's wall and processor seconds
  rm -f "$out/rip.iso" "$out/rip.sha1"
  sync
  read -r t bytes cpu < <(wine "$1" D: "$out_dos" | tr -d '\r')
  [ "$bytes" = "$image_bytes" ] || { echo "rip wrote $bytes bytes of $image_bytes" >&2; exit 1; }
  rm -f "$out/rip.iso" "$out/rip.sha1"
  echo "$t $cpu"
}
hash_once() { # prints the hash's wall and processor seconds
  read -r t bytes cpu _ < <(wine "$hash" 'D:\.disc.iso' | tr -d '\r')
  [ "$bytes" = "$image_bytes" ] || { echo "hashed $bytes bytes of $image_bytes" >&2; exit 1; }
  echo "$t $cpu"
}
for i in $(seq "$runs"); do
  steps=(rip cat hash)
  [ -n "$before" ] && steps+=(before)
  [ $((i % 2)) -eq 0 ] && steps=($(printf '%s\n' "${steps[@]}" | tac)) # alternate the order
  for step in "${steps[@]}"; do
    case $step in
    rip) read -r r rc <<<"$(rip_once "$bench")" ;;
    cat) read -r c cc <<<"$(timed_run "$out/cat.iso" new copy_with_cat)" ;;
    hash) read -r h hc <<<"$(hash_once)" ;;
    before) read -r o oc <<<"$(rip_once "$before")" ;;
    esac
  done
  rm -f "$out/cat.iso"
  rips+=("$r") cats+=("$c") pairs+=("$(ratio "$c" "$r")") cpu_pairs+=("$(ratio "$cc" "$rc")")
  hashes+=("$h") of_hash+=("$(ratio "$h" "$r")") cpu_of_hash+=("$(ratio "$hc" "$rc")")
  line="turn $i: rip ${r}s (cpu ${rc}s), cat ${c}s (cpu ${cc}s), SHA-1 ${h}s (cpu ${hc}s)"
  line+=", rip / cat ${pairs[-1]}, rip / SHA-1 ${of_hash[-1]}"
  if [ -n "$before" ]; then
    olds+=("$o") old_pairs+=("$(ratio "$c" "$o")") cpu_old_pairs+=("$(ratio "$cc" "$oc")")
    line+=", before: rip ${o}s (cpu ${oc}s), rip / cat ${old_pairs[-1]}"
  fi
  echo "$line" >&2
  if [ -x "$loop" ]; then
    rm -f "$out/loop.iso"
    sync
    read -r t _ < <("$loop" "$cd_dir/.disc.iso" "$out/loop.iso")
    rm -f "$out/loop.iso"
    loops+=("$(ratio "$c" "$t")")
  fi
done
awk -v r="$(median "${rips[@]}")" -v c="$(median "${cats[@]}")" -v b="$image_bytes" \
  -v h="$(median "${hashes[@]}")" -v p="$(median "${pairs[@]}")" \
  -v cp="$(median "${cpu_pairs[@]}")" -v ph="$(median "${of_hash[@]}")" \
  -v cph="$(median "${cpu_of_hash[@]}")" -v n="$runs" \
  -v o="$(median "${olds[@]}" 2>/dev/null || true)" \
  -v po="$(median "${old_pairs[@]}" 2>/dev/null || true)" \
  -v cpo="$(median "${cpu_old_pairs[@]}" 2>/dev/null || true)" \
  -v l="$(median "${loops[@]}" 2>/dev/null || true)" 'BEGIN {
  mb = b / 1048576
  printf "image %.2f MB\n", mb
  printf "rip    %7.3f s  %8.1f MB/s  (median)\n", r, mb / r
  printf "cat    %7.3f s  %8.1f MB/s  (median)\n", c, mb / c
  printf "SHA-1  %7.3f s  %8.1f MB/s  (median; the system'"'"'s, alone over the file)\n", h, mb / h
  if (o != "") printf "before %7.3f s  %8.1f MB/s  (median; BEFORE'"'"'s rip)\n", o, mb / o
  printf "rip / cat throughput, median of %d turns: %.2f (of processor time: %.2f)\n", n, p, cp
  if (o != "") printf "before / cat throughput, median: %.2f (of processor time: %.2f)\n", po, cpo
  printf "rip / SHA-1 throughput, median: %.2f (of processor time: %.2f)\n", ph, cph
  if (l != "") printf "copy loop with its sums on the host / cat throughput, median: %.2f\n", l
}'
