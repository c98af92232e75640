#!/usr/bin/env python3
"""The player benchmark: how close ym2608-play comes to the line's own limit.

For each music log it starts a board emulator at --baud 115200 (bytes taken
off the terminal no faster than the line delivers them, each register write
logged with its arrival time) and plays the log with ym2608-play, once with
dropping and once with --no-drop. Each write's due time comes from the
player's own schedule (`ym2608-play --stats --list`), and each run's writes
must match it write for write. Per run it reports:

  lateness   each write's arrival minus its due time (median, 99th percentile)
  ideal      the same for the line-limited ideal, computed from the log alone:
             each write of the undropped stream leaves at its due time or as
             soon as the line is free, 3 bytes of 10 bits
  length     first write to the silence that follows the song's end, against
             the log's length
  CPU        the player's user + system time over its run

The emulator's clock starts at the session's first byte, the player's at the
start of the music, and no clock is shared: a run's due times are placed on
the emulator's clock so that its writes, against the line-limited ideal of
what it sent, are on time or late, the best 1% of them exactly on time. (Not
the single best: an emulator that was kept off the processor and catches up
can stamp a write before it could have left, and that one write would shift
the whole run.)

With --wine EXE, each log is played the same ways by the Windows build of
the player (ym2608-play.exe) under Wine as well, through Wine's COM3 mapped
to the same kind of emulator (tools/wine-console.sh), and its rows follow
the Linux rows of the same run. Wine is not Windows: its timers, its serial
port (a Unix terminal behind Wine's COM port) and its scheduling are Wine's
own on Linux, so those rows say how the Windows program behaves there, not
what a Windows machine would measure. Its CPU is the Wine process's alone
(the program and Wine's own code in it), without the wineserver's.

Standard library only. bench/play.sh builds the programs and runs this.
"""

import argparse
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time

BAUD = 115200
FRAME_US = 3 * 10 * 1e6 / BAUD
SILENCE_WRITES = 11


