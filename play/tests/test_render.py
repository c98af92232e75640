"""ym2608-play --render: a log through the chip's sound into a WAV, with no
board and no real time. What lands where in the file, the line's pace with
--baud, the rates, the refusals that write nothing, the progress line at a
terminal, and a stop that leaves no file behind."""

import signal
import unittest

from logmaker import Vgm
from play_harness import STEP_TIMEOUT, PlayerTest, read_terminal_until
from harness import read_wav  # noqa: E402 (play_harness puts the e2e harness on the path)

CHIP_RATE = 55467  # 7987200 / 144
# Channel 1: operator 4 alone at full level, instant attack, the fastest
# release, at about 440 Hz; then keyed.
VOICE = [(0xB0, 0x07), (0xB4, 0xC0)] + [(0x30 + o, 0x01) for o in (0, 4, 8, 12)] + \
        [(0x40 + o, 0x7F) for o in (0, 4, 8)] + [(0x4C, 0x00)] + \
        [(0x50 + o, 0x1F) for o in (0, 4, 8, 12)] + [(0x80 + o, 0x0F) for o in (0, 4, 8, 12)] + \
        [(0xA4, 0x22), (0xA0, 0x6A)]
KEY_ON = (0x28, 0xF0)


def onset(values, threshold=500):
    return next(i for i, v in enumerate(values) if abs(v) > threshold)


def note_log(before=(), wait_ms=500):
    log = Vgm()
    for reg, value in VOICE:
        log.write(reg, value)
    for reg, value in before:
        log.write(reg, value)
    log.write(*KEY_ON)
    return log.wait_ms(wait_ms)


