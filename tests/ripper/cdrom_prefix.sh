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
# The screenshot copies the screen where the window is. Every Wine prefix opens its virtual
# desktop at the same place of the display, so on the display that the tests share, a desktop
# of another test running at the same time could lie over this one and the shot came out
# black. This step therefore has a display of its own.
shared_display=${DISPLAY:-}
own_xvfb=""
if command -v Xvfb >/dev/null; then
  n=200
  while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
  Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  own_xvfb=$!
  i=0
  while [ ! -e "/tmp/.X11-unix/X$n" ] && [ $i -lt 100 ]; do sleep 0.05; i=$((i + 1)); done
  export DISPLAY=":$n"
fi
status=0
VELMOR_RIP_DISC='C:\velmor-rip\d\.disc.iso' VELMOR_WINDOW_SHOT='C:\velmor-rip\window.bmp' \
  wine "$program" --gtest_filter='-*.NoCdrom*' || status=$?
wineserver -k
wineserver -w
if [ -n "$own_xvfb" ]; then
  kill "$own_xvfb"
  wait "$own_xvfb" 2>/dev/null || true
  DISPLAY=$shared_display
fi
[ "$status" = 0 ] || exit "$status"
# A look at the window's layout, beside the other windows' screenshots.
if [ -f "$discs/window.bmp" ] && command -v convert >/dev/null; then
  mkdir -p "$build_dir/../run" && convert "$discs/window.bmp" "$build_dir/../run/frm-iso-builder.png"
fi
