"""The emulator's line model: the terminal's speed setting, bytes taken no
faster than the line delivers them, and the write log's arrival times."""

import fcntl
import os
import re
import signal
import struct
import sys
import termios
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "e2e"))

from harness import STEP_TIMEOUT, E2ETest  # noqa: E402
from test_emulator import exchange  # noqa: E402

TCGETS2 = 0x802C542A  # struct termios2: four flag words, line, 19 control bytes, two speeds
BOTHER = 0o010000
WRITE_LINE = re.compile(r"^(\d+) ([01]) ([0-9a-f]{2}) ([0-9a-f]{2})$")


def line_speed(fd):
    """The terminal's speed code (c_cflag & CBAUD) and its output speed in baud."""
    raw = fcntl.ioctl(fd, TCGETS2, bytes(44))
    cflag = struct.unpack_from("I", raw, 8)[0]
    ospeed = struct.unpack_from("I", raw, 40)[0]
    return cflag & termios.CBAUD, ospeed


def byte_micros(baud):
    return 10 * 1e6 / baud


class Line(E2ETest):
    def writes(self, board):
        """The write log as (microseconds, bank, register, value), each line checked for its form."""
        rows = []
        for line in (self.dir / "writes.log").read_text().splitlines():
            m = WRITE_LINE.match(line)
            self.assertIsNotNone(m, line)
            rows.append((int(m[1]), int(m[2]), int(m[3], 16), int(m[4], 16)))
        return rows

    def open(self, board):
        fd = os.open(board.path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        return fd

    def test_speed_setting_follows_baud(self):
        for args, code, baud in (([], termios.B4000000, 4000000),
                                 (["--baud", "115200"], termios.B115200, 115200),
                                 (["--baud", "31250"], BOTHER, 31250)):
            with self.subTest(args=args):
                board = self.board(*args, name="speed%d" % baud)
                fd = self.open(board)
                self.assertEqual(line_speed(fd), (code, baud))
                # What a client reads through the C library for a standard rate.
                if code != BOTHER:
                    self.assertEqual(termios.tcgetattr(fd)[5], code)
                self.assertBoardStops(board)

    def test_write_log_records_register_writes_only(self):
        board = self.board("--log-writes", str(self.dir / "writes.log"))
        fd = self.open(board)
        # Writes of both banks around a stray byte, an N, an identify, a
        # backlight and a cache write: only the writes are logged, in order.
        self.assertEqual(exchange(fd, b"\x13\x2d\x0f\x7f\x14\x00\x20\x18\x10", 4), b"2608")
        self.assertEqual(exchange(fd, b"\x14\x0b\xff\x13\x28\xf1\x15\x00", 1), b"\x01")
        self.assertEqual(exchange(fd, b"\x09\x01\x00\x00a", 1), b"\x01")
        self.assertBoardStops(board)
        rows = self.writes(board)
        self.assertEqual([r[1:] for r in rows],
                         [(0, 0x2d, 0x0f), (1, 0x00, 0x20), (1, 0x0b, 0xff), (0, 0x28, 0xf1)])
        times = [r[0] for r in rows]
        self.assertEqual(times, sorted(times))

    def test_bytes_taken_at_the_line_speed(self):
        # 200 register writes in one burst at 19200 baud: 600 bytes take
        # 312.5 ms on the line, and an identify behind them is answered only
        # once they and its own 5 bytes have passed.
        baud = 19200
        board = self.board("--baud", str(baud), "--log-writes", str(self.dir / "writes.log"))
        fd = self.open(board)
        frames = b"".join(bytes([0x13, 0x30 + (k % 16), k % 256]) for k in range(200))
        started = time.monotonic()
        os.write(fd, frames)
        self.assertEqual(exchange(fd, b"\x10", 4), b"2608")
        elapsed = time.monotonic() - started
        self.assertBoardStops(board)
        self.assertGreaterEqual(elapsed, 605 * byte_micros(baud) / 1e6)
        rows = self.writes(board)
        self.assertEqual([r[1:] for r in rows], [(0, 0x30 + (k % 16), k % 256) for k in range(200)])
        # The first byte is time 0; write k is in with its third byte, and the
        # line never delivers faster than its speed.
        self.assertAlmostEqual(rows[0][0], 2 * byte_micros(baud), delta=1)
        for earlier, later in zip(rows, rows[1:]):
            self.assertGreaterEqual(later[0] - earlier[0], 3 * byte_micros(baud) - 1)
        self.assertLess(rows[-1][0], 600 * byte_micros(baud) + 50_000)

    def test_stop_takes_what_is_waiting_without_the_line(self):
        # At 300 baud 30 bytes take a second; a stop right after the writer
        # has written them ends the run at once, with every write logged at
        # the time the line would have delivered it.
        board = self.board("--baud", "300", "--log-writes", str(self.dir / "writes.log"))
        fd = self.open(board)
        os.write(fd, b"".join(bytes([0x14, 0x02, k]) for k in range(10)))
        started = time.monotonic()
        self.assertBoardStops(board, signal.SIGINT)
        self.assertLess(time.monotonic() - started, STEP_TIMEOUT / 2)
        rows = self.writes(board)
        self.assertEqual([r[1:] for r in rows], [(1, 0x02, k) for k in range(10)])
        self.assertAlmostEqual(rows[-1][0], 29 * byte_micros(300), delta=1)
