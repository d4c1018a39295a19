#!/bin/sh
# The main window's drive commands with the real driver, in a Wine prefix of its own (the
# driver gets installed there, and the test restarts that prefix's Wine server).
#   drive_panel_test.sh <win32 build dir> <drive_panel_check.exe> <velmor.sys>
set -eu
build_dir=$1
check=$2
driver=$3

# shellcheck source=tests/wine_own_prefix.sh
. "$(dirname "$0")/../wine_own_prefix.sh"
own_wine_prefix "$build_dir" drive-panel-prefix

# Two ISO images with Chinese names, and a CD-ROM drive D: backed by a third, labelled one.
work="$WINEPREFIX/drive_c/velmor-panel"
mkdir -p "$work/content" "$work/cd"
i=0
while [ $i -lt 30 ]; do
  head -c 8000 /dev/urandom >"$work/content/file$i.bin"
  i=$((i + 1))
done
genisoimage -quiet -J -V FIRST -o "$work/光盘一.iso" "$work/content"
genisoimage -quiet -J -V SECOND -o "$work/second.iso" "$work/content"
genisoimage -quiet -J -V PANELCD -o "$work/cd/.disc.iso" "$work/content"
ln -sfn "$work/cd" "$WINEPREFIX/dosdevices/d:"
ln -sfn "$work/cd/.disc.iso" "$WINEPREFIX/dosdevices/d::"
wine reg add 'HKLM\Software\Wine\Drives' /v d: /d cdrom /f /reg:64 >/dev/null 2>&1
# A network drive N: holding an image.
mkdir -p "$work/net"
cp "$work/second.iso" "$work/net/net.iso"
ln -sfn "$work/net" "$WINEPREFIX/dosdevices/n:"
wine reg add 'HKLM\Software\Wine\Drives' /v n: /d network /f /reg:64 >/dev/null 2>&1
wineserver -k
wineserver -w

# The second image again at a path of 428 characters, past MAX_PATH.
long='C:\velmor-panel'
long_dir="$work"
for part in a b c d; do
  name=$(printf "%0100d" 0 | tr 0 "$part")
  long="$long\\$name"
  long_dir="$long_dir/$name"
done
mkdir -p "$long_dir"
ln "$work/second.iso" "$long_dir/long.iso"
long="$long\\long.iso"

# The program asks for administrator rights and names the systems it was made for.
for word in requireAdministrator e2011457-1546-43c5-a5fe-008deee3d3f0 \
  35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
  1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
  grep -q "$word" "$build_dir/velmor.exe" || { echo "FAIL: velmor.exe's manifest lacks $word"; exit 1; }
done

VELMOR_DRIVER="$driver" VELMOR_IMAGES='C:\velmor-panel\光盘一.iso|C:\velmor-panel\second.iso' \
  VELMOR_LABELED=D:PANELCD VELMOR_LIST='C:\velmor-panel\IsoFile.ini' VELMOR_LONG="$long" \
  VELMOR_NETWORK='N:\net.iso' wine "$check"
