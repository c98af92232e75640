"""Every console command against the emulator: exact output and exact frames."""

import unittest

from expected import IDENTIFY, LOST, OK, WELCOME, load, pattern, play, prompts, rhythm, transfer
from harness import E2ETest, MISSING_PORT


class TypicalSequence(E2ETest):
    def test_connect_load_play_registers_rhythm_reset_backlight_transfer(self):
        kick = pattern(1000, 1)
        data = pattern(1000, 2)
        self.file("kick.bin", kick)
        self.file("data.bin", data)
        board, out, err, status = self.session(
            "c\nl kick.bin\np 1\no 2d 0f\no 10b ff\nry 63\nr\nb\nn\nt data.bin\nq\n", "--verbose")

        load_out, load_err, load_frames, units = load("kick.bin", kick, 1, 0)
        self.assertEqual(units, 32)
        self.assertTrue(load_out.endswith("\nidx:1:[0,32]\n"))
        t_out, t_frames, streamed = transfer(data)
        self.assertRun((out, err, status), prompts(
            WELCOME, load_out, "", "r:2d o:0f\n", "r:10b o:ff\n", "", "reset\n", "backlight on\n", "",
            t_out, "exit!\n"), load_err)
        self.assertEqual(board.frames(), IDENTIFY + load_frames + play(0, 32) + [
            ("rx", b"\x13\x2d\x0f"), ("rx", b"\x14\x0b\xff")] + rhythm(63) + [
            ("rx", b"\x00"), ("tx", OK), ("rx", b"\x15\x00"), ("tx", b"\x01"), ("rx", b"\x18")] + t_frames)
        self.assertEqual(board.memory()[:1000], kick)
        self.assertEqual(board.stream(), data[:936])

        verbose = board.verbose().splitlines()
        for line in ["identify", "cache write 60 bytes at offset 900", "cache write 40 bytes at offset 960",
                     "commit 1024 bytes to unit 0", "bank 1: 0x00 <- 0xa0, ADPCM start, units 0..31",
                     "bank 0: 0x10 <- 0x3f, rhythm key-on 0x3f", "stream 36 bytes at 900",
                     "start 0x02 on 936 stream bytes"]:
            self.assertIn(line, verbose)
        self.assertEqual(len(verbose), len(board.received()), "one verbose line per frame")


