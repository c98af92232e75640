"""The comparison tool's figures on signals whose answers are known, its
rewriting of a log's units, and its report from the command line."""

import os
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.path.insert(0, os.path.join(HERE, "..", "..", "play", "tests"))

import numpy as np  # noqa: E402
import soundfile  # noqa: E402

import compare_sound  # noqa: E402
from logmaker import S98, Vgm  # noqa: E402

RATE = 44100


def song(seconds=4.0, faint_db=None):
    """A stereo tune: after a quarter second of hiss, a new note every quarter second (three partials, a decay),
    a little noise, the right side 3 dB under the left; with `faint_db` a
    steady 3 kHz partial that many dB under the notes' loudest."""
    t = np.arange(int(seconds * RATE)) / RATE
    rng = np.random.default_rng(7)
    mono = np.zeros_like(t)
    for start in np.arange(0.25, seconds, 0.25):
        f = 220.0 * 2 ** (rng.integers(0, 24) / 12)
        on = t >= start
        decay = np.exp(-(t - start) * 6) * on * (t < start + 0.25)
        mono += decay * sum(np.sin(2 * np.pi * f * k * t) / k for k in (1, 2, 3)) * 0.3
    mono += rng.normal(0, 1e-3, len(t))
    if faint_db is not None:
        mono += 0.3 * 10 ** (-faint_db / 20) * np.sin(2 * np.pi * 3000 * t)
    return np.stack([mono, mono * 10 ** (-3 / 20)], axis=1)


def figures(ours, ref):
    return compare_sound.compare(ours, ref, RATE)[0]


class Figures(unittest.TestCase):
    def test_a_copy_matches_whatever_its_level_and_delay(self):
        ref = song()
        for name, ours, lag, gain in (
                ("identical", ref, 0, 0.0),
                ("6 dB down", ref * 10 ** (-6 / 20), 0, 6.0),
                ("late", np.concatenate([np.zeros((1234, 2)), ref]), 1234, 0.0),
                ("early, louder", ref[777:] * 2, -777, -6.0206)):
            with self.subTest(name):
                f = figures(ours, ref)
                self.assertEqual(f["lag_samples"], lag)
                self.assertAlmostEqual(f["gain_db"], gain, places=2)
                self.assertLess(f["lsd_median_db"], 0.01)
                self.assertLess(f["lsd_p90_db"], 0.05 if lag < 0 else 0.01)
                self.assertGreater(f["envelope_correlation"], 0.999)
                self.assertAlmostEqual(f["balance_difference_db"], 0.0, places=2)
                self.assertAlmostEqual(f["balance_reference_db"], 3.0, places=2)
                for centre, difference in f["octaves_db"].items():
                    if centre <= 4000:
                        self.assertAlmostEqual(difference, 0.0, places=1, msg=centre)

    def test_only_what_lies_above_the_floor_counts(self):
        # A partial 70 dB under the loudest bin is under both frames' floors;
        # at 30 dB under it is a difference.
        plain = song()
        self.assertLess(figures(plain, song(faint_db=70))["lsd_median_db"], 0.05)
        self.assertGreater(figures(plain, song(faint_db=30))["lsd_median_db"], 1.0)

    def test_a_difference_shows_in_its_band_and_its_side(self):
        ref = song()
        t = np.arange(len(ref)) / RATE
        left_up = ref.copy()
        left_up[:, 0] *= 2
        self.assertAlmostEqual(figures(left_up, ref)["balance_difference_db"], 6.02, places=2)
        whistle = ref + 0.05 * np.sin(2 * np.pi * 4000 * t)[:, None]  # in the 4 kHz octave
        f = figures(whistle, ref)
        self.assertGreater(f["octaves_db"][4000], 10.0)
        self.assertLess(max(abs(f["octaves_db"][c]) for c in (250, 500, 1000)), 2.0)
        # Reversed in time, the notes come where the reference has others.
        self.assertLess(figures(ref[::-1].copy(), ref)["envelope_correlation"], 0.5)


    def test_the_ssg_level_a_reference_was_mixed_at_is_found(self):
        # Two parts that share no frames' spectra exactly: the reference mixes
        # them with the SSG 6 dB up and the whole 3 dB down, 100 samples late.
        rest, ssg = song(), song(seconds=4.0, faint_db=0.0) - song()
        ref = (rest + ssg * 2.0) * 10 ** (-3 / 20)
        ref = np.concatenate([np.zeros((100, 2)), ref])[:len(rest)]
        lag = -100
        self.assertAlmostEqual(compare_sound.fit_ssg_level(ref, ssg, rest, lag, RATE), 6.02, delta=0.1)
        self.assertIsNone(compare_sound.fit_ssg_level(rest, np.zeros_like(rest), rest, 0, RATE))


