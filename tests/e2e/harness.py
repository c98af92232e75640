"""Runs the real ym2608-console against ym2608-board-emu on a pseudo-terminal.

Every wait is bounded: the emulator's first line, the console's run, the
emulator's exit after SIGTERM. A tool that hangs makes the test fail with a
timeout instead of hanging the suite. Nothing sleeps: the harness waits on the
console's output (the protocol's outcome) and on process exit.
"""

import array
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import wave
from pathlib import Path

# CTest passes both binaries; run by hand, the default build folder is used.
ROOT = Path(__file__).resolve().parents[2]
CONSOLE = os.environ.get("YM2608_CONSOLE", str(ROOT / "build" / "ym2608-console"))
BOARD_EMU = os.environ.get("YM2608_BOARD_EMU", str(ROOT / "build" / "board_emu" / "ym2608-board-emu"))

# Seconds any one process may take; a whole test stays far below CTest's limit.
STEP_TIMEOUT = int(os.environ.get("YM2608_STEP_TIMEOUT", "20"))
MISSING_PORT = "/nonexistent/ym2608-no-such-port"

# Set when CONSOLE is the Windows build run under Wine. Wine does not enforce
# exclusive opens of a serial port (a second program opens a port another
# holds) nor drive modem lines, so cases that rest on those are skipped there.
UNDER_WINE = os.environ.get("YM2608_UNDER_WINE") == "1"


def device(name, path):
    """The device that port `name` opened, as the console names it in its
    lines on standard error: under Wine the Windows port itself."""
    return "\\\\.\\" + name if UNDER_WINE else path


def read_wav(path):
    """A 16-bit stereo WAV: ((channels, sample width, rate), left, right)."""
    with wave.open(str(path), "rb") as w:
        shape = (w.getnchannels(), w.getsampwidth(), w.getframerate())
        values = array.array("h", w.readframes(w.getnframes()))
    if sys.byteorder == "big":
        values.byteswap()
    return shape, list(values[0::2]), list(values[1::2])


def read_until(fd, wanted, timeout=STEP_TIMEOUT):
    """Reads from a pipe until `wanted` has appeared; returns all that came."""
    got = b""
    deadline = time.monotonic() + timeout
    while wanted not in got:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("timed out waiting for %r, got %r" % (wanted, got))
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        chunk = os.read(fd, 65536)
        if not chunk:
            raise AssertionError("pipe closed waiting for %r, got %r" % (wanted, got))
        got += chunk
    return got


def processes(pid):
    """`pid` and the processes under it (a wrapper's program: valgrind's run)."""
    found, i = [pid], 0
    while i < len(found):
        try:
            for task in os.listdir("/proc/%d/task" % found[i]):
                with open("/proc/%d/task/%s/children" % (found[i], task)) as f:
                    found += [int(child) for child in f.read().split()]
        except OSError:
            pass
        i += 1
    return found


def waits_for_fifo_partner(task):
    """Whether the task at /proc path `task` waits in the open of a FIFO for
    the other end: its kernel wait says so, or, where that is hidden, it
    sleeps in openat (257 on x86-64, 56 on arm64). A task whose partner has
    just come is woken, no longer asleep, though it may not have left the
    call yet: under valgrind, for a while."""
    with open(task + "/wchan") as f:
        wait = f.read().strip()
    if wait not in ("", "0"):
        return wait == "wait_for_partner"
    with open(task + "/stat") as f:
        asleep = f.read().rsplit(")", 1)[1].split()[0] == "S"
    with open(task + "/syscall") as f:
        return asleep and f.read().split(" ")[0] in ("257", "56")


