#!/usr/bin/env python3
"""The link benchmark: how close the console comes to the floor of stop-and-wait.

Each client loads a 262144-byte sample (32 cache pages: 4384 cache writes and
32 commits) and then sends a 32768-byte data file (stop, wp reset, 546 stream
frames, start) through a fresh board emulator on a pseudo-terminal:

  tool    build/ym2608-console, driven by "c", "l SAMPLE", "t DATA", "q"
  floor   ym2608-bench-floor: the same frames, one write and one read each
  script  bench/script_client.py: what a user might script in Python 3

The clients alternate round by round (the order rotates), so that whatever else
the machine is doing falls on all of them alike. Every run leaves the
emulator's sample memory and stream buffer dumped and checked against the
files; one logged run of each checks that the three put the very same frames
and replies on the line. Then the same at --baud 115200 and 1000000 against the
line's limit (every frame and reply byte at 10 bits), and the tool's system
calls per frame under strace.

Standard library only. bench/run.sh builds the programs and runs this.
"""

import argparse
import hashlib
import os
import platform
import random
import re
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))

SAMPLE_SIZE = 262144
DATA_SIZE = 32768
STREAM_SIZE = 32704  # the data file less its last 64 bytes
CLIENTS = ("tool", "floor", "script")
RUN_LIMIT_SECONDS = 600


class BenchError(Exception):
    pass


class Setup:
    def __init__(self, build, work, emu=None):
        self.emu = emu or os.path.join(build, "board_emu", "ym2608-board-emu")
        self.tool = os.path.join(build, "ym2608-console")
        self.floor = os.path.join(build, "bench", "ym2608-bench-floor")
        self.script = os.path.join(HERE, "script_client.py")
        for program in (self.emu, self.tool, self.floor):
            if not os.access(program, os.X_OK):
                raise BenchError("missing %s (run bench/run.sh to build it)" % program)
        self.work = work
        # Random bytes, the same every run: nothing in them is special to the
        # board, and no run of zeros hides a byte that went missing.
        rng = random.Random(2608)
        self.sample = rng.randbytes(SAMPLE_SIZE)
        self.data = rng.randbytes(DATA_SIZE)
        self.sample_path = os.path.join(work, "sample.bin")
        self.data_path = os.path.join(work, "data.bin")
        with open(self.sample_path, "wb") as f:
            f.write(self.sample)
        with open(self.data_path, "wb") as f:
            f.write(self.data)
        self.commands = os.path.join(work, "commands.txt")
        with open(self.commands, "w") as f:
            f.write("c\nl %s\nt %s\nq\n" % (self.sample_path, self.data_path))

    def argv(self, client):
        if client == "tool":
            return [self.tool]
        if client == "floor":
            return [self.floor, self.sample_path, self.data_path]
        return [sys.executable, self.script, self.sample_path, self.data_path]


class Board:
    """A fresh emulator for one run; stop() returns its dumps."""

    def __init__(self, setup, baud=None, log=None, extra=()):
        self.memory = os.path.join(setup.work, "memory.dump")
        self.stream = os.path.join(setup.work, "stream.dump")
        argv = [setup.emu, "--dump-memory", self.memory, "--dump-stream", self.stream]
        if baud:
            argv += ["--baud", str(baud)]
        if log:
            argv += ["--log", log]
        argv += list(extra)
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.port = self.process.stdout.readline().decode().strip()
        if not self.port.startswith("/"):
            self.process.kill()
            raise BenchError("the emulator did not start")

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        if self.process.wait(timeout=30) != 0:
            raise BenchError("the emulator exited with status %d" % self.process.returncode)
        self.process.stdout.close()
        with open(self.memory, "rb") as f:
            memory = f.read()
        with open(self.stream, "rb") as f:
            stream = f.read()
        return memory, stream


