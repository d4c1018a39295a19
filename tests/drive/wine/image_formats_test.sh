#!/bin/sh
# velmor-drive mounts every image format the generator makes from one small ISO, in a Wine
# prefix of its own, and the drives answer as the discs would:
#   image_formats_test.sh <win32 build dir> <velmor-drive.exe> <read_compare.exe> <make_disc_images>
# For each image: the sectors read through the letter equal the ISO; the table of contents
# lists the manifest's tracks and start blocks (and, for the .cue, what cd-info reads); a raw
# read of the first audio sector equals the audio track's bytes. After a restart of the prefix
# every drive is back with its layout. CHDs that chdman makes of the same discs (a mixed-mode
# cue sheet, one file per track, a 2,048-byte track, the ISO, and the ISO as 2,048-byte units)
# answer the same through the image server, and come back after the restart too. A VELMOR
# format image still answers its header's table of contents and geometry; bad descriptors and
# images without a disc are refused.
set -eu
build_dir=$1
tool=$2
compare=$3
generator=$4
here=$(cd "$(dirname "$0")" && pwd)

# shellcheck source=tests/wine_own_prefix.sh
. "$here/../../wine_own_prefix.sh"
# shellcheck source=tests/imageformats/disc_images.sh
. "$here/../../imageformats/disc_images.sh"
own_wine_prefix "$build_dir" image-formats-prefix win32

work="$WINEPREFIX/drive_c/formats"
mkdir -p "$work"
iso=$(make_test_iso "$work")
name='光盘 一'
make_test_images "$generator" "$iso" "$work/images" --name "$name" --audio 2
make_test_images "$generator" "$iso" "$work/gbk" --name "$name" --audio 1 --gbk
win_iso='C:\formats\source.iso'

# shellcheck source=tests/drive/wine/run_tool.sh
. "$(dirname "$0")/run_tool.sh"
# read_compare ARGS...: once more when the Wine server went away under it, which happened
# once in many runs on a loaded machine, some seconds after a restart with fifteen drives.
read_compare() {
  wine "$compare" "$@" 2>"$work/compare-err" && return 0
  if grep -q "wine client error" "$work/compare-err"; then
    wine "$compare" "$@"
  else
    cat "$work/compare-err" >&2
    return 1
  fi
}
# toc LETTER: the drive's tracks in the manifest's form ("track block data|audio|leadout").
toc() {
  read_compare "$1" --toc | tr -d '\r' |
    awk '$1 == "track" { print $2, $3, $4 } $1 == "leadout" { print 170, $2, "leadout" }'
}
# check_drive LETTER IMAGE: the ISO's sectors, the manifest's tracks and the first audio sector.
check_drive() {
  read_compare "$1" "$win_iso" >/dev/null || fail "$2: sectors differ from the ISO"
  got=$(toc "$1")
  want=$(manifest_tracks "$3" "$2")
  [ "$got" = "$want" ] || fail "$2: table of contents '$got', expected '$want'"
  audio=$(printf '%s\n' "$want" | awk '$3 == "audio" { print $2; exit }')
  if [ -n "$audio" ]; then
    read_compare "$1" --raw "$audio" "C:\\formats\\$(basename "$3")\\$name-tracks 02.bin" 0 \
      >/dev/null || fail "$2: raw read of the first audio sector"
  fi
}

# Image names hold spaces: lists are split at line ends only.
IFS='
'
mounted=""
for image in $(cut -f1 "$work/images/manifest.txt" | uniq); do
  run 0 mount "C:\\formats\\images\\$image"
  case $out in [D-Z]:) ;; *) fail "$image: mount printed '$out'" && continue ;; esac
  check_drive "$out" "$image" "$work/images"
  mounted="$mounted
$out=$image"
done
# Names inside the descriptors in the ANSI code page (GBK) instead of UTF-8.
for image in "$name.cue" "$name-tracks.cue" "$name.mds"; do
  run 0 mount "C:\\formats\\gbk\\$image"
  check_drive "$out" "$image" "$work/gbk"
  mounted="$mounted
