"""Runs the real ym2608-play against ym2608-board-emu on a pseudo-terminal.

Builds on the console's end-to-end harness (tests/e2e/harness.py): the same
bounded waits, the same emulator runs. Every emulator here also records each
register write with its arrival time (--log-writes), which is what the
player's tests judge. Nothing sleeps: tests wait on the player's output and
on process exit.
"""

import contextlib
import fcntl
import os
import platform
import pty
import select
import struct
import subprocess
import sys
import termios
import threading
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parents[1]
sys.path.insert(0, str(ROOT / "tests" / "e2e"))

from harness import BOARD_EMU, MISSING_PORT, STEP_TIMEOUT, E2ETest  # noqa: E402

PLAY = os.environ.get("YM2608_PLAY", str(ROOT / "build" / "play" / "ym2608-play"))


class PlayerTest(E2ETest):
    def board(self, *args, name="board"):
        board = super().board("--log-writes", str(self.dir / (name + ".writes")), *args, name=name)
        board.writes_path = self.dir / (name + ".writes")
        return board

    def env(self, com3=MISSING_PORT, com4=MISSING_PORT):
        return super().env(com3, com4)

    def play(self, *args, board=None, timeout=STEP_TIMEOUT, env=None):
        """Runs the player to its end; returns (stdout, stderr, status)."""
        argv = [PLAY] + (["--port", board.path] if board is not None else []) + list(args)
        result = subprocess.run(argv, capture_output=True, cwd=self.dir, env=dict(self.env(), **(env or {})),
                                timeout=timeout, stdin=subprocess.DEVNULL)
        return result.stdout.decode("utf-8", "replace"), result.stderr.decode("utf-8", "replace"), result.returncode

    def spawn_at_terminal(self, *args, board=None, env=None):
        """The player with its output on a terminal (as a user runs it), on `board` unless it renders;
        returns (process, terminal fd)."""
        master, slave = pty.openpty()
        port = ["--port", board.path] if board is not None else []
        # A process group of its own, as a shell gives a job: Ctrl-Z's
        # SIGTSTP stops it (the kernel ignores it in an orphaned group).
        proc = subprocess.Popen([PLAY, *port, *args], stdin=subprocess.DEVNULL, stdout=slave,
                                stderr=subprocess.PIPE, cwd=self.dir, env=dict(self.env(), **(env or {})),
                                process_group=0)
        os.close(slave)

        def reap():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            proc.stderr.close()
            os.close(master)
        self.addCleanup(reap)
        return proc, master

    def spawn_with_terminal(self, *args, board, columns=0, env=None):
        """The player with a terminal as standard input and output, as a user
        runs it from a shell: in a process group of its own, the shell's job
        control signals sent to it directly. Returns (process, Screen)."""
        screen = Screen(columns)
        self.addCleanup(screen.close)
        proc = subprocess.Popen([PLAY, "--port", board.path, *args], stdin=screen.slave, stdout=screen.slave,
                                stderr=subprocess.PIPE, cwd=self.dir, env=env or self.env(), process_group=0)

        def reap():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            proc.stderr.close()
        self.addCleanup(reap)
        return proc, screen

    def silent_board(self, identify=True):
        board = SilentBoard(identify)
        self.addCleanup(board.close)
        return board

    def writes(self, board):
        """The emulator's register writes: (microseconds, register 0x000-0x1FF, value)."""
        out = []
        for line in board.writes_path.read_text().splitlines():
            us, bank, reg, value = line.split()
            out.append((int(us), int(bank) * 0x100 + int(reg, 16), int(value, 16)))
        return out

    def regs(self, board):
        """The emulator's register writes without their times: (register, value)."""
        return [(r, v) for _, r, v in self.writes(board)]

    def wait_writes(self, board, condition, what):
        """Polls the emulator's writes log until `condition(writes)` holds (writes as regs gives them)."""
        deadline = time.monotonic() + STEP_TIMEOUT
        while True:
            writes = self.regs(board) if board.writes_path.exists() else []
            if condition(writes):
                return writes
            if time.monotonic() > deadline:
                raise AssertionError("%s; the board had %r" % (what, writes[-20:]))
            time.sleep(0.02)


