"""The player on a USB-serial adapter whose latency timer holds every reply:
it says once how to lower it, and plays as ever. The emulator's terminal
refuses the driver's low-latency mode, so the timer is read from a scratch
sysfs (YM2608_TEST_SYSFS_ROOT, for the tests alone)."""

import os
import unittest

from logmaker import Vgm
from play_harness import PlayerTest, silence


class AdapterLatency(PlayerTest):
    def env(self, *args):
        return dict(super().env(*args), YM2608_TEST_SYSFS_ROOT=str(self.dir / "sys"))

    def play_with_timer(self, text):
        self.file("song.vgm", Vgm().write(0x40, 1).wait_ms(5).file())
        board = self.board()
        timer = self.dir / "sys" / "class" / "tty" / os.path.basename(os.path.realpath(board.path)) / "device"
        timer.mkdir(parents=True)
        (timer / "latency_timer").write_text(text + "\n")
        got = self.play("song.vgm", board=board)
        self.assertBoardStops(board)
        self.assertEqual([(r, v) for _, r, v in self.writes(board)], [(0x40, 1)] + silence())
        return board, got, str(timer / "latency_timer")

    def test_a_slow_timer_is_noted_with_how_to_lower_it(self):
        board, got, timer = self.play_with_timer("16")
        self.assertEqual(got, (
            "song.vgm\n",
            "ym2608-play: note: the adapter on %s holds each reply up to 16 ms (its latency timer), which slows "
            "the ADPCM memory load; lower it to 1 ms with: echo 1 > %s (as root, until it is unplugged), or for "
            "good with a udev rule in /etc/udev/rules.d: ACTION==\"add\", SUBSYSTEM==\"usb-serial\", "
            "DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"\n" % (board.path, timer), 0))


if __name__ == "__main__":
    unittest.main()
