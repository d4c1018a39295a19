#!/bin/sh
# The main window's drive commands with the real driver, in a Wine prefix of its own (the
# driver gets installed there, and the test restarts that prefix's Wine server).
#   drive_panel_test.sh <win32 build dir> <drive_panel_check.exe> <velmor.sys> [win64]
# With win64 the prefix is a 64-bit system and velmor.sys the x86-64 driver.
set -eu
build_dir=$1
check=$2
driver=$3
arch=${4:-win32}

# shellcheck source=tests/wine_own_prefix.sh
. "$(dirname "$0")/../wine_own_prefix.sh"
own_wine_prefix "$build_dir" "drive-panel-prefix-$arch" "$arch"

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
# Cue sheets in the ANSI code page: one over the first image, one naming a file that is not there.
printf 'FILE "光盘一.iso" BINARY\r\n  TRACK 01 MODE1/2048\r\n    INDEX 01 00:00:00\r\n' |
  iconv -f UTF-8 -t GBK >"$work/disc.cue"
printf 'FILE "missing.bin" BINARY\r\n  TRACK 01 MODE1/2048\r\n    INDEX 01 00:00:00\r\n' \
  >"$work/bad.cue"
# A folder with Chinese names, to be mounted as a disc.
mkdir -p "$work/文件夹/资料"
head -c 300000 /dev/urandom >"$work/文件夹/资料/说明.bin"
printf '读我\r\n' >"$work/文件夹/读我.txt"
# A network drive N: holding an image.
mkdir -p "$work/net"
cp "$work/second.iso" "$work/net/net.iso"
network_drive n "$work/net"
wineserver -k
wineserver -w

# The second image again at a path past MAX_PATH.
long_path_link 'C:\velmor-panel' "$work" "$work/second.iso"

asks_for_administrator "$build_dir/velmor.exe" || {
  echo "FAIL: velmor.exe does not ask for administrator rights"
  exit 1
}

windows="$WINEPREFIX/drive_c/windows"
[ ! -e "$windows/system32/velmor.sys" ] || {
  echo "FAIL: the prefix must not have the driver yet"
  exit 1
}
VELMOR_IMAGES='C:\velmor-panel\光盘一.iso|C:\velmor-panel\second.iso' \
  VELMOR_LABELED=D:PANELCD VELMOR_LIST='C:\velmor-panel\IsoFile.ini' VELMOR_LONG="$long_path" \
  VELMOR_NETWORK='N:\net.iso' VELMOR_FOLDER='C:\velmor-panel\文件夹' wine "$check"
# The first insert put the driver for the system's processor into the system's own system
# directory, never into syswow64, the folder of 32-bit programs; the window's uninstall at the
# end removed it again where the driver could stop (else it goes at the next restart).
[ ! -e "$windows/system32/velmor.sys" ] || cmp "$windows/system32/velmor.sys" "$driver"
[ ! -e "$windows/syswow64/velmor.sys" ]
