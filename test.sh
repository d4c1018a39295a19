#!/usr/bin/env bash
# Builds both trees and runs every test suite: host, sanitized host, Win32 under Wine.
set -euo pipefail
cd "$(dirname "$0")"
scripts/install-deps.sh

jobs=$(nproc)
configure() { cmake -S . -B "$1" -G Ninja "${@:2}" >/dev/null; }

echo "== host"
configure build/host
cmake --build build/host -j "$jobs"
ctest --test-dir build/host --output-on-failure -j "$jobs"

echo "== host, AddressSanitizer + UndefinedBehaviorSanitizer"
configure build/host-asan -DVELMOR_SANITIZE=ON
cmake --build build/host-asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/host-asan --output-on-failure -j "$jobs" -LE slow

echo "== host, ThreadSanitizer (tests labelled threads)"
configure build/host-tsan -DVELMOR_SANITIZE_THREAD=ON
cmake --build build/host-tsan -j "$jobs" --target velmor_threads_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/host-tsan --output-on-failure -j "$jobs" -L threads

echo "== win32 under Wine"
configure build/win32 -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchain-i686-mingw.cmake"
cmake --build build/win32 -j "$jobs"
# shellcheck source=scripts/winebed.sh
. scripts/winebed.sh
winebed_start build/win32
trap winebed_stop EXIT
ctest --test-dir build/win32 --output-on-failure -j "$jobs"
