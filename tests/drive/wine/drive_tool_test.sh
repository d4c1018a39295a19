#!/bin/sh
# velmor-drive in a Wine prefix of its own where the driver was never installed: refusals
# first, then mount, list, a read through the letter, a restart, and eject.
#   drive_tool_test.sh <win32 build dir> <velmor-drive.exe> <read_compare.exe> <velmor.sys>
#                      [win64 <64-bit read_compare.exe>]
# With win64 the prefix is a 64-bit system: the 32-bit tool installs the x86-64 driver given,
# and a 64-bit reader reads the drive too.
set -eu
build_dir=$1
tool=$2
compare=$3
driver=$4
arch=${5:-win32}
compare64=${6:-}

# shellcheck source=tests/wine_own_prefix.sh
. "$(dirname "$0")/../../wine_own_prefix.sh"
own_wine_prefix "$build_dir" "drive-tool-prefix-$arch" "$arch"

work="$WINEPREFIX/drive_c/velmor-tool"
mkdir -p "$work/content" "$work/net"
head -c 300000 /dev/urandom >"$work/content/data.bin"
genisoimage -quiet -J -V TOOLTEST -o "$work/光盘.iso" "$work/content"
image='C:\velmor-tool\光盘.iso'
# A network drive N: holding a copy, and the image again at a path past MAX_PATH.
cp "$work/光盘.iso" "$work/net/net.iso"
network_drive n "$work/net"
wineserver -k
wineserver -w
long_path_link 'C:\velmor-tool' "$work" "$work/光盘.iso"
long=$long_path
# The system's own system directory: the driver belongs there on a 64-bit system too, never
# in syswow64, the folder of 32-bit programs.
sysdir="$WINEPREFIX/drive_c/windows/system32"

# shellcheck source=tests/drive/wine/run_tool.sh
. "$(dirname "$0")/run_tool.sh"

asks_for_administrator "$tool" || fail "velmor-drive.exe does not ask for administrator rights"

run 0 list
[ -z "$out" ] || fail "nothing is recorded yet"
run 2 mount
run 2 mount "$image" 1:

# A missing image is refused before the driver is asked for anything.
run 1 mount 'C:\velmor-tool\none.iso'
case $err in *"none.iso: no such file"*) ;; *) fail "missing image message" ;; esac
# Images whose drive letter does not mean the same to the driver at every start, and paths
# longer than a drive keeps.
run 1 mount 'N:\net.iso'
case $err in *"N:\net.iso: the image is on a network drive"*) ;; *) fail "network drive message" ;; esac
run 1 mount '\\server\share\a.iso'
case $err in *"\\server\share\a.iso: the image is on a network drive"*) ;; *) fail "share message" ;; esac
run 1 mount "C:\\velmor-tool\\$(printf "%0477d" 0).iso"
case $err in *"path too long for a drive"*) ;; *) fail "too long a path message" ;; esac
[ ! -e "$sysdir/velmor.sys" ] || fail "the driver was installed for a refused image"

