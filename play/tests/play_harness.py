"""Runs the real ym2608-play against ym2608-board-emu on a pseudo-terminal.

Builds on the console's end-to-end harness (tests/e2e/harness.py): the same
bounded waits, the same emulator runs. Every emulator here also records each
register write with its arrival time (--log-writes), which is what the
player's tests judge. Nothing sleeps: tests wait on the player's output and
on process exit.
"""

import os
import pty
import select
import subprocess
import sys
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

    def play(self, *args, board=None, timeout=STEP_TIMEOUT):
        """Runs the player to its end; returns (stdout, stderr, status)."""
        argv = [PLAY] + (["--port", board.path] if board is not None else []) + list(args)
        result = subprocess.run(argv, capture_output=True, cwd=self.dir, env=self.env(), timeout=timeout,
                                stdin=subprocess.DEVNULL)
        return result.stdout.decode("utf-8", "replace"), result.stderr.decode("utf-8", "replace"), result.returncode

    def spawn_at_terminal(self, *args, board=None):
        """The player with its output on a terminal (as a user runs it), on `board` unless it renders;
        returns (process, terminal fd)."""
        master, slave = pty.openpty()
        port = ["--port", board.path] if board is not None else []
        proc = subprocess.Popen([PLAY, *port, *args], stdin=subprocess.DEVNULL, stdout=slave,
                                stderr=subprocess.PIPE, cwd=self.dir, env=self.env())
        os.close(slave)

        def reap():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            proc.stderr.close()
            os.close(master)
        self.addCleanup(reap)
        return proc, master

    def writes(self, board):
        """The emulator's register writes: (microseconds, register 0x000-0x1FF, value)."""
        out = []
        for line in board.writes_path.read_text().splitlines():
            us, bank, reg, value = line.split()
            out.append((int(us), int(bank) * 0x100 + int(reg, 16), int(value, 16)))
        return out


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
