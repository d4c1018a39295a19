#!/usr/bin/env bash
# Measures reading a mounted image through its drive letter against reading the file itself, at
# 64 KiB and 1 MiB requests, under Wine: mounts a SIZE_MIB (default 256) image with velmor-drive
# in a prefix of its own, runs drive_read_bench, ejects. Given a second (baseline) build tree,
# for example one of an earlier commit, it measures that build's driver too, in the same run,
# each in a prefix of its own.
#   bench/drive-read.sh [win32 build dir] [baseline win32 build dir] (default build/win32)
set -euo pipefail
cd "$(dirname "$0")/.."
builds=("$(realpath "${1:-build/win32}")")
[ $# -ge 2 ] && builds+=("$(realpath "$2")")
for build in "${builds[@]}"; do
  cmake --build "$build" --target velmor-drive drive_read_bench >/dev/null
done
# shellcheck source=scripts/winebed.sh
. scripts/winebed.sh
winebed_start "${builds[0]}"
winebed_stop # each bench prefix is a copy of the test prefix, with a server of its own
prefix=""
cleanup() {
  [ -n "$prefix" ] || return 0
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}
trap cleanup EXIT

# The same image for every build.
image=$(mktemp -d)/bench.iso
trap 'cleanup; rm -rf "$(dirname "$image")"' EXIT
head -c "$((${SIZE_MIB:-256} << 20))" /dev/urandom >"$image"

for build in "${builds[@]}"; do
  echo "== driver of $build"
  prefix="${builds[0]}/drive-bench-prefix"
  cleanup
  cp -a "${builds[0]}/wineprefix" "$prefix"
  export WINEPREFIX="$prefix"
  wineserver -w
  mkdir -p "$prefix/drive_c/velmor-bench"
  ln "$image" "$prefix/drive_c/velmor-bench/bench.iso" 2>/dev/null ||
    cp "$image" "$prefix/drive_c/velmor-bench/bench.iso"
  letter=$(wine "$build/drive/velmor-drive.exe" mount 'C:\velmor-bench\bench.iso' | tr -d '\r')
  wine "${builds[0]}/bench/drive_read_bench.exe" "$letter" 'C:\velmor-bench\bench.iso' \
    "${ROUNDS:-5}"
  wine "$build/drive/velmor-drive.exe" eject "$letter"
  cleanup
done
