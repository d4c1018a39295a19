#!/bin/sh
# The built driver file, as a kernel loads it: a native image importing from the kernel and the
# HAL alone and none of the routines a driver must not call, no floating-point or vector
# instruction (the x86 kernel saves no such state for drivers), no export table and a valid
# PE checksum. The version resource is checked where the driver is installed.
#   driver_file_test.sh <objdump> <velmor.sys>
set -eu
objdump=$1
sys=$2
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

headers=$("$objdump" -p "$sys")

echo "$headers" | grep -q 'Subsystem[[:space:]]*00000001' || fail "subsystem is not native"
echo "$headers" | grep -q 'There is an export table' && fail "the driver exports something"

dlls=$(echo "$headers" | sed -n 's/^[[:space:]]*DLL Name: //p' | tr 'A-Z' 'a-z' | sort -u)
for dll in $dlls; do
  case "$dll" in
  ntoskrnl.exe | hal.dll) ;;
  *) fail "imports from $dll" ;;
  esac
done
# Routines that bugcheck when resources run out, allocate untagged, probe memory unsafely or
# hand work to the system's queues, which paging I/O must never wait on.
for unsafe in MmMapLockedPages ExAllocatePool MmIsAddressValid ExQueueWorkItem IoQueueWorkItem \
  KeBugCheck KeBugCheckEx; do
  echo "$headers" | grep -Eq "^[[:space:]]+[0-9a-f]+[[:space:]]+[0-9]+[[:space:]]+$unsafe\$" &&
    fail "imports $unsafe"
done

# x87 mnemonics all begin with f; MMX and SSE ones name their registers.
fpu=$("$objdump" -d --no-show-raw-insn "$sys" | awk -F'\t' 'NF >= 2 { print $2 }' |
  grep -E '^(f[a-z]|emms|ldmxcsr|stmxcsr)|%(st|mm|xmm|ymm)' || true)
[ -z "$fpu" ] || fail "floating-point or vector instructions: $(echo "$fpu" | sort -u | head -5)"

# The checksum: the file's 16-bit words summed with end-around carry, the checksum field left
# out, plus the file's length.
size=$(wc -c <"$sys")
pe=$(od -An -tu4 -j 60 -N 4 "$sys" | tr -d ' ')
field=$((pe + 24 + 64))
stored=$(od -An -tu4 -j "$field" -N 4 "$sys" | tr -d ' ')
folded=$(od -An -v -tu2 "$sys" | awk -v skip=$((field / 2)) '
  { for (i = 1; i <= NF; i++) { if (n != skip && n != skip + 1) { s += $i; s = s % 65536 + int(s / 65536) } n++ } }
  END { print s }')
[ "$stored" -ne 0 ] && [ "$stored" -eq $((folded + size)) ] ||
  fail "PE checksum $stored, computed $((folded + size))"

[ "$failures" -eq 0 ] && echo "velmor.sys: imports, instructions, exports and checksum as a kernel needs"
exit "$failures"