class Units(unittest.TestCase):
    WRITES = [(0x29, 0x80), (0x28, 0xF1), (0x27, 0xC0), (0x08, 0x1F), (0x0A, 0x0C), (0x10, 0x21),
              (0x10, 0x81), (0x101, 0xC2), (0x100, 0xA0), (0x1B4, 0xC0)]

    def logs(self, writes, block):
        vgm, s98 = Vgm(), S98()
        vgm.block(0, block)
        for reg, value in writes:
            vgm.write(reg, value).wait(100)
            s98.write(reg, value, device=1).wait(1)
            s98.write(reg, 0x28, device=0)                  # another chip's write: left alone
        return vgm.file(), s98.file(devices=((1, 4000000), (4, 7987200)))

    def test_silenced_units_are_rewritten_write_for_write(self):
        block = bytes([0x56, 0x28, 0xF1, 0x56, 0x08]) * 7  # looks like writes, is memory
        cases = {
            "fm": {(0x08, 0x1F): 0, (0x0A, 0x0C): 0, (0x10, 0x21): 0, (0x101, 0xC2): 0x02},
            "adpcm": {(0x28, 0xF1): 0x01, (0x27, 0xC0): 0x40, (0x08, 0x1F): 0, (0x0A, 0x0C): 0,
                      (0x10, 0x21): 0},
            "fm,ssg,rhythm": {(0x101, 0xC2): 0x02},
        }
        for keep, changed in cases.items():
            expected = [(reg, changed.get((reg, value), value)) for reg, value in self.WRITES]
            for original, wanted in zip(self.logs(self.WRITES, block), self.logs(expected, block)):
                with self.subTest(keep=keep, format=original[:3]):
                    self.assertEqual(compare_sound.keep_units(original, compare_sound.parse_units(keep)), wanted)


class CommandLine(unittest.TestCase):
    def run_tool(self, *args):
        tool = os.path.join(HERE, "..", "compare_sound.py")
        return subprocess.run([sys.executable, tool] + list(args), capture_output=True, text=True)

    def test_report_and_refusal(self):
        with tempfile.TemporaryDirectory() as work:
            ref, ours, other = (os.path.join(work, n) for n in ("ref.flac", "ours.wav", "other.wav"))
            tune = song(8.5)
            soundfile.write(ref, tune, RATE, subtype="PCM_24")
            soundfile.write(ours, np.concatenate([np.zeros((441, 2)), tune]) * 0.5, RATE, subtype="PCM_24")
            soundfile.write(other, tune, 48000, subtype="PCM_24")
            done = self.run_tool(ours, ref)
            self.assertEqual((done.stderr, done.returncode), ("", 0))
            lines = done.stdout.splitlines()
            self.assertEqual(lines[:4], [
                "ours: " + ours, "reference: " + ref,
                "alignment: ours 10.0 ms later (441 samples at 44100 Hz), sample correlation 1.000",
                "compared: 8.50 s, 183 frames of 2048 samples, 183 with the reference sounding"])
            self.assertEqual(lines[6:], [
                "gain: +6.02 dB",
                "LSD 20 Hz-5 kHz: median 0.00 dB, 90th percentile 0.00 dB",
                "envelope correlation: 1.000",
                "octave bands, ours against the reference (dB):",
                "      63    125    250    500     1k     2k     4k     8k    16k",
                "   +0.00  +0.00  +0.00  +0.00  +0.00  +0.00  +0.00  +0.00  +0.00",
                "balance left/right: ours +3.00 dB, reference +3.00 dB, difference +0.00 dB",
                "timing: each 4 s stretch alone lags +0.0 to +0.0 ms against the whole (2 of 2 stretches timed)"])
            refused = self.run_tool(other, ref)
            self.assertEqual((refused.stdout, refused.stderr, refused.returncode), (
                "", "compare_sound.py: ours is at 48000 Hz, the reference at 44100 Hz; "
                    "render at the reference's rate\n", 1))


if __name__ == "__main__":
    unittest.main()
