#!/bin/sh
# velmor-drive in a Wine prefix of its own where the driver was never installed: refusals
# first, then mount, list, a read through the letter, and eject.
#   drive_tool_test.sh <win32 build dir> <velmor-drive.exe> <read_compare.exe>
set -eu
build_dir=$1
tool=$2
compare=$3

# shellcheck source=tests/wine_own_prefix.sh
. "$(dirname "$0")/../../wine_own_prefix.sh"
own_wine_prefix "$build_dir" drive-tool-prefix

work="$WINEPREFIX/drive_c/velmor-tool"
mkdir -p "$work/content"
head -c 300000 /dev/urandom >"$work/content/data.bin"
genisoimage -quiet -J -V TOOLTEST -o "$work/光盘.iso" "$work/content"
image='C:\velmor-tool\光盘.iso'
# A 32-bit program's system directory (syswow64 in a 64-bit prefix).
sysdir="$WINEPREFIX/drive_c/windows/system32"
[ -d "$WINEPREFIX/drive_c/windows/syswow64" ] && sysdir="$WINEPREFIX/drive_c/windows/syswow64"

failures=0
fail() {
  printf 'FAIL: %s\n' "$*"
  failures=$((failures + 1))
}
# run EXPECTED-STATUS ARGS...: runs the tool; its output in $out, its messages in $err
# (converted from the GBK code page).
run() {
  want=$1
  shift
  status=0
  wine "$tool" "$@" >"$work/out" 2>"$work/err" || status=$?
  out=$(iconv -f GBK -t UTF-8 <"$work/out" | tr -d '\r')
  err=$(iconv -f GBK -t UTF-8 <"$work/err" | tr -d '\r')
  printf '%s\n' "velmor-drive $* -> $status: $out$err"
  [ "$status" = "$want" ] || fail "velmor-drive $*: exit $status, expected $want"
}

run 0 list
[ -z "$out" ] || fail "nothing is recorded yet"
run 2 mount
run 2 mount "$image" 1:

# A missing image is refused before the driver is asked for anything.
run 1 mount 'C:\velmor-tool\none.iso'
case $err in *"none.iso: no such file"*) ;; *) fail "missing image message" ;; esac
[ ! -e "$sysdir/velmor.sys" ] || fail "the driver was installed for a missing image"

# A driver file that cannot start (as for a user who may not install drivers): the control
# device stays out of reach. The file is never replaced, so it is taken away again after.
echo "not a driver" >"$sysdir/velmor.sys"
run 1 mount "$image"
case $err in *administrator*) ;; *) fail "unreachable driver message" ;; esac
rm "$sysdir/velmor.sys"

run 1 mount "$image" C:
case $err in *"C: is in use"*) ;; *) fail "letter in use message" ;; esac

run 0 mount "$image"
letter=$out
case $letter in [D-Z]:) ;; *) fail "mount printed '$letter'" ;; esac
cmp -s "$sysdir/velmor.sys" "$build_dir/velmor.sys" || fail "installed driver differs"
run 0 list
[ "$out" = "$letter $image" ] || fail "list printed '$out'"
wine "$compare" "$letter" "$image" || fail "reads through $letter"

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

[ $failures = 0 ]
