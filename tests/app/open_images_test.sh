#!/bin/sh
# Opening images from Explorer with the real driver, in a Wine prefix of its own: velmor.exe
# started with an image, then again with another, lists both in one window and inserts each.
#   open_images_test.sh <win32 build dir> <open_images_check.exe> <velmor.exe> <velmor-drive.exe>
set -eu
build_dir=$1
check=$2
program=$3
tool=$4

# shellcheck source=tests/wine_own_prefix.sh
. "$(dirname "$0")/../wine_own_prefix.sh"
own_wine_prefix "$build_dir" open-images-prefix

work="$WINEPREFIX/drive_c/velmor-open"
mkdir -p "$work/content"
head -c 8000 /dev/urandom >"$work/content/file.bin"
genisoimage -quiet -J -V FIRST -o "$work/光盘一.iso" "$work/content"
genisoimage -quiet -J -V SECOND -o "$work/second.iso" "$work/content"
cp "$program" "$work/velmor.exe" # its list file goes beside it
cp "$tool" "$work/velmor-drive.exe" # it registers the velmor.exe beside it
tool="$work/velmor-drive.exe"

# Explorer's verb on all seven kinds, naming the velmor.exe beside the tool.
wine "$tool" register
verbs() {
  wine reg query 'HKCU\Software\Classes\SystemFileAssociations' /s 2>/dev/null |
    iconv -f GBK -t UTF-8 | tr -d '\r'
}
for kind in iso cue nrg mds ccd img bin; do
  verbs | grep -qiF "SystemFileAssociations\\.$kind\\shell\\Velmor.Mount\\command" || {
    echo "no verb for .$kind" >&2
    exit 1
  }
done
verbs | grep -qF '"C:\velmor-open\velmor.exe" "%1"' || {
  verbs >&2
  exit 1
}
verbs | grep -qF '用Velmor虚拟光驱装载' || {
  echo "the verb has no Chinese text" >&2
  exit 1
}

VELMOR_EXE='C:\velmor-open\velmor.exe' \
  VELMOR_IMAGES='C:\velmor-open\光盘一.iso|C:\velmor-open\second.iso' wine "$check"

list=$(iconv -f GBK -t UTF-8 "$work/IsoFile.ini" | tr -d '\r')
[ "$list" = "$(printf 'C:\\velmor-open\\光盘一.iso\nC:\\velmor-open\\second.iso')" ] || {
  echo "image list: $list" >&2
  exit 1
}
drives=$(wine "$tool" list | iconv -f GBK -t UTF-8 | tr -d '\r')
for image in '光盘一.iso' 'second.iso'; do
  printf '%s\n' "$drives" | grep -qF "velmor-open\\$image" || {
    echo "no drive for $image: $drives" >&2
    exit 1
  }
done

wine "$tool" unregister
[ -z "$(verbs | grep -i velmor)" ] || {
  echo "unregister left: $(verbs)" >&2
  exit 1
}
echo ok
