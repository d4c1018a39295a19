#!/usr/bin/env bash
# Installs the toolchain and runtime the builds and tests need, only when something is missing.
# Idempotent: a machine that already has everything returns at once.
# Recommended packages are left out, so Wine's own fonts (fonts-wine) are named here.
set -euo pipefail

need_pkgs=(
  cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libbenchmark-dev
  wine wine32:i386 wine64 fonts-wine g++-mingw-w64-i686-posix mingw-w64-i686-dev
  g++-mingw-w64-x86-64-posix mingw-w64-x86-64-dev osslsigncode openssl
  xvfb x11-utils imagemagick fonts-wqy-microhei
  genisoimage xorriso p7zip-full libarchive-tools locales
  zlib1g-dev nettle-dev libz-mingw-w64-dev
  qemu-system-x86 isolinux syslinux-common binutils ovmf mtools dosfstools
  bchunk nrg2iso iat mdf2iso ccd2iso libcdio-utils udftools
)

# Wine takes the ANSI code page 936 from a zh_CN locale, and reads Chinese file names and
# arguments only when that locale exists in glibc with the UTF-8 character set.
ensure_locale() {
  locale -a 2>/dev/null | grep -qix 'zh_CN.utf8' && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo localedef -i zh_CN -f UTF-8 zh_CN.UTF-8
}

missing=()
for p in "${need_pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  ensure_locale
  exit 0
fi

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
# A mirror being synced serves an index of the wrong size for a while: try the update three
# times a minute apart, then name the index that failed and go on with the lists apt kept.
update_lists() {
  local try log
  log=$(mktemp)
  for try in 1 2 3; do
    if $SUDO apt-get update -qq >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    [ "$try" -lt 3 ] && sleep 60
  done
  echo "install-deps: apt-get update failed 3 times on $(grep -m1 -o 'Failed to fetch [^ ]*' "$log" | cut -d' ' -f4 || echo 'an index'); a later run may pass" >&2
  rm -f "$log"
  return 1
}
lists_updated=1
update_lists || lists_updated=0
install_missing() {
  $SUDO apt-get install -y -qq --no-install-recommends "$@" "${missing[@]}" >/dev/null
}
# With one architecture's security index missing, its packages and the other's would need
# different versions of the same library: take the release's own versions then.
if ! install_missing; then
  [ "$lists_updated" -eq 1 ] && exit 1
  . /etc/os-release
  install_missing -o "APT::Default-Release=$VERSION_CODENAME"
fi
ensure_locale
