#!/usr/bin/python3
"""The render's speed: how many times faster than real time
`ym2608-play --render` turns a song into a WAV, on one core.

    bench/render_bench.py [--build DIR] [--against DIR] [--runs N] [--loops N] [LOG...]

Without LOG it renders our own six-channel tune (tools/make-vgm-tune.py: FM
on all six channels, an SSG square and noise hi-hats, the ADPCM bass drum),
looped --loops times. Each song is rendered --runs times at the chip's own
rate and at 44100 Hz; the figure is the song's length over the CPU time the
render took (user and system, from the process's own accounting, so that
other work on the machine slows it as little as it can), best and median of
the runs. With --against, a second build's player renders the same songs
in turn with the first's, run for run, so that both meet the same load on a
shared machine; the figure to read then is the ratio of the two, each run's
own (this build's speed over the other's) and the median of them. A figure
to read, not a test.
"""

import argparse
import os
import platform
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import wave

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def looped_tune(path, work):
    """Our tune, with its loop point at its start."""
    plain = os.path.join(work, "tune-once.vgm")
    subprocess.run([sys.executable, os.path.join(ROOT, "tools", "make-vgm-tune.py"), plain], check=True)
    data = bytearray(open(plain, "rb").read())
    start = 0x34 + struct.unpack_from("<I", data, 0x34)[0]
    struct.pack_into("<I", data, 0x1C, start - 0x1C)
    struct.pack_into("<I", data, 0x20, struct.unpack_from("<I", data, 0x18)[0])
    with open(path, "wb") as f:
        f.write(data)


def render_once(player, log, wav, rate, loops):
    """CPU seconds of one render, and the WAV's length in seconds."""
    args = [player, "--render", wav, "--loops", str(loops)] + (["--wav-rate", str(rate)] if rate else []) + [log]
    proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    err = proc.stderr.read().decode()
    proc.stderr.close()
    if status != 0:
        sys.exit("render_bench.py: %s failed: %s" % (" ".join(args), err.strip()))
    with wave.open(wav, "rb") as w:
        seconds = w.getnframes() / w.getframerate()
    return usage.ru_utime + usage.ru_stime, seconds


def machine():
    model = "unknown processor"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    return "%s, %d cores, Linux %s, load average %.2f" % (model, os.cpu_count() or 0, platform.release(),
                                                       os.getloadavg()[0])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("logs", nargs="*", help="logs to render instead of our tune")
    parser.add_argument("--build", default=os.path.join(ROOT, "build"), help="the build folder")
    parser.add_argument("--against", help="another build folder to time run for run beside this one")
    parser.add_argument("--runs", type=int, default=5, help="renders of each song at each rate (5)")
    parser.add_argument("--loops", type=int, default=20, help="plays of the looped part (20)")
    options = parser.parse_args()
    players = [("", os.path.join(options.build, "play", "ym2608-play"))]
    if options.against:
        players = [("this build, ", players[0][1]),
                   ("the other, ", os.path.join(options.against, "play", "ym2608-play"))]
    print("machine: %s" % machine())
    with tempfile.TemporaryDirectory(prefix="render-bench-") as work:
        logs = options.logs
        if not logs:
            tune = os.path.join(work, "tune.vgm")
            looped_tune(tune, work)
            logs = [tune]
        wav = os.path.join(work, "out.wav")
        for log in logs:
            for rate in (0, 44100):
                ratios = {}
                for _ in range(options.runs):
                    for name, player in players:
                        cpu, seconds = render_once(player, log, wav, rate, options.loops)
                        ratios.setdefault(name, []).append(seconds / cpu)
                where = "%s at %s" % (os.path.basename(log), "%d Hz" % rate if rate else "the chip's rate")
                for name, _ in players:
                    print("%s%s: %.1f s of sound, %.0fx real time at best, %.0fx median (%d runs)" % (
                        name, where, seconds, max(ratios[name]), statistics.median(ratios[name]), options.runs))
                if len(players) == 2:
                    each = [a / b for a, b in zip(ratios[players[0][0]], ratios[players[1][0]])]
                    print("  this build over the other: %s; median %.2fx" % (
                        ", ".join("%.2f" % r for r in each), statistics.median(each)))
    print("load average at the end: %.2f" % os.getloadavg()[0])


if __name__ == "__main__":
    main()
