#!/bin/sh
# The built driver file, as a kernel loads it: a native image for the processor, importing from
# the kernel and the HAL alone and none of the routines a driver must not call, no
# floating-point or vector instruction (the x86 kernel saves no such state for drivers), no
# export table, a version resource, a signature, base relocations of the processor's width
# only, and a valid PE checksum. The version resource's contents are checked where the driver
# is installed.
#   driver_file_test.sh <objdump for the processor> <velmor.sys> i386|x86_64
set -eu
objdump=$1
sys=$2
processor=$3
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

headers=$("$objdump" -p "$sys")

echo "$headers" | grep -q 'Subsystem[[:space:]]*00000001' || fail "subsystem is not native"
echo "$headers" | grep -q 'There is an export table' && fail "the driver exports something"
# Entry 2 of the data directories, the resources, holds a version resource (type 16) at its
# top level; entry 4, the certificate table, holds the signature.
echo "$headers" | grep -Eq '^Entry 2 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Resource Directory' &&
  echo "$headers" | grep -Eq '^0[0-9a-f]+ +Entry: ID: 0x0+10, ' ||
  fail "no version resource"
echo "$headers" | grep -Eq '^Entry 4 [0-9a-f]+ 0*[1-9a-f][0-9a-f]* Security Directory' ||
  fail "not signed"

# The machine type in the COFF header, right after the "PE\0\0" signature; and the kind of
# base relocation the processor's kernel applies: 32-bit ones on i386, 64-bit ones on x86-64,
# where a 32-bit absolute address could not reach an image loaded above 4 GiB.
pe=$(od -An -tu4 -j 60 -N 4 "$sys" | tr -d ' ')
machine=$(od -An -tx2 -j $((pe + 4)) -N 2 "$sys" | tr -d ' ')
case "$processor" in
i386) want_machine=014c want_reloc=HIGHLOW ;;
x86_64) want_machine=8664 want_reloc=DIR64 ;;
*) fail "unknown processor $processor" ;;
esac
[ "$machine" = "$want_machine" ] || fail "machine type $machine, not $want_machine"
relocs=$(echo "$headers" | awk '$1 == "reloc" { print $NF }' | sort -u | tr '\n' ' ')
case " $relocs" in
*" $want_reloc "*) ;;
*) fail "no $want_reloc relocations" ;;
esac
for kind in $relocs; do
  [ "$kind" = "$want_reloc" ] || [ "$kind" = ABSOLUTE ] || fail "$kind relocations"
done

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
# The field lies 64 bytes into the optional header in PE32 and PE32+ alike.
size=$(wc -c <"$sys")
field=$((pe + 24 + 64))
stored=$(od -An -tu4 -j "$field" -N 4 "$sys" | tr -d ' ')
folded=$(od -An -v -tu2 "$sys" | awk -v skip=$((field / 2)) '
  { for (i = 1; i <= NF; i++) { if (n != skip && n != skip + 1) { s += $i; s = s % 65536 + int(s / 65536) } n++ } }
  END { print s }')
[ "$stored" -ne 0 ] && [ "$stored" -eq $((folded + size)) ] ||
  fail "PE checksum $stored, computed $((folded + size))"

[ "$failures" -eq 0 ] && echo "$sys ($processor): as a kernel needs it"
exit "$failures"
