#!/usr/bin/env bash
# The USB adapter benchmark in one command: builds the console, the player and
# the board emulator into build-bench (BENCH_BUILD=DIR for another), then runs
# bench/latency_bench.py: a 256 KiB `l` and the player's memory load of the
# same bytes at 115200 baud, with no adapter and with the adapter's latency
# timer at 16 ms and at 1 ms. About 6 minutes.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target ym2608-console ym2608-play ym2608-board-emu >/dev/null
exec python3 "$root/bench/latency_bench.py" --build "$build" "$@"
