# Wine test bed, sourced by test.sh and run.sh.
#   winebed_start <win32 build dir> [tests|run]
#   winebed_stop
# "tests" (the default) uses build/win32/wineprefix, where every window opens inside a Wine
# virtual desktop: without a window manager, showing and hiding a top-level X window costs
# seconds each. "run" uses build/win32/wineprefix-run and plain windows.
# Uses the project's own prefix inside the build tree (never ~/.wine), the GBK code page,
# a fixed time zone and a persistent wine server so each program starts in milliseconds.
# Starts a private Xvfb when there is no display (or under CI) so windows can be created.

winebed_start() {
  local build_dir
  build_dir=$(cd "$1" && pwd)
  local mode="${2:-tests}"
  export WINEPREFIX="$build_dir/wineprefix"
  [ "$mode" = run ] && WINEPREFIX="$build_dir/wineprefix-run"
  # The program is 32-bit and so is its test bed; with the 64-bit loader installed too, a new
  # prefix would otherwise be 64-bit (tests/wine_own_prefix.sh makes 64-bit ones of its own).
  export WINEARCH=win32
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  # Code page 936 for Wine's ANSI side; UTF-8 for the names of files on disk and arguments.
  export LC_ALL=zh_CN.UTF-8
  export TZ=Asia/Shanghai
  WINEBED_XVFB_PID=""
  if [ -z "${DISPLAY:-}" ] || [ -n "${CI:-}" ] || [ "$mode" = tests ]; then
    local n=90
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
    WINEBED_XVFB_PID=$!
    export DISPLAY=":$n"
    local i
    for i in $(seq 1 100); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.05; done
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    wineboot -i >/dev/null 2>&1 || true
    if [ "$mode" = tests ]; then
      wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
      wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    fi
    wineserver -w
  fi
  winebed_fonts
  wineserver -p
  wine wineboot >/dev/null 2>&1 || true
}

# Wine's own TrueType faces (Marlett draws the caption buttons, Tahoma is the dialog font)
# come in fonts-wine under /usr/share/wine/fonts, but this Wine build looks for them beside
# its data folder, not in it, so without help it finds none and caption buttons show their
# glyph codes ("0 1 r"). Every prefix gets them in its Windows font folder, which Wine reads.
winebed_fonts() {
  local fonts="$WINEPREFIX/drive_c/windows/Fonts" face
  mkdir -p "$fonts"
  for face in /usr/share/wine/fonts/*.ttf; do
    [ -e "$face" ] || continue
    [ -e "$fonts/${face##*/}" ] || ln -s "$face" "$fonts/${face##*/}"
  done
}

winebed_stop() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "${WINEBED_XVFB_PID:-}" ]; then
    kill "$WINEBED_XVFB_PID" 2>/dev/null || true
    wait "$WINEBED_XVFB_PID" 2>/dev/null || true
    WINEBED_XVFB_PID=""
  fi
}
