#!/bin/sh
# Checks the test-image generator against Debian's readers of disc images, and our readers
# against the generator's manifest:
#   disc_image_peers_test.sh <make_disc_images> <disc_layout_dump>
# bchunk gives the ISO back from the raw data track (mode 1 and mode 2) and each audio track
# byte for byte; nrg2iso, iat, mdf2iso and ccd2iso give the ISO back from NRG, MDF and IMG;
# cd-info lists the manifest's tracks for the .cue and the version 2 NRG; the EDC of every raw
# data sector is computed again here, bit by bit.
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/disc_images.sh"
generator=$1 dump=$2
for tool in bchunk nrg2iso iat mdf2iso ccd2iso cd-info xorriso perl; do
  command -v "$tool" >/dev/null || { echo "missing $tool (scripts/install-deps.sh)"; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT INT TERM
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

iso=$(make_test_iso "$work") || { echo "cannot make the test ISO"; exit 1; }
out="$work/images"
make_test_images "$generator" "$iso" "$out" --name disc --audio 2 --audio-sectors 300 ||
  { echo "the generator failed"; exit 1; }
size=$(wc -c <"$iso")
data_sectors=$((size / 2048))

# same_prefix WHAT FILE: FILE starts with the ISO (converters that copy what follows too).
same_prefix() {
  if [ -f "$2" ] && cmp -s -n "$size" "$iso" "$2" && [ "$(wc -c <"$2")" -ge "$size" ]; then
    pass "$1"
  else
    fail "$1: not the ISO"
  fi
}
same_file() { if cmp -s "$2" "$3"; then pass "$1"; else fail "$1: differ"; fi; }

# ---- bchunk: the data track back to the ISO, the audio tracks to their bytes ----
(cd "$work" && bchunk -w "$out/disc.bin" "$out/disc.cue" "$work/bc" >/dev/null 2>&1) ||
  fail "bchunk disc.cue: exit status"
same_file "bchunk MODE1/2352 data track" "$iso" "$work/bc01.iso"
for t in 02 03; do
  tail -c +45 "$work/bc$t.wav" >"$work/bc$t.pcm" # the WAV header is 44 bytes
  same_file "bchunk audio track $t" "$out/disc-tracks $t.bin" "$work/bc$t.pcm"
done
printf 'FILE "disc-tracks 01.bin" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n' \
  >"$out/mode2-only.cue"
(cd "$out" && bchunk "disc-tracks 01.bin" mode2-only.cue "$work/m2" >/dev/null 2>&1) ||
  fail "bchunk MODE2/2352: exit status"
same_file "bchunk MODE2/2352 data track" "$iso" "$work/m201.iso"

# ---- NRG, MDF, IMG and the raw BIN back to the ISO ----
for v in v1 v2; do
  nrg2iso "$out/disc-tao-$v.nrg" "$work/nrg2iso-$v.iso" >/dev/null 2>&1
  same_prefix "nrg2iso track-at-once $v" "$work/nrg2iso-$v.iso"
  for s in dao tao; do
    iat "$out/disc-$s-$v.nrg" "$work/iat-$s-$v.iso" >/dev/null 2>&1
    same_prefix "iat $s $v NRG" "$work/iat-$s-$v.iso"
  done
done
mdf2iso "$out/disc.mdf" "$work/mdf2iso.iso" >/dev/null 2>&1
same_prefix "mdf2iso" "$work/mdf2iso.iso"
iat "$out/disc.mdf" "$work/iat-mdf.iso" >/dev/null 2>&1
same_prefix "iat MDF" "$work/iat-mdf.iso"
# ccd2iso stops with status 1 at the first audio sector, having written the data track.
ccd2iso "$out/disc.img" "$work/ccd2iso.iso" >/dev/null 2>&1
same_file "ccd2iso" "$iso" "$work/ccd2iso.iso"
iat "$out/disc-raw.bin" "$work/iat-raw.iso" >/dev/null 2>&1
same_file "iat raw BIN" "$iso" "$work/iat-raw.iso"

# ---- cd-info's table of contents ----
if [ "$(cd_info_tracks "$out/disc.cue")" = "$(manifest_tracks "$out" disc.cue)" ]; then
  pass "cd-info disc.cue"
else
  fail "cd-info disc.cue: $(cd_info_tracks "$out/disc.cue" | tr '\n' ';')"
fi
if [ "$(cd_info_tracks "$out/disc-dao-v2.nrg" | cut -d' ' -f1,2)" = \
  "$(manifest_tracks "$out" disc-dao-v2.nrg | cut -d' ' -f1,2)" ]; then
  pass "cd-info disc-dao-v2.nrg"
else
  fail "cd-info disc-dao-v2.nrg: $(cd_info_tracks "$out/disc-dao-v2.nrg" | tr '\n' ';')"
fi

# ---- EDC of every raw data sector ----
raw_edc_check "$out/disc.bin" 0 "$data_sectors" mode1 && pass "EDC mode 1" || fail "EDC mode 1"
raw_edc_check "$out/disc-tracks 01.bin" 0 "$data_sectors" mode2 && pass "EDC mode 2 form 1" ||
  fail "EDC mode 2 form 1"

# ---- our readers against the manifest ----
for image in disc.mds disc-dao-v1.nrg disc-dao-v2.nrg disc-tao-v1.nrg disc-tao-v2.nrg \
  disc.cue disc-tracks.cue disc-2048.cue disc.ccd disc-raw.bin disc-plain.img disc-plain.bin; do
  got=$("$dump" "$out/$image" 2>&1)
  if [ "$got" = "$(manifest_tracks "$out" "$image")" ]; then
    pass "our reader: $image"
  else
    fail "our reader: $image: $(echo "$got" | tr '\n' ';')"
  fi
done

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all peer checks passed"
