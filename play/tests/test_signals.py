"""Ctrl-C and SIGTERM in the middle of a song: the chip silenced after the
last write that was sent, the port released, the exit status of the signal.
The player runs at a terminal, as a user runs it, and the signal is sent
once its status line shows that the music is playing."""

import signal
import unittest

from logmaker import Vgm
from play_harness import STEP_TIMEOUT, PlayerTest, read_terminal_until, silence


def long_song():
    vgm = Vgm()
    for i in range(600):  # a minute: a write every 100 ms
        vgm.write(0x28, 0xF0 | (i % 3)).write(0x40, i & 0x7F).wait_ms(100)
    return vgm.file()


class Signals(PlayerTest):
    def stopped_by(self, sig, status):
        self.file("long.vgm", long_song())
        board = self.board()
        proc, terminal = self.spawn_at_terminal("long.vgm", board=board)
        shown = read_terminal_until(terminal, b"writes/s")
        self.assertIn(b"long.vgm\r\n", shown)
        self.assertRegex(shown.decode(), r"\r 0:0\d\.\d / 1:00\.0  loop 1/1 ")
        proc.send_signal(sig)
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), status)
        self.assertEqual(proc.stderr.read(), b"")
        # The port is released: another program opens it at once.
        board2 = self.play("--stats", "long.vgm", board=board)
        self.assertEqual(board2[2], 0)
        self.assertBoardStops(board)
        writes = [(r, v) for _, r, v in self.writes(board)]
        self.assertEqual(writes[-len(silence()):], silence())
        music = writes[:-len(silence())]
        self.assertGreater(len(music), 0)
        self.assertLess(len(music), 1200)
        # Whole ticks only: every key-on was followed by its level.
        self.assertEqual(len(music) % 2, 0)

    def test_ctrl_c_silences_the_chip_and_exits_130(self):
        self.stopped_by(signal.SIGINT, 130)

    def test_sigterm_silences_the_chip_and_exits_143(self):
        self.stopped_by(signal.SIGTERM, 143)


if __name__ == "__main__":
    unittest.main()
