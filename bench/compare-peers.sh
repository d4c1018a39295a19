#!/usr/bin/env bash
# Times velmor-mkiso against genisoimage -J and xorriso -as mkisofs -J, and against plain cat of
# the same files into one file (what the disks allow), on two reference trees:
#   big:   1 GiB in 32 files
#   small: 100,000 files of 1 KiB in 2,000 folders
# Each tool builds each image RUNS times, taking turns (best time kept); images go to a temporary
# folder that is removed at the end.  Usage: bench/compare-peers.sh [build dir] (default build/host)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/host}
mkiso=$(realpath "$build/isobuild/velmor-mkiso")
runs=${RUNS:-3}
work=$(mktemp -d "${TMPDIR:-/tmp}/velmor-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "making reference trees in $work" >&2
python3 - "$work" <<'PY'
import os, sys
root = sys.argv[1]
chunk = os.urandom(1 << 20)
os.makedirs(f"{root}/big")
for i in range(32):
    with open(f"{root}/big/part{i:02d}.bin", "wb") as f:
        for k in range(32):
            f.write(bytes([i, k]) + chunk[2:])
small = os.urandom(1024 * 97)
for d in range(2000):
    folder = f"{root}/small/folder{d // 50:02d}/sub{d:04d}"
    os.makedirs(folder)
    for n in range(50):
        with open(f"{folder}/file{n:02d}.txt", "wb") as f:
            off = (d * 50 + n) % 96 * 1024
            f.write(small[off:off + 1024])
PY

sync

time_once() { # wall time in seconds of one run; the output is flushed before the next run
  local t
  rm -f "$work/out.iso"
  t=$( { TIMEFORMAT=%R; time "$@" >/dev/null 2>&1; } 2>&1 )
  rm -f "$work/out.iso"
  sync
  echo "$t"
}

min() { if [ -z "$1" ]; then echo "$2"; else awk "BEGIN{print ($2 < $1) ? $2 : $1}"; fi; }

catall() { # every file of a tree, in name order, into one file
  find "$1" -type f -print0 | sort -z | xargs -0 cat >"$2"
}

printf '%-6s %12s %12s %12s %12s %9s %9s %9s\n' tree velmor-mkiso genisoimage xorriso cat \
  'v/geniso' 'v/xorriso' 'v/cat'
for tree in big small; do
  cd "$work"
  v="" g="" x="" c=""
  # The tools take turns, so that the machine's load and cache state fall on all of them alike.
  for _ in $(seq "$runs"); do
    v=$(min "$v" "$(time_once "$mkiso" -o "$work/out.iso" -V BENCH "$tree")")
    g=$(min "$g" "$(time_once genisoimage -quiet -J -V BENCH -o "$work/out.iso" "$tree")")
    x=$(min "$x" "$(time_once xorriso -as mkisofs -quiet -J -V BENCH -o "$work/out.iso" "$tree")")
    c=$(min "$c" "$(time_once catall "$tree" "$work/out.iso")")
  done
  printf '%-6s %11ss %11ss %11ss %11ss %9.2f %9.2f %9.2f\n' "$tree" "$v" "$g" "$x" "$c" \
    "$(awk "BEGIN{print $v / $g}")" "$(awk "BEGIN{print $v / $x}")" "$(awk "BEGIN{print $v / $c}")"
  cd - >/dev/null
done
