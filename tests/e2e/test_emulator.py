"""The emulator's own behaviour: options, signals, dumps, framing, line speed."""

import os
import select
import signal
import subprocess
import time
import unittest

from expected import IDENTIFY, WELCOME, pattern, prompts
from harness import BOARD_EMU, STEP_TIMEOUT, E2ETest


def exchange(fd, frame, reply_length):
    """Writes a frame to the board's terminal and reads its whole reply."""
    os.write(fd, frame)
    got = b""
    while len(got) < reply_length:
        ready, _, _ = select.select([fd], [], [], STEP_TIMEOUT)
        if not ready:
            raise AssertionError("no reply to %r" % frame)
        got += os.read(fd, reply_length - len(got))
    return got


class Emulator(E2ETest):
    def test_bad_options_exit_2_with_one_line(self):
        for args in (["--colour"], ["--baud", "fast"], ["--fail", "OP_N:1"], ["--identify", "26"],
                     ["--short"], ["--backlight", "-1"]):
            with self.subTest(args=args):
                result = subprocess.run([BOARD_EMU, *args], capture_output=True, timeout=STEP_TIMEOUT)
                self.assertEqual(result.returncode, 2)
                self.assertEqual(result.stdout, b"")
                lines = result.stderr.decode().splitlines()
                self.assertEqual(len(lines), 1, lines)
                self.assertTrue(lines[0].startswith("ym2608-board-emu: "), lines)

    def test_help(self):
        result = subprocess.run([BOARD_EMU, "--help"], capture_output=True, timeout=STEP_TIMEOUT)
        self.assertEqual(result.returncode, 0)
        self.assertIn(b"--hangup-after K", result.stdout)

    def test_sigint_writes_the_dumps(self):
        data = pattern(1000, 1)
        self.file("k.bin", data)
        board = self.board()
        self.console("c\nl k.bin\nq\n", board.path)
        self.assertBoardStops(board, signal.SIGINT)
        memory = board.memory()
        self.assertEqual(len(memory), 262144)
        self.assertEqual(memory[:1000], data)
        self.assertEqual(board.stream(), b"")
        self.assertFalse(os.path.exists(board.path), "the terminal is gone with the emulator")

    def test_frames_split_by_opcode_and_unknown_bytes_dropped(self):
        board = self.board("--verbose")
        fd = os.open(board.path, os.O_RDWR | os.O_NOCTTY)
        try:
            # Frames without replies back to back with a stray byte between them,
            # then a frame with a reply: everything arrives in one burst.
            self.assertEqual(exchange(fd, b"\x13\x2d\x0f\x7f\x14\x00\x20\x18\x10", 4), b"2608")
            self.assertEqual(exchange(fd, b"\x09\x03\x10\x00abc", 1), b"\x01")
            self.assertEqual(exchange(fd, b"\x0a\x00\x02\x05\x00", 1), b"\x01")
            self.assertEqual(exchange(fd, b"\x01", 1), b"\x01")
            self.assertEqual(exchange(fd, b"\x02" + bytes(range(60)), 1), b"\x01")
            self.assertEqual(exchange(fd, b"\x02\x0d\x0a\x03", 1), b"\x01")
        finally:
            os.close(fd)
        self.assertBoardStops(board)
        self.assertEqual(board.frames(), [
            ("rx", b"\x13\x2d\x0f"), ("drop", b"\x7f"), ("rx", b"\x14\x00\x20"), ("rx", b"\x18"),
            ("rx", b"\x10"), ("tx", b"2608"), ("rx", b"\x09\x03\x10\x00abc"), ("tx", b"\x01"),
            ("rx", b"\x0a\x00\x02\x05\x00"), ("tx", b"\x01"), ("rx", b"\x01"), ("tx", b"\x01"),
            ("rx", b"\x02" + bytes(range(60))), ("tx", b"\x01"), ("rx", b"\x02\x0d\x0a\x03"), ("tx", b"\x01")])
        self.assertEqual(board.memory()[5 * 32 + 16:5 * 32 + 19], b"abc")
        self.assertEqual(board.stream(), bytes(range(60)) + b"\x0d\x0a\x03")
        self.assertEqual(board.verbose().splitlines()[:4], [
            "bank 0: 0x2d <- 0x0f", "unknown opcode 0x7f dropped",
            "bank 1: 0x00 <- 0x20, ADPCM memory-data mode", "n"])

    def test_verbose_lines_in_the_boards_terms(self):
        board, *got = self.session("c\no 2d 0f\nry 1\nb\nq\n", "--verbose")
        self.assertRun(got, prompts(WELCOME, "r:2d o:0f\n", "", "backlight on\n", "exit!\n"))
        self.assertEqual(board.verbose().splitlines(), [
            "identify", "bank 0: 0x2d <- 0x0f", "bank 0: 0x11 <- 0x3f, rhythm total level 0x3f",
            "bank 0: 0x18 <- 0xdf, rhythm bass drum left+right, level 0x1f",
            "bank 0: 0x19 <- 0xdf, rhythm snare drum left+right, level 0x1f",
            "bank 0: 0x1a <- 0xdf, rhythm top cymbal left+right, level 0x1f",
            "bank 0: 0x1b <- 0xdf, rhythm hi-hat left+right, level 0x1f",
            "bank 0: 0x1c <- 0xdf, rhythm tom left+right, level 0x1f",
            "bank 0: 0x1d <- 0xdf, rhythm rim shot left+right, level 0x1f",
            "bank 0: 0x10 <- 0x01, rhythm key-on 0x01", "backlight 0x00, state 1 (on)"])

    def test_baud_holds_each_reply(self):
        # At 1200 baud a byte takes 8.3 ms: identify (1 + 4 bytes) and eight
        # backlight exchanges (2 + 1 bytes each) take at least 241 ms.
        board = self.board("--baud", "1200")
        started = time.monotonic()
        got = self.console("c\n" + "b\n" * 8 + "q\n", board.path)
        elapsed = time.monotonic() - started
        self.assertBoardStops(board)
        self.assertRun(got, prompts(WELCOME, *["backlight on\n"] * 8, "exit!\n"))
        self.assertGreaterEqual(elapsed, 0.241)

    def test_unplugged_from_the_start(self):
        board = self.board("--hangup-after", "0")
        got = self.console("c\nb\nq\n", board.path)
        self.assertBoardStops(board)
        self.assertRun(got, prompts("connect error.\n", "no connect.\n", "exit!\n"))
        self.assertEqual(board.frames(), [("hangup", b"")])


if __name__ == "__main__":
    unittest.main()
