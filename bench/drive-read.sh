#!/usr/bin/env bash
# Measures reading a mounted image through its drive letter against reading the file itself, at
# 64 KiB and 1 MiB requests, under Wine: mounts a SIZE_MIB (default 256) image with velmor-drive
# in a prefix of its own, runs drive_read_bench, ejects. Given a second (baseline) build tree,
# for example one of an earlier commit, it measures that build's driver too, in the same run,
# each in a prefix of its own. With --win64 the prefixes are 64-bit, where velmor-drive installs
# the x86-64 driver and the 32-bit bench reads through WOW64.
#   bench/drive-read.sh [--win64] [win32 build dir] [baseline win32 build dir]
#   (default build/win32)
set -euo pipefail
cd "$(dirname "$0")/.."
arch=win32
if [ "${1:-}" = --win64 ]; then
  arch=win64
  shift
fi
builds=("$(realpath "${1:-build/win32}")")
[ $# -ge 2 ] && builds+=("$(realpath "$2")")
for build in "${builds[@]}"; do
  cmake --build "$build" --target velmor-drive drive_read_bench >/dev/null
done
# shellcheck source=scripts/winebed.sh
. scripts/winebed.sh
# shellcheck source=tests/wine_own_prefix.sh
. tests/wine_own_prefix.sh
winebed_start "${builds[0]}"
winebed_stop # each bench prefix is a copy of the test prefix, with a server of its own
template="${builds[0]}/wineprefix"
if [ "$arch" = win64 ]; then
  own_wine_prefix_win64_template "${builds[0]}"
  template="${builds[0]}/wineprefix64"
fi
export WINEARCH=$arch
prefix=""
cleanup() {
  [ -n "$prefix" ] || return 0
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  rm -rf "$prefix"
}

# The same image for every build.
image=$(mktemp -d)/bench.iso
trap 'cleanup; rm -rf "$(dirname "$image")"' EXIT
head -c "$((${SIZE_MIB:-256} << 20))" /dev/urandom >"$image"

for build in "${builds[@]}"; do
  echo "== driver of $build"
  prefix="${builds[0]}/drive-bench-prefix"
  cleanup
  cp -a "$template" "$prefix"
  export WINEPREFIX="$prefix"
  wineserver -w
  mkdir -p "$prefix/drive_c/velmor-bench"
  ln "$image" "$prefix/drive_c/velmor-bench/bench.iso" 2>/dev/null ||
    cp "$image" "$prefix/drive_c/velmor-bench/bench.iso"
  mount_image() { wine "$build/drive/velmor-drive.exe" mount 'C:\velmor-bench\bench.iso' | tr -d '\r'; }
  # In a 64-bit prefix the first start may meet Wine's WOW64 mark on the service (see
  # tests/wine_own_prefix.sh): cleared, and mounted again.
  letter=$(mount_image) ||
    { [ "$arch" = win64 ] && wine_clear_wow64_service_mark VELMOR && letter=$(mount_image); }
  echo "drive $letter"
  wine "${builds[0]}/bench/drive_read_bench.exe" "$letter" 'C:\velmor-bench\bench.iso' \
    "${ROUNDS:-5}"
  wine "$build/drive/velmor-drive.exe" eject "$letter"
  cleanup
done
