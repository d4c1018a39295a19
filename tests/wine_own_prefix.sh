# Sourced by the Wine tests that need a prefix of their own: they install the driver, change
# drives or restart the Wine server, none of which may disturb the programs that other tests
# run in the shared prefix at the same time.
#   own_wine_prefix <win32 build dir> <prefix name> [win32|win64]
# Sets WINEPREFIX, WINEARCH and the test bed's environment, and removes the prefix again at
# exit. A win64 prefix runs the 32-bit programs through WOW64 and x86-64 drivers in Wine's
# 64-bit device host.

own_wine_prefix_cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}

own_wine_prefix() {
  export WINEPREFIX="$1/$2"
  # Explicit: with the 64-bit loader installed too, a new prefix would otherwise be 64-bit.
  export WINEARCH="${3:-win32}"
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8 TZ=Asia/Shanghai
  trap own_wine_prefix_cleanup EXIT
  own_wine_prefix_cleanup
  if [ "$WINEARCH" = win64 ]; then
    # The shared prefix is 32-bit, and a prefix keeps the architecture it was booted with (its
    # system32 holds the DLLs of that processor, and only a 64-bit one has syswow64), so a
    # 64-bit prefix is a copy of a booted 64-bit one kept in the build tree.
    own_wine_prefix_win64_template "$1"
    cp -a "$1/wineprefix64" "$WINEPREFIX"
  elif [ -f "$1/wineprefix/system.reg" ]; then
    # Start from a copy of the shared prefix when there is one: booting a new one takes seconds.
    cp -a "$1/wineprefix" "$WINEPREFIX"
  else
    wineboot -i >/dev/null 2>&1 || true
  fi
  wineserver -w
}

# Boots the 64-bit template once (about ten seconds), under a lock, since tests running at the
# same time may all want it. Its fonts are the links that the test bed gives the shared prefix
# (scripts/winebed.sh).
own_wine_prefix_win64_template() {
  (
    flock 9
    template="$1/wineprefix64"
    [ -f "$template/system.reg" ] && exit 0
    rm -rf "$template"
    export WINEPREFIX="$template" WINEARCH=win64
    wineboot -i >/dev/null 2>&1 || true
    # Windows open inside a virtual desktop, as in the shared prefix.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 1024x768 /f >/dev/null 2>&1
    wineserver -w
    mkdir -p "$template/drive_c/windows/Fonts"
    find "$1/wineprefix/drive_c/windows/Fonts" -type l -exec cp -a {} \
      "$template/drive_c/windows/Fonts/" \; 2>/dev/null || true
  ) 9>"$1/wineprefix64.lock"
}

# wine_clear_wow64_service_mark <service name>: a Wine quirk, not a notion of Windows. Wine gives
# a service created by a 32-bit program the value WOW64=1; when it cannot read the driver file's
# own binary type at the service's path, it goes by that mark and starts the driver in its
# 32-bit device host, which cannot load an x86-64 driver (the start fails with 1114). Windows
# loads every kernel driver into its one kernel and has no such mark. Tests call this after a
# first failed start in a win64 prefix and start again.
wine_clear_wow64_service_mark() {
  wine reg delete "HKLM\\System\\CurrentControlSet\\Services\\$1" /v WOW64 /f /reg:64 \
    >/dev/null 2>&1
}

# network_drive <letter> <dir>: the letter becomes a network drive showing the directory. Wine's
# mount manager reads its drives when it starts: restart the wine server afterwards.
network_drive() {
  ln -sfn "$2" "$WINEPREFIX/dosdevices/$1:"
  wine reg add 'HKLM\Software\Wine\Drives' /v "$1:" /d network /f /reg:64 >/dev/null 2>&1
}

# long_path_link <Windows folder> <its Unix directory> <file>: links the file under four folders
# of 100 characters in the folder and sets long_path to the link's Windows path (428 characters
# for a folder of 15), past MAX_PATH.
long_path_link() {
  long_path=$1
  long_dir=$2
  for part in a b c d; do
    name=$(printf "%0100d" 0 | tr 0 "$part")
    long_path="$long_path\\$name"
    long_dir="$long_dir/$name"
  done
  mkdir -p "$long_dir"
  ln "$3" "$long_dir/long.iso"
  long_path="$long_path\\long.iso"
}

# asks_for_administrator <exe>: true when its manifest asks for administrator rights and names
# Windows Vista, 7, 8, 8.1 and 10/11 as its systems.
asks_for_administrator() {
  for word in requireAdministrator e2011457-1546-43c5-a5fe-008deee3d3f0 \
    35138b9a-5d96-4fbd-8e2d-a2440225f93a 4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38 \
    1f676c76-80e1-4239-95bb-83d0f6d0da78 8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a; do
    grep -q "$word" "$1" || return 1
  done
}
