"""The session WAV through the real console: what `o`, `ry` and `p` make the
chip play lands in one file, at the time each write arrived on the line."""

import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "e2e"))

from harness import BOARD_EMU, ROOT, STEP_TIMEOUT, E2ETest, read_wav  # noqa: E402

CHIP_RATE = 7987200 / 144

# Channel 1 at algorithm 7 with operator 4 alone sounding (a sine), instant
# attack, F-number 0x410 at block 4: 1040 x 2^4 x rate / 2^21 = 440.10 Hz.
FM_SETUP = ["22 00", "27 00", "b0 07", "b4 c0", "30 01", "34 01", "38 01", "3c 01",
            "40 7f", "44 7f", "48 7f", "4c 00", "50 1f", "54 1f", "58 1f", "5c 1f",
            "80 0f", "84 0f", "88 0f", "8c 0f", "a4 24", "a0 10"]
FM_PITCH = 1040 * 16 * CHIP_RATE / 2 ** 21
# The SSG's I/O port register: writes that take line time and make no sound.
FILLER = "0e 00"


def script(*commands):
    return "c\n" + "".join(c + "\n" for c in commands) + "q\n"


def pitch(values, rate):
    """Frequency from the first and last rising zero crossings, interpolated."""
    crossings = [i + v / (v - w) for i, (v, w) in enumerate(zip(values, values[1:])) if v < 0 <= w]
    return (len(crossings) - 1) * rate / (crossings[-1] - crossings[0])


class Session(E2ETest):
    def writes(self):
        rows = []
        for line in (self.dir / "writes.log").read_text().splitlines():
            micros, bank, reg, value = line.split()
            rows.append((int(micros), int(bank), int(reg, 16), int(value, 16)))
        return rows

    def run_session(self, commands, *args):
        board, out, err, status = self.session(
            script(*commands), "--wav", str(self.dir / "s.wav"), "--log-writes", str(self.dir / "writes.log"),
            *args)
        self.assertEqual((err, status), ("", 0))
        return board

    def test_fm_note_lands_at_its_arrival_and_pitch(self):
        # At 9600 baud each write takes 3.125 ms on the line: the key-on comes
        # 70 ms into the session, and 120 writes after it hold the note 375 ms.
        for args, rate in (([], 55467), (["--wav-rate", "48000"], 48000)):
            with self.subTest(args=args):
                self.run_session(["o " + w for w in FM_SETUP] + ["o 28 80"] + ["o " + FILLER] * 120,
                                 "--baud", "9600", *args)
                key_on = [t for t, bank, reg, value in self.writes() if (bank, reg, value) == (0, 0x28, 0x80)]
                self.assertEqual(len(key_on), 1)
                shape, left, right = read_wav(self.dir / "s.wav")
                self.assertEqual(shape, (2, 2, rate))
                self.assertEqual(left, right)
                onset = next(i for i, v in enumerate(left) if abs(v) > 1000)
                self.assertAlmostEqual(onset / rate, key_on[0] / 1e6, delta=0.002)
                self.assertLess(max(abs(v) for v in left[:onset - int(0.002 * rate)]), 10)
                note = left[onset + int(0.02 * rate):onset + int(0.35 * rate)]
                self.assertAlmostEqual(pitch(note, rate), FM_PITCH, delta=0.05)
                self.assertGreater(max(note), 3500)  # an operator at full level: 8168, at the output scale of half

    def test_adpcm_playback_mixed_in_at_half_its_own_file(self):
        kick = (ROOT / "examples" / "kick.bin").read_bytes()
        self.file("kick.bin", kick)
        # 100 writes after the start keep the session going 156 ms, past the kick's 0.13 s.
        self.run_session(["l kick.bin", "p 1"] + ["o " + FILLER] * 100, "--baud", "19200",
                         "--wav-dir", str(self.dir / "wav"))
        _, played, _ = read_wav(self.dir / "wav" / "play-0001.wav")
        _, left, right = read_wav(self.dir / "s.wav")
        start = next(i for i, v in enumerate(left) if v != 0)
        first = next(i for i, v in enumerate(played) if v != 0)
        # The chip adds the ADPCM unit's 16 bits to its output as they are; the
        # session WAV carries that output at half.
        expected = [v >> 1 for v in played[first:]]
        self.assertEqual(left[start:start + len(expected)], expected)
        self.assertEqual(right[start:start + len(expected)], expected)

    def test_rhythm_from_a_users_memory_image_or_silent_with_one_note(self):
        # Every instrument's stretch of +7 codes climbs to the 12-bit limit:
        # the bass drum holds 8188 for most of its 896 codes at 18.5 kHz, 4094
        # at the output scale of half.
        self.file("rhythm.rom", bytes([0x77]) * 8192)
        self.run_session(["ry 1"] + ["o " + FILLER] * 40, "--baud", "9600",
                         "--rhythm-rom", str(self.dir / "rhythm.rom"))
        _, left, right = read_wav(self.dir / "s.wav")
        self.assertEqual(left, right)
        self.assertEqual(max(left), 4094)
        held = sum(1 for v in left if v == 4094)
        self.assertAlmostEqual(held, 896 * 3, delta=60)

        board = self.run_session(["ry 1", "ry 63"] + ["o " + FILLER] * 40)
        _, left, _ = read_wav(self.dir / "s.wav")
        self.assertEqual(max(abs(v) for v in left), 0)
        self.assertEqual(board.verbose(), "ym2608-board-emu: rhythm key-on, but no --rhythm-rom: the rhythm unit "
                                          "is silent in the session WAV\n")

    def test_bad_session_options(self):
        self.file("short.rom", bytes(100))
        for args, status, message in (
                (["--wav-rate", "22050"], 2, "--wav-rate 22050: N must be 44100 or 48000 (try --help)"),
                (["--clock", "8"], 2, "--clock 8: HZ must be 1000000 to 20000000 (try --help)"),
                (["--rhythm-rom", str(self.dir / "short.rom")], 1,
                 "--rhythm-rom %s: 100 bytes, a rhythm memory image has 8192" % (self.dir / "short.rom")),
                (["--wav", str(self.dir / "no" / "such" / "s.wav")], 1, None)):
            with self.subTest(args=args):
                result = subprocess.run([BOARD_EMU, *args], capture_output=True, timeout=STEP_TIMEOUT)
                self.assertEqual(result.returncode, status)
                self.assertEqual(result.stdout, b"")
                lines = result.stderr.decode().splitlines()
                self.assertEqual(len(lines), 1, lines)
                if message is not None:
                    self.assertEqual(lines[0], "ym2608-board-emu: " + message)

    def test_clock_sets_every_rate(self):
        # At 8 MHz the output runs at 55556 Hz, for the session and for `p`.
        kick = (ROOT / "examples" / "kick.bin").read_bytes()
        self.file("kick.bin", kick)
        self.run_session(["l kick.bin", "p 1"], "--clock", "8000000", "--wav-dir", str(self.dir / "wav"))
        self.assertEqual(read_wav(self.dir / "s.wav")[0], (2, 2, 55556))
        self.assertEqual(read_wav(self.dir / "wav" / "play-0001.wav")[0], (2, 2, 55556))
