#!/usr/bin/env bash
# Measures reading a mounted image through its drive letter against reading the file itself, at
# 64 KiB and 1 MiB requests, under Wine: mounts a SIZE_MIB (default 256) image with velmor-drive
# in a prefix of its own, runs drive_read_bench, ejects.
#   bench/drive-read.sh [win32 build dir] (default build/win32)
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build/win32}")
cmake --build "$build" --target velmor-drive drive_read_bench >/dev/null
# shellcheck source=scripts/winebed.sh
. scripts/winebed.sh
winebed_start "$build"
winebed_stop # the bench prefix is a copy of the test prefix, with a server of its own
export WINEPREFIX="$build/drive-bench-prefix"
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
cleanup
cp -a "$build/wineprefix" "$WINEPREFIX"
wineserver -w
image_dir="$WINEPREFIX/drive_c/velmor-bench"
mkdir -p "$image_dir"
head -c "$((${SIZE_MIB:-256} << 20))" /dev/urandom >"$image_dir/bench.iso"
letter=$(wine "$build/drive/velmor-drive.exe" mount 'C:\velmor-bench\bench.iso' | tr -d '\r')
wine "$build/bench/drive_read_bench.exe" "$letter" 'C:\velmor-bench\bench.iso' "${ROUNDS:-5}"
wine "$build/drive/velmor-drive.exe" eject "$letter"