class RegisterCommands(E2ETest):
    def test_register_writes_and_malformed_operands(self):
        board, *got = self.session(
            "c\no 2d 0f\no10 5\no 10b ff\no 1ff 00 junk\no 2d\no 2d0f\no 200 00\no 10 100\no 1g 00\no\no   \nq\n")
        self.assertRun(got, prompts(WELCOME, "r:2d o:0f\n", "r:10 o:05\n", "r:10b o:ff\n", "r:1ff o:00\n",
                                    *["??\n"] * 7, "exit!\n"))
        self.assertEqual(board.received()[1:], [b"\x13\x2d\x0f", b"\x13\x10\x05", b"\x14\x0b\xff",
                                                b"\x14\xff\x00"])

    def test_rhythm(self):
        board, *got = self.session("c\nry 63\nry 65\nry\nry5\nry x\nrhythm\nq\n")
        self.assertRun(got, prompts(WELCOME, "", "", "??\n", "??\n", "", "reset\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + rhythm(63) + rhythm(65) + rhythm(0) + [
            ("rx", b"\x00"), ("tx", OK)])

    def test_reset_says_reset_only_when_confirmed(self):
        board, *got = self.session("c\nr\nreset\nq\n", "--fail", "OP_STOP:1")
        self.assertRun(got, prompts(WELCOME, "reset error.\n", "reset\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + [("rx", b"\x00"), ("tx", b"\x00"), ("rx", b"\x00"),
                                                     ("tx", OK)])

    def test_backlight_states(self):
        for state, message in [("1", "backlight on\n"), ("0", "backlight off\n"), ("2", ""), ("255", "")]:
            with self.subTest(state=state):
                board, *got = self.session("c\nb\nbacklight\nq\n", "--backlight", state)
                self.assertRun(got, prompts(WELCOME, message, message, "exit!\n"))
                reply = bytes([int(state)])
                self.assertEqual(board.frames(), IDENTIFY + [("rx", b"\x15\x00"), ("tx", reply)] * 2)

    def test_replies_cut_short(self):
        board, *got = self.session("c\nb\nb\nq\n", "--short", "OP_BACKLIGHT:1")
        self.assertRun(got, prompts(WELCOME, "backlight error.\n" + LOST, "no connect.\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + [("rx", b"\x15\x00"), ("hangup", b"")])
        board, *got = self.session("c\nr\nb\nq\n", "--short", "OP_STOP:1")
        self.assertRun(got, prompts(WELCOME, "reset error.\n" + LOST, "no connect.\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + [("rx", b"\x00"), ("hangup", b"")])

    def test_n_is_sent_connected_and_silent_when_not(self):
        board, *got = self.session("n\nc\nn\nnext\nq\n")
        self.assertRun(got, prompts("", WELCOME, "", "", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + [("rx", b"\x18")] * 2)


class ConsoleLines(E2ETest):
    def test_invalid_commands_and_blank_lines(self):
        board, *got = self.session("x\nB\n\n\r\n c\n1\nQ\nquit\n")
        self.assertRun(got, prompts("invalid command [x]\n", "invalid command [B]\n", "\n", "\n",
                                    "invalid command [ ]\n", "invalid command [1]\n", "invalid command [Q]\n",
                                    "exit!\n"))
        self.assertEqual(board.frames(), [])

    def test_commands_that_need_a_connection(self):
        self.file("kick.bin", pattern(100, 3))
        board, *got = self.session("b\nl kick.bin\no 2d 0f\np 1\np\nr\nry 63\nt kick.bin\nl\nc\nl kick.bin\nq\n")
        load_out, _, load_frames, _ = load("kick.bin", pattern(100, 3), 1, 0)
        self.assertRun(got, prompts(*["no connect.\n"] * 9, WELCOME, load_out, "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + load_frames, "slot 1 is still the first one loaded")

    def test_end_of_input_runs_the_last_line_and_quits(self):
        for script, out in [("c\nb", prompts(WELCOME, "backlight on\n") + "exit!\n"),
                            ("c\nb\n", prompts(WELCOME, "backlight on\n", "exit!\n"))]:
            with self.subTest(script=script):
                board, *got = self.session(script)
                self.assertRun(got, out)
                self.assertEqual(board.frames(), IDENTIFY + [("rx", b"\x15\x00"), ("tx", OK)])

    def test_overlong_line_is_refused_and_the_next_runs(self):
        board, *got = self.session("c\no 2d 0f" + " " * 40000 + "\nb\nq\n")
        self.assertRun(got, prompts(WELCOME, "??\n", "backlight on\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + [("rx", b"\x15\x00"), ("tx", OK)])


class Playback(E2ETest):
    def test_play_by_slot(self):
        first, second = pattern(1000, 4), pattern(640, 5)
        self.file("a.bin", first)
        self.file("b.bin", second)
        board, out, err, status = self.session("c\nl a.bin\nl b.bin\np 1\np 2\np 9\np 257\np x\np -2\np\nq\n")
        a_out, _, a_frames, _ = load("a.bin", first, 1, 0)
        b_out, _, b_frames, _ = load("b.bin", second, 2, 32)
        self.assertRun((out, err, status), prompts(WELCOME, a_out, b_out, *[""] * 6, "??\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + a_frames + b_frames + play(0, 32) + play(32, 20) + play()
                         + play(0, 32) + play() + play(32, 20))

    def test_slot_numbers_move_on_over_a_missing_file(self):
        data = pattern(100, 6)
        self.file("k.bin", data)
        board, out, err, status = self.session("c\nl k.bin\nl missing.bin\nl k.bin\nl k.bin\np 2\np 3\nq\n")
        outs = [load("k.bin", data, slot, start)[0] for slot, start in [(1, 0), (3, 4), (4, 8)]]
        self.assertRun((out, err, status), prompts(WELCOME, outs[0], "", outs[1], outs[2], "", "", "exit!\n"),
                       "file read error.\n")
        self.assertEqual(board.received()[-18:], [f for _, f in play() + play(4, 4)])

    def test_a_slot_recorded_empty_sends_only_the_setup(self):
        data = pattern(100, 7)
        self.file("k.bin", data)
        board, out, err, status = self.session("c\nl k.bin\np 1\nq\n", "--fail", "OP_CACHE_WRITE:1")
        l_out, l_err, l_frames, units = load("k.bin", data, 1, 0,
                                             lambda kind, k, i: ("byte", 0) if kind == "write" else None)
        self.assertEqual(units, 0)
        self.assertRun((out, err, status), prompts(WELCOME, l_out, "", "exit!\n"), l_err)
        self.assertEqual(board.frames(), IDENTIFY + l_frames + play())

    def test_carriage_return_before_newline(self):
        data = pattern(1000, 8)
        self.file("file.bin", data)
        board, out, err, status = self.session("c\nt file.bin\r\nq\n")
        t_out, t_frames, _ = transfer(data)
        self.assertRun((out, err, status), prompts(WELCOME, t_out, "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + t_frames)


if __name__ == "__main__":
    unittest.main()