# A driver file left damaged (by a disk that filled during an earlier install, say) is replaced.
head -c 3000 "$driver" >"$sysdir/velmor.sys"
first_mount() {
  run_status=0
  if [ "$arch" = win64 ]; then
    # Wine may host a service that a 32-bit program created in its 32-bit device host, which
    # cannot load an x86-64 driver (the start fails with 1114; see wine_own_prefix.sh); Windows
    # has no such notion for kernel drivers. The test bed then clears Wine's mark and the mount
    # is tried again.
    wine "$tool" mount "$image" >"$work/out" 2>"$work/err" || run_status=$?
    if [ "$run_status" != 0 ]; then
      iconv -f GBK -t UTF-8 <"$work/err"
      grep -q "(error 1114)" "$work/err" || fail "first mount in a 64-bit prefix"
      wine_clear_wow64_service_mark VELMOR
    else
      run_status=done
      out=$(tr -d '\r' <"$work/out")
    fi
  fi
  [ "$run_status" = done ] || run 0 mount "$image"
}
first_mount
letter=$out
case $letter in [D-Z]:) ;; *) fail "mount printed '$letter'" ;; esac
cmp -s "$sysdir/velmor.sys" "$driver" || fail "installed driver differs"
[ ! -e "$WINEPREFIX/drive_c/windows/syswow64/velmor.sys" ] || fail "a driver went to syswow64"
run 0 list
[ "$out" = "$letter $image" ] || fail "list printed '$out'"
wine "$compare" "$letter" "$image" || fail "reads through $letter"
# Another image whose file is removed and written anew before the restart: another file behind
# the same path, which start-up does not serve.
cp "$work/光盘.iso" "$work/changed.iso"
run 0 mount 'C:\velmor-tool\changed.iso'
changed=$out
# A system restart: the driver starts by itself and makes the recorded drive again.
wineserver -k
wineserver -w
cp "$work/changed.iso" "$work/changed.new"
mv "$work/changed.new" "$work/changed.iso"
wine "$compare" "$letter" "$image" || fail "reads through $letter after a restart"
if wine "$compare" "$changed" 'C:\velmor-tool\changed.iso' 2>/dev/null; then
  fail "$changed serves a file that replaced its image"
fi
# Listed with the reason, kept (not added again, its letter not given to another mount) until
# it is ejected.
run 0 list
[ "$out" = "$letter $image
$changed C:\velmor-tool\changed.iso (not mounted: the file changed since it was mounted)" ] ||
  fail "list printed '$out'"
run 0 eject "$changed"
run 0 list
[ "$out" = "$letter $image" ] || fail "list printed '$out' after the eject"
if [ -n "$compare64" ]; then
  wine "$compare64" "$letter" "$image" || fail "a 64-bit reader's reads through $letter"
fi

# The letter now holds a drive of the driver: neither an explicit mount nor the next free
# letter may take it.
run 1 mount "$image" "$letter"
run 0 mount "$image"
second=$out
[ "$second" != "$letter" ] || fail "second mount got $letter again"
run 0 list
[ "$(printf '%s\n' "$out" | wc -l)" = 2 ] || fail "two drives listed"

# Eight threads read random sectors while the drive is ejected under them: every read gives
# the image's bytes or fails, nothing hangs, and the drive is gone after.
wine "$compare" "$letter" "$image" --while-ejecting "$tool" || fail "reads while ejecting"
run 1 eject "$letter"
case $err in *"no such drive"*) ;; *) fail "second eject message" ;; esac
run 1 eject C:
case $err in *"not a Velmor drive"*) ;; *) fail "eject of a disk message" ;; esac
run 0 eject "$second"
run 0 list
[ -z "$out" ] || fail "drives left after eject: $out"
if wine "$compare" "$second" "$image" 2>/dev/null; then fail "$second still reads"; fi

# A path past MAX_PATH is taken whole.
run 0 mount "$long"
letter=$out
run 0 list
[ "$out" = "$letter $long" ] || fail "list printed '$out'"
wine "$compare" "$letter" "$image" || fail "reads through $letter of the long path"
run 0 eject "$letter"

# Six mounts at once: the ones that find their letter taken meanwhile take the next free one.
for i in 1 2 3 4 5 6; do
  (
    status=0
    wine "$tool" mount "$image" >"$work/at-once$i" 2>"$work/at-once$i.err" || status=$?
    echo "$status" >"$work/at-once$i.status"
  ) &
done
wait
for i in 1 2 3 4 5 6; do
  [ "$(cat "$work/at-once$i.status")" = 0 ] ||
    fail "mount $i of six at once: $(iconv -f GBK -t UTF-8 <"$work/at-once$i.err")"
done
letters=$(cat "$work"/at-once[1-6] | tr -d '\r' | grep -x '[A-Z]:' | sort -u)
[ "$(printf '%s\n' "$letters" | wc -l)" = 6 ] || fail "six mounts at once got: $letters"
for letter in $letters; do
  run 0 eject "$letter"
