"""What the console's serial and data file backends do to the port and the
files around the frames: the line settings while connected and after quitting,
stale input, a folder named as a data file. The same cases hold for every
backend, the Windows build under Wine included."""

import os
import select
import termios
import unittest

from expected import IDENTIFY, WELCOME, prompts
from harness import STEP_TIMEOUT, E2ETest, read_until

# termios attribute list positions
IFLAG, OFLAG, CFLAG, LFLAG, ISPEED, OSPEED, CC = range(7)


class PortSettings(E2ETest):
    def terminal(self, board):
        """The board's terminal end, opened beside the console to watch its settings."""
        fd = os.open(board.path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.addCleanup(os.close, fd)
        return fd

    def test_speed_kept_framing_and_flow_control_switched_off_then_restored(self):
        board = self.board()
        fd = self.terminal(board)
        before = termios.tcgetattr(fd)
        # A pseudo-terminal keeps eight bits without parity whatever it is
        # told; stop bits and flow control it does keep.
        before[CFLAG] |= termios.CSTOPB | termios.CRTSCTS
        before[IFLAG] |= termios.IXON | termios.IXOFF
        before[ISPEED] = before[OSPEED] = termios.B9600
        termios.tcsetattr(fd, termios.TCSANOW, before)
        before = termios.tcgetattr(fd)

        console = self.spawn_console(board.path)
        console.stdin.write(b"c\n")
        console.stdin.flush()
        self.assertEqual(read_until(console.stdout.fileno(), b"Ready\n>").decode(), prompts(WELCOME, ""))
        during = termios.tcgetattr(fd)
        self.assertEqual(during[CFLAG] & (termios.CSIZE | termios.PARENB | termios.CRTSCTS), termios.CS8,
                         "eight data bits, no parity, no hardware flow control")
        self.assertEqual(during[IFLAG] & (termios.IXON | termios.IXOFF), 0, "no software flow control")
        self.assertEqual((during[ISPEED], during[OSPEED]), (termios.B9600, termios.B9600), "the speed is kept")

        out, err = console.communicate(b"b\nq\n", timeout=STEP_TIMEOUT)
        self.assertEqual((out, err, console.returncode), (b"backlight on\n>exit!\n", b"", 0))
        after = termios.tcgetattr(fd)
        self.assertEqual(after[CFLAG] & (termios.CSTOPB | termios.CRTSCTS), termios.CSTOPB | termios.CRTSCTS,
                         "stop bits and hardware flow control restored on quitting")
        self.assertEqual(after[IFLAG] & (termios.IXON | termios.IXOFF), termios.IXON | termios.IXOFF,
                         "flow control restored on quitting")
        self.assertEqual((after[ISPEED], after[OSPEED]), (termios.B9600, termios.B9600))
        self.assertEqual(board.stop(), 0)
        self.assertEqual(board.received(), [b"\x10", b"\x15\x00"])

    def test_stale_input_is_dropped_on_connecting(self):
        """A reply left on the line from before the open would shift every later reply."""
        board = self.board()
        fd = self.terminal(board)
        os.write(fd, b"\x15\x00")
        ready, _, _ = select.select([fd], [], [], STEP_TIMEOUT)
        self.assertEqual(ready, [fd], "the emulator's answer waits on the line")

        got = self.console("c\nb\nq\n", board.path)
        self.assertRun(got, prompts(WELCOME, "backlight on\n", "exit!\n"))
        self.assertEqual(board.stop(), 0)
        self.assertEqual(board.frames(), [("rx", b"\x15\x00"), ("tx", b"\x01")] + IDENTIFY +
                         [("rx", b"\x15\x00"), ("tx", b"\x01")])


class DataFileBackend(E2ETest):
    def test_a_folder_is_no_data_file(self):
        (self.dir / "folder.bin").mkdir()
        board, *got = self.session("c\nt folder.bin\nq\n")
        self.assertRun(got, prompts(WELCOME, "file open error.\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY)


if __name__ == "__main__":
    unittest.main()
