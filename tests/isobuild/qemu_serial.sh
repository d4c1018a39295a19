# shellcheck shell=sh
# Sourced by the QEMU boot tests, which start QEMU in the background with its serial port in
# <name>.serial and its own messages in <name>.qemu, and keep its process id in $pid.
# await_serial <name> <tenths> <text>...: passes once every text is on the serial port, then
# stops QEMU; fails when QEMU stops first (-no-reboot ends it where firmware would reboot) or
# after <tenths> tenths of a second, showing what it printed.
await_serial() {
  name=$1 limit=$2
  shift 2
  ticks=0
  while :; do
    seen=1
    for text; do grep -qF "$text" "$name.serial" 2>/dev/null || seen=0; done
    [ $seen = 1 ] && break
    if [ $ticks -ge "$limit" ] || ! kill -0 "$pid" 2>/dev/null; then
      echo "$name: the serial port never showed: $*"
      cat "$name.serial" "$name.qemu" 2>/dev/null
      exit 1
    fi
    ticks=$((ticks + 1))
    sleep 0.1
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=
}
