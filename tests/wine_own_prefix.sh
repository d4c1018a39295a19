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
