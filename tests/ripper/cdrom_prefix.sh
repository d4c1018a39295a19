#!/bin/sh
# Runs a Win32 test program in a Wine prefix of its own, first with no CD-ROM drive, then with
# the CD-ROM drives D: and F:, each backed by the same ISO image. Changing drives restarts the
# prefix's wine server, which must not disturb the programs that other tests run in the shared
# prefix at the same time.
#   cdrom_prefix.sh <win32 build dir> <prefix name> <test program>
# The program finds the image at the Windows path in VELMOR_RIP_DISC. Its tests named
# NoCdrom* run in the first step, all others in the second, which may save a screenshot of the
# window to VELMOR_WINDOW_SHOT (kept as build/run/frm-iso-builder.png).
set -eu
build_dir=$1
name=$2
program=$3

# shellcheck source=tests/wine_own_prefix.sh
. "$(dirname "$0")/../wine_own_prefix.sh"
own_wine_prefix "$build_dir" "$name"
# Only the system drive and the root: no CD-ROM drive.
for link in "$WINEPREFIX"/dosdevices/*; do
  case "$(basename "$link")" in c: | z:) ;; *) rm -f "$link" ;; esac
done
wine reg delete 'HKLM\Software\Wine\Drives' /f /reg:64 >/dev/null 2>&1 || true
wineserver -k
wineserver -w
wine "$program" --gtest_filter='*.NoCdrom*'

# A real ISO 9660 image that ends in a short block: 5 MiB of files plus the file system.
discs="$WINEPREFIX/drive_c/velmor-rip"
mkdir -p "$discs/content" "$discs/d" "$discs/f"
i=0
while [ $i -lt 5 ]; do
  head -c 1048576 /dev/urandom >"$discs/content/part$i.bin"
  i=$((i + 1))
done
genisoimage -quiet -J -V VELMORRIP -o "$discs/d/.disc.iso" "$discs/content"
ln "$discs/d/.disc.iso" "$discs/f/.disc.iso"
for letter in d f; do
  ln -sfn "$discs/$letter" "$WINEPREFIX/dosdevices/$letter:"
  ln -sfn "$discs/$letter/.disc.iso" "$WINEPREFIX/dosdevices/$letter::"
  wine reg add 'HKLM\Software\Wine\Drives' /v "$letter:" /d cdrom /f /reg:64 >/dev/null
done
wineserver -k # the mount manager reads the drive types when it starts
wineserver -w
VELMOR_RIP_DISC='C:\velmor-rip\d\.disc.iso' VELMOR_WINDOW_SHOT='C:\velmor-rip\window.bmp' \
  wine "$program" --gtest_filter='-*.NoCdrom*'
# A look at the window's layout, beside the other windows' screenshots.
if [ -f "$discs/window.bmp" ] && command -v convert >/dev/null; then
  mkdir -p "$build_dir/../run" && convert "$discs/window.bmp" "$build_dir/../run/frm-iso-builder.png"
fi
