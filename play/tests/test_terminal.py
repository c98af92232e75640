"""The player at a user's terminal: single keys without echo while it plays,
q to stop, and the terminal given back exactly as it was on every way out:
q, the stop signals, and the second signal that ends a write the line no
longer drains."""

import fcntl
import os
import signal
import struct
import termios
import unicodedata
import unittest

from logmaker import Vgm, burst, long_song
from play_harness import (STEP_TIMEOUT, SYSCALL_WRITE, SYSCALLS_READABLE, PlayerTest, in_syscall, signal_pending,
                          silence, wait_on_process)


def blocked_in_port_write(pid):
    """True while the process waits in a write to a descriptor other than its standard streams: the port's."""
    return in_syscall(pid, SYSCALL_WRITE, first_above=2)


def screen_lines(shown):
    """What a terminal shows of `shown` (UTF-8), line by line (a carriage
    return goes back to the line's start and what follows overwrites it),
    and the widest any line ever got, in columns: two for a wide character."""
    lines, line, column, widest = [], [], 0, 0
    for ch in shown.decode("utf-8"):
        if ch == "\n":
            lines.append("".join(line))
            line, column = [], 0
        elif ch == "\r":
            column = 0
        else:
            cells = 2 if unicodedata.east_asian_width(ch) in "WF" else 1
            line[column:column + cells] = [ch] + [""] * (cells - 1)
            column += cells
            widest = max(widest, column)
    return lines + ["".join(line)], widest