$out=gbk/$image"
done
# CHDs of the same discs, served from user mode. chdman reads plain names only.
make_test_images "$generator" "$iso" "$work/plain" --name disc --audio 2
mkdir -p "$work/chd"
ln "$work/plain/disc-tracks 02.bin" "$work/chd/$name-tracks 02.bin"
for source in disc.cue disc-tracks.cue disc-2048.cue; do
  (cd "$work/plain" && chdman createcd -i "$source" -o "$work/chd/${source%.cue}.chd" >/dev/null) ||
    fail "chdman createcd $source"
  grep "^$name${source#disc}	" "$work/images/manifest.txt" |
    sed "s/^[^	]*/${source%.cue}.chd/" >>"$work/chd/manifest.txt"
done
chdman createcd -i "$iso" -o "$work/chd/iso.chd" >/dev/null || fail "chdman createcd of the ISO"
chdman createraw -i "$iso" -o "$work/chd/units.chd" -hs 4096 -us 2048 >/dev/null ||
  fail "chdman createraw of the ISO"
for chd in iso.chd units.chd; do
  grep "^$name-2048.cue	" "$work/images/manifest.txt" | sed "s/^[^	]*/$chd/" >>"$work/chd/manifest.txt"
done
for chd in disc.chd disc-tracks.chd disc-2048.chd iso.chd units.chd; do
  run 0 mount "C:\\formats\\chd\\$chd"
  case $out in [D-Z]:) ;; *) fail "$chd: mount printed '$out'" && continue ;; esac
  check_drive "$out" "$chd" "$work/chd"
  mounted="$mounted
$out=chd/$chd"
done
# A raw read of a data sector gives the BIN's sync, header, data and error codes.
chd_letter=$(printf '%s\n' "$mounted" | awk -F= '$2 == "chd/disc.chd" { print $1 }')
read_compare "$chd_letter" --raw 16 "C:\\formats\\plain\\disc.bin" $((16 * 2352)) data >/dev/null ||
  fail "disc.chd: raw read of a data sector"

# libcdio reads the same tracks from the single-file cue sheet (it opens NAME.bin beside it,
# and refuses a cue sheet that starts with a byte-order mark: the GBK one).
cdinfo=$(cd_info_tracks "$work/gbk/$name.cue")
[ -n "$cdinfo" ] && [ "$cdinfo" = "$(manifest_tracks "$work/gbk" "$name.cue")" ] ||
  fail "cd-info lists '$cdinfo' for $name.cue"

# A VELMOR format image: a 64 KiB header with the geometry at 1,024 and the table of contents
# at 2,048, then the disc. Its answers come from the header, byte for byte.
perl -e 'my $h = "\0" x 65536;
  substr($h, 1024, 24) = pack("VVVVVV", 77, 0, 11, 1, 32, 2048);
  substr($h, 2048, 20) = pack("C*", 0, 18, 1, 1, 0, 0x14, 1, 0, 0, 0, 2, 0, 0, 0x14, 0xAA, 0,
                                    0, 0, 8, 27);
  print $h' >"$work/velmor.img"
cat "$iso" >>"$work/velmor.img"
run 0 mount 'C:\formats\velmor.img'
velmor=$out
wine "$compare" "$velmor" "$win_iso" >/dev/null || fail "VELMOR format: sectors differ"
[ "$(wine "$compare" "$velmor" --toc | tr -d '\r')" = "$(printf 'track 1 0 data\nleadout 477\ngeometry 77 1 32 2048')" ] ||
  fail "VELMOR format: table of contents or geometry not the header's"
mounted="$mounted
$velmor=velmor.img"

