#!/usr/bin/env bash
# Measures reading a mounted image through its drive letter against reading the file itself, at
# 64 KiB and 1 MiB requests, under Wine: mounts a SIZE_MIB (default 256) image with velmor-drive
# in a prefix of its own, runs drive_read_bench, ejects. Given a second (baseline) build tree,
# for example one of an earlier commit, it measures that build's driver too, in the same run,
# each in a prefix of its own. With --win64 the prefixes are 64-bit, where velmor-drive installs
# the x86-64 driver and the 32-bit bench reads through WOW64. The same disc is also mounted as a
# layout drive over a BIN/CUE of raw 2,352-byte sectors (user data at 16), for builds that have
# them, and as a CHD that chdman makes of that BIN/CUE with its default codecs, served from user
# mode, for builds that serve them; each read against the same image file. chdman's own
# extractcd decodes the same CHD natively in the same run, for its rate beside the CHD drive's.
# The files are program data (the compiler's libraries), which compress as real discs do.
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

# The same image for every build: an ISO 9660 volume of program data, its raw BIN/CUE and its CHD.
image=$(mktemp -d)/bench.iso
trap 'cleanup; rm -rf "$(dirname "$image")"' EXIT
mkdir "$(dirname "$image")/files"
# tar stops on the pipe that head closes: only the bytes count.
{ tar -cf - -C /usr/lib gcc 2>/dev/null || :; } | head -c $((${SIZE_MIB:-256} << 20)) |
  split -b 16M - "$(dirname "$image")/files/part."
genisoimage -quiet -o "$image" "$(dirname "$image")/files"
rm -rf "$(dirname "$image")/files"
perl -e 'binmode STDIN; binmode STDOUT; my $lba = 150;
  while (read(STDIN, my $data, 2048) == 2048) {
    my ($m, $s, $f) = (int($lba / 4500), int($lba / 75) % 60, $lba % 75);
    print "\x00" . ("\xFF" x 10) . "\x00", pack("C3", map { hex(sprintf("%02d", $_)) } $m, $s, $f),
      chr(1), $data, "\0" x 288;
    $lba++;
  }' <"$image" >"${image%.iso}.bin"
printf 'FILE "bench.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n' \
  >"${image%.iso}.cue"
chdman createcd -i "${image%.iso}.cue" -o "${image%.iso}.chd" >/dev/null 2>&1
. bench/timing.sh
read -r wall cpu < <(timed_run "$(dirname "$image")/x.bin" new chdman extractcd -f \
  -i "${image%.iso}.chd" -o "$(dirname "$image")/x.cue" -ob "$(dirname "$image")/x.bin")
echo "chdman extractcd of the CHD: $(awk -v b="$(stat -c %s "${image%.iso}.bin")" -v t="$wall" \
  'BEGIN { printf "%.1f MiB/s of BIN (%.1f MiB/s of user data)", b / t / 1048576, b / t / 1048576 * 2048 / 2352 }') ($cpu processor s)"
rm -f "$(dirname "$image")/x.bin" "$(dirname "$image")/x.cue"

for build in "${builds[@]}"; do
  echo "== driver of $build"
  prefix="${builds[0]}/drive-bench-prefix"
  cleanup
  cp -a "$template" "$prefix"
  export WINEPREFIX="$prefix"
  wineserver -w
  mkdir -p "$prefix/drive_c/velmor-bench"
  for file in "$image" "${image%.iso}.bin" "${image%.iso}.cue" "${image%.iso}.chd"; do
    ln "$file" "$prefix/drive_c/velmor-bench/" 2>/dev/null || cp "$file" "$prefix/drive_c/velmor-bench/"
  done
  mount_image() { wine "$build/drive/velmor-drive.exe" mount "${1:-C:\velmor-bench\bench.iso}" | tr -d '\r'; }
  # In a 64-bit prefix the first start may meet Wine's WOW64 mark on the service (see
  # tests/wine_own_prefix.sh): cleared, and mounted again.
  letter=$(mount_image) ||
    { [ "$arch" = win64 ] && wine_clear_wow64_service_mark VELMOR && letter=$(mount_image); }
  echo "drive $letter"
  wine "${builds[0]}/bench/drive_read_bench.exe" "$letter" 'C:\velmor-bench\bench.iso' \
    "${ROUNDS:-5}"
  wine "$build/drive/velmor-drive.exe" eject "$letter"
  if letter=$(mount_image 'C:\velmor-bench\bench.cue'); then
    echo "layout drive $letter (BIN/CUE, 2,352-byte sectors)"
    wine "${builds[0]}/bench/drive_read_bench.exe" "$letter" 'C:\velmor-bench\bench.iso' \
      "${ROUNDS:-5}"
    wine "$build/drive/velmor-drive.exe" eject "$letter"
  fi
  if letter=$(mount_image 'C:\velmor-bench\bench.chd'); then
    echo "served drive $letter (CHD, chdman's default codecs)"
    wine "${builds[0]}/bench/drive_read_bench.exe" "$letter" 'C:\velmor-bench\bench.iso' \
      "${ROUNDS:-5}"
    wine "$build/drive/velmor-drive.exe" eject "$letter"
  fi
  cleanup
done
