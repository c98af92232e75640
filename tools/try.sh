#!/usr/bin/env bash
# Try the console without hardware: builds the tool, the board emulator and
# the sample encoder, starts a fresh emulator (its verbose board lines go to
# the log named below, each playback from memory to a WAV file in the folder
# named below, and the whole session's sound to build/session.wav), and runs
# the console attached to it, from the repository's root so that
# examples/kick.bin and examples/data.bin can be named as they are. Quitting
# the console (q) stops the emulator.
#
#   tools/try.sh            board lines in build/board.log, playbacks in build/wav/
#   BOARD_LOG=FILE WAV_DIR=DIR SESSION_WAV=FILE tools/try.sh
#   RHYTHM_ROM=FILE tools/try.sh    the rhythm unit plays from your dump of the chip's rhythm memory
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

# The first build takes minutes; say so, rather than sit silent.
echo "try: building the console, the emulator and the encoder in build/ (the first time takes a few minutes)..." >&2
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc 2>/dev/null || echo 2)" --target ym2608-console ym2608-board-emu ym2608-adpcm \
  >/dev/null

log=${BOARD_LOG:-build/board.log}
wav_dir=${WAV_DIR:-build/wav}
session_wav=${SESSION_WAV:-build/session.wav}
rhythm=()
if [ -n "${RHYTHM_ROM:-}" ]; then
  rhythm=(--rhythm-rom "$RHYTHM_ROM")
fi
# Numbering starts at play-0001.wav on every run: clear the default folder of
# an earlier run's files so that what is there is this session's. A folder
# named by WAV_DIR is left as it is.
if [ -z "${WAV_DIR:-}" ]; then
  rm -f build/wav/play-[0-9]*.wav
fi
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
exec {board_out}< <(exec build/board_emu/ym2608-board-emu --verbose --wav-dir "$wav_dir" --wav "$session_wav" \
  "${rhythm[@]}" 2>"$log")
emu_pid=$!
if ! read -r -t 10 -u "$board_out" port; then
  echo "try.sh: the board emulator did not start; see $log" >&2
  exit 1
fi

echo "Board emulator on $port (pid $emu_pid); its frames are logged in $log."
echo "Each p writes what the chip would play to $wav_dir/play-0001.wav, play-0002.wav, ..."
echo "Everything the chip plays (FM, SSG, rhythm, ADPCM) goes to $session_wav."
echo "Type c to connect, then e.g.: l examples/kick.bin, p 1, o 2d 0f, ry 63, b, t examples/data.bin, q"
status=0
YM2608_COM3="$port" build/ym2608-console || status=$?
stop_board
exit "$status"
