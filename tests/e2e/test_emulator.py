"""The emulator's own behaviour: options, signals, dumps, framing, line speed."""

import array
import os
import select
import signal
import subprocess
import sys
import time
import unittest
import wave

from expected import IDENTIFY, WELCOME, pattern, prompts
from harness import BOARD_EMU, ROOT, STEP_TIMEOUT, E2ETest


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
        self.assertIn(b"--wav-dir DIR", result.stdout)

    def test_sigint_writes_the_dumps(self):
        data = pattern(1000, 1)
        self.file("k.bin", data)
        board = self.board()
        self.console("c\nl k.bin\nq\n", board.path)
        # Held open across the stop, the terminal keeps its number, so no
        # other emulator can appear under the same path meanwhile.
        fd = os.open(board.path, os.O_RDWR | os.O_NOCTTY)
        self.addCleanup(os.close, fd)
        self.assertBoardStops(board, signal.SIGINT)
        memory = board.memory()
        self.assertEqual(len(memory), 262144)
        self.assertEqual(memory[:1000], data)
        self.assertEqual(board.stream(), b"")
        self.assertFalse(os.path.exists(board.path), "the terminal is gone with the emulator")
        try:
            self.assertEqual(os.read(fd, 1), b"", "the line is hung up")
        except OSError:
            pass  # EIO: hung up

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

    def test_values_out_of_range_are_refused_with_the_range(self):
        # A board unplugged before any frame, a line of ten seconds a byte,
        # and an adapter timer no adapter has.
        for args, words in ((["--hangup-after", "0"], "--hangup-after 0: K must be a frame count from 1 to 4294967295"),
                            (["--baud", "1"], "--baud 1: N must be 50 to 100000000"),
                            (["--latency-timer", "0"], "--latency-timer 0: MS must be 1 to 255"),
                            (["--latency-timer=256"], "--latency-timer 256: MS must be 1 to 255")):
            with self.subTest(args=args):
                result = subprocess.run([BOARD_EMU, *args], capture_output=True, timeout=STEP_TIMEOUT)
                self.assertEqual((result.returncode, result.stdout, result.stderr.decode()),
                                 (2, b"", "ym2608-board-emu: %s (try --help)\n" % words))

    def test_latency_timer_holds_each_reply(self):
        # Identify and eight backlight exchanges: nine replies, each held
        # 20 ms by the adapter, on top of 8.3 ms a byte at 1200 baud.
        for args, least in ((["--latency-timer", "20"], 0.180), (["--latency-timer", "20", "--baud", "1200"], 0.421)):
            with self.subTest(args=args):
                board = self.board(*args)
                started = time.monotonic()
                got = self.console("c\n" + "b\n" * 8 + "q\n", board.path)
                elapsed = time.monotonic() - started
                self.assertBoardStops(board)
                self.assertRun(got, prompts(WELCOME, *["backlight on\n"] * 8, "exit!\n"))
                self.assertGreaterEqual(elapsed, least)

    def test_sighup_writes_the_dumps_and_the_session_wav(self):
        data = pattern(1000, 1)
        self.file("k.bin", data)
        wav_path = self.dir / "session.wav"
        board = self.board("--wav", str(wav_path))
        self.console("c\nl k.bin\np 1\nq\n", board.path)
        self.assertBoardStops(board, signal.SIGHUP)
        self.assertEqual(board.memory()[:1000], data)
        with wave.open(str(wav_path), "rb") as w:
            frames = w.getnframes()
            self.assertGreater(frames, 0)
            self.assertEqual(len(w.readframes(frames)), frames * 4, "the header matches the data")


STEP_FACTOR = [57, 57, 57, 57, 77, 102, 128, 153]
OUTPUT_RATE = 55467  # 7987200 / 144, to the whole hertz
CLOCK = 7987200


