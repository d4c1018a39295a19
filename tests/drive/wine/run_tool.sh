# The Wine tests' way of running velmor-drive: sourced after $tool (velmor-drive.exe) and $work
# (a folder for its output) are set.

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
  printf '%s\n' "velmor-drive $(printf '%s ' "$@")-> $status: $out$err"
  [ "$status" = "$want" ] || fail "velmor-drive $(printf '%s ' "$@"): exit $status, expected $want"
}
# drive_record L: -> the image path the drive table records for the letter.
drive_record() {
  wine reg query 'HKLM\SYSTEM\CurrentControlSet\Services\VELMOR\Parameters' /v "${1%:}" /reg:64 \
    2>/dev/null | tr -d '\r' | sed -n 's/^.*REG_SZ[[:space:]]*//p'
}
