"""The Windows build of ym2608-adpcm under Wine, held against the Linux build.

Each case runs the same command line with both programs, each in a scratch
folder of its own holding the same input files, and with paths relative to
that folder, so that both must print the same lines: the exit status,
standard output and standard error must match (Windows ends its lines in
CR LF), and so must every file left in the two folders, byte for byte.

CTest sets YM2608_ADPCM (the Linux program), YM2608_WINE_RUNNER
(tools/wine-console.sh), YM2608_WINE_EXE (ym2608-adpcm.exe) and WINEPREFIX.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
LINUX = os.environ.get("YM2608_ADPCM", str(ROOT / "build" / "adpcm" / "ym2608-adpcm"))
RUNNER = os.environ.get("YM2608_WINE_RUNNER", str(ROOT / "tools" / "wine-console.sh"))
STEP_TIMEOUT = 60


def make_tone(path, *args):
    subprocess.run([sys.executable, str(ROOT / "tools" / "make-tone.py"), str(path), *args],
                   check=True, stdout=subprocess.DEVNULL, timeout=STEP_TIMEOUT)


def tree(folder):
    """Every file below `folder` and its bytes, by relative path."""
    return {str(p.relative_to(folder)): p.read_bytes() for p in sorted(folder.rglob("*")) if p.is_file()}


class AgainstLinux(unittest.TestCase):
    def setUp(self):
        self.scratch = Path(tempfile.mkdtemp(prefix="ym2608-adpcm-wine-"))
        self.linux = self.scratch / "linux"
        self.wine = self.scratch / "wine"
        self.inputs = self.scratch / "inputs"
        self.inputs.mkdir()

    def tearDown(self):
        shutil.rmtree(self.scratch)

    def lay_out(self):
        """Both folders afresh, each a copy of the inputs."""
        for folder in (self.linux, self.wine):
            shutil.rmtree(folder, ignore_errors=True)
            shutil.copytree(self.inputs, folder, symlinks=True)

    def run_in(self, folder, program, args):
        result = subprocess.run([*program, *args], cwd=folder, stdin=subprocess.DEVNULL,
                                capture_output=True, timeout=STEP_TIMEOUT)
        return result.returncode, result.stdout, result.stderr

    def same(self, *args, status=0, prepare=None):
        """Runs ARGS with both programs on fresh copies of the inputs; they
        must agree. `prepare(folder)` adds to each copy first. Returns the
        Linux program's standard output and standard error."""
        self.lay_out()
        for folder in (self.linux, self.wine):
            if prepare:
                prepare(folder)
        linux = self.run_in(self.linux, [LINUX], args)
        wine = self.run_in(self.wine, [RUNNER], args)
        self.assertEqual(linux[0], status, linux[2].decode(errors="replace"))
        for stream in (1, 2):
            lines = wine[stream].split(b"\n")
            self.assertTrue(all(line.endswith(b"\r") for line in lines[:-1]),
                            "Windows lines end in CR LF: %r" % wine[stream])
            self.assertEqual(wine[stream].replace(b"\r\n", b"\n"), linux[stream], args)
        self.assertEqual(wine[0], linux[0], args)
        self.assertEqual(tree(self.wine), tree(self.linux), args)
        return linux[1].decode(), linux[2].decode()

    def test_encodes_and_decodes_the_same_bytes(self):
        make_tone(self.inputs / "tune.wav")
        make_tone(self.inputs / "chirp.wav", "--rate", "22050", "--chirp", "0.5")
        # Resampled from 44.1 kHz, each encoder and effort.
        out, _ = self.same("encode", "tune.wav", "tune.bin")
        self.assertIn("read tune.wav: WAV (Microsoft), Signed 16 bit PCM, 44100 Hz, 1 channel", out)
        self.same("encode", "tune.wav", "tune.bin", "--effort", "fast")
        self.same("encode", "tune.wav", "tune.bin", "--greedy")
        # Another rate, with the delta-N lines it prints.
        out, _ = self.same("encode", "chirp.wav", "chirp.bin", "--rate", "8000", "--effort", "best")
        self.assertIn("note: `p` plays at 16016 Hz", out)
        # Decoding the Linux program's codes.
        subprocess.run([LINUX, "encode", "tune.wav", "tune.bin"], cwd=self.inputs, check=True,
                       stdout=subprocess.DEVNULL, timeout=STEP_TIMEOUT)
        self.same("decode", "tune.bin", "tune-back.wav")
        self.same("decode", "tune.bin", "slow.wav", "--rate", "8000")
        # An output already there is replaced whole.
        self.same("encode", "chirp.wav", "tune.bin", "--greedy")

    def test_takes_names_beyond_ascii(self):
        folder = self.inputs / "録音 été"
        folder.mkdir()
        make_tone(folder / "tést ñ.wav")
        (self.inputs / "出力").mkdir()
        out, _ = self.same("encode", "録音 été/tést ñ.wav", "出力/コード.bin")
        self.assertIn("wrote 出力/コード.bin\n", out)
        shutil.copy(self.linux / "出力" / "コード.bin", folder / "コード.bin")
        out, _ = self.same("decode", "録音 été/コード.bin", "出力/音.wav")
        self.assertIn("wrote 出力/音.wav: 16-bit mono", out)

    def test_refuses_as_linux_does_and_leaves_nothing(self):
        make_tone(self.inputs / "tune.wav")
        (self.inputs / "codes.bin").write_bytes(b"\x80" * 64)
        (self.inputs / "empty.bin").write_bytes(b"")
        (self.inputs / "folder").mkdir()
        _, err = self.same("encode", "tune.wav", "tune.wav", "--force", status=1)
        self.assertIn("it is the input file", err)
        # The same file under a second name.
        _, err = self.same("encode", "tune.wav", "also.bin", status=1,
                           prepare=lambda f: os.link(f / "tune.wav", f / "also.bin"))
        self.assertIn("it is the input file", err)
        self.same("decode", "codes.bin", "codes.bin", status=1)
        _, err = self.same("encode", "tune.wav", "none/out.bin", status=1)
        self.assertIn("cannot write none/out.bin: No such file or directory", err)
        self.same("decode", "codes.bin", "tune.wav/out.wav", status=1)
        self.same("encode", "tune.wav", "folder", status=1)
        self.same("encode", "folder", "out.bin", status=1)
        self.same("encode", "absent.wav", "out.bin", status=1)
        self.same("encode", "codes.bin", "out.bin", status=1)
        self.same("decode", "empty.bin", "out.wav", status=1)
        self.same("decode", "tune.wav", "out.wav", status=1)
        self.same("encode", "tune.wav", "out.wav", status=1)
        self.same("encode", "tune.wav", "out.bin", "--rate", "99", status=2)
        self.same("play", "a", "b", status=2)

    def test_answers_help_and_version(self):
        out, _ = self.same("--help")
        self.assertTrue(out.startswith("usage: ym2608-adpcm encode"), out)
        self.same("decode", "-h")
        out, _ = self.same("--version")
        self.assertRegex(out, r"^ym2608-adpcm \d+\.\d+\.\d+\n$")


if __name__ == "__main__":
    unittest.main()
