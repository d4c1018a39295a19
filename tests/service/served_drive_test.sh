#!/bin/sh
# The image server under Wine, in a prefix of its own: velmor-drive installs the driver and the
# server on the first served image; the server's pipe and its answers; then, with the test build
# of the server (which also reads a test-only format), a served drive that outlives the program
# that mounted it, comes back after a restart, fails its reads soon after the server is killed,
# and still ejects; a recorded image the restarted server cannot reach, or whose file was written
# anew, is listed with its reason; the uninstall removes the server.
#   served_drive_test.sh <win32 build dir> <velmor-drive.exe> <velmor-served-testbed.exe>
#                        <server_pipe_check.exe> <read_compare.exe>
# Exit 77 (skipped) when the driver makes no served drives.
set -eu
build_dir=$1
tool=$2
testbed=$3
check=$4
compare=$5

# shellcheck source=tests/wine_own_prefix.sh
. "$(dirname "$0")/../wine_own_prefix.sh"
own_wine_prefix "$build_dir" served-drive-prefix win32
# shellcheck source=tests/drive/wine/run_tool.sh
. "$(dirname "$0")/../drive/wine/run_tool.sh"

work="$WINEPREFIX/drive_c/velmor-served"
mkdir -p "$work/content"
head -c 400000 /dev/urandom >"$work/content/data.bin"
genisoimage -quiet -J -V SERVED -o "$work/disc.iso" "$work/content"
# The test format: a CHD's first bytes and "VELMORTS", then at 2,048 the ISO's sectors.
served_image() {
  { printf 'MComprHDVELMORTS'; head -c 2032 /dev/zero; cat "$work/disc.iso"; } >"$1"
}
served_image "$work/光盘.chd"
served_image "$work/away.chd"
served_image "$work/anew.chd"
{ printf 'MComprHD'; head -c 100000 /dev/urandom; } >"$work/broken.chd"
sysdir="$WINEPREFIX/drive_c/windows/system32"
services='HKLM\SYSTEM\CurrentControlSet\Services'

# The first served image installs the driver and the server: the product's server reads no
# test format, and says so naming the image.
run 1 mount 'C:\velmor-served\broken.chd'
case $err in *'C:\velmor-served\broken.chd: '*) ;; *) fail "a refused image is named" ;; esac
[ -f "$sysdir/velmor-served.exe" ] || fail "the server's file is in the system folder"
cmp -s "$sysdir/velmor-served.exe" "$build_dir/service/velmor-served.exe" ||
  fail "the server's file is the carried one"
key=$(wine reg query "$services\\VelmorServer" 2>/dev/null | tr -d '\r')
printf '%s\n' "$key"
for want in '    Start    REG_DWORD    0x2' '    Type    REG_DWORD    0x10' \
  '    DependOnService    REG_MULTI_SZ    VELMOR' '    ObjectName    REG_SZ    LocalSystem' \
  '    ImagePath    REG_SZ    "C:\windows\system32\velmor-served.exe" service'; do
  printf '%s\n' "$key" | grep -qxF "$want" || fail "server service: $want"
done
run 0 list
[ -z "$out" ] || fail "a refused image is not recorded"

# The pipe: its security as the server set it (Wine keeps it but does not check it), a request
# that is no message refused, Hello answered.
pipe=$(wine "$check" | tr -d '\r')
printf '%s\n' "$pipe"
case $pipe in *'dacl D:P(D;;GA;;;NU)(A;;GA;;;SY)(A;;GA;;;BA)'*) ;; *) fail "pipe security" ;; esac
case $pipe in *'malformed 1'*) ;; *) fail "a malformed request is refused" ;; esac
case $pipe in *'hello 0'*) ;; *) fail "hello is answered" ;; esac

# The test build of the server in its place (the same build identity: velmor-drive keeps it).
wine net stop VelmorServer >/dev/null 2>&1 || fail "the server stops"
cp "$testbed" "$sysdir/velmor-served.exe"
wine net start VelmorServer >/dev/null 2>&1 || fail "the test server starts"

run_status=0
wine "$tool" mount 'C:\velmor-served\光盘.chd' >"$work/out" 2>"$work/err" || run_status=$?
err=$(iconv -f GBK -t UTF-8 <"$work/err" | tr -d '\r')
if [ "$run_status" != 0 ]; then
  printf '%s\n' "$err"
  case $err in
  *"the driver refused drive "*"(error 1)"*)
    run 0 list
    [ -z "$out" ] || fail "a drive the driver refused is not recorded"
    [ "$failures" = 0 ] || exit 1
    echo "SKIP: the driver makes no served drives yet"
    exit 77 ;;
  esac
  fail "mount of a served image"
  exit 1
fi
letter=$(tr -d '\r' <"$work/out")
echo "served drive $letter"
# velmor-drive has ended: the drive reads through the server alone.
wine "$compare" "$letter" 'C:\velmor-served\disc.iso' || fail "reads of the served drive"
run 0 list
case $out in *"$letter C:\\velmor-served\\光盘.chd"*) ;; *) fail "list shows the served drive" ;; esac
case $out in *"not mounted"*) fail "the served drive is mounted" ;; esac
run 0 mount 'C:\velmor-served\away.chd'
away=$out
run 0 mount 'C:\velmor-served\anew.chd'
anew=$out

# A restart: the server comes back as the system and makes both again; one whose image it
# cannot reach stays recorded, shown with its reason.
mv "$work/away.chd" "$work/moved.chd"
# Another file behind a recorded path (written anew) is not served in its place.
cp "$work/anew.chd" "$work/anew.new"
rm "$work/anew.chd"
mv "$work/anew.new" "$work/anew.chd"
wineserver -k
wineserver -w
back=1
for _ in 1 2 3 4 5 6 7 8 9 10; do
  if wine "$compare" "$letter" 'C:\velmor-served\disc.iso' >/dev/null 2>&1; then
    back=0
    break
  fi
  sleep 1
done
[ "$back" = 0 ] || fail "the served drive comes back after a restart"
run 0 list
case $out in *"$away C:\\velmor-served\\away.chd (not mounted: the image could not be opened (error 2))"*) ;;
*) fail "an image the server cannot reach is listed with its reason" ;; esac
case $out in *"$anew C:\\velmor-served\\anew.chd (not mounted: the file changed since it was mounted)"*) ;;
*) fail "an image written anew behind its path is not served" ;; esac
run 0 eject "$away"
run 0 eject "$anew"

# The server killed: reads fail within seconds, and eject still removes the drive.
wine "$check" --kill || fail "the server is ended"
start=$(date +%s)
if timeout 60 wine "$compare" "$letter" 'C:\velmor-served\disc.iso' >/dev/null 2>&1; then
  fail "reads without a server fail"
fi
took=$(($(date +%s) - start))
echo "reads failed after ${took}s"
[ "$took" -le 15 ] || fail "reads without a server fail within seconds (took ${took}s)"
run 0 list
case $out in *"$letter"*"(not mounted: the image server is not running)"*) ;;
*) fail "a served drive without its server is shown not mounted" ;; esac
run 0 eject "$letter"
run 0 list
[ -z "$out" ] || fail "nothing is recorded after the eject"
wine "$compare" "$letter" 'C:\velmor-served\disc.iso' >/dev/null 2>&1 && fail "the drive is gone"

# The uninstall takes the server with it.
run 0 uninstall
[ ! -f "$sysdir/velmor-served.exe" ] || fail "the server's file is deleted"
wine reg query "$services\\VelmorServer" >/dev/null 2>&1 && fail "the server's service is deleted"

[ "$failures" = 0 ] || exit 1
echo "served drive test passed"