done

# A folder with Chinese names as a disc: the image is built into the user's local application
# data, the drive reads it byte for byte, its files are the folder's (read back with 7z), and
# the eject deletes the image. An image left by a program that ended meanwhile goes at the next
# mount unless a drive still records it.
mkdir -p "$work/文件夹/资料/子目录"
head -c 200000 /dev/urandom >"$work/文件夹/资料/说明.bin"
printf '读我\r\n' >"$work/文件夹/读我.txt"
head -c 5000 /dev/urandom >"$work/文件夹/资料/子目录/数据.dat"
cache="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Local/Velmor/FolderDiscs"
mkdir -p "$cache"
head -c 4096 /dev/zero >"$cache/disc-1.iso" # left by a program that ended
run 0 mount 'C:\velmor-tool\文件夹'
folder_letter=$out
[ ! -e "$cache/disc-1.iso" ] || fail "a leftover image in the cache was kept"
disc=$(ls "$cache"/*.iso 2>/dev/null | head -n 1)
[ -n "$disc" ] || fail "no image in the cache folder"
run 0 list
disc_win='C:\users\'"$(id -un)"'\AppData\Local\Velmor\FolderDiscs\'"$(basename "$disc")"
[ "$out" = "$folder_letter C:\velmor-tool\文件夹" ] || fail "the folder disc is not listed as its folder: $out"
[ "$(drive_record "$folder_letter")" = "$disc_win" ] || fail "the folder disc is not recorded by its image"
wine "$compare" "$folder_letter" "$disc_win" || fail "reads through the folder's drive"
rm -rf "$work/extracted"
7z x -y -o"$work/extracted" "$disc" >/dev/null || fail "7z cannot read the folder's disc"
diff -r "$work/文件夹" "$work/extracted" || fail "the disc's files differ from the folder's"
run 0 eject "$folder_letter"
[ ! -e "$disc" ] || fail "the eject left the folder's image"
[ -z "$(ls "$cache")" ] || fail "the eject left files in the cache: $(ls "$cache")"

# A folder that holds a link back up its tree (Wine shows a host link to a folder as a reparse
# point without a tag; it cannot make Windows links itself) mounts, the link left out with one
# line; a link to a file is followed.
mkdir -p "$work/looped/sub"
printf 'top\r\n' >"$work/looped/top.txt"
ln -sfn .. "$work/looped/sub/up"
ln -sfn ../top.txt "$work/looped/sub/same.txt"
run 1 mount 'C:\velmor-tool\looped'
looped_letter=$out
[ "$(printf '%s\n' "$err" | grep -c .)" = 2 ] || fail "not one line for the link: $err"
case $err in *'looped\sub\up: link to a folder, left out'*) ;; *) fail "link message: $err" ;; esac
rm -rf "$work/extracted"
7z x -y -o"$work/extracted" "$cache"/*.iso >/dev/null || fail "7z cannot read the looped disc"
[ "$(cat "$work/extracted/sub/same.txt")" = "$(cat "$work/looped/top.txt")" ] ||
  fail "the link to a file was not followed"
[ ! -e "$work/extracted/sub/up" ] || fail "the link to a folder is on the disc"
run 0 eject "$looped_letter"

# Four folder discs started together, round after round ($VELMOR_FOLDER_ROUNDS, 5 by default):
# all mount, each drive reads its own folder's image, and the list shows each folder. In the
# first round the local application data, which holds the cache folder the others are building
# in, is mounted at the same time and holds none of it.
local_win='C:\users\'"$(id -un)"'\AppData\Local'
for i in 1 2 3 4; do
  mkdir -p "$work/together$i"
  printf 'folder %s\r\n' "$i" >"$work/together$i/own.txt"
  head -c 300000 /dev/urandom >"$work/together$i/data.bin"
done
round=1
while [ "$round" -le "${VELMOR_FOLDER_ROUNDS:-5}" ]; do
  started="1 2 3 4"
  [ "$round" = 1 ] && started="1 2 3 4 5"
  for i in $started; do
    folder="C:\velmor-tool\together$i"
    [ "$i" = 5 ] && folder=$local_win
    (
      status=0
      wine "$tool" mount "$folder" >"$work/together$i.out" 2>"$work/together$i.err" || status=$?
      echo "$status" >"$work/together$i.status"
    ) &
  done
  wait
  run 0 list
  listed=$out
  for i in $started; do
    [ "$(cat "$work/together$i.status")" = 0 ] ||
      fail "round $round: folder disc $i: $(iconv -f GBK -t UTF-8 <"$work/together$i.err")"
    letter=$(tr -d '\r' <"$work/together$i.out")
    record=$(drive_record "$letter")
    if [ "$i" = 5 ]; then
      rm -rf "$work/extracted"
      7z x -y -o"$work/extracted" "$cache/${record##*\\}" >/dev/null ||
        fail "round $round: 7z cannot read the local application data's disc"
      [ ! -e "$work/extracted/Velmor/FolderDiscs" ] || fail "the cache folder was gathered"
    else
      printf '%s\n' "$listed" | grep -qxF "$letter C:\velmor-tool\together$i" ||
        fail "round $round: $letter is not listed as together$i: $listed"
      wine "$compare" "$letter" "$record" || fail "round $round: $letter does not read its image"
      [ "$(7z e -so "$cache/${record##*\\}" own.txt 2>/dev/null)" = "$(cat "$work/together$i/own.txt")" ] ||
        fail "round $round: $letter holds another folder"
    fi
    run 0 eject "$letter"
  done
  [ -z "$(ls "$cache")" ] || fail "round $round: files left in the cache: $(ls "$cache")"
  round=$((round + 1))
done

# Another build of the driver runs (the carried file with its build identity changed, as a
# newer program finds an older driver): the mount replaces the file and restarts the service,
# which makes the recorded drive again; a driver that cannot stop (one without unload) is used
# as it is, the mount says that a restart is needed, and after the restart the carried driver
# runs with the recorded drive. Either way the next mount finds the carried build.
identity=$(sed -n 's/.*{\(.*\)}.*/\1/p' "$build_dir/protocol/generated/velmor_build_identity.h" |
  sed 's/0x//g; s/[ ,]//g')