def wait_blocked_in_open(pid, timeout=STEP_TIMEOUT):
    """Waits until process `pid`, or one under it, waits in the open of a
    FIFO whose writer has not come; returns the process that waits. Fails
    when none does in time."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for process in processes(pid):
            try:
                for task in os.listdir("/proc/%d/task" % process):
                    if waits_for_fifo_partner("/proc/%d/task/%s" % (process, task)):
                        return process
            except OSError:
                pass
        os.sched_yield()
    raise AssertionError("process %d never waited in an open" % pid)


class Board:
    """One emulator run: its terminal path, and after stop() its log and dumps."""

    def __init__(self, workdir, *args, name="board"):
        self.dir = Path(workdir)
        self.log_path = self.dir / (name + ".log")
        self.memory_path = self.dir / (name + ".memory")
        self.stream_path = self.dir / (name + ".stream")
        self.stderr_path = self.dir / (name + ".stderr")
        self.stderr_file = open(self.stderr_path, "wb")
        self.proc = subprocess.Popen(
            [BOARD_EMU, "--log", str(self.log_path), "--dump-memory", str(self.memory_path),
             "--dump-stream", str(self.stream_path), *args],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.stderr_file)
        first = read_until(self.proc.stdout.fileno(), b"\n")
        self.path = first.split(b"\n")[0].decode()
        self.returncode = None

    def stop(self, sig=signal.SIGTERM):
        if self.returncode is None:
            self.proc.send_signal(sig)
            try:
                self.returncode = self.proc.wait(timeout=STEP_TIMEOUT)
            finally:
                self.stderr_file.close()
                self.proc.stdout.close()
        return self.returncode

    def kill(self):
        if self.returncode is None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        if not self.stderr_file.closed:
            self.stderr_file.close()
            self.proc.stdout.close()

    def frames(self):
        """The log as (tag, bytes) pairs: ("rx", frame), ("tx", reply), ("hangup", b"")."""
        entries = []
        for line in self.log_path.read_text().splitlines():
            tag, _, hexes = line.partition(" ")
            entries.append((tag, bytes.fromhex(hexes)))
        return entries

    def received(self):
        return [b for tag, b in self.frames() if tag == "rx"]

    def memory(self):
        return self.memory_path.read_bytes()

    def stream(self):
        return self.stream_path.read_bytes()

    def verbose(self):
        return self.stderr_path.read_text()


class E2ETest(unittest.TestCase):
    """A temporary folder per test, emulators stopped whatever the outcome."""

    maxDiff = None

    def setUp(self):
        tmp = tempfile.TemporaryDirectory(prefix="ym2608-e2e-")
        self.addCleanup(tmp.cleanup)
        self.dir = Path(tmp.name)

    def board(self, *args, name="board"):
        board = Board(self.dir, *args, name=name)
        self.addCleanup(board.kill)
        return board

    def file(self, name, data):
        """Writes a file into the test's folder; returns its name, relative to it."""
        (self.dir / name).write_bytes(data)
        return name

    def env(self, com3, com4=MISSING_PORT):
        env = dict(os.environ)
        env.pop("YM2608_COM3", None)
        env.pop("YM2608_COM4", None)
        if com3 is not None:
            env["YM2608_COM3"] = com3
        env["YM2608_COM4"] = com4
        return env

    def console(self, script, com3, com4=MISSING_PORT):
        """Runs the console on `script` to its end; returns (stdout, stderr, status)."""
        result = subprocess.run([CONSOLE], input=script.encode(), capture_output=True, cwd=self.dir,
                                env=self.env(com3, com4), timeout=STEP_TIMEOUT)
        return result.stdout.decode("latin-1"), result.stderr.decode("latin-1"), result.returncode

    def session(self, script, *board_args):
        """One emulator, one console on `script`; the emulator stopped afterwards."""
        board = self.board(*board_args)
        out, err, status = self.console(script, board.path)
        self.assertBoardStops(board)
        return board, out, err, status

    def assertBoardStops(self, board, sig=signal.SIGTERM):
        """The emulator exits 0 on the signal; its standard error shows why not."""
        status = board.stop(sig)
        self.assertEqual(status, 0, "the emulator failed: " + board.verbose()[-2000:])

    def assertRun(self, got, out, err="", status=0):
        """Checks a console run's exact standard output, standard error and status."""
        self.assertEqual(got[0], out)
        self.assertEqual(got[1], err)
        self.assertEqual(got[2], status)

    def spawn_console(self, com3, com4=MISSING_PORT):
        """A console kept running for interactive tests; killed at cleanup."""
        proc = subprocess.Popen([CONSOLE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, cwd=self.dir, env=self.env(com3, com4))

        def reap():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            for stream in (proc.stdin, proc.stdout, proc.stderr):
                try:
                    stream.close()
                except BrokenPipeError:
                    pass
        self.addCleanup(reap)
        return proc
