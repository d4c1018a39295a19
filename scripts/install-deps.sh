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
  liblzma-dev libflac-dev libzstd-dev mame-tools dpkg-dev
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

# The codec libraries the Win32 build cross-builds (liblzma, libFLAC, libzstd) have no mingw
# packages: their Debian source packages, from the release suite, fetched once into the build
# tree. A private deb-src list made from the system's own Debian sources, with private lists
# and cache, so the system's apt state is left as it was; apt checks the signed index and each
# file's hash as it fetches.
codec_sources="$(cd "$(dirname "$0")/.." && pwd)/build/codec-sources"
codec_packages=(xz-utils flac libzstd)
fetch_codec_sources() {
  local p have=1
  for p in "${codec_packages[@]}"; do
    [ -f "$codec_sources/$p.dir" ] || have=0
  done
  [ "$have" -eq 1 ] && return 0
  . /etc/os-release
  local apt_dir="$codec_sources/apt"
  mkdir -p "$apt_dir/sources.list.d" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial"
  : >"$apt_dir/sources.list"
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    grep -E '^deb[[:space:]].*debian' "$f" | sed 's/^deb[[:space:]]/deb-src /' \
      >>"$apt_dir/sources.list" || true
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    # deb822 stanzas of Debian's archive, each turned into its deb-src twin
    awk 'BEGIN { RS = ""; ORS = "\n\n" }
         /URIs:[^\n]*debian/ { sub(/Types:[^\n]*/, "Types: deb-src"); print }' \
      "$f" >"$apt_dir/sources.list.d/$(basename "$f")"
  done
  local apt_opts=(-o "Dir::Etc::SourceList=$apt_dir/sources.list"
    -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d" -o "Dir::State::Lists=$apt_dir/lists"
    -o "Dir::Cache=$apt_dir/cache" -o "APT::Sandbox::User=root" -qq)
  apt-get "${apt_opts[@]}" update >/dev/null
  for p in "${codec_packages[@]}"; do
    [ -f "$codec_sources/$p.dir" ] && continue
    rm -rf "$codec_sources/$p"
    mkdir -p "$codec_sources/$p"
    (cd "$codec_sources/$p" && apt-get "${apt_opts[@]}" source "$p/$VERSION_CODENAME" >/dev/null)
    # The unpacked tree is the one directory apt-get source leaves beside the fetched files.
    find "$codec_sources/$p" -mindepth 1 -maxdepth 1 -type d -printf '%f\n' >"$codec_sources/$p.dir"
  done
}

if [ ${#missing[@]} -eq 0 ]; then
  ensure_locale
  fetch_codec_sources
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
fetch_codec_sources