class Render(PlayerTest):
    def render(self, *args):
        return self.play("--render", "out.wav", *args)

    def leftovers(self):
        return sorted(p.name for p in self.dir.iterdir() if p.name.startswith("out.wav"))

    def test_the_log_lands_at_its_times_and_length_at_each_rate(self):
        # 200 ms of silence, then the note for 500 ms: 0.7 s in all.
        log = Vgm()
        for reg, value in VOICE:
            log.write(reg, value)
        self.file("song.vgm", log.wait_ms(200).write(*KEY_ON).wait_ms(500).file())
        for rate, args in ((CHIP_RATE, ()), (44100, ("--wav-rate", "44100")), (48000, ("--wav-rate", "48000"))):
            with self.subTest(rate=rate):
                out, err, status = self.render(*args, "song.vgm")
                self.assertEqual((out, err, status), ("song.vgm\nout.wav: 0:00.7 at %d Hz\n" % rate, "", 0))
                shape, left, _ = read_wav(self.dir / "out.wav")
                self.assertEqual(shape, (2, 2, rate))
                self.assertAlmostEqual(len(left) / rate, 0.7, delta=0.002)
                self.assertAlmostEqual(onset(left) / rate, 0.2, delta=0.001)
                self.assertEqual(max(abs(v) for v in left[:int(0.199 * rate)]), 0)
                self.assertEqual(self.leftovers(), ["out.wav"])

    def test_loops_and_songs_follow_one_another(self):
        self.file("loop.vgm", Vgm().mark_loop().write(*KEY_ON).wait_ms(100).write(0x28, 0x00).wait_ms(100).file())
        self.file("note.vgm", note_log(wait_ms=300).file())
        out, err, status = self.render("--loops", "3", "note.vgm", "loop.vgm")
        self.assertEqual((out, err, status), ("note.vgm\nloop.vgm\nout.wav: 0:00.9 at %d Hz\n" % CHIP_RATE, "", 0))
        _, left, _ = read_wav(self.dir / "out.wav")
        self.assertEqual(len(left), round(0.9 * CHIP_RATE))

    def test_baud_puts_each_write_where_the_line_delivers_it(self):
        # 100 writes due at once ahead of the key-on: at 9600 baud each takes
        # 30 bits, 3.125 ms, so the key-on arrives 101 frames in; the dropped
        # ones (a register set again to its value) take no time.
        filler = [(0x3D, 0x01)] * 5 + [(0x3D, n) for n in range(100)]
        self.file("burst.vgm", note_log(before=filler).file())
        frames = len(VOICE) + 1 + 100 + 1
        for args, expected in (((), 0.0), (("--baud", "9600"), frames * 30 / 9600),
                               (("--baud", "9600", "--no-drop"), (frames + 4) * 30 / 9600)):
            with self.subTest(args=args):
                self.assertEqual(self.render(*args, "burst.vgm")[2], 0)
                _, left, _ = read_wav(self.dir / "out.wav")
                self.assertAlmostEqual(onset(left) / CHIP_RATE, expected, delta=0.0005)

    def test_the_ssg_level_moves_the_ssg_against_fm(self):
        ssg = Vgm().write(0x07, 0x3F).write(0x08, 0x0F).wait_ms(50)
        self.file("ssg.vgm", ssg.file())
        peaks = {}
        for level in ("0", "6", "-6"):
            self.assertEqual(self.render("--ssg-level", level, "ssg.vgm")[2], 0)
            peaks[level] = max(read_wav(self.dir / "out.wav")[1])
        self.assertAlmostEqual(peaks["6"] / peaks["0"], 2.0, delta=0.01)
        self.assertAlmostEqual(peaks["-6"] / peaks["0"], 0.5, delta=0.01)

    def test_refusals_write_nothing(self):
        self.file("good.vgm", note_log().file())
        self.file("bad.vgm", b"RIFF")
        self.file("small.rom", bytes(100))
        (self.dir / "folder.wav").mkdir()
        (self.dir / "out.wav").write_bytes(b"kept")
        cases = [
            (("--render", "out.wav", "good.vgm", "bad.vgm"),
             "bad.vgm: not a VGM or S98 log (it starts with neither \"Vgm \" nor \"S98\")", 2),
            (("--render", "out.wav", "--wav-rate", "22050", "good.vgm"), "--wav-rate 22050: N must be 44100 or 48000", 2),
            (("--render", "out.wav", "--ssg-level", "30", "good.vgm"), "--ssg-level 30: DB must be a number from -40 to 20", 2),
            (("--wav-rate", "44100", "good.vgm"), "--wav-rate, --clock, --rhythm-rom and --ssg-level go with --render", 2),
            (("--render", "out.wav", "--stats", "good.vgm"), "--render and --stats do not go together", 2),
            (("--render", "out.wav", "--rhythm-rom", "small.rom", "good.vgm"),
             "--rhythm-rom small.rom: 100 bytes, a rhythm memory image has 8192", 2),
            (("--render", "folder.wav", "good.vgm"), "--render folder.wav: is a directory", 2),
            (("--render", "good.vgm", "good.vgm"), "--render good.vgm: is the log good.vgm, which it would replace", 2),
            (("--render", "gone/out.wav", "good.vgm"), "cannot write gone/out.wav: No such file or directory", 1),
        ]
        for args, message, code in cases:
            with self.subTest(args=args):
                out, err, status = self.play(*args)
                self.assertEqual((err, status), ("ym2608-play: %s\n" % message, code))
                self.assertEqual((self.dir / "out.wav").read_bytes(), b"kept")
                self.assertEqual(self.leftovers(), ["out.wav"])
                self.assertEqual((self.dir / "good.vgm").read_bytes()[:4], b"Vgm ")

    def test_progress_line_at_a_terminal(self):
        self.file("song.vgm", note_log(wait_ms=1000).file())
        proc, fd = self.spawn_at_terminal("--render", "out.wav", "song.vgm")
        got = read_terminal_until(fd, b"at 55467 Hz\r\n")
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 0)
        self.assertTrue(got.startswith(b"song.vgm\r\n\r  rendering 0:00.0 / 0:01.0   7%\r  rendering 0:00.1 / 0:01.0  14%"),
                        got)
        self.assertTrue(got.endswith(b"\r  rendering 0:01.0 / 0:01.0 100%\r\nout.wav: 0:01.0 at 55467 Hz\r\n"), got)

    def test_ctrl_c_leaves_no_file_behind(self):
        # An hour of looped note: the render is stopped long before its end.
        self.file("long.vgm", Vgm().mark_loop().write(*KEY_ON).wait_ms(3600).file())
        proc, fd = self.spawn_at_terminal("--render", "out.wav", "--loops", "1000", "long.vgm")
        read_terminal_until(fd, b"  1%")
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 130)
        self.assertEqual(proc.stderr.read(), b"")
        self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    unittest.main()
