#!/usr/bin/env bash
# Starts the program under Wine with the GBK code page. With a display the window opens
# there; without one it runs on a virtual display, saves a screenshot of the main window
# to build/run/velmor-main.png and ends the program.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh
cmake -S . -B build/win32 -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-i686-mingw.cmake" >/dev/null
cmake --build build/win32 --target velmor -j "$(nproc)"

headless=""
[ -z "${DISPLAY:-}" ] && headless=1
# shellcheck source=scripts/winebed.sh
. scripts/winebed.sh
winebed_start build/win32 run
trap winebed_stop EXIT

if [ -z "$headless" ]; then
  wine build/win32/velmor.exe
  exit 0
fi

shot=build/run/velmor-main.png
mkdir -p build/run
# A virtual desktop draws the window frame and caption, as a window manager would.
wine explorer /desktop=velmor,1024x768 build/win32/velmor.exe &
app=$!
for _ in $(seq 1 60); do # the virtual desktop's own X window
  sleep 0.5
  if xwininfo -root -tree 2>/dev/null | grep -qi 'velmor'; then break; fi
done
sleep 5 # the program's window opens inside the desktop and paints
import -window root "$shot"
echo "screenshot: $shot"
wineserver -k >/dev/null 2>&1 || true
wait "$app" 2>/dev/null || true
