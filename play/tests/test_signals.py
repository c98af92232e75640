"""Ctrl-C and SIGTERM in the middle of a song: the chip silenced after the
last write that was sent, the port released, the exit status of the signal.
The player runs at a terminal, as a user runs it, and the signal is sent
once its status line shows that the music is playing. The same in the
memory load, where the stop comes between two frames, and against a board
that has stopped answering, where it ends the wait."""

import os
import signal
import subprocess
import time
import unittest

from logmaker import Vgm, long_song
from play_harness import (PLAY, STEP_TIMEOUT, SYSCALL_OPENAT, SYSCALLS_READABLE, PlayerTest, frames_of, in_syscall,
                          read_terminal_until, signal_in, silence, wait_on_process)


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

    def test_a_stop_in_the_memory_load_ends_it_after_the_frame_in_flight(self):
        # 64 KiB at 9600 baud: more than a minute of load.
        vgm = Vgm().block(0, bytes(i * 7 & 0xFF for i in range(65536))).write(0x28, 0xF0).wait_ms(100)
        self.file("memory.vgm", vgm.file())
        for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(signal=sig.name):
                board = self.board("--baud", "9600", name="board-" + sig.name)
                proc, terminal = self.spawn_at_terminal("memory.vgm", board=board)
                read_terminal_until(terminal, b"ADPCM memory (")
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), status)
                self.assertEqual(proc.stderr.read(), b"")
                self.assertBoardStops(board)
                log = board.frames()
                received = [frame for tag, frame in log if tag == "rx"]
                # The memory frames, then the silence: no write of the music.
                self.assertEqual(received[-len(silence()):], frames_of(silence()))
                memory = received[1:-len(silence())]
                self.assertTrue(memory and all(frame[0] in (0x09, 0x0A) for frame in memory), memory[-3:])
                self.assertLess(len(memory), 200)
                # The last memory frame was answered before the silence went out.
                last = max(i for i, (tag, frame) in enumerate(log) if tag == "rx" and frame[0] in (0x09, 0x0A))
                self.assertEqual(log[last + 1][0], "tx")

    def test_a_stop_ends_the_wait_on_a_board_that_fell_silent_in_the_load(self):
        self.file("memory.vgm", Vgm().block(0, bytes(1000)).write(0x28, 0xF0).wait_ms(100).file())
        board = self.silent_board()
        started = time.monotonic()
        proc, _ = self.spawn_at_terminal("memory.vgm", board=board)
        board.wait_received(1 + 64)  # the identification, then the first cache write
        proc.send_signal(signal.SIGTERM)
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 143)
        # The frame in flight had its grace of a second, and no more.
        self.assertLess(time.monotonic() - started, 5)
        self.assertEqual(proc.stderr.read(), b"")


def held_song():
    """Four seconds: FM channels 1 and 4 keyed and held with their pitch, SSG
    A at a level, then a level write every 20 ms."""
    vgm = Vgm().write(0x29, 0x80).write(0xA4, 0x22).write(0xA0, 0x69).write(0x1A4, 0x1A).write(0x1A0, 0x40)
    vgm.write(0x08, 0x0C).write(0x07, 0x3E).write(0x28, 0xF0).write(0x28, 0x34)
    for i in range(200):
        vgm.write(0x40, i & 0x7F).wait_ms(20)
    return vgm.file()


def chip_state(writes):
    """The registers as the writes leave them, and each FM channel's keys."""
    registers, keys = {}, {}
    for reg, value in writes:
        if reg == 0x28:
            keys[value & 0x07] = value & 0xF0
        else:
            registers[reg] = value
    return registers, keys


