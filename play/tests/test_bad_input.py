"""Bad files, bad options and a board that fails: one line on standard error,
the exit status the failure calls for, and nothing sent that the file did
not mean."""

import os
import stat
import subprocess
import time
import unittest

from logmaker import S98, Vgm, gz
from play_harness import PLAY, STEP_TIMEOUT, PlayerTest, read_terminal_until


class BadInput(PlayerTest):
    def test_bad_files_exit_2_and_send_nothing(self):
        good = Vgm().write(0x28, 0xF0).wait_ms(5).file()
        truncated = good[:0x101]
        unknown = Vgm().write(0x28, 0).raw(b"\x2f").file()
        past_end = Vgm().block(256 * 1024 - 16, bytes(32)).file()
        cases = {
            "truncated.vgm": (truncated, "truncated: the header gives %d bytes, the file has 257" % len(good)),
            "magic.vgm": (b"RIFF" + good[4:], "not a VGM or S98 log (it starts with neither \"Vgm \" nor \"S98\")"),
            "unknown.vgm": (unknown, "unknown VGM command 0x2f at offset 0x103"),
            "block.vgm": (past_end, "ADPCM data block at offset 0x100 passes the end of the chip's 256 KiB memory "
                                    "(address 0x3fff0, 32 bytes)"),
            "broken.vgz": (gz(good)[:40], "gzip error: the compressed data ends early (truncated at offset 0x28)"),
            "opn.s98": (S98().write(0x28, 0).file(devices=((2, 3993600),)),
                        "no YM2608 in this log (the S98 device list has none)"),
            "empty.vgm": (b"", "not a VGM or S98 log (it starts with neither \"Vgm \" nor \"S98\")"),
        }
        self.file("good.vgm", good)
        for name, (data, message) in cases.items():
            self.file(name, data)
            with self.subTest(file=name):
                board = self.board(name=name)
                # A good file first: every file is read before anything is sent.
                out, err, status = self.play("good.vgm", name, board=board)
                self.assertBoardStops(board)
                self.assertEqual((out, err, status), ("", "ym2608-play: %s: %s\n" % (name, message), 2))
                self.assertEqual(board.received(), [])

    def test_missing_file_and_bad_options_exit_2(self):
        cases = [
            (("nothere.vgm",), "ym2608-play: nothere.vgm: No such file or directory\n"),
            # A folder plays its logs; this one has none.
            ((".",), "ym2608-play: .: no music logs (.vgm, .vgz, .s98) in this folder\n"),
            (("--loops", "0", "x.vgm"), "ym2608-play: --loops 0: N must be a whole number from 1 to 1000\n"),
            (("--colour", "x.vgm"), "ym2608-play: unknown option --colour\n"),
            ((), "ym2608-play: no music log given (usage: ym2608-play [options] FILE...)\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assertEqual(self.play(*args), ("", message, 2))

    def test_a_board_that_is_absent_or_fails_exits_1_before_the_music(self):
        self.file("mem.vgm", Vgm().block(0, bytes(range(256)) * 4).write(0x28, 0xF0).wait_ms(5).file())
        out, err, status = self.play("--port", "/nonexistent/tty", "mem.vgm")
        self.assertEqual((out, status), ("", 1))
        self.assertEqual(err, "ym2608-play: cannot open the board: /nonexistent/tty: no such device\n")

        stranger = self.board("--identify", "ABCD", name="stranger")
        out, err, status = self.play("mem.vgm", board=stranger)
        self.assertBoardStops(stranger)
        self.assertEqual((out, status), ("", 1))
        self.assertEqual(err, "ym2608-play: the board on %s did not identify itself as a YM2608 board\n"
                         % stranger.path)
        self.assertEqual(stranger.received(), [b"\x10"])

        refusing = self.board("--fail", "OP_CACHE_COMMIT:1", name="refusing")
        out, err, status = self.play("mem.vgm", board=refusing)
        self.assertBoardStops(refusing)
        self.assertEqual((out, status), ("mem.vgm\n", 1))
        self.assertEqual(err, "ym2608-play: mem.vgm: ADPCM memory load failed: the board did not confirm a commit "
                              "(run from unit 0, 0 bytes committed)\n")
        self.assertEqual(self.writes(refusing), [])

    def test_a_board_that_hangs_up_is_noticed_in_a_wait_and_in_the_load(self):
        # Two writes, then a minute's rest, in which the board goes away.
        self.file("rest.vgm", Vgm().write(0x28, 0xF0).write(0x40, 1).wait_ms(60000).write(0x28, 0).file())
        board = self.board()
        proc, terminal = self.spawn_at_terminal("rest.vgm", board=board)
        read_terminal_until(terminal, b"writes/s")
        self.assertBoardStops(board)
        gone = time.monotonic()
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 1)
        self.assertLess(time.monotonic() - gone, 2, "noticed within a second, not at the rest's end")
        self.assertEqual(proc.stderr.read(), b"ym2608-play: rest.vgm: connection lost\n")
        self.assertEqual([(r, v) for _, r, v in self.writes(board)], [(0x28, 0xF0), (0x40, 1)])

        self.file("mem.vgm", Vgm().block(0, bytes(4096)).write(0x28, 0xF0).wait_ms(5).file())
        board = self.board("--hangup-after", "5", name="load")
        out, err, status = self.play("mem.vgm", board=board)
        self.assertBoardStops(board)
        self.assertEqual((out, err, status), ("mem.vgm\n", "ym2608-play: mem.vgm: connection lost in the ADPCM "
                                                           "memory load (0 bytes committed)\n", 1))

    def test_a_write_error_on_standard_output_exits_1(self):
        self.file("song.vgm", Vgm().mark_loop().write(0x28, 0xF0).wait_ms(5).file())
        full = self.dir / "full"
        os.mknod(full, stat.S_IFCHR | 0o666, os.makedev(1, 7))  # a device that takes no byte
        for args in (("--stats", "--baud", "9600", "song.vgm"), ("--stats", "--list", "--loops", "1000",
                                                                  "--baud", "9600", "song.vgm"), ("--help",)):
            with self.subTest(args=args):
                with open(full, "wb") as out:
                    result = subprocess.run([PLAY, *args], stdout=out, stderr=subprocess.PIPE, cwd=self.dir,
                                            env=self.env(), timeout=STEP_TIMEOUT)
                self.assertEqual((result.stderr, result.returncode),
                                 (b"ym2608-play: cannot write to standard output: No space left on device\n", 1))


if __name__ == "__main__":
    unittest.main()