[ ${#identity} = 32 ] || fail "no build identity: $identity"
run 0 mount "$image"
letter=$out
ID=$identity perl -0777 -pi -e \
  'my $id = pack("H*", $ENV{ID}); (my $other = $id) =~ s/^(.)/chr(ord($1) ^ 1)/se; s/\Q$id\E/$other/g' \
  "$sysdir/velmor.sys"
cmp -s "$sysdir/velmor.sys" "$driver" && fail "the other build is the carried one"
wineserver -k
wineserver -w
run 0 mount "$image"
cmp -s "$sysdir/velmor.sys" "$driver" || fail "the other build's file was not replaced"
case $err in
*restart*)
  wineserver -k
  wineserver -w
  ;;
*) echo "the other build stopped and the carried one started without a restart" ;;
esac
wine "$compare" "$letter" "$image" || fail "reads through $letter after the upgrade"
run 0 mount "$image"
case $err in *restart*) fail "a restart asked for over the carried build" ;; esac
run 0 list
[ "$(printf '%s\n' "$out" | wc -l)" = 3 ] || fail "three drives listed: $out"

# Uninstall: every drive gone, no service, no driver file in either system folder, no key, the
# image unchanged. Until the driver can unload, its service does not stop: that step alone
# fails (status 1), and the restart finishes the removal (the service marked for deletion, the
# file the running image held).
cp "$work/光盘.iso" "$work/before.iso"
run_status=0
wine "$tool" uninstall >"$work/out" 2>"$work/err" || run_status=$?
err=$(iconv -f GBK -t UTF-8 <"$work/err" | tr -d '\r')
echo "velmor-drive uninstall -> $run_status: $err"
others=$(printf '%s\n' "$err" | grep '^velmor-drive:' | grep -v 'cannot stop the driver service' |
  grep -v 'velmor.sys: cannot delete the driver file now' || true)
