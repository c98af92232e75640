"""Finding, identifying and holding the board's port."""

import os
import unittest

from expected import IDENTIFY, LOST, WELCOME, prompts
from harness import MISSING_PORT, UNDER_WINE, E2ETest, device, read_until


class Connect(E2ETest):
    def test_identify_mismatch_stays_connected(self):
        board, *got = self.session("c\no 10 01\nq\n", "--identify", "2609")
        self.assertRun(got, prompts("connect..err.\n", "r:10 o:01\n", "exit!\n"),
                       "COM3: %s: not identified: the board answered 32 36 30 39\n" % device("COM3", board.path))
        self.assertEqual(board.frames(), [("rx", b"\x10"), ("tx", b"2609"), ("rx", b"\x13\x10\x01")])

    def test_identify_cut_short_is_a_mismatch(self):
        # The board hung up after its three bytes: the link is gone with it.
        board, *got = self.session("c\nb\no 10 01\nq\n", "--short", "OP_IDENTIFY:1")
        self.assertRun(got, prompts("connect..err.\n" + LOST, "no connect.\n", "no connect.\n", "exit!\n"),
                       "COM3: %s: not identified: the board answered 32 36 30\n" % device("COM3", board.path))
        self.assertEqual(board.frames(), [("rx", b"\x10"), ("tx", b"260"), ("hangup", b"")])

    def test_com4_when_com3_is_absent(self):
        board = self.board()
        got = self.console("c\nb\nq\n", MISSING_PORT, board.path)
        self.assertBoardStops(board)
        self.assertRun(got, prompts(WELCOME, "backlight on\n", "exit!\n"))
        self.assertEqual(board.received(), [b"\x10", b"\x15\x00"])

    def test_com4_when_com3_is_no_terminal(self):
        board = self.board()
        got = self.console("c\nq\n", self.file("plain-file", b"not a port"), board.path)
        self.assertBoardStops(board)
        self.assertRun(got, prompts(WELCOME, "exit!\n"))

    def test_neither_port(self):
        got = self.console("c\nb\nn\nq\n", MISSING_PORT, MISSING_PORT + "4")
        self.assertRun(got, prompts("connect error.\n", "no connect.\n", "", "exit!\n"),
                       "COM3: %s: no such device\nCOM4: %s: no such device\n"
                       % (device("COM3", MISSING_PORT), device("COM4", MISSING_PORT + "4")))

    def test_connect_twice_reopens_the_same_port(self):
        link = str(self.dir / "com3")
        board = self.board("--link", link)
        self.assertEqual(os.readlink(link), board.path)
        got = self.console("c\nc\nb\nq\n", link)
        self.assertBoardStops(board)
        self.assertRun(got, prompts(WELCOME, WELCOME, "backlight on\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + IDENTIFY + [("rx", b"\x15\x00"), ("tx", b"\x01")])
        self.assertFalse(os.path.lexists(link), "the emulator removes its link at exit")

    def test_connect_after_failure_finds_the_board(self):
        board = self.board()
        got = self.console("c\nq\n", board.path)
        self.assertRun(got, prompts(WELCOME, "exit!\n"))
        got = self.console("c\nb\nq\n", board.path)
        self.assertBoardStops(board)
        self.assertRun(got, prompts(WELCOME, "backlight on\n", "exit!\n"))
        self.assertEqual(board.received(), [b"\x10", b"\x10", b"\x15\x00"], "a second run finds the port free")

    @unittest.skipIf(UNDER_WINE, "Wine does not enforce exclusive opens: a second program opens a held port")
    def test_second_console_is_refused_while_the_first_holds_the_port(self):
        board = self.board()
        first = self.spawn_console(board.path)
        first.stdin.write(b"c\n")
        first.stdin.flush()
        shown = read_until(first.stdout.fileno(), b"Ready\n>")
        self.assertEqual(shown.decode(), prompts(WELCOME, ""))

        second = self.console("c\nb\nq\n", board.path)
        self.assertRun(second, prompts("connect error.\n", "no connect.\n", "exit!\n"),
                       "COM3: %s: in use by another program\nCOM4: %s: no such device\n" % (board.path, MISSING_PORT))

        first.stdin.write(b"b\n")
        first.stdin.flush()
        self.assertEqual(read_until(first.stdout.fileno(), b"on\n>"), b"backlight on\n>",
                         "the first console still drives the board")
        out, err = first.communicate(b"q\n", timeout=20)
        self.assertEqual((out, err, first.returncode), (b"exit!\n", b"", 0))

        third = self.console("c\nq\n", board.path)
        self.assertRun(third, prompts(WELCOME, "exit!\n"))
        self.assertBoardStops(board)
        self.assertEqual(board.received(), [b"\x10", b"\x15\x00", b"\x10"],
                         "nothing of the refused console reached the board")


if __name__ == "__main__":
    unittest.main()
