#!/usr/bin/env bash
# The player benchmark in one command: builds the player and the board
# emulator into build-bench (BENCH_BUILD=DIR for another), then plays the
# real logs of ../shared/vgm (or the files given) at 115200 baud with and
# without dropping: about twice the songs' length.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target ym2608-play ym2608-board-emu >/dev/null
exec python3 "$root/bench/play_bench.py" --build "$build" "$@"
