# Sourced by the Wine tests that need a prefix of their own: they install the driver, change
# drives or restart the Wine server, none of which may disturb the programs that other tests
# run in the shared prefix at the same time.
#   own_wine_prefix <win32 build dir> <prefix name>
# Sets WINEPREFIX and the test bed's environment, and removes the prefix again at exit.

own_wine_prefix_cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}

own_wine_prefix() {
  export WINEPREFIX="$1/$2"
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" LC_ALL=zh_CN.UTF-8 TZ=Asia/Shanghai
  trap own_wine_prefix_cleanup EXIT
  own_wine_prefix_cleanup
  # Start from a copy of the shared prefix when there is one: booting a new one takes seconds.
  if [ -f "$1/wineprefix/system.reg" ]; then
    cp -a "$1/wineprefix" "$WINEPREFIX"
  else
    wineboot -i >/dev/null 2>&1 || true
  fi
  wineserver -w
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