def spawn_timed(argv, env, stdin, stdout, stderr):
    """Runs argv to its exit; (seconds from spawn to exit, cpu seconds, status)."""
    actions = [
        (os.POSIX_SPAWN_OPEN, 0, stdin, os.O_RDONLY, 0),
        (os.POSIX_SPAWN_OPEN, 1, stdout, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
        (os.POSIX_SPAWN_OPEN, 2, stderr, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
    ]
    start = time.perf_counter_ns()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
    # A client that hangs on a lost reply must end the benchmark, not stall it.
    watchdog = threading.Timer(RUN_LIMIT_SECONDS, os.kill, (pid, signal.SIGKILL))
    watchdog.start()
    _, status, usage = os.wait4(pid, 0)
    end = time.perf_counter_ns()
    watchdog.cancel()
    return (end - start) / 1e9, usage.ru_utime + usage.ru_stime, os.waitstatus_to_exitcode(status)


def check_tool_output(text):
    expected = [
        "connect..ok\nWelcome to YM2608!\nReady\n",
        "] -> [0,%d]\n" % SAMPLE_SIZE,
        "(%6d/%6d) 100%% [oooooooooo]\nidx:1:[0,%d]\n" % (SAMPLE_SIZE, SAMPLE_SIZE, SAMPLE_SIZE // 32),
        "(%6d/%6d) 100%% [oooooooooo]\n>exit!\n" % (STREAM_SIZE, STREAM_SIZE),
    ]
    for piece in expected:
        if piece not in text:
            raise BenchError("the tool's output lacks %r" % piece)
    if "error" in text:
        raise BenchError("the tool reported an error")


def run_client(setup, client, baud=None, log=None, wrap=None):
    """One client against a fresh emulator: (seconds, cpu seconds)."""
    board = Board(setup, baud, log)
    env = dict(os.environ, YM2608_COM3=board.port)
    out = os.path.join(setup.work, "out.txt")
    err = os.path.join(setup.work, "err.txt")
    argv = (wrap or []) + setup.argv(client)
    try:
        seconds, cpu, status = spawn_timed(argv, env, setup.commands if client == "tool" else os.devnull,
                                           out, err)
    finally:
        memory, stream = board.stop()
    with open(out) as f:
        text = f.read()
    with open(err) as f:
        errors = f.read()
    if status != 0 or (errors and not wrap):
        raise BenchError("%s exited with status %d: %s" % (client, status, errors.strip()))
    if client == "tool":
        check_tool_output(text)
    # The sample fills the chip's memory exactly; the stream holds the data
    # file less its tail. Any lost, doubled or shifted byte shows here.
    if memory != setup.sample:
        raise BenchError("%s left the sample memory different from the sample file" % client)
    if stream != setup.data[:STREAM_SIZE]:
        raise BenchError("%s left the stream buffer different from the data file" % client)
    return seconds, cpu


def check_same_frames(setup):
    """One logged run each: the three must put identical frames and replies on
    the line. Returns (frames, bytes on the line) from the log."""
    logs = {}
    for client in CLIENTS:
        path = os.path.join(setup.work, "frames-%s.log" % client)
        run_client(setup, client, log=path)
        with open(path) as f:
            logs[client] = f.read()
    for client in CLIENTS[1:]:
        if logs[client] != logs["tool"]:
            raise BenchError("%s's frames differ from the tool's (see %s)" % (client, setup.work))
    lines = logs["tool"].splitlines()
    frames = sum(1 for line in lines if line.startswith("rx "))
    wire = sum(len(line.split()) - 1 for line in lines if line.startswith(("rx ", "tx ")))
    bad = [line for line in lines if not line.startswith(("rx ", "tx "))]
    if bad:
        raise BenchError("unexpected frame log line %r" % bad[0])
    replies = [line for line in lines if line.startswith("tx ")]
    if any(line != "tx 01" for line in replies[1:]):
        raise BenchError("a frame was answered with other than STATUS_OK")
    return frames, wire


def alternate(setup, rounds, baud=None):
    times = {c: [] for c in CLIENTS}
    cpus = {c: [] for c in CLIENTS}
    for i in range(rounds):
        k = i % len(CLIENTS)
        for client in CLIENTS[k:] + CLIENTS[:k]:
            seconds, cpu = run_client(setup, client, baud)
            times[client].append(seconds)
            cpus[client].append(cpu)
        print("  round %d/%d: %s" % (i + 1, rounds, "  ".join(
            "%s %.4f s" % (c, times[c][-1]) for c in CLIENTS)), flush=True)
    return times, cpus


def quartiles(values):
    if len(values) < 4:
        return min(values), max(values)
    q = statistics.quantiles(values, n=4)
    return q[0], q[2]


def paired(times, a, b):
    return statistics.median(x / y for x, y in zip(times[a], times[b]))


def summarise(times, cpus, frames, line_limit=None):
    rows = []
    for c in CLIENTS:
        med = statistics.median(times[c])
        lo, hi = quartiles(times[c])
        row = "  %-6s  median %8.4f s  (quartiles %.4f-%.4f, min %.4f, n=%d)  %6.1f us/frame  cpu %6.1f us/frame" % (
            c, med, lo, hi, min(times[c]), len(times[c]), med / frames * 1e6,
            statistics.median(cpus[c]) / frames * 1e6)
        if line_limit:
            row += "  %5.1f%% of the line" % (100 * line_limit / med)
        rows.append(row)
    ta, tb, tc = (statistics.median(times[c]) for c in CLIENTS)
    rows.append("  ratio tool/floor  %.3f of medians, %.3f median of paired rounds" % (
        ta / tb, paired(times, "tool", "floor")))
    rows.append("  ratio script/tool %.3f of medians, %.3f median of paired rounds" % (
        tc / ta, paired(times, "script", "tool")))
    return "\n".join(rows)


STRACE_LINE = re.compile(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(\d+\s+)?(\w+)\s*$")
TRACE_CALL = re.compile(r"^\d+\s+(read|write)\((\d+),")


def syscalls(setup, client, frames):
    """strace -c -f for one run; the reads and writes split by descriptor."""
    summary = os.path.join(setup.work, "strace-%s.txt" % client)
    trace = os.path.join(setup.work, "trace-%s.txt" % client)
    run_client(setup, client, wrap=["/usr/bin/strace", "-c", "-f", "-o", summary])
    run_client(setup, client, wrap=["/usr/bin/strace", "-f", "-qq", "-e", "trace=read,write",
                                    "-e", "signal=none", "-o", trace])
    counts = {}
    with open(summary) as f:
        for line in f:
            m = STRACE_LINE.match(line)
            if m and m.group(3) != "total":
                counts[m.group(3)] = int(m.group(1))
    by_fd = {}
    with open(trace) as f:
        for line in f:
            m = TRACE_CALL.match(line)
            if m:
                key = (m.group(1), int(m.group(2)))
                by_fd[key] = by_fd.get(key, 0) + 1
    total = sum(counts.values())
    lines = ["  %-6s %d system calls, %.3f per frame: %s" % (
        client, total, total / frames,
        ", ".join("%s %d" % kv for kv in sorted(counts.items(), key=lambda kv: -kv[1])[:8]))]
    lines.append("         read/write by descriptor: %s" % ", ".join(
        "%s(fd %d) %d" % (call, fd, n) for (call, fd), n in sorted(by_fd.items())))
    return "\n".join(lines)


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    return "%d cores (nproc), %s, Linux %s, Python %s, load average %s" % (
        os.cpu_count(), model, platform.release(), platform.python_version(),
        " ".join("%.2f" % x for x in os.getloadavg()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build", default=os.path.join(HERE, "..", "build-bench"))
    parser.add_argument("--runs", type=int, default=10, help="runs of each client on the bare terminal")
    parser.add_argument("--baud", type=int, action="append",
                        help="line speeds to run at (default 115200 and 1000000; 0 for none)")
    parser.add_argument("--baud-runs", type=int, default=3, help="runs of each client at each line speed")
    parser.add_argument("--emu", help="another board emulator to run the clients against")
    parser.add_argument("--no-strace", action="store_true")
    parser.add_argument("--keep", action="store_true", help="keep the work directory")
    args = parser.parse_args()
    bauds = [b for b in (args.baud or [115200, 1000000]) if b > 0]

    work = tempfile.mkdtemp(prefix="ym2608-bench-")
    try:
        setup = Setup(os.path.abspath(args.build), work, args.emu and os.path.abspath(args.emu))
        print("machine: %s" % machine())
        frames, wire = check_same_frames(setup)
        print("frames: %d per run (identify, 4384 cache writes, 32 commits, stop, wp reset, "
              "546 stream frames, start), %d bytes on the line with the replies; "
              "identical frames, replies, memory and stream for all three" % (frames, wire))

        print("\npseudo-terminal, no line speed, %d runs each, alternating:" % args.runs, flush=True)
        times, cpus = alternate(setup, args.runs)
        print(summarise(times, cpus, frames))

        for baud in bauds:
            limit = wire * 10 / baud
            print("\n--baud %d (line limit %.3f s), %d runs each, alternating:" % (baud, limit, args.baud_runs),
                  flush=True)
            times, cpus = alternate(setup, args.baud_runs, baud)
            print(summarise(times, cpus, frames, limit))

        if not args.no_strace:
            if not os.access("/usr/bin/strace", os.X_OK):
                print("\nstrace not installed (apt-get install strace); no system call counts")
            else:
                print("\nsystem calls (strace -c -f, one run each, pseudo-terminal):")
                for client in ("tool", "floor"):
                    print(syscalls(setup, client, frames))
        print("\nmachine at the end: %s" % machine())
    except BenchError as e:
        print("bench: %s" % e, file=sys.stderr)
        args.keep = True
        return 1
    finally:
        if args.keep:
            print("work directory kept: %s" % work)
        else:
            shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
