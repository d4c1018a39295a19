#!/usr/bin/env bash
# Installs the toolchain and runtime the builds and tests need, only when something is missing.
# Idempotent: a machine that already has everything returns at once.
set -euo pipefail

need_pkgs=(
  cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
  wine wine32:i386 g++-mingw-w64-i686-posix mingw-w64-i686-dev
  xvfb x11-utils imagemagick fonts-wqy-microhei
  genisoimage xorriso p7zip-full libarchive-tools
)

missing=()
for p in "${need_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