class AtATerminal(PlayerTest):
    def setUp(self):
        super().setUp()
        self.file("long.vgm", long_song())

    def music(self, board):
        writes = [(r, v) for _, r, v in self.writes(board)]
        self.assertEqual(writes[-len(silence()):], silence())
        return writes[:-len(silence())]

    def test_q_silences_the_chip_ends_the_play_and_gives_the_terminal_back(self):
        board = self.board()
        proc, screen = self.spawn_with_terminal("long.vgm", board=board)
        screen.wait_for(b"writes/s")
        self.assertTrue(screen.single_keys(), "keys are read one by one, without echo")
        screen.type(b"xq")  # a key of no meaning first: ignored
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 0)
        self.assertEqual(proc.stderr.read(), b"")
        self.assertTrue(screen.restored())
        self.assertNotIn(b"xq", screen.shown, "no echo of the keys")
        self.assertBoardStops(board)
        self.assertLess(len(self.music(board)), 1200)

    def test_stop_signals_give_the_terminal_back(self):
        for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143), (signal.SIGHUP, 129)):
            with self.subTest(signal=sig.name):
                board = self.board(name="board-" + sig.name)
                proc, screen = self.spawn_with_terminal("long.vgm", board=board)
                screen.wait_for(b"writes/s")
                self.assertTrue(screen.single_keys())
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), status)
                self.assertTrue(screen.restored())
                self.assertBoardStops(board)
                self.music(board)

    def test_ctrl_z_gives_the_terminal_back_and_fg_takes_it_again(self):
        board = self.board()
        proc, screen = self.spawn_with_terminal("long.vgm", board=board)
        drawn = screen.wait_for(b"writes/s")
        proc.send_signal(signal.SIGTSTP)
        _, status = os.waitpid(proc.pid, os.WUNTRACED)
        self.assertTrue(os.WIFSTOPPED(status))
        self.assertTrue(screen.restored(), "the shell has its terminal as it was while the player is stopped")
        screen.wait_for(b"\r\n", drawn)  # the status line ended, so the shell's words start a line of their own
        proc.send_signal(signal.SIGCONT)
        wait_on_process(screen.single_keys, "keys are not read again after fg")
        screen.type(b"q")
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 0)
        self.assertTrue(screen.restored())
        self.assertBoardStops(board)

    @unittest.skipUnless(SYSCALLS_READABLE, "reads the system call a process waits in")
    def test_a_second_signal_ends_a_write_the_line_never_drains(self):
        # 90000 bytes due at once on a line of 50 baud: five hours of writing,
        # far more than a pseudo-terminal holds.
        self.file("burst.vgm", burst(30000, 100))
        board = self.board("--baud", "50")
        proc, screen = self.spawn_with_terminal("burst.vgm", board=board)
        wait_on_process(lambda: blocked_in_port_write(proc.pid), "the player never blocked in its write")
        proc.send_signal(signal.SIGTERM)
        # Signals of one kind do not queue: the second must come after the first was taken.
        wait_on_process(lambda: not signal_pending(proc.pid, signal.SIGTERM), "the first SIGTERM was never taken")
        wait_on_process(lambda: blocked_in_port_write(proc.pid), "the first stop cut the write")
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 143)
        self.assertTrue(screen.restored())
        # The port is free and back as it was: another program opens it.
        out, err, status = self.play("--stats", "burst.vgm", board=board)
        self.assertEqual((err, status), ("", 0))

    def test_the_lines_fit_the_width_and_leave_nothing_behind(self):
        memory = Vgm().block(0, bytes(512)).raw(long_song()[0x100:-1])
        self.file("memory.vgm", memory.file())
        for columns in (40, 80):
            with self.subTest(columns=columns):
                board = self.board(name="board%d" % columns)
                proc, screen = self.spawn_with_terminal("memory.vgm", board=board, columns=columns)
                # Two redraws of the status line after the load.
                start = screen.wait_for(b"bytes loaded")
                screen.wait_for(b"\r", screen.wait_for(b"\r", start))
                proc.send_signal(signal.SIGINT)
                self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 130)
                lines, widest = screen_lines(screen.shown)
                self.assertLess(widest, columns, "no line reaches the last column, where it would wrap")
                self.assertEqual(lines[0], "memory.vgm")
                self.assertEqual(lines[1].rstrip(), "  ADPCM memory: 512 bytes loaded")
                status = lines[2].rstrip()
                # Time, loop, track, the title (the file's name here), then the figures that fit.
                if columns == 80:
                    self.assertRegex(status, r"^ 0:0\d\.\d / 1:00\.0  loop 1/1  1/1  memory\.vgm +\d+ writes/s  "
                                             r"line +\d+%$")
                else:
                    self.assertRegex(status, r"^ 0:0\d\.\d / 1:00\.0  loop 1/1  1/1  memor…$")

    def test_the_titled_line_counts_wide_characters_and_follows_a_resize(self):
        song = Vgm().raw(long_song()[0x100:-1]).file(gd3=["", "\u30ed\u30fc\u30bf\u30b9\u306e\u6b4c",
                                                          "Game", "", "", "", "Author"])
        self.file("titled.vgm", song)
        board = self.board()
        proc, screen = self.spawn_with_terminal("titled.vgm", board=board, columns=80)
        start = screen.wait_for(b"writes/s")
        lines, widest = screen_lines(screen.shown)
        self.assertRegex(lines[-1].rstrip(), "^ 0:0\\d\\.\\d / 1:00\\.0  loop 1/1  1/1  "
                                             "\u30ed\u30fc\u30bf\u30b9\u306e\u6b4c - Game - Author +\\d+ writes/s$")
        self.assertLess(widest, 80)
        # The Japanese title when there is no English one; narrowed to 40 columns, cut to what fits.
        fcntl.ioctl(screen.master, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 40, 0, 0))
        proc.send_signal(signal.SIGWINCH)
        resized = screen.wait_for("  1/1  \u30ed\u30fc\u2026".encode(), start)
        screen.type(b"q")
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 0)
        self.assertTrue(screen.restored())
        redraws = screen.shown[screen.shown.rfind(b"\r", 0, resized):].split(b"\r")[1:]
        self.assertTrue(redraws)
        for redraw in redraws:
            self.assertLess(screen_lines(redraw.split(b"\n")[0])[1], 40)
        self.assertBoardStops(board)


if __name__ == "__main__":
    unittest.main()
