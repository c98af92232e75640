#!/usr/bin/env bash
# Runs the Windows build of the console tool under Wine, with standard input
# and output passed through, as a stand-in for ym2608-console in the
# end-to-end tests:
#   YM2608_COM3=/dev/pts/5 tools/wine-console.sh
#
# COM3 and COM4 are the devices named by YM2608_COM3 and YM2608_COM4, mapped
# by the symlinks $WINEPREFIX/dosdevices/com3 and com4 (only the symlinks: a
# port entry in Wine's registry would override them when Wine starts). An
# unset or empty variable leaves that port absent. Relative paths are taken
# from the current folder.
#
# The Wine prefix is made once, headless, the first time it is needed, under
# a lock so that parallel runs wait for it instead of making it twice; every
# later run reuses it.
#   tools/wine-console.sh --init   makes the prefix (if missing) and starts
#                                  its Wine server, kept for the runs to come
#   tools/wine-console.sh --stop   stops the prefix's Wine server
#
# Environment: YM2608_WINE_EXE, the .exe (default build-mingw/ym2608-console.exe);
# WINEPREFIX (default build-mingw/wineprefix); YM2608_WINE, the Wine loader
# (default /usr/lib/wine/wine64).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
exe=${YM2608_WINE_EXE:-$root/build-mingw/ym2608-console.exe}
wine=${YM2608_WINE:-/usr/lib/wine/wine64}
wineserver=$(dirname "$wine")/wineserver
export WINEPREFIX=${WINEPREFIX:-$root/build-mingw/wineprefix}
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEDEBUG=-all
export WINEARCH=win64
# Headless: no display, so Wine shows no windows and needs no X server.
unset DISPLAY WAYLAND_DISPLAY

# Seconds the Wine server stays up after its last program has ended: the
# console runs of a test suite follow one another far more closely.
SERVER_KEEP=30

init_prefix() {
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -e "$WINEPREFIX/.ym2608-ready" ]; then
    rm -rf "$WINEPREFIX"
    "$wine" wineboot --init </dev/null >/dev/null 2>&1 || true
    "$wineserver" --wait
    [ -d "$WINEPREFIX/dosdevices" ] || { echo "wine-console.sh: could not make $WINEPREFIX" >&2; exit 1; }
    touch "$WINEPREFIX/.ym2608-ready"
  fi
  exec 9>&-
}

# Points dosdevices/NAME at the device named by the variable, or removes it.
map_port() {
  local link=$WINEPREFIX/dosdevices/$1 target=$2
  if [ -z "$target" ]; then
    rm -f "$link"
    return
  fi
  case $target in
    /*) ;;
    *) target=$PWD/$target ;;
  esac
  # Replaced in one step: a console starting meanwhile sees the old or the new link.
  ln -sfn "$target" "$link.new.$$"
  mv -Tf "$link.new.$$" "$link"
}

case ${1:-} in
  --init)
    init_prefix
    "$wineserver" -p"$SERVER_KEEP" 2>/dev/null || true
    exit 0
    ;;
  --stop)
    [ -d "$WINEPREFIX" ] && "$wineserver" -k 2>/dev/null || true
    exit 0
    ;;
esac

[ -e "$WINEPREFIX/.ym2608-ready" ] || init_prefix
map_port com3 "${YM2608_COM3:-}"
map_port com4 "${YM2608_COM4:-}"
exec "$wine" "$exe" "$@"
