#!/usr/bin/env bash
# The link benchmark in one command: builds the console, the board emulator and
# the floor client into build-bench (BENCH_BUILD=DIR for another), then runs
# bench/bench.py with any options given here, e.g.
#
#   bash bench/run.sh                     10 runs each, then 3 each at 115200 and 1000000 baud
#   bash bench/run.sh --runs 30 --baud 0  the bare terminal only
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BENCH_BUILD:-$root/build-bench}
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target ym2608-console ym2608-board-emu ym2608-bench-floor >/dev/null
exec python3 "$root/bench/bench.py" --build "$build" "$@"
