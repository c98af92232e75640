#!/usr/bin/env bash
# Try the console without hardware: builds the tool and the board emulator,
# starts a fresh emulator (its verbose board lines go to the log named below),
# and runs the console attached to it, from the repository's root so that
# examples/kick.bin and examples/data.bin can be named as they are. Quitting
# the console (q) stops the emulator.
#
#   tools/try.sh            board lines in build/board.log
#   BOARD_LOG=FILE tools/try.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target ym2608-console ym2608-board-emu >/dev/null

log=${BOARD_LOG:-build/board.log}
emu_pid=""
stop_board() {
  if [ -n "$emu_pid" ]; then
    kill -TERM "$emu_pid" 2>/dev/null || true
    wait "$emu_pid" 2>/dev/null || true
    emu_pid=""
  fi
}
trap stop_board EXIT
trap 'exit 130' INT TERM

# The emulator prints its terminal's path as its first line.
exec {board_out}< <(exec build/board_emu/ym2608-board-emu --verbose 2>"$log")
emu_pid=$!
if ! read -r -t 10 -u "$board_out" port; then
  echo "try.sh: the board emulator did not start; see $log" >&2
  exit 1
fi

echo "Board emulator on $port (pid $emu_pid); its frames are logged in $log."
echo "Type c to connect, then e.g.: l examples/kick.bin, p 1, o 2d 0f, ry 63, b, t examples/data.bin, q"
status=0
YM2608_COM3="$port" build/ym2608-console || status=$?
stop_board
exit "$status"
