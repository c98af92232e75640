"""What the console's serial and data file backends do to the port and the
files around the frames: the line settings while connected and after quitting,
stale input, a folder named as a data file. The same cases hold for every
backend, the Windows build under Wine included."""

import os
import select
import subprocess
import termios
import unittest

from expected import IDENTIFY, WELCOME, prompts
from harness import CONSOLE, STEP_TIMEOUT, UNDER_WINE, E2ETest, device, read_until

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


# What the console says of a USB-serial adapter whose latency timer holds
# every reply, after its "PORT: DEVICE: ".
SLOW_TIMER = "the adapter holds each reply up to 16 ms (its latency timer), which slows every frame of l and t;\n"
LINUX_LOWERING = ("  lower it to 1 ms with: echo 1 > %s (as root, until it is unplugged)\n"
                  "  or for good with a udev rule in /etc/udev/rules.d: ACTION==\"add\", SUBSYSTEM==\"usb-serial\", "
                  "DRIVER==\"ftdi_sio\", ATTR{latency_timer}=\"1\"\n")
WINDOWS_LOWERING = ("  lower it to 1 ms in Device Manager, Ports (COM & LPT), the port's Properties, Port Settings, "
                    "Advanced, Latency Timer (msec)\n")
# A key of Windows' FTDI driver made for the test: the adapter's timer for COM3.
FTDI_ADAPTER = r"HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+YM2608TESTA"


class AdapterLatency(E2ETest):
    """An emulator's terminal refuses the serial driver's low-latency mode, as
    a driver without it does; the timer is then read where the driver keeps
    it: on Linux a scratch sysfs (YM2608_TEST_SYSFS_ROOT, for tests alone),
    under Wine a registry key made for the test."""

    def wine_reg(self, *args):
        # The Wine runner runs any Windows program of the prefix: here reg.exe.
        result = subprocess.run([CONSOLE, *args], env=dict(os.environ, YM2608_WINE_EXE="reg"),
                                capture_output=True, timeout=STEP_TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stderr)

    def adapter_timer(self, board, text):
        """Makes the adapter's timer read `text`; returns the console's environment."""
        if UNDER_WINE:
            parameters = FTDI_ADAPTER + r"\0000\Device Parameters"
            self.addCleanup(self.wine_reg, "delete", FTDI_ADAPTER, "/f")
            self.wine_reg("add", parameters, "/v", "PortName", "/t", "REG_SZ", "/d", "COM3", "/f")
            self.wine_reg("add", parameters, "/v", "LatencyTimer", "/t", "REG_DWORD", "/d", text, "/f")
            return self.env(board.path)
        root = self.dir / "sys"
        timer = root / "class" / "tty" / os.path.basename(os.path.realpath(board.path)) / "device"
        timer.mkdir(parents=True)
        (timer / "latency_timer").write_text(text + "\n")
        env = self.env(board.path)
        env["YM2608_TEST_SYSFS_ROOT"] = str(root)
        return env

    def connect_twice(self, env):
        result = subprocess.run([CONSOLE], input=b"c\nc\nq\n", capture_output=True, cwd=self.dir, env=env,
                                timeout=STEP_TIMEOUT)
        return result.stdout.decode(), result.stderr.decode(), result.returncode

    def test_a_slow_timer_is_told_once_with_how_to_lower_it(self):
        board = self.board()
        env = self.adapter_timer(board, "16")
        got = self.connect_twice(env)
        self.assertBoardStops(board)
        if UNDER_WINE:
            lowering = WINDOWS_LOWERING
        else:
            lowering = LINUX_LOWERING % (env["YM2608_TEST_SYSFS_ROOT"] + "/class/tty/%s/device/latency_timer"
                                         % os.path.basename(os.path.realpath(board.path)))
        self.assertRun(got, prompts(WELCOME, WELCOME, "exit!\n"),
                       "COM3: %s: %s%s" % (device("COM3", board.path), SLOW_TIMER, lowering))


class DataFileBackend(E2ETest):
    def test_a_folder_is_no_data_file(self):
        (self.dir / "folder.bin").mkdir()
        board, *got = self.session("c\nt folder.bin\nq\n")
        self.assertRun(got, prompts(WELCOME, "file open error.\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY)


if __name__ == "__main__":
    unittest.main()
