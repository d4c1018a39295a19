#!/bin/sh
# The ripper window rips our own drives, in a Wine prefix of its own with no CD-ROM drive:
#   own_drives_rip_test.sh <win32 build dir> <velmor-drive.exe> <read_compare.exe>
#                          <ripper_window_test.exe> <make_disc_images> <velmor-mkiso.exe>
#                          <isocreate_window_test.exe>
# Discs: the generator's mixed-mode image with stored pregaps (one BIN), its per-track sheet
# (a mode 2 data track, pregaps not stored), an audio-only disc, five mode 2 tracks, and the
# plain ISO. Each is mounted, ripped through the window (verify on), and the rip is checked:
# `sha1sum -c` takes its .sha1, its files hold the source's raw sectors from block 0 to the
# lead-out, and mounted again it gives the source's table of contents and cooked sectors.
# Verify also runs once on a source changed between the copy and the verify pass. Then rips
# that must write nothing: onto the files a drive reads, by other names (velmor-mkiso's -o
# and the image-from-files window too), and onto a file that is there when the user keeps it; and a rip onto a disk that fills
# (where a tmpfs can be mounted) says why.
set -eu
build_dir=$1
tool=$2
compare=$3
window=$4
generator=$5
mkiso=$6
isocreate=$7
here=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=tests/wine_own_prefix.sh
. "$here/../wine_own_prefix.sh"
# shellcheck source=tests/imageformats/disc_images.sh
. "$here/../imageformats/disc_images.sh"
own_wine_prefix "$build_dir" own-drives-rip-prefix win32
for link in "$WINEPREFIX"/dosdevices/*; do
  case "$(basename "$link")" in c: | z:) ;; *) rm -f "$link" ;; esac
done
wine reg delete 'HKLM\Software\Wine\Drives' /f /reg:64 >/dev/null 2>&1 || true
wineserver -k
wineserver -w

work="$WINEPREFIX/drive_c/rip"
mkdir -p "$work/rips"
iso=$(make_test_iso "$work")
make_test_images "$generator" "$iso" "$work/images" --name disc --audio 2

# Three audio tracks of 200 sectors in one BIN, the second with a stored INDEX 00.
perl -e 'print map { chr(($_ * 7 + int($_ / 2352)) % 251) } 0 .. 600 * 2352 - 1' \
  >"$work/images/audio.bin"
printf 'FILE "audio.bin" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n  TRACK 02 AUDIO\r\n    FLAGS DCP\r\n    INDEX 00 00:02:50\r\n    INDEX 01 00:03:25\r\n  TRACK 03 AUDIO\r\n    INDEX 01 00:05:25\r\n' \
  >"$work/images/audio.cue"
# Five mode 2 tracks of 100 raw sectors each (form 1, then form 2 as a Video CD's MPEG tracks),
# with their own addresses in the headers.
perl -e 'for my $s (0 .. 499) {
    my $f = $s + 150;
    my $bcd = sub { my $v = shift; chr(int($v / 10) * 16 + $v % 10) };
    my $sub = $s < 100 ? "\0\0\x08\0" : "\0\0\x20\0";
    print "\0" . ("\xFF" x 10) . "\0", $bcd->(int($f / 4500)), $bcd->(int($f / 75) % 60),
      $bcd->($f % 75), "\x02", $sub x 2, map { chr(($s * 13 + $_) % 256) } 0 .. 2327;
  }' >"$work/images/xa.bin"
{
  printf 'FILE "xa.bin" BINARY\r\n'
  for t in 1 2 3 4 5; do
    printf '  TRACK 0%d MODE2/2352\r\n    INDEX 01 00:%02d:%02d\r\n' $t $(((t - 1) * 100 / 75)) \
      $(((t - 1) * 100 % 75))
  done
} >"$work/images/xa.cue"

# shellcheck source=tests/drive/wine/run_tool.sh
. "$here/../drive/wine/run_tool.sh"
toc() { wine "$compare" "$1" --toc | tr -d '\r' | grep -v '^geometry'; }

# rip NAME SOURCE-IMAGE TARGET-NAME [--force]: mounts the image, rips it through the window
# into rips/TARGET-NAME and leaves the source's table of contents in $source_toc and the
# listed path in $listed.
rip() {
  run 0 mount ${4:-} "C:\\rip\\images\\$2"
  letter=$out
  source_toc=$(toc "$letter")
  VELMOR_RIP_DRIVE=$letter VELMOR_RIP_TARGET="C:\\rip\\rips\\$3" VELMOR_RIP_VERIFY=1 \
    wine "$window" --gtest_filter='*.OwnDrive*' >"$work/window.out" 2>&1 ||
    { cat "$work/window.out"; fail "$1: the window's rip"; }
  iconv -f GBK -t UTF-8 <"$work/window.out" | tr -d '\r' | grep -A3 '^message' || true
  listed=$(sed -n 's/^listed: //p' "$work/window.out" | tr -d '\r')
  iconv -f GBK -t UTF-8 <"$work/window.out" | grep -q '校验通过' || fail "$1: no verify pass"
  run 0 eject "$letter"
  # The list is in UTF-8, as sha1sum reads it (the locale's character set here).
  (cd "$work/rips" && sha1sum -c --quiet "${3%.*}.sha1") || fail "$1: sha1sum -c"
}

# again NAME CUE-NAME [--force]: the rip mounted again gives the source's table of contents.
again() {
  run 0 mount ${3:-} "C:\\rip\\rips\\$2"
  [ "$(toc "$out")" = "$source_toc" ] || fail "$1: table of contents '$(toc "$out")', expected '$source_toc'"
}

rip "stored pregaps" disc.cue stored.cue
[ "$listed" = 'C:\rip\rips\stored.cue' ] || fail "stored pregaps: listed '$listed'"
cat "$work/rips/stored (Track 01).bin" "$work/rips/stored (Track 02).bin" \
  "$work/rips/stored (Track 03).bin" | cmp -s - "$work/images/disc.bin" ||
  fail "stored pregaps: raw sectors differ"
again "stored pregaps" stored.cue
wine "$compare" "$out" 'C:\rip\source.iso' >/dev/null || fail "stored pregaps: cooked sectors"
run 0 eject "$out"

rip "mixed mode, mode 2, pregaps not stored" disc-tracks.cue mixed.cue
again "mixed mode" mixed.cue
wine "$compare" "$out" 'C:\rip\source.iso' >/dev/null || fail "mixed mode: cooked sectors"
run 0 eject "$out"

# A name whose GBK form has a "\" byte inside a character (運 is DF 5C).
rip "audio only" audio.cue 運audio.cue
cat "$work/rips/運audio (Track 01).bin" "$work/rips/運audio (Track 02).bin" \
  "$work/rips/運audio (Track 03).bin" | cmp -s - "$work/images/audio.bin" ||
  fail "audio only: raw sectors differ"
grep -q 'FLAGS DCP' "$work/rips/運audio.cue" || fail "audio only: copy permitted lost"
again "audio only" 運audio.cue
run 0 eject "$out"
# Verify tells a source that changed between the copy and the verify pass.
run 0 mount 'C:\rip\images\audio.cue'
letter=$out
VELMOR_RIP_DRIVE=$letter VELMOR_RIP_TARGET='C:\rip\rips\changed.cue' VELMOR_RIP_VERIFY=1 \
  VELMOR_RIP_CHANGE='C:\rip\images\audio.bin' \
  wine "$window" --gtest_filter='*.OwnDrive*' >"$work/window.out" 2>&1 ||
  { iconv -f GBK -t UTF-8 <"$work/window.out"; fail "audio only: verify of a changed source"; }
run 0 eject "$letter"

rip "five mode 2 tracks" xa.cue xa.cue --force
cat "$work/rips/xa (Track 01).bin" "$work/rips/xa (Track 02).bin" "$work/rips/xa (Track 03).bin" \
  "$work/rips/xa (Track 04).bin" "$work/rips/xa (Track 05).bin" | cmp -s - "$work/images/xa.bin" ||
  fail "five mode 2 tracks: raw sectors differ"
again "five mode 2 tracks" xa.cue --force
run 0 eject "$out"

rip "plain data" ../source.iso plain.iso
[ "$listed" = 'C:\rip\rips\plain.iso' ] || fail "plain data: listed '$listed'"
cmp -s "$work/rips/plain.iso" "$iso" || fail "plain data: the .iso differs from its image"

# refused NAME TARGET MESSAGE [no]: the rip of drive $letter into TARGET stops before it writes
# anything, with a first message that starts with MESSAGE (a question answered "no" with "no").
# Every file named in $kept must be byte for byte as it was.
refused() {
  sums_before=$(cd "$work" && sha1sum $kept)
  VELMOR_RIP_DRIVE=$letter VELMOR_RIP_TARGET=$2 VELMOR_RIP_VERIFY=1 VELMOR_RIP_EXPECT=$3 \
    VELMOR_RIP_ANSWER=${4:-yes} wine "$window" --gtest_filter='*.OwnDrive*' \
    >"$work/window.out" 2>&1 || {
    iconv -f GBK -t UTF-8 <"$work/window.out"
    fail "$1: the message"
  }
  iconv -f GBK -t UTF-8 <"$work/window.out" | tr -d '\r' | grep -A2 '^message' || true
  [ "$(sed -n 's/^listed: //p' "$work/window.out" | tr -d '\r')" = "" ] || fail "$1: listed"
  [ "$(cd "$work" && sha1sum $kept)" = "$sums_before" ] || fail "$1: a file changed"
}

# Nothing is written over an image a drive reads, by whatever name, and nothing is replaced
# unasked. One Mode 2 track in one BIN, ripped onto its own sheet's name in other letters: the
# first file the rip would write is the BIN the drive reads.
head -c $((100 * 2352)) "$work/images/xa.bin" >"$work/images/vcd.bin"
printf 'FILE "vcd.bin" BINARY\r\n  TRACK 01 MODE2/2352\r\n    INDEX 01 00:00:00\r\n' \
  >"$work/images/vcd.cue"
run 0 mount --force 'C:\rip\images\vcd.cue'
letter=$out
kept="images/vcd.bin images/vcd.cue"
refused "onto its own cue sheet" 'C:\rip\images\VCD.cue' \
  "不能写入 C:\\rip\\images\\VCD.bin!"
iconv -f GBK -t UTF-8 <"$work/window.out" |
  grep -qF "虚拟光驱 $letter 正在读取的映像文件 C:\\rip\\images\\vcd.bin" ||
  fail "onto its own cue sheet: the drive"
# A name whose track file is there: one question names it, and "no" keeps it.
printf 'old track' >"$work/rips/kept.bin"
kept="$kept rips/kept.bin"
refused "onto an existing track file" 'C:\rip\rips\kept.cue' '目标文件已经存在,您要覆盖它吗?' no
iconv -f GBK -t UTF-8 <"$work/window.out" | tr -d '\r' | grep -qxF 'C:\rip\rips\kept.bin' ||
  fail "onto an existing track file: the file is not named"
[ ! -e "$work/rips/kept.cue" ] || fail "onto an existing track file: the sheet was written"
run 0 eject "$letter"

# A plain image onto itself with verify on, named through "\\?\" in other letters.
run 0 mount 'C:\rip\source.iso'
letter=$out
kept=source.iso
refused "onto its own image" '\\?\C:\rip\SOURCE.ISO' '不能写入 \\?\C:\rip\SOURCE.ISO!'
# velmor-mkiso does not build over it either.
if wine "$mkiso" -o 'C:\rip\SOURCE.ISO' 'C:\rip\iso-source' >"$work/mkiso.out" 2>&1; then
  fail "velmor-mkiso onto a mounted image: exit 0"
fi
tr -d '\r' <"$work/mkiso.out"
grep -qF "C:\\rip\\SOURCE.ISO: drive $letter reads this image (C:\\rip\\source.iso)" \
  "$work/mkiso.out" || fail "velmor-mkiso onto a mounted image: the message"
[ "$(cd "$work" && sha1sum $kept)" = "$sums_before" ] || fail "velmor-mkiso: the image changed"
# Nor does the image-from-files window.
VELMOR_BUILD_ONTO='C:\rip\Source.iso' wine "$isocreate" --gtest_filter='*.OwnDrive*' \
  >"$work/window.out" 2>&1 || {
  iconv -f GBK -t UTF-8 <"$work/window.out"
  fail "the image-from-files window onto a mounted image"
}
iconv -f GBK -t UTF-8 <"$work/window.out" | tr -d '\r' | grep -A1 '^message' || true
[ "$(cd "$work" && sha1sum $kept)" = "$sums_before" ] || fail "the build window: the image changed"
run 0 eject "$letter"

# A disk that fills during the rip: the window says why, and the part written is gone.
full="$work/full"
mkdir -p "$full"
if mount -t tmpfs -o size=256k tmpfs "$full" 2>/dev/null; then
  run 0 mount 'C:\rip\source.iso'
  letter=$out
  kept=source.iso
  refused "onto a full disk" "Z:$(printf '%s' "$full" | tr / '\\')\\full.iso" '写入ISO文件失败,出错位置: 第'
  # The system's text for a full disk: Windows says 磁盘空间不足, Wine 磁盘满.
  iconv -f GBK -t UTF-8 <"$work/window.out" | grep -Eq '^详细信息: .*(磁盘空间不足|磁盘满)' ||
    fail "onto a full disk: no reason"
  [ -z "$(ls -A "$full")" ] || fail "onto a full disk: left $(ls -A "$full")"
  run 0 eject "$letter"
  umount "$full"
else
  echo "no tmpfs can be mounted here: the full disk is not tried"
fi

[ "$failures" = 0 ] || exit 1
