#!/usr/bin/env python3
"""The USB adapter benchmark: what a USB-serial adapter's latency timer costs
a load, and what lowering it mends.

Every frame of `l`, and of the player's ADPCM memory load, waits for its
one-byte reply, and an adapter holds the bytes bound for the computer until
62 of them wait or its latency timer has run out since the first of them (16
ms by default). So each frame waits out the timer. This runs, at --baud 115200
through the board emulator,

  l        the console: "c", "l SAMPLE" of 262144 bytes, "q"; timed from spawn to exit
  load     the player on a VGM whose one data block is the same 262144 bytes;
           timed from spawn to its "ADPCM memory: ... bytes loaded" line

on a plain line (no adapter), then with --latency-timer 16 (an adapter as it
comes) and --latency-timer 1 (lowered, as the console and the player ask of
the driver), and sets each time against the line's limit: the bytes of the
load's frames and replies from the emulator's frame log, at 10 bits a byte;
and against that limit with the whole timer added for each frame, which is
what a stop-and-wait client cannot go below on such an adapter. Every run's
sample memory must equal the sample byte for byte.

Standard library only. bench/latency.sh builds the programs and runs this.
"""


import argparse
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import time

from bench import Board, BenchError, machine  # the link benchmark's machine line and emulator

BAUD = 115200
SAMPLE_SIZE = 262144
TIMERS = (None, 16, 1)
# The frames of a load, and the identification before it: everything but
# register writes (which have no reply) counts against the line.
LOAD_OPCODES = {0x09, 0x0A, 0x10}  # OP_CACHE_WRITE, OP_CACHE_COMMIT, OP_IDENTIFY
RUN_LIMIT_SECONDS = 600


def vgm_with_block(payload):
    """A VGM 1.71 whose ADPCM memory is `payload` at address 0, then one write and 10 ms."""
    body = struct.pack("<II", SAMPLE_SIZE, 0) + payload
    data = b"\x67\x66\x81" + struct.pack("<I", len(body)) + body + b"\x56\x28\x00" + b"\x61" + struct.pack(
        "<H", 441) + b"\x66"
    header = bytearray(0x100)
    header[0:4] = b"Vgm "
    struct.pack_into("<I", header, 0x08, 0x171)
    struct.pack_into("<I", header, 0x34, 0x100 - 0x34)
    struct.pack_into("<I", header, 0x48, 7987200)
    out = header + data
    struct.pack_into("<I", out, 0x04, len(out) - 4)
    return bytes(out)


def load_frames(log):
    """The load's frames in the emulator's frame log, and their bytes on the line with their replies."""
    frames, total, counting = 0, 0, False
    with open(log) as f:
        for line in f:
            tag, *hexes = line.split()
            if tag == "rx":
                counting = int(hexes[0], 16) in LOAD_OPCODES
                frames += counting
            if counting and tag in ("rx", "tx"):
                total += len(hexes)
    return frames, total


def run_console(args, work, board):
    env = dict(os.environ, YM2608_COM3=board.port)
    with open(os.path.join(work, "commands.txt"), "w") as f:
        f.write("c\nl %s\nq\n" % args.sample)
    started = time.monotonic()
    with open(os.path.join(work, "commands.txt")) as stdin:
        result = subprocess.run([args.console], stdin=stdin, capture_output=True, env=env,
                                timeout=RUN_LIMIT_SECONDS)
    seconds = time.monotonic() - started
    out = result.stdout.decode("latin-1")
    if result.returncode != 0 or result.stderr or "idx:1:[0,%d]" % (SAMPLE_SIZE // 32) not in out:
        raise BenchError("the console's load failed: %r %r" % (out[-200:], result.stderr))
    return seconds


def run_player(args, work, board):
    started = time.monotonic()
    proc = subprocess.Popen([args.play, "--port", board.port, args.song], stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)
    loaded = None
    for line in proc.stdout:
        if b"ADPCM memory: %d bytes loaded" % SAMPLE_SIZE in line:
            loaded = time.monotonic() - started
    err = proc.stderr.read().decode()
    if proc.wait(timeout=RUN_LIMIT_SECONDS) != 0 or loaded is None or err:
        raise BenchError("the player's load failed: status %d, %r" % (proc.returncode, err))
    proc.stdout.close()
    proc.stderr.close()
    return loaded


def measure(args, work, client, timer):
    # One emulator at 115200 baud with the adapter's timer (or none), logging its frames.
    log = os.path.join(work, "frames.log")
    board = Board(argparse.Namespace(work=work, emu=args.emu), baud=BAUD, log=log,
                  extra=["--latency-timer", str(timer)] if timer else [])
    try:
        seconds = (run_console if client == "l" else run_player)(args, work, board)
    finally:
        memory, _ = board.stop()
    if memory != args.sample_bytes:
        raise BenchError("%s with timer %s left the sample memory different from the sample" % (client, timer))
    frames, wire = load_frames(log)
    return seconds, frames, wire * 10 / BAUD


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(here, "..", "build-bench"))
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    args.emu = os.path.join(build, "board_emu", "ym2608-board-emu")
    args.console = os.path.join(build, "ym2608-console")
    args.play = os.path.join(build, "play", "ym2608-play")
    work = tempfile.mkdtemp(prefix="ym2608-latency-bench-")
    try:
        for program in (args.emu, args.console, args.play):
            if not os.access(program, os.X_OK):
                raise BenchError("missing %s (run bench/latency.sh to build it)" % program)
        args.sample_bytes = random.Random(2608).randbytes(SAMPLE_SIZE)
        args.sample = os.path.join(work, "sample.bin")
        args.song = os.path.join(work, "sample.vgm")
        with open(args.sample, "wb") as f:
            f.write(args.sample_bytes)
        with open(args.song, "wb") as f:
            f.write(vgm_with_block(args.sample_bytes))
        print("machine: %s" % machine())
        print("--baud %d, a load of %d bytes: 4417 frames that wait for a reply (the identification, "
              "4384 cache writes, 32 commits)\n" % (BAUD, SAMPLE_SIZE))
        print("| | adapter | time | line's limit | of the line | limit with the timer | per frame over the line |")
        print("|---|---|---|---|---|---|---|")
        for client in ("l", "load"):
            for timer in TIMERS:
                seconds, frames, limit = measure(args, work, client, timer)
                floor = limit + frames * (timer or 0) / 1000
                print("| %s | %s | %.2f s | %.2f s | %.1f%% | %.2f s | %.2f ms |" % (
                    "console `l`" if client == "l" else "player's memory load",
                    "--latency-timer %d" % timer if timer else "none", seconds, limit, 100 * limit / seconds,
                    floor, (seconds - limit) / frames * 1000), flush=True)
        print("\nmachine at the end: %s" % machine())
    except BenchError as e:
        print("bench: %s (work directory kept: %s)" % (e, work), file=sys.stderr)
        return 1
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