# After a restart the driver makes every recorded drive again, each with its layout.
wineserver -k
wineserver -w
for entry in $mounted; do
  letter=${entry%%=*} image=${entry#*=}
  case $image in
  chd/*)
    # The image server makes its drives again once it has started, after the driver.
    tries=0
    until wine "$compare" "$letter" --toc >/dev/null 2>&1 || [ $tries -ge 30 ]; do
      tries=$((tries + 1))
      sleep 1
    done
    check_drive "$letter" "${image#chd/}" "$work/chd"
    ;;
  gbk/*) check_drive "$letter" "${image#gbk/}" "$work/gbk" ;;
  velmor.img) read_compare "$letter" "$win_iso" >/dev/null || fail "VELMOR format after restart" ;;
  *) check_drive "$letter" "$image" "$work/images" ;;
  esac
done
run 0 list
[ "$(printf '%s\n' "$out" | grep -c .)" = "$(printf '%s\n' "$mounted" | grep -c .)" ] ||
  fail "list after restart: $out"
for entry in $mounted; do
  run 0 eject "${entry%%=*}"
done

# Refusals: nothing is mounted, the message names the file and the line or the reason.
printf 'FILE "missing.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n' \
  >"$work/missing.cue"
run 1 mount 'C:\formats\missing.cue'
case $err in *'missing.cue: line 1: no such file: C:\formats\missing.bin'*) ;;
*) fail "missing track file message" ;; esac
printf '\357\273\277FILE "images/%s.bin" BINARY\r\n  TRACK 01 MODE1/2352\r\n    INDEX 01 00:00:00\r\n  TRACK 02 CDG\r\n    INDEX 01 00:10:00\r\n' \
  "$name" >"$work/cdg.cue"
run 1 mount 'C:\formats\cdg.cue'
case $err in *'cdg.cue: line 4: '*CDG*) ;; *) fail "unsupported mode message" ;; esac
: >"$work/empty.iso"
run 1 mount 'C:\formats\empty.iso'
case $err in *'empty.iso: too small to hold a disc volume'*) ;; *) fail "empty image message" ;; esac
head -c 200000 /dev/zero >"$work/zeros.img"
run 1 mount 'C:\formats\zeros.img'
case $err in *'no ISO 9660 or UDF volume'*'--force'*) ;; *) fail "no volume message" ;; esac
# A cue sheet's mistakes are told by the sheet, its line and the reason: an INDEX past the end
# of its file, a POSTGAP longer than a drive keeps, a CD whose lead-out passes 99:59:74.
head -c 352800 /dev/zero >"$work/short.bin"
printf 'FILE "short.bin" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n  TRACK 02 AUDIO\r\n    INDEX 01 59:00:00\r\n' \
  >"$work/past.cue"
run 1 mount 'C:\formats\past.cue'
case $err in *"past.cue: line 5: '59:00:00' lies past the end of C:\\formats\\short.bin") ;;
*) fail "INDEX past the end message" ;; esac
printf 'FILE "short.bin" BINARY\r\n  TRACK 01 AUDIO\r\n    INDEX 01 00:00:00\r\n  POSTGAP 14:33:61\r\n' \
  >"$work/postgap.cue"
run 1 mount 'C:\formats\postgap.cue'
case $err in *"postgap.cue: line 4: POSTGAP too long '14:33:61'"*) ;; *) fail "POSTGAP message" ;; esac
printf 'FILE "short.bin" BINARY\r\n  TRACK 01 AUDIO\r\n  PREGAP 99:59:74\r\n    INDEX 01 00:00:00\r\n' \
  >"$work/long.cue"
run 1 mount 'C:\formats\long.cue'
case $err in *"long.cue: the disc's lead-out passes 99:59:74"*) ;; *) fail "lead-out message" ;; esac
run 0 list
[ -z "$out" ] || fail "a refused image left a drive: $out"
run 0 mount --force 'C:\formats\zeros.img'
run 0 eject "$out"
# One 2,048-byte data track of a DVD's size under a cue sheet mounts (a sparse file).
truncate -s 4700372992 "$work/dvd.iso"
printf 'FILE "dvd.iso" BINARY\r\n  TRACK 01 MODE1/2048\r\n    INDEX 01 00:00:00\r\n' >"$work/dvd.cue"
run 0 mount --force 'C:\formats\dvd.cue'
run 0 eject "$out"
rm -f "$work/dvd.iso"

[ $failures = 0 ]
