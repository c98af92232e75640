#!/usr/bin/env bash
# The player benchmark in one command: builds the player and the board
# emulator into build-bench (BENCH_BUILD=DIR for another), then plays the
# real logs of ../shared/vgm (or the files given) at 115200 baud with and
# without dropping: about twice the songs' length.
#   bench/play.sh --wine [options] [FILE...]
# also cross-builds ym2608-play.exe into build-mingw (with mingw-w64; see
# windows/README.md) and plays each log with it under Wine as well, in rows
# beside the Linux rows of the same run: twice as long again.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target ym2608-play ym2608-board-emu >/dev/null
wine=()
if [ "${1:-}" = --wine ]; then
  shift
  [ -f "$root/build-mingw/CMakeCache.txt" ] ||
    cmake -S "$root" -B "$root/build-mingw" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$root/build-mingw" -j2 --target ym2608-play >/dev/null
  wine=(--wine "$root/build-mingw/play/ym2608-play.exe" --wineprefix "$build/wineprefix")
fi
exec python3 "$root/bench/play_bench.py" --build "$build" "${wine[@]}" "$@"
