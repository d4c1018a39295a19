#!/bin/sh
# velmor.sys under Wine, in a prefix of its own: the test restarts the Wine server, which must
# not disturb the programs that other tests run in the shared prefix at the same time.
#   driver_service_test.sh <win32 build dir> <driver_service_check.exe> <velmor.sys>
set -eu
build_dir=$1
check=$2
driver=$3

# shellcheck source=tests/wine_own_prefix.sh
. "$(dirname "$0")/../../wine_own_prefix.sh"
own_wine_prefix "$build_dir" driver-test-prefix

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

wine "$check" install "$driver" "$image"
# A system restart for the driver: the auto-start service comes back with the next process.
wineserver -k
wineserver -w
wine "$check" restarted "$image"