class Pause(PlayerTest):
    def test_ctrl_z_silences_the_chip_and_fg_restores_it_and_plays_on_on_time(self):
        self.file("held.vgm", held_song())
        whole = self.board(name="whole")
        self.assertEqual(self.play("held.vgm", board=whole)[2], 0)
        self.assertBoardStops(whole)
        music = [(r, v) for _, r, v in self.writes(whole)][:-len(silence())]

        board = self.board()
        proc, terminal = self.spawn_at_terminal("held.vgm", board=board)
        read_terminal_until(terminal, b"writes/s")
        proc.send_signal(signal.SIGTSTP)
        _, status = os.waitpid(proc.pid, os.WUNTRACED)
        self.assertTrue(os.WIFSTOPPED(status), "stopped, as a shell's job")
        time.sleep(1)  # the stretch the player stays stopped: the scenario, not a synchronisation
        proc.send_signal(signal.SIGCONT)
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 0)
        self.assertEqual(proc.stderr.read(), b"")
        self.assertBoardStops(board)

        timed = self.writes(board)
        writes = [(r, v) for _, r, v in timed]
        quiet = next(i for i in range(len(writes)) if writes[i:i + len(silence())] == silence())
        before = writes[:quiet]
        self.assertGreater(len(before), len(music) // 10)
        self.assertLess(len(before), len(music) - 10)
        # After the silence: the restore, then the rest of the song, then the silence again.
        after = writes[quiet + len(silence()):-len(silence())]
        rest = music[len(before):]
        self.assertEqual(after[len(after) - len(rest):], rest, "nothing of the song lost or sent twice")
        restore = after[:len(after) - len(rest)]
        # The restore puts back every register the silence changed and every held key.
        registers, keys = chip_state(before)
        got_registers, got_keys = chip_state(before + silence() + restore)
        self.assertEqual({r: got_registers[r] for r in registers if r not in (0x10, 0x100)},
                         {r: v for r, v in registers.items() if r not in (0x10, 0x100)})
        held = {channel: operators for channel, operators in got_keys.items() if operators}
        self.assertEqual(held, keys)
        self.assertEqual(keys, {0: 0xF0, 4: 0x30})
        # Stopped for about the second the test held it, and on time after:
        # the play lasts the song's four seconds and the stretch stopped.
        silenced_at = timed[quiet + len(silence()) - 1][0]
        restored_at = timed[quiet + len(silence())][0]
        stopped = restored_at - silenced_at
        self.assertGreater(stopped, 900_000)
        played = timed[-len(silence())][0] - timed[0][0] - stopped
        self.assertAlmostEqual(played, 4_000_000, delta=150_000)
        resumed = [us for us, _, _ in timed[quiet + len(silence()) + len(restore):-len(silence())]]
        self.assertLessEqual(sum(1 for us in resumed if us - resumed[0] < 100_000), 6, "no catching up in a burst")


class SilentBoards(PlayerTest):
    """A board that never answers the identification: the reply time limit
    ends the wait, and so does the first stop signal."""

    def setUp(self):
        super().setUp()
        self.file("song.vgm", Vgm().write(0x28, 0xF0).wait_ms(100).file())

    def test_the_reply_time_limit_ends_the_identification(self):
        board = self.silent_board(identify=False)
        started = time.monotonic()
        out, err, status = self.play("song.vgm", board=board, env={"YM2608_REPLY_TIMEOUT_MS": "300"})
        self.assertGreaterEqual(time.monotonic() - started, 0.3)
        self.assertEqual((out, status), ("", 1))
        self.assertEqual(err, "ym2608-play: the board on %s did not identify itself as a YM2608 board: no reply "
                              "within 300 ms (YM2608_REPLY_TIMEOUT_MS)\n" % board.path)
        self.assertEqual(board.received, b"\x10")

    def test_the_first_stop_signal_ends_the_identification(self):
        for sig, status in ((signal.SIGINT, 130), (signal.SIGTERM, 143)):
            with self.subTest(signal=sig.name):
                board = self.silent_board(identify=False)
                proc, _ = self.spawn_at_terminal("song.vgm", board=board)
                board.wait_received(1)
                proc.send_signal(sig)
                self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), status)
                self.assertEqual(proc.stderr.read(), b"")

    def test_a_bad_time_limit_is_refused_before_anything_is_sent(self):
        board = self.silent_board(identify=False)
        for bad in ("0", "-5", "12x", "99999999999"):
            with self.subTest(value=bad):
                out, err, status = self.play("song.vgm", board=board, env={"YM2608_REPLY_TIMEOUT_MS": bad})
                self.assertEqual((out, err, status), ("", "ym2608-play: YM2608_REPLY_TIMEOUT_MS must be a positive "
                                                      "number of milliseconds\n", 2))
        self.assertEqual(board.received, b"")


class Fifos(PlayerTest):
    """A FIFO given as a log is opened as cat opens it: the player waits for
    its writer, and a stop ends that wait as a failed read."""

    def setUp(self):
        super().setUp()
        self.fifo = self.dir / "song.vgm"
        os.mkfifo(self.fifo)

    def spawn(self, board):
        proc = subprocess.Popen([PLAY, "--port", board.path, "song.vgm"], stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=self.dir, env=self.env())
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        return proc

    def test_a_fifo_is_read_once_its_writer_comes(self):
        board = self.board()
        proc = self.spawn(board)
        with open(self.fifo, "wb") as writer:  # opens once the player has opened its end
            writer.write(Vgm().write(0x28, 0xF0).wait_ms(5).file())
        out, err = proc.communicate(timeout=STEP_TIMEOUT)
        self.assertEqual((out, err, proc.returncode), (b"song.vgm\n", b"", 0))
        self.assertBoardStops(board)
        self.assertEqual([(r, v) for _, r, v in self.writes(board)], [(0x28, 0xF0)] + silence())

    @unittest.skipUnless(SYSCALLS_READABLE, "reads the system call a process waits in")
    def test_ctrl_c_ends_the_wait_for_a_writer_as_a_failed_read(self):
        board = self.board()
        proc = self.spawn(board)
        # In open with its handlers installed: not the loader opening a library.
        wait_on_process(lambda: in_syscall(proc.pid, SYSCALL_OPENAT) and signal_in(proc.pid, signal.SIGINT, "SigCgt"),
                        "the player never waited in open")
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=STEP_TIMEOUT)
        self.assertEqual((out, err, proc.returncode), (b"", b"ym2608-play: song.vgm: read interrupted\n", 130))
        self.assertBoardStops(board)
        self.assertEqual(board.received(), [])


if __name__ == "__main__":
    unittest.main()