def quantile(values, q):
    ordered = sorted(values)
    rank = max(1, min(len(ordered), int(-(-q * len(ordered) // 1))))
    return ordered[rank - 1]


def schedule(play, path, loops, dropping):
    """(due_us, register, value, sent) for every write of the play, and the
    play's length in microseconds, from --stats --list."""
    args = [play, "--stats", "--list", "--baud", str(BAUD), "--loops", str(loops)]
    if not dropping:
        args.append("--no-drop")
    out = subprocess.run(args + [path], capture_output=True, text=True, check=True).stdout
    writes = []
    length = None
    for line in out.splitlines():
        fields = line.split()
        if len(fields) == 4 and fields[3] in ("send", "drop"):
            writes.append((int(fields[0]), int(fields[1], 16), int(fields[2], 16), fields[3] == "send"))
        elif len(fields) == 2 and fields[1] == "end":
            length = int(fields[0])
    if length is None:
        raise RuntimeError("no length in --stats --list")
    return writes, length


def ideal_arrivals(writes):
    """When each of `writes` reaches the board on a line that carries them
    back to back from their due times, in microseconds of song time."""
    free = 0.0
    arrivals = []
    for due, _, _, _ in writes:
        free = max(due, free) + FRAME_US
        arrivals.append(free)
    return arrivals


def ideal_lateness(writes):
    """The line-limited ideal's lateness over `writes`, in microseconds."""
    return [arrival - w[0] for arrival, w in zip(ideal_arrivals(writes), writes)]


def boost_prefix(args):
    """On a machine shared with other work, the emulator and the player run
    above it (as root), so that the figures are the player's and the line's,
    not the machine's load."""
    if args.realtime:
        return ["chrt", "--fifo", str(args.realtime)]
    return ["nice", "-n", str(-args.priority)] if args.priority else []


def player_command(args, terminal, wine):
    """The player's command line on `terminal`, and its environment."""
    if not wine:
        return [args.play, "--port", terminal], None
    env = dict(os.environ, YM2608_WINE_EXE=args.wine, WINEPREFIX=args.wineprefix, YM2608_COM3=terminal,
               YM2608_COM4="")
    return [args.wine_runner], env


def play_once(args, path, dropping, loops, work, wine=False):
    """One emulator, one play; returns the arrivals, the player's CPU seconds and wall seconds."""
    writes_log = os.path.join(work, "writes.log")
    boost = boost_prefix(args)
    emu = subprocess.Popen(boost + [args.emu, "--baud", str(BAUD), "--log-writes", writes_log],
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    try:
        terminal = emu.stdout.readline().decode().strip()
        command, env = player_command(args, terminal, wine)
        argv = command + ["--loops", str(loops)] + ([] if dropping else ["--no-drop"])
        start = time.monotonic()
        proc = subprocess.Popen(boost + argv + [path], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - start
        err = proc.stderr.read().decode()
        proc.stderr.close()
        if status != 0:
            raise RuntimeError("ym2608-play failed on %s: %s" % (path, err))
    finally:
        emu.terminate()
        emu.wait()
        emu.stdout.close()
    arrivals = []
    with open(writes_log) as f:
        for line in f:
            us, bank, reg, value = line.split()
            arrivals.append((int(us), int(bank) * 0x100 + int(reg, 16), int(value, 16)))
    return arrivals, usage.ru_utime + usage.ru_stime, wall


def measure(args, path, dropping, work, wine=False):
    planned, song_length = schedule(args.play, path, args.loops, dropping)
    sent = [w for w in planned if w[3]]
    arrivals, cpu, wall = play_once(args, path, dropping, args.loops, work, wine)
    music, silence = arrivals[:-SILENCE_WRITES], arrivals[-SILENCE_WRITES:]
    if [(r, v) for _, r, v in music] != [(r, v) for _, r, v, _ in sent]:
        raise RuntimeError("%s: the writes received differ from the schedule" % path)
    origin = quantile([arrival - ideal for (arrival, _, _), ideal in zip(music, ideal_arrivals(sent))], 0.01)
    late = [arrival - (origin + due) for (arrival, _, _), (due, _, _, _) in zip(music, sent)]
    length = silence[0][0] - origin
    if args.series:
        name = "%s-%s%s.txt" % (os.path.basename(path), "drop" if dropping else "nodrop", "-wine" if wine else "")
        with open(os.path.join(args.series, name), "w") as f:
            for (due, _, _, _), lateness in zip(sent, late):
                f.write("%d %.0f\n" % (due, lateness))
    return {
        "writes": len(planned), "sent": len(sent),
        "median": statistics.median(late), "p99": quantile(late, 0.99),
        "length_error": (length - song_length) / song_length,
        "cpu": cpu / wall, "wall": wall, "planned": planned,
    }


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=os.path.join(root, "build-bench"))
    parser.add_argument("--logs", default=os.path.join(os.path.dirname(root), "shared", "vgm"))
    parser.add_argument("--loops", type=int, default=1)
    parser.add_argument("--priority", type=int, default=10 if os.geteuid() == 0 else 0,
                        help="run the emulator and the player this much above other work (nice -N; "
                             "default 10 as root, else 0)")
    parser.add_argument("--realtime", type=int, default=0,
                        help="run the emulator and the player at this real-time priority (chrt --fifo N, as "
                             "root) instead: what a machine with nothing else to run would give")
    parser.add_argument("--series", help="write each run's due times and lateness (microseconds) into this folder")
    parser.add_argument("--wine", help="ym2608-play.exe: play each log under Wine as well, in rows of its own")
    parser.add_argument("--wineprefix", default=os.path.join(root, "build-bench", "wineprefix"),
                        help="the Wine prefix for --wine (made on first use)")
    parser.add_argument("files", nargs="*", help="logs to play (default: the .vgm files in --logs)")
    args = parser.parse_args()
    args.play = os.path.join(args.build, "play", "ym2608-play")
    args.emu = os.path.join(args.build, "board_emu", "ym2608-board-emu")
    args.wine_runner = os.path.join(root, "tools", "wine-console.sh")
    args.wineprefix = os.path.abspath(args.wineprefix)  # Wine takes no relative prefix
    args.wine = args.wine and os.path.abspath(args.wine)
    files = args.files or sorted(os.path.join(args.logs, f) for f in os.listdir(args.logs) if f.endswith(".vgm"))
    print("machine: %d cores, %s, Linux %s, Python %s, load %.1f" % (
        os.cpu_count(), platform.processor() or platform.machine(), platform.release(),
        platform.python_version(), os.getloadavg()[0]))
    if args.realtime:
        print("the emulator and the player at real-time priority %d (chrt --fifo)" % args.realtime)
    else:
        print("the emulator and the player at nice -%d" % args.priority)
    if args.wine:
        print("and ym2608-play.exe under Wine (%s), the rows marked Wine: Wine is not Windows" % wine_version())
        wine_session(args, "--init")
    print("| log | writes | sent | ideal median / p99 | no drop: median / p99 | drop: median / p99 | length | CPU |")
    print("|---|---|---|---|---|---|---|---|")
    try:
        with tempfile.TemporaryDirectory(prefix="ym2608-play-bench-") as work:
            for path in files:
                for wine in (False, True) if args.wine else (False,):
                    print_row(args, path, work, wine)
    finally:
        if args.wine:
            wine_session(args, "--stop")
    print("load at the end %.1f" % os.getloadavg()[0])


def wine_version():
    try:
        return subprocess.run(["/usr/lib/wine/wine64", "--version"], capture_output=True, text=True).stdout.strip()
    except OSError:
        return "version unknown"


def wine_session(args, step):
    """Makes the Wine prefix and keeps a session up (--init), or ends it
    (--stop). The session's wineserver, which keeps Wine's timers, runs as
    high as the player."""
    env = dict(os.environ, WINEPREFIX=args.wineprefix, YM2608_WINE_EXE=args.wine)
    subprocess.run(boost_prefix(args) + [args.wine_runner, step], env=env, check=True, stdout=subprocess.DEVNULL)


def print_row(args, path, work, wine):
    every = measure(args, path, False, work, wine)
    dropped = measure(args, path, True, work, wine)
    ideal = ideal_lateness(every["planned"])
    print("| %s%s | %d | %d | %.2f / %.2f ms | %.2f / %.2f ms | %.2f / %.2f ms | %+.3f%% / %+.3f%% | "
          "%.1f%% / %.1f%% |" % (
              os.path.basename(path), " (Wine)" if wine else "", every["writes"], dropped["sent"],
              statistics.median(ideal) / 1000, quantile(ideal, 0.99) / 1000,
              every["median"] / 1000, every["p99"] / 1000, dropped["median"] / 1000, dropped["p99"] / 1000,
              100 * every["length_error"], 100 * dropped["length_error"],
              100 * every["cpu"], 100 * dropped["cpu"]))
    sys.stdout.flush()


if __name__ == "__main__":
    main()
