#!/usr/bin/env bash
# Decoding a CHD for a served drive (velmor_chd_bench: the reader alone, no drive) beside
# chdman extractcd decoding the same CHD into a BIN in memory (/dev/shm), on the host.
#   bench/chd-vs-extractcd.sh [image.chd]
# Without a CHD it makes one with chdman's default codecs: a mixed-mode disc of an ISO of
# /usr/lib/gcc (program data, about 600 MB) and ten minutes of generated audio.
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/timing.sh
build=build/host
cmake --build "$build" --target velmor_chd_bench >/dev/null
work=$(mktemp -d /dev/shm/velmor-chd-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT

chd=${1:-}
if [ -z "$chd" ]; then
  chd=$work/disc.chd
  xorriso -as mkisofs -quiet -o "$work/data.iso" /usr/lib/gcc >/dev/null 2>&1
  iso_sectors=$(($(stat -c %s "$work/data.iso") / 2048))
  # Audio that compresses as music does (FLAC finds structure, not silence): tones and noise.
  perl -e 'my $n = 45000 * 588; srand(37);
    for (my $i = 0; $i < $n; $i++) {
      my $v = int(9000 * sin($i / 23.0) + 3000 * sin($i / 7.1) + rand(400)) & 0xFFFF;
      print pack("vv", $v, ($v * 3) & 0xFFFF);
    }' >"$work/audio.bin"
  printf '%s\n' 'FILE "data.iso" BINARY' '  TRACK 01 MODE1/2048' '    INDEX 01 00:00:00' \
    'FILE "audio.bin" BINARY' '  TRACK 02 AUDIO' '    PREGAP 00:02:00' '    INDEX 01 00:00:00' \
    >"$work/disc.cue"
  chdman createcd -i "$work/disc.cue" -o "$chd" >/dev/null 2>&1
  echo "made $chd: $iso_sectors data sectors, 45000 audio sectors, $(stat -c %s "$chd") bytes"
fi

read -r wall cpu < <(timed_run "$work/x.bin" new \
  chdman extractcd -f -i "$chd" -o "$work/x.cue" -ob "$work/x.bin")
bytes=$(stat -c %s "$work/x.bin")
rm -f "$work/x.bin"
extract_rate=$(awk -v b="$bytes" -v t="$wall" 'BEGIN { printf "%.1f", b / t / 1e6 }')
echo "chdman extractcd: $bytes bytes in $wall s ($cpu processor s): $extract_rate MB/s"
"$build/bench/velmor_chd_bench" "$chd" --benchmark_min_time=2 --benchmark_format=console
