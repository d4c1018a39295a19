#!/bin/sh
# velmor.sys under Wine, in a prefix of its own: the test restarts the Wine server, which must
# not disturb the programs that other tests run in the shared prefix at the same time.
#   driver_service_test.sh <win32 build dir> <driver_service_check.exe> <velmor.sys>
#       [win64 <32-bit driver_service_check.exe>]
# With win64, the prefix is 64-bit and the driver and the first check are x86-64: the 64-bit
# check installs the driver (a service created by a 64-bit program, which Wine starts in its
# 64-bit device host), then the 32-bit check sends it the same requests through WOW64, which
# shows that the 32-bit program's records reach the x86-64 driver unchanged.
set -eu
build_dir=$1
check=$2
driver=$3
arch=${4:-win32}

# shellcheck source=tests/wine_own_prefix.sh
. "$(dirname "$0")/../../wine_own_prefix.sh"
own_wine_prefix "$build_dir" "driver-test-prefix-$arch" "$arch"

# A real ISO 9660 image of a few hundred KiB.
content="$WINEPREFIX/drive_c/velmor-test/content"
mkdir -p "$content"
i=0
while [ $i -lt 40 ]; do
  head -c 8000 /dev/urandom >"$content/file$i.bin"
  i=$((i + 1))
done
genisoimage -quiet -J -V VELMORTEST -o "$WINEPREFIX/drive_c/velmor-test/disc.iso" "$content"
image='C:\velmor-test\disc.iso'
# The same image at the start of a sparse file of 6 GiB, for a drive larger than a CD.
cp "$WINEPREFIX/drive_c/velmor-test/disc.iso" "$WINEPREFIX/drive_c/velmor-test/disc-6g.iso"
truncate -s 6G "$WINEPREFIX/drive_c/velmor-test/disc-6g.iso"

# The server stays up between the steps: without it a demand-start driver would be gone when
# the command that started it ends.
wineserver -p
wine "$check" install "$driver" "$image"
if [ "$arch" = win64 ]; then
  [ -f "$WINEPREFIX/drive_c/windows/system32/velmor.sys" ] ||
    { echo "FAIL: the driver is not in the 64-bit system directory"; exit 1; }
  wine "$5" use "$image"
fi
# A served drive: the test server makes it over the ISO and answers its reads (the 32-bit
# program in both prefixes). Killed, it leaves a drive whose reads fail within seconds, and the
# eject still removes it.
served="$(dirname "${5:-$check}")/served_drive_check.exe"
ready="$WINEPREFIX/drive_c/velmor-test/disc.iso.ready"
rm -f "$ready"
wine "$served" serve S "$image" &
server=$!
i=0
while [ ! -f "$ready" ] && [ $i -lt 200 ]; do
  sleep 0.1
  i=$((i + 1))
done
[ -f "$ready" ] || { echo "FAIL: the test server made no served drive"; kill -9 $server; exit 1; }
wine "$served" read S "$image" || { kill -9 $server; exit 1; }
kill -9 $server
wait $server 2>/dev/null || true
wine "$served" dead S
wine "$served" eject S
# The service stops and starts again, its drives with it.
wine "$check" stopstart "$image"
# A system restart for the driver: the auto-start service comes back with the next process.
wineserver -k
wineserver -w
wine "$check" restarted "$image"
