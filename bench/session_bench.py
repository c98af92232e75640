#!/usr/bin/env python3
"""What the session WAV costs the emulator: reply delays and CPU with and without --wav.

Runs the board emulator twice for the same session, once plain and once with
--wav: a client keeps all six FM channels and the three SSG tones playing (a
new note on every channel each eighth of a second) and, between the notes,
sends identify frames back to back, timing each round trip. Prints, per run,
the round trips' median, 99th percentile and worst, and the emulator's CPU
time (user + system) per second of session, and the render worker's share of
it: the session's length over that is the render speed as a multiple of real
time.

    python3 bench/session_bench.py [--emu build/board_emu/ym2608-board-emu] [--seconds 20]
"""

import argparse
import os
import select
import signal
import statistics
import subprocess
import tempfile
import time

TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid, tid=None):
    path = "/proc/%d/stat" % pid if tid is None else "/proc/%d/task/%d/stat" % (pid, tid)
    with open(path) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def worker_seconds(pid):
    """CPU time of every thread but the serving loop's (the process's first)."""
    return sum(cpu_seconds(pid, int(tid)) for tid in os.listdir("/proc/%d/task" % pid) if int(tid) != pid)


def writes_for_note(step):
    """Frames for one new note on every FM channel and SSG tone."""
    frames = []
    for ch in range(6):
        bank, c = (0x13, ch) if ch < 3 else (0x14, ch - 3)
        fnum = 0x26A + 40 * ((step + ch) % 12)
        frames.append(bytes([0x13, 0x28, (ch // 3) << 2 | c]))  # key off
        frames.append(bytes([bank, 0xA4 + c, 4 << 3 | fnum >> 8]))
        frames.append(bytes([bank, 0xA0 + c, fnum & 0xFF]))
        frames.append(bytes([0x13, 0x28, 0xF0 | (ch // 3) << 2 | c]))  # key on
    for t in range(3):
        period = 200 + 30 * ((step + t) % 10)
        frames.append(bytes([0x13, 2 * t, period & 0xFF]))
        frames.append(bytes([0x13, 2 * t + 1, period >> 8]))
    return b"".join(frames)


def set_up():
    frames = [bytes([0x13, 0x29, 0x80]), bytes([0x13, 0x07, 0x38])]
    for t in range(3):
        frames.append(bytes([0x13, 0x08 + t, 0x0C]))
    for ch in range(6):
        bank, c = (0x13, ch) if ch < 3 else (0x14, ch - 3)
        frames.append(bytes([bank, 0xB0 + c, 0x38 | (ch % 8)]))
        frames.append(bytes([bank, 0xB4 + c, 0xC0]))
        for op in range(4):
            o = 4 * op + c
            for reg, value in ((0x30, 0x01 + op), (0x40, 0x10 + 6 * op), (0x50, 0x1C), (0x60, 0x08),
                               (0x70, 0x04), (0x80, 0x47)):
                frames.append(bytes([bank, reg + o, value]))
    return b"".join(frames)


def run(emu, seconds, wav):
    args = [emu]
    if wav is not None:
        args += ["--wav", wav]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE)
    path = proc.stdout.readline().decode().strip()
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    os.write(fd, set_up())
    trips = []
    started = time.monotonic()
    step = 0
    next_note = started
    while time.monotonic() - started < seconds:
        now = time.monotonic()
        if now >= next_note:
            os.write(fd, writes_for_note(step))
            step += 1
            next_note += 0.125
        sent = time.monotonic()
        os.write(fd, b"\x10")
        got = b""
        while len(got) < 4:
            ready, _, _ = select.select([fd], [], [], 5)
            if not ready:
                raise SystemExit("no reply to identify")
            got += os.read(fd, 4 - len(got))
        trips.append(time.monotonic() - sent)
    elapsed = time.monotonic() - started
    cpu = cpu_seconds(proc.pid)
    worker = worker_seconds(proc.pid)
    os.close(fd)
    proc.send_signal(signal.SIGTERM)
    if proc.wait(timeout=60) != 0:
        raise SystemExit("the emulator failed")
    trips.sort()
    return {
        "trips": len(trips),
        "median": statistics.median(trips) * 1e3,
        "p99": trips[int(len(trips) * 0.99)] * 1e3,
        "worst": trips[-1] * 1e3,
        "cpu": cpu / elapsed,
        "worker": worker / elapsed,
        "elapsed": elapsed,
    }


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser()
    parser.add_argument("--emu", default=os.path.join(here, "..", "build", "board_emu", "ym2608-board-emu"))
    parser.add_argument("--seconds", type=float, default=20)
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        plain = run(options.emu, options.seconds, None)
        wav = run(options.emu, options.seconds, os.path.join(tmp, "session.wav"))
        size = os.path.getsize(os.path.join(tmp, "session.wav"))
    print("| | round trips | median | p99 | worst | emulator CPU per second of session |")
    print("|---|---|---|---|---|---|")
    for name, r in (("plain", plain), ("--wav", wav)):
        print("| %s | %d | %.3f ms | %.3f ms | %.3f ms | %.1f ms |" % (
            name, r["trips"], r["median"], r["p99"], r["worst"], r["cpu"] * 1e3))
    render = wav["worker"]
    print("rendering (the worker thread): %.1f ms of CPU per second of chip output, %.0fx real time; "
          "WAV %d bytes for %.1f s" % (render * 1e3, 1 / render if render > 0 else float("inf"), size,
                                       wav["elapsed"]))


if __name__ == "__main__":
    main()