[ "$run_status" = 0 ] || { [ "$run_status" = 1 ] && [ -z "$others" ]; } || fail "uninstall: $err"
run 0 list
[ -z "$out" ] || fail "drives recorded after uninstall: $out"
cmp -s "$work/光盘.iso" "$work/before.iso" || fail "uninstall changed the image"
# A restart: the driver's file, still held by its image, goes as the system starts.
wineserver -k
wineserver -w
wine wineboot -r >/dev/null 2>&1 || true
wineserver -w
[ ! -e "$sysdir/velmor.sys" ] || fail "velmor.sys left in system32"
[ ! -e "$WINEPREFIX/drive_c/windows/syswow64/velmor.sys" ] || fail "velmor.sys left in syswow64"
if wine reg query 'HKLM\System\CurrentControlSet\Services\VELMOR' /reg:64 >/dev/null 2>&1; then
  fail "the service's key is left"
fi
for l in D E F G H I J K L M N O P Q R S T U V W X Y Z; do
  if wine "$compare" "$l:" "$image" 2>/dev/null; then fail "$l: still reads after uninstall"; fi
done

# Four first mounts at once install the driver again, and all succeed.
for i in 1 2 3 4; do
  (
    status=0
    wine "$tool" mount "$image" >"$work/first$i" 2>"$work/first$i.err" || status=$?
    echo "$status" >"$work/first$i.status"
  ) &
done
wait
for i in 1 2 3 4; do
  [ "$(cat "$work/first$i.status")" = 0 ] ||
    fail "first mount $i of four at once: $(iconv -f GBK -t UTF-8 <"$work/first$i.err")"
done
cmp -s "$sysdir/velmor.sys" "$driver" || fail "the driver installed again differs"
for i in 1 2 3 4; do
  run 0 eject "$(tr -d '\r' <"$work/first$i")"
done

# Four workers mount, read and eject their own images at once, each mount taking the first free
# letter, which another worker's eject has just given back: every eject holds, and no read
# reaches another worker's image. VELMOR_EJECT_CYCLES cycles each (250 for the full run).
cycles=${VELMOR_EJECT_CYCLES:-50}
for w in 1 2 3 4; do
  mkdir -p "$work/worker$w"
  head -c 100000 /dev/urandom >"$work/worker$w/data.bin"
  genisoimage -quiet -V "WORKER$w" -o "$work/worker$w.iso" "$work/worker$w"
done
for w in 1 2 3 4; do
  (
    i=0
    : >"$work/worker$w.failures"
    while [ $i -lt "$cycles" ]; do
      i=$((i + 1))
      if ! wine "$tool" mount "C:\\velmor-tool\\worker$w.iso" >"$work/worker$w.out" \
        2>"$work/worker$w.err"; then
        echo "mount $i: $(iconv -f GBK -t UTF-8 <"$work/worker$w.err")" >>"$work/worker$w.failures"
        continue
      fi
      l=$(tr -d '\r' <"$work/worker$w.out")
      wine "$compare" "$l" "C:\\velmor-tool\\worker$w.iso" >/dev/null 2>&1 ||
        echo "read $i through $l" >>"$work/worker$w.failures"
      wine "$tool" eject "$l" 2>"$work/worker$w.err" ||
        echo "eject $i of $l: $(iconv -f GBK -t UTF-8 <"$work/worker$w.err")" >>"$work/worker$w.failures"
    done
  ) &
done
wait
for w in 1 2 3 4; do
  [ ! -s "$work/worker$w.failures" ] || fail "worker $w: $(cat "$work/worker$w.failures")"
done
run 0 list
[ -z "$out" ] || fail "drives left after the workers: $out"

[ $failures = 0 ]