class PtyEnd:
    """The master side of a pseudo-terminal, with all that comes out of it
    gathered in the background (`got`); `heard(chunk)` may answer. The slave
    side stays open in the test too, so that the master never reads EIO
    while no program holds it."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.got = b""
        self.changed = threading.Condition()
        threading.Thread(target=self._gather, daemon=True).start()

    def _gather(self):
        chunk = self._next()
        while chunk:
            with self.changed:
                self.got += chunk
                self.changed.notify_all()
            self.heard(chunk)
            chunk = self._next()

    def _next(self):
        try:
            return os.read(self.master, 65536)
        except OSError:  # the last program holding the slave side has gone
            return b""

    def heard(self, chunk):
        pass

    def wait_until(self, condition, what):
        with self.changed:
            if not self.changed.wait_for(condition, STEP_TIMEOUT):
                raise AssertionError("%s; it had %r" % (what, self.got[-300:]))

    def close(self):
        for fd in (self.slave, self.master):
            with contextlib.suppress(OSError):  # closed already by a test
                os.close(fd)


class Screen(PtyEnd):
    """A pseudo-terminal as a user's: what the player shows on it (`shown`),
    and its settings, read from the test's side."""

    def __init__(self, columns=0):
        super().__init__()
        if columns:
            fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, columns, 0, 0))
        self.before = termios.tcgetattr(self.slave)

    @property
    def shown(self):
        return self.got

    def wait_for(self, text, start=0):
        """Waits until `text` shows after byte `start` of the output; returns where it ends."""
        self.wait_until(lambda: self.got.find(text, start) >= 0, "the terminal never showed %r" % text)
        return self.got.find(text, start) + len(text)

    def type(self, text):
        os.write(self.master, text)

    def modes(self):
        """The terminal's settings now (those of its slave side)."""
        return termios.tcgetattr(self.master)

    def single_keys(self):
        lflag = self.modes()[3]
        return (lflag & (termios.ICANON | termios.ECHO)) == 0

    def restored(self):
        return self.modes() == self.before


class SilentBoard(PtyEnd):
    """A terminal whose other end answers the identification (or nothing,
    with identify=False) and then falls silent, reading whatever comes."""

    def __init__(self, identify=True):
        self.identify = identify
        super().__init__()
        self.path = os.ttyname(self.slave)

    @property
    def received(self):
        return self.got

    def heard(self, chunk):
        if self.identify and self.got == chunk and chunk[:1] == b"\x10":
            os.write(self.master, b"2608")

    def wait_received(self, count):
        """Waits until `count` bytes have come from the player."""
        self.wait_until(lambda: len(self.got) >= count, "the board received too little")


# Where a test must know what a process waits in (a write that blocks, an
# open that waits for a FIFO's writer), it reads the system call from /proc:
# x86-64 Linux numbers.
SYSCALLS_READABLE = platform.machine() == "x86_64" and os.path.exists("/proc/self/syscall")
SYSCALL_WRITE = 1
SYSCALL_OPENAT = 257


def in_syscall(pid, number, first_above=-1):
    """True while the process waits in system call `number` with its first
    argument (a descriptor, for a write) above `first_above`."""
    with open("/proc/%d/syscall" % pid) as state:
        fields = state.read().split()
    return len(fields) > 1 and fields[0] == str(number) and int(fields[1], 16) > first_above


def signal_in(pid, sig, *masks):
    """True when `sig` is in one of the process's signal masks named (SigPnd, SigCgt, ...)."""
    with open("/proc/%d/status" % pid) as state:
        found = [int(line.split()[1], 16) for line in state if line.split(":")[0] in masks]
    return any(mask & (1 << (sig - 1)) for mask in found)


def signal_pending(pid, sig):
    """True while `sig` waits to be handled by the process."""
    return signal_in(pid, sig, "SigPnd", "ShdPnd")


def wait_on_process(condition, what):
    """Waits on a process's state, as waitpid would, for at most STEP_TIMEOUT."""
    deadline = time.monotonic() + STEP_TIMEOUT
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(what)
        time.sleep(0.01)


def frames_of(writes):
    """Register writes (register 0x000-0x1FF, value) as the frames that carry them."""
    return [bytes([0x14 if reg >= 0x100 else 0x13, reg & 0xFF, value]) for reg, value in writes]


def read_terminal_until(fd, wanted, timeout=STEP_TIMEOUT):
    """Reads a terminal's output until `wanted` has appeared; returns all that came."""
    got = b""
    deadline = time.monotonic() + timeout
    while wanted not in got:
        left = deadline - time.monotonic()
        if left <= 0:
            raise AssertionError("timed out waiting for %r, got %r" % (wanted, got))
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        try:
            chunk = os.read(fd, 65536)
        except OSError:  # the terminal's other end closed
            chunk = b""
        if not chunk:
            raise AssertionError("terminal closed waiting for %r, got %r" % (wanted, got))
        got += chunk
    return got


def silence():
    """The writes that silence the chip, as the emulator logs them."""
    from logmaker import SILENCE
    return [(bank * 0x100 + reg, value) for bank, reg, value in SILENCE]