def sample_at(nanos):
    """The first output sample at or after `nanos`: sample k stands for k x 144 / clock."""
    clocks = -(-nanos * CLOCK // 10**9)
    return -(-clocks // 144)


def chip_output(memory, start, stop, delta_n, level):
    """What the ADPCM unit puts out for a playback of units start..stop, one
    value per clock of its output, worked out from the chip's rules: each code
    moves the accumulator by (2L+1) x step / 8, the counter advances by delta-N
    a clock and takes the next code when it passes 65536, the output moves
    linearly from the previous value to the current one and is scaled by
    level / 256. It ends when the counter wants a code past the stop unit."""
    codes = []
    for byte in memory[start * 32:(stop + 1) * 32]:
        codes += [byte >> 4, byte & 15]
    acc, step = 0, 127
    previous = current = 0
    position, taken, out = 0, 0, []
    while True:
        out.append((previous + (current - previous) * position / 65536) * level / 256)
        position += delta_n
        if position < 65536:
            continue
        position -= 65536
        if taken == len(codes):
            return out
        code = codes[taken]
        taken += 1
        magnitude = (2 * (code & 7) + 1) * step // 8
        acc = max(-32768, min(32767, acc - magnitude if code & 8 else acc + magnitude))
        step = max(127, min(24576, step * STEP_FACTOR[code & 7] // 64))
        previous, current = current, acc


class Playback(E2ETest):
    """--wav-dir: every playback the console starts is written as the chip would sound."""

    def read_wav(self, name):
        with wave.open(str(self.dir / "wav" / name), "rb") as w:
            shape = (w.getnchannels(), w.getsampwidth(), w.getframerate())
            values = array.array("h", w.readframes(w.getnframes()))
        if sys.byteorder == "big":
            values.byteswap()
        return shape, list(values[0::2]), list(values[1::2])

    def assertSounds(self, name, expected, left, right, played=None):
        """The WAV holds `expected` on the enabled channels and silence on the
        others; only its first `played` frames when the playback was ended early."""
        shape, got_left, got_right = self.read_wav(name)
        self.assertEqual(shape, (2, 2, OUTPUT_RATE), name)
        self.assertGreater(max(abs(v) for v in expected), 1000, "the sample is heard")
        if played is not None:
            self.assertLess(played, len(expected), "%s was ended early" % name)
            # The write log's times are whole microseconds: the sample each
            # end took effect at is known to one sample.
            self.assertLessEqual(abs(len(got_left) - played), 1, name)
            expected = expected[:len(got_left)]
        self.assertEqual(len(got_left), len(expected), name)
        for enabled, got, side in ((left, got_left, "left"), (right, got_right, "right")):
            if not got:
                continue
            if not enabled:
                self.assertEqual(got, [0] * len(expected), "%s %s" % (name, side))
                continue
            # The chip works in whole numbers: allow the rounding of the
            # interpolation and of the level, nothing more.
            worst = max(range(len(expected)), key=lambda i: abs(got[i] - expected[i]))
            self.assertLess(abs(got[worst] - expected[worst]), 2,
                            "%s %s frame %d: %d, not %.1f" % (name, side, worst, got[worst], expected[worst]))

    def played(self):
        """The frames each start from memory played, from the write log: to
        the control 1 write that ended it (start clear, reset set, or the
        next start); None for the one that nothing ended."""
        starts, played = [], []
        for line in (self.dir / "writes.log").read_text().splitlines():
            micros, bank, reg, value = line.split()
            if (bank, reg) != ("1", "00"):
                continue
            value = int(value, 16)
            start = (value & 0xA1) == 0xA0
            if played and played[-1] is None and (start or (value & 0x81) != 0x80):
                played[-1] = sample_at(int(micros) * 1000) - sample_at(starts[-1] * 1000)
            if start:
                starts.append(int(micros))
                played.append(None)
        return played

    def test_each_playback_is_written_as_the_chip_would_sound(self):
        kick = (ROOT / "examples" / "kick.bin").read_bytes()
        self.file("kick.bin", kick)
        self.file("second.bin", pattern(100, 5))
        board, out, err, status = self.session(
            "c\nl kick.bin\np 1\n"
            "o 101 82\no 10b 40\no 100 a0\n"          # left only, a quarter of the level
            "o 101 42\no 10b ff\no 109 00\no 10a 80\no 100 a0\n"  # right only, delta-N 0x8000
            "o 10a 00\no 100 a0\n"                      # delta-N 0: nothing to play
            "l second.bin\np 2\nq\n",
            "--verbose", "--wav-dir", str(self.dir / "wav"), "--log-writes", str(self.dir / "writes.log"))
        self.assertEqual((err, status), ("", 0))
        self.assertIn("idx:1:[0,32]\n", out)
        self.assertIn("idx:2:[32,4]\n", out)

        lines = board.verbose().splitlines()
        plays = [(lines[i - 1], line) for i, line in enumerate(lines) if line.startswith("play ")]
        self.assertEqual(plays, [
            ("bank 1: 0x00 <- 0xa0, ADPCM start, units 0..31",
             "play units 0..31 at 15990 Hz, 0.13 s -> play-0001.wav"),
            ("bank 1: 0x00 <- 0xa0, ADPCM start, units 0..31",
             "play units 0..31 at 15990 Hz, 0.13 s -> play-0002.wav"),
            ("bank 1: 0x00 <- 0xa0, ADPCM start, units 0..31",
             "play units 0..31 at 27733 Hz, 0.07 s -> play-0003.wav"),
            ("bank 1: 0x00 <- 0xa0, ADPCM start, units 0..31",
             "play units 0..31 at 0 Hz: delta-N 0, nothing rendered"),
            ("bank 1: 0x00 <- 0xa0, ADPCM start, units 32..35",
             "play units 32..35 at 15990 Hz, 0.02 s -> play-0004.wav")])
        self.assertEqual(sorted(os.listdir(self.dir / "wav")),
                         ["play-0001.wav", "play-0002.wav", "play-0003.wav", "play-0004.wav"])

        memory = board.memory()
        self.assertEqual(memory[:len(kick)], kick)
        full = chip_output(memory, 0, 31, 0x49CD, 0xFF)
        # 2048 codes at 0x49CD: the counter wants code 2049 after
        # ceil(2049 x 65536 / 0x49CD) clocks.
        self.assertEqual(len(full), 7108)
        # Each of the first three is ended by the next start (the fourth,
        # which plays nothing, ends the third) long before its stop unit:
        # a script's writes come a moment apart, or in one burst at the same
        # time. The last plays to its end.
        played = self.played()
        self.assertEqual(len(played), 5)
        self.assertEqual(played[-1], None)
        self.assertSounds("play-0001.wav", full, left=True, right=True, played=played[0])
        self.assertSounds("play-0002.wav", chip_output(memory, 0, 31, 0x49CD, 0x40), left=True, right=False,
                          played=played[1])
        half = chip_output(memory, 0, 31, 0x8000, 0xFF)
        self.assertEqual(len(half), 2 * 2049)
        self.assertSounds("play-0003.wav", half, left=False, right=True, played=played[2])
        self.assertSounds("play-0004.wav", chip_output(memory, 32, 35, 0x49CD, 0xFF), left=True, right=True)

    def test_a_wav_dir_that_cannot_be_used_stops_the_emulator(self):
        self.file("plain", b"x")
        result = subprocess.run([BOARD_EMU, "--wav-dir", str(self.dir / "plain" / "wav")],
                                capture_output=True, timeout=STEP_TIMEOUT)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stdout, b"")
        lines = result.stderr.decode().splitlines()
        self.assertEqual(len(lines), 1, lines)
        self.assertTrue(lines[0].startswith("ym2608-board-emu: --wav-dir "), lines)


if __name__ == "__main__":
    unittest.main()
