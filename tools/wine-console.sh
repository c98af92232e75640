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
#   tools/wine-console.sh --init   makes the prefix (if missing) and keeps a
#                                  Wine session up for the runs to come
#   tools/wine-console.sh --stop   ends that session
# The kept session matters: the first program of a session starts Wine's own
# services, which inherit its standard output and hold the pipe open until
# the session ends, seconds after the program itself; a test that waits for
# the console's output to end would wait for them too. A session started by
# --init has them write to /dev/null instead. It ends by itself after
# SESSION_LIFE seconds if --stop never comes.
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

SESSION_LIFE=900
keeper=$WINEPREFIX.session

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

# A Windows program that waits for a line on a FIFO holds the session; the
# writer at the FIFO's other end, a plain sleep, bounds its life.
start_session() {
  stop_session
  rm -f "$keeper.fifo"
  mkfifo "$keeper.fifo"
  sleep "$SESSION_LIFE" </dev/null >"$keeper.fifo" 2>/dev/null &
  echo $! >"$keeper.pid"
  "$wine" cmd.exe /c "set /p wait=" <"$keeper.fifo" >/dev/null 2>&1 &
  # Returns once the session's services run.
  "$wine" cmd.exe /c exit </dev/null >/dev/null 2>&1
}

stop_session() {
  if [ -f "$keeper.pid" ]; then
    kill "$(cat "$keeper.pid")" 2>/dev/null || true
    rm -f "$keeper.pid"
  fi
  rm -f "$keeper.fifo"
  if [ -d "$WINEPREFIX" ]; then
    "$wineserver" -k 2>/dev/null || true
  fi
}

case ${1:-} in
  --init)
    init_prefix
    start_session
    exit 0
    ;;
  --stop)
    stop_session
    exit 0
    ;;
esac

[ -e "$WINEPREFIX/.ym2608-ready" ] || init_prefix
map_port com3 "${YM2608_COM3:-}"
map_port com4 "${YM2608_COM4:-}"
exec "$wine" "$exe" "$@"
