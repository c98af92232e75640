"""The Windows build of ym2608-play under Wine, held against the Linux build.

Each case plays the same files with both players, each into a board emulator
of its own: the Linux player through --port, the Windows player through
Wine's COM3, which tools/wine-console.sh maps to its emulator's terminal.
Both must give the chip the same writes in the same order, leave the same
memory, say the same lines (Windows ends them in CR LF) and exit alike; the
Windows player's timing must keep to the bounds of the Linux player's tests.
Wine is not Windows: its timers, its serial ports and its console are its
own, so this checks the program, not what a Windows machine makes of it.

CTest sets YM2608_PLAY, YM2608_BOARD_EMU, YM2608_WINE_RUNNER, YM2608_WINE_EXE
(ym2608-play.exe) and WINEPREFIX.
"""

import os
import re
import signal
import subprocess
import time
import unittest

from logmaker import S98, Vgm, gz
from play_harness import ROOT, STEP_TIMEOUT, PlayerTest, Screen, frames_of, silence
from test_keys import CH1_TOTALS, RIGHT, find_silence, key_song, log_state, replay, ticks_of
from test_play import START, LATER, start_logs

RUNNER = os.environ.get("YM2608_WINE_RUNNER", str(ROOT / "tools" / "wine-console.sh"))
ESCAPES = re.compile(rb"\x1b\[[0-9?;]*[A-Za-z]")


def lines_of(data):
    """Windows text as Linux prints it: each line ends in CR LF there."""
    lines = data.split(b"\n")
    bare = [line for line in lines[:-1] if not line.endswith(b"\r")]
    if bare:
        raise AssertionError("lines not ended in CR LF: %r" % bare[:3])
    return data.replace(b"\r\n", b"\n").decode("utf-8", "replace")


class WineTest(PlayerTest):
    def wine_env(self, com3=None, com4=None, env=None):
        """COM3 and COM4 of the Wine prefix mapped to these devices (None: absent)."""
        return dict(self.env(), YM2608_COM3=com3 or "", YM2608_COM4=com4 or "", **(env or {}))

    def wine(self, *args, board=None, env=None, timeout=STEP_TIMEOUT):
        """The Windows player on COM3, mapped to `board`; returns (stdout, stderr, status)."""
        path = board.path if board is not None else None
        result = subprocess.run([RUNNER, *args], capture_output=True, cwd=self.dir, stdin=subprocess.DEVNULL,
                                env=self.wine_env(path, env=env), timeout=timeout)
        return lines_of(result.stdout), lines_of(result.stderr), result.returncode

    def spawn_wine(self, *args, board, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE):
        proc = subprocess.Popen([RUNNER, *args], stdin=stdin, stdout=stdout, stderr=subprocess.PIPE, cwd=self.dir,
                                env=self.wine_env(board.path))

        def reap():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            for stream in (proc.stdout, proc.stderr):
                if stream is not None:
                    stream.close()
        self.addCleanup(reap)
        return proc

    def both(self, *args, board_args=(), name="run"):
        """The same command line with both players, each on an emulator of its
        own; the two must say the same and exit alike. Returns the Linux
        board, the Windows one, and the Linux run's (stdout, stderr, status)."""
        linux_board = self.board(*board_args, name=name + "-linux")
        linux = self.play(*args, board=linux_board)
        wine_board = self.board(*board_args, name=name + "-wine")
        wine = self.wine(*args, board=wine_board)
        self.assertBoardStops(linux_board)
        self.assertBoardStops(wine_board)
        self.assertEqual(wine, linux, args)
        return linux_board, wine_board, linux

    def chip_writes(self, board):
        return [(r, v) for _, r, v in self.writes(board)]


class Writes(WineTest):
    def test_the_same_writes_in_the_same_order_with_and_without_dropping(self):
        sent = [(reg, value) for reg, value, keep in START + LATER if keep]
        every = [(reg, value) for reg, value, _ in START + LATER]
        for name, data in start_logs().items():
            self.file(name, data)
            for options, expected in (((), sent), (("--no-drop",), every)):
                with self.subTest(file=name, options=options):
                    linux, wine, (out, err, status) = self.both(*options, name, name=name + "".join(options))
                    self.assertEqual((out, err, status), (name + "\n", "", 0))
                    self.assertEqual(self.chip_writes(wine), expected + silence())
                    # No frame but the identification and these writes.
                    self.assertEqual(wine.received(), linux.received())

    def test_loops_and_files_one_after_another(self):
        self.file("loop.vgm", Vgm().write(0x40, 1).wait_ms(5).mark_loop().write(0x41, 2).wait_ms(5)
                  .write(0x41, 3).wait_ms(5).file())
        self.file("b.s98", S98().write(0x41, 4).wait(5).file())
        linux, wine, (out, err, status) = self.both("--loops", "3", "loop.vgm", "b.s98")
        self.assertEqual((out, err, status), ("loop.vgm\nb.s98\n", "", 0))
        self.assertEqual(self.chip_writes(wine),
                         [(0x40, 1)] + [(0x41, 2), (0x41, 3)] * 3 + silence() + [(0x41, 4)] + silence())
        self.assertEqual(self.chip_writes(wine), self.chip_writes(linux))


class Memory(WineTest):
    def test_vgm_blocks_and_s98_memory_writes_load_byte_exact(self):
        first = bytes((i * 7 + 3) & 0xFF for i in range(1000))
        tail = bytes(range(40))  # the memory's last bytes
        self.file("mem.vgm", Vgm().block(0, first).block(0x8010, first[:300]).block(256 * 1024 - 40, tail)
                  .write(0x100, 0x01).write(0x28, 0xF0).wait_ms(5).file())
        data = bytes((i * 5 + 11) & 0xFF for i in range(3000))
        self.file("mem.s98", S98().write(0x29, 0x80).memory_write(0x10, 0x10 + 3000 // 32, data)
                  .write(0x10, 0x80).wait(3).file())
        for name in ("mem.vgm", "mem.s98"):
            with self.subTest(file=name):
                linux, wine, (_, err, status) = self.both(name, name=name)
                self.assertEqual(status, 0, err)
                self.assertEqual(wine.memory(), linux.memory())
                self.assertEqual(self.chip_writes(wine), self.chip_writes(linux))
        memory = wine.memory()
        self.assertEqual(memory[0x200:0x200 + 3000], data)


class Timing(WineTest):
    def test_writes_arrive_on_time_at_speed_20(self):
        # The Linux test's schedule, 100 ms between writes, at 20 times a song's speed.
        vgm = Vgm()
        for i in range(12):
            vgm.write(0x40, i).wait_ms(2000)
        self.file("tick.vgm", vgm.file())
        board = self.board()
        proc = self.spawn_wine("--speed", "20", "tick.vgm", board=board, stdout=subprocess.DEVNULL)
        started = time.monotonic()
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - started
        self.assertEqual((proc.stderr.read(), os.waitstatus_to_exitcode(status)), (b"", 0))
        self.assertBoardStops(board)
        # It sleeps between the writes: a spin covers only what is left
        # below the timer's resolution. Wine's start costs a fifth of a
        # second of CPU, so the song is long enough (1.2 s) for a spin,
        # which costs all of it, to stand well clear of that.
        self.assertLess(usage.ru_utime + usage.ru_stime, wall / 3)
        writes = self.writes(board)
        music = writes[:12]
        self.assertEqual([v for _, _, v in music], list(range(12)))
        first = music[0][0]
        offsets = [us - first - i * 100_000 for i, (us, _, _) in enumerate(music)]
        self.assertLess(max(offsets) - min(offsets), 60_000, offsets)
        # The song lasts 24 s, at 20 times 1.2 s: the silence comes after its end.
        self.assertGreaterEqual(writes[12][0] - first, 1_180_000)
        self.assertLess(writes[12][0] - first, 1_600_000)


class Refusals(WineTest):
    def test_bad_files_and_options_are_refused_as_on_linux_with_nothing_sent(self):
        good = Vgm().write(0x28, 0xF0).wait_ms(5).file()
        self.file("good.vgm", good)
        self.file("truncated.vgm", good[:0x101])
        self.file("unknown.vgm", Vgm().write(0x28, 0).raw(b"\x2f").file())
        self.file("block.vgm", Vgm().block(256 * 1024 - 16, bytes(32)).file())
        self.file("broken.vgz", gz(good)[:40])
        self.file("opn.s98", S98().write(0x28, 0).file(devices=((2, 3993600),)))
        self.file("empty.vgm", b"")
        os.mkdir(self.dir / "folder")
        with open(self.dir / "huge.vgm", "wb") as huge:  # sparse: 65 MiB of zeros
            huge.truncate(65 << 20)
        cases = [("good.vgm", name) for name in ("truncated.vgm", "unknown.vgm", "block.vgm", "broken.vgz",
                                                  "opn.s98", "empty.vgm", "nothere.vgm", "folder", "huge.vgm")]
        cases += [("--loops", "0", "good.vgm"), ("--colour", "good.vgm"), ("--list", "good.vgm"), ()]
        linux_board = self.board(name="linux")
        wine_board = self.board(name="wine")
        said = {}
        for args in cases:
            with self.subTest(args=args):
                linux = self.play(*args, board=linux_board)
                self.assertEqual(linux[2], 2, linux)
                self.assertEqual(self.wine(*args, board=wine_board), linux)
                said[args[-1:]] = linux[1]
        # The system's words, as Linux has them.
        self.assertEqual(said[("nothere.vgm",)], "ym2608-play: nothere.vgm: No such file or directory\n")
        self.assertEqual(said[("folder",)], "ym2608-play: folder: no music logs (.vgm, .vgz, .s98) in this folder\n")
        self.assertEqual(said[("huge.vgm",)], "ym2608-play: huge.vgm: larger than 64 MiB; not a music log\n")
        self.assertBoardStops(linux_board)
        self.assertBoardStops(wine_board)
        self.assertEqual(wine_board.received(), [])

    def test_a_board_that_is_absent_or_fails_exits_1(self):
        self.file("mem.vgm", Vgm().block(0, bytes(range(256)) * 4).write(0x28, 0xF0).wait_ms(5).file())
        self.assertEqual(self.wine("mem.vgm"), (
            "", "ym2608-play: cannot open the board: COM3 (\\\\.\\COM3): no such device; "
            "COM4 (\\\\.\\COM4): no such device\n", 1))

        stranger = self.board("--identify", "ABCD", name="stranger")
        got = self.wine("mem.vgm", board=stranger)
        self.assertBoardStops(stranger)
        self.assertEqual(got, ("", "ym2608-play: the board on \\\\.\\COM3 did not identify itself as a YM2608 "
                                   "board\n", 1))
        self.assertEqual(stranger.received(), [b"\x10"])

        _, refusing, (out, err, status) = self.both("mem.vgm", board_args=("--fail", "OP_CACHE_COMMIT:1"))
        self.assertEqual((out, status), ("mem.vgm\n", 1))
        self.assertIn("the board did not confirm a commit (run from unit 0, 0 bytes committed)", err)
        self.assertEqual(self.writes(refusing), [])

    def test_a_port_named_by_its_windows_name(self):
        # A port named as Windows names it (COM10 and up open only with the
        # device prefix, which the player adds).
        self.file("song.vgm", Vgm().write(0x28, 0xF0).wait_ms(5).file())
        board = self.board()
        result = subprocess.run([RUNNER, "--port", "COM4", "song.vgm"], capture_output=True, cwd=self.dir,
                                stdin=subprocess.DEVNULL, env=self.wine_env(None, board.path), timeout=STEP_TIMEOUT)
        self.assertBoardStops(board)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(self.chip_writes(board), [(0x28, 0xF0)] + silence())


class Adapter(WineTest):
    # A key of Windows' FTDI driver made for the test: the adapter on COM3
    # holds each reply 16 ms, and the player says once where to lower it,
    # naming the device it opened, as the console does.
    FTDI_ADAPTER = r"HKLM\SYSTEM\CurrentControlSet\Enum\FTDIBUS\VID_0403+PID_6001+YM2608TESTP"

    def reg(self, *args):
        result = subprocess.run([RUNNER, *args], capture_output=True, env=dict(self.env(), YM2608_WINE_EXE="reg"),
                                timeout=STEP_TIMEOUT)
        self.assertEqual(result.returncode, 0, result.stderr)

    def test_a_slow_timer_is_noted_with_where_to_lower_it(self):
        parameters = self.FTDI_ADAPTER + r"\0000\Device Parameters"
        self.addCleanup(self.reg, "delete", self.FTDI_ADAPTER, "/f")
        self.reg("add", parameters, "/v", "PortName", "/t", "REG_SZ", "/d", "COM3", "/f")
        self.reg("add", parameters, "/v", "LatencyTimer", "/t", "REG_DWORD", "/d", "16", "/f")
        self.file("song.vgm", Vgm().write(0x40, 1).wait_ms(5).file())
        board = self.board()
        got = self.wine("song.vgm", board=board)
        self.assertBoardStops(board)
        self.assertEqual(self.chip_writes(board), [(0x40, 1)] + silence())
        self.assertEqual(got, (
            "song.vgm\n",
            "ym2608-play: note: the adapter on \\\\.\\COM3 holds each reply up to 16 ms (its latency timer), "
            "which slows the ADPCM memory load; lower it to 1 ms in Device Manager, Ports (COM & LPT), the port's "
            "Properties, Port Settings, Advanced, Latency Timer (msec)\n", 0))


class Render(WineTest):
    def test_the_same_samples_as_on_linux_at_each_rate(self):
        # FM, the SSG and an ADPCM sample, so that every unit and the mix are in it.
        from test_render import VOICE, KEY_ON
        sample = bytes((i * 37 + 5) & 0xFF for i in range(512))
        log = Vgm().block(0, sample)
        for reg, value in VOICE + [(0x00, 0x40), (0x07, 0x3E), (0x08, 0x0C),
                                   (0x101, 0xC0), (0x102, 0x00), (0x103, 0x00), (0x104, 0x0F), (0x105, 0x00),
                                   (0x109, 0x00), (0x10A, 0x40), (0x10B, 0xFF)]:
            log.write(reg, value)
        self.file("all.vgm", log.write(*KEY_ON).write(0x100, 0xA0).wait_ms(300).file())
        for args in ((), ("--wav-rate", "44100")):
            with self.subTest(args=args):
                linux = self.play("--render", "linux.wav", *args, "all.vgm")
                wine = self.wine("--render", "wine.wav", *args, "all.vgm")
                self.assertEqual(linux[2], 0, linux)
                self.assertEqual(wine, (linux[0].replace("linux.wav", "wine.wav"), "", 0))
                self.assertEqual((self.dir / "wine.wav").read_bytes(), (self.dir / "linux.wav").read_bytes())


class Text(WineTest):
    def test_names_and_tags_beyond_ascii(self):
        folder = self.dir / "曲 été"
        folder.mkdir()
        # A CP932 tag without a byte-order mark: "～" is 0x81 0x60, U+FF5E in
        # CP932 (U+301C in plain Shift JIS); 0xA0 starts no character.
        tag = "title=春の海～①\ngame=ゲーム\nartist=作者\n".encode("cp932") + b"system=PC-98\xa0x\n"
        (folder / "テーマ.s98").write_bytes(S98().write(0x28, 0xF0).wait(5).file(tag=tag))
        (folder / "ソング.vgz").write_bytes(gz(Vgm().write(0x28, 0).wait_ms(5).file(gd3=["Ünïcode 曲"])))
        _, wine, (out, err, status) = self.both("曲 été/テーマ.s98", "曲 été/ソング.vgz")
        self.assertEqual((err, status), ("", 0))
        self.assertEqual(out, "曲 été/テーマ.s98\n  title: 春の海～①\n  game: ゲーム\n  system: PC-98?x\n"
                              "  author: 作者\n曲 été/ソング.vgz\n  title: Ünïcode 曲\n")
        self.assertEqual(self.chip_writes(wine), [(0x28, 0xF0)] + silence() + [(0x28, 0)] + silence())

    def test_help_version_and_stats_as_on_linux(self):
        self.file("s.vgm", Vgm().write(0x28, 0xF0).wait_ms(10).write(0x28, 0xF0).wait_ms(1000).file())
        for args in (("--help",), ("--version",), ("--stats", "--baud", "115200", "--list", "s.vgm")):
            with self.subTest(args=args):
                linux = self.play(*args)
                self.assertEqual(linux[2], 0)
                self.assertEqual(self.wine(*args), linux)


def long_song():
    vgm = Vgm()
    for i in range(600):  # a minute: a write every 100 ms
        vgm.write(0x28, 0xF0 | (i % 3)).write(0x40, i & 0x7F).wait_ms(100)
    return vgm.file()


class Stops(WineTest):
    """Ctrl-C as the console control handler gets it: Wine turns SIGINT into
    the console's Ctrl-C event."""

    def stop_after_name(self, name, board):
        proc = self.spawn_wine(name, board=board)
        self.assertEqual(proc.stdout.readline(), name.encode() + b"\r\n")
        proc.send_signal(signal.SIGINT)
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 130)
        self.assertEqual(proc.stderr.read(), b"")
        self.assertBoardStops(board)

    def test_ctrl_c_silences_the_chip_in_the_music_and_in_the_load(self):
        self.file("long.vgm", long_song())
        board = self.board()
        self.stop_after_name("long.vgm", board)
        writes = self.chip_writes(board)
        self.assertEqual(writes[-len(silence()):], silence())
        # Whole ticks only, and far from the song's end.
        self.assertEqual(len(writes[:-len(silence())]) % 2, 0)
        self.assertLess(len(writes), 1200)

        # 64 KiB at 9600 baud: more than a minute of load.
        self.file("memory.vgm", Vgm().block(0, bytes(i * 7 & 0xFF for i in range(65536))).write(0x28, 0xF0)
                  .wait_ms(100).file())
        board = self.board("--baud", "9600", name="load")
        self.stop_after_name("memory.vgm", board)
        received = board.received()
        self.assertEqual(received[-len(silence()):], frames_of(silence()))
        memory = received[1:-len(silence())]
        self.assertTrue(all(frame[0] in (0x09, 0x0A) for frame in memory), memory[-3:])
        self.assertLess(len(memory), 200)

    def test_ctrl_c_ends_the_wait_on_a_board_that_never_answers(self):
        self.file("song.vgm", Vgm().write(0x28, 0xF0).wait_ms(100).file())
        board = self.silent_board(identify=False)
        proc = subprocess.Popen([RUNNER, "song.vgm"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, cwd=self.dir, env=self.wine_env(board.path))
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        board.wait_received(1)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=STEP_TIMEOUT)
        self.assertEqual((out, err, proc.returncode), (b"", b"", 130))
        self.assertEqual(board.received, b"\x10")


def seek_jump(ticks):
    """The index in `ticks` (ticks_of's) of the first tick a seek on landed on, or None."""
    return next((k for k in range(1, len(ticks)) if ticks[k][1] > ticks[k - 1][1] + 50), None)


class Keys(WineTest):
    def test_q_at_the_console_ends_the_play_with_the_chip_silenced(self):
        # With a terminal for its standard streams, Wine gives the player a
        # console; keys come through the console input API.
        self.file("long.vgm", long_song())
        board = self.board()
        screen = Screen()
        self.addCleanup(screen.close)
        proc = self.spawn_wine("long.vgm", board=board, stdin=screen.slave, stdout=screen.slave)
        with screen.changed:
            shown = screen.changed.wait_for(lambda: b"writes/s" in ESCAPES.sub(b"", screen.shown), STEP_TIMEOUT)
        self.assertTrue(shown, screen.shown[-300:])
        screen.type(b"q")
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 0)
        self.assertEqual(proc.stderr.read(), b"")
        self.assertBoardStops(board)
        writes = self.chip_writes(board)
        self.assertEqual(writes[-len(silence()):], silence())
        self.assertLess(len(writes), 1200)

    def test_space_an_arrow_and_a_digit_at_the_console_pause_seek_and_mute(self):
        # Judged by the writes, as the Linux keys suite judges them: Wine's
        # console draws the status line too slowly to wait on it.
        self.file("keys.vgm", key_song())
        board = self.board()
        screen = Screen()
        self.addCleanup(screen.close)
        proc = self.spawn_wine("keys.vgm", board=board, stdin=screen.slave, stdout=screen.slave)
        ticks = lambda count: lambda w: len(ticks_of(w)) >= count  # noqa: E731
        self.wait_writes(board, ticks(5), "the music never started")
        screen.type(b" ")
        paused = self.wait_writes(board, lambda w: find_silence(w) >= 0, "space never silenced the chip")
        # Half a second of the pause: five ticks of the music would come in it.
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            self.assertEqual(self.regs(board), paused, "a write while paused")
            time.sleep(0.05)
        screen.type(b" ")
        have = len(ticks_of(paused))
        self.wait_writes(board, ticks(have + 3), "space never resumed the music")
        screen.type(RIGHT)
        self.wait_writes(board, lambda w: seek_jump(ticks_of(w)) is not None, "the arrow never seeked")
        self.wait_writes(board, ticks(len(ticks_of(self.regs(board))) + 3), "the music stopped after the seek")
        screen.type(b"1")
        self.wait_writes(board, lambda w: all((r, 127) in w for r in CH1_TOTALS), "1 never muted the carriers")
        self.wait_writes(board, ticks(len(ticks_of(self.regs(board))) + 3), "the music stopped after the mute")
        screen.type(b"q")
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 0)
        self.assertEqual(proc.stderr.read(), b"")
        self.assertBoardStops(board)
        writes = self.regs(board)
        self.assertEqual(writes[-len(silence()):], silence())
        writes = writes[:-len(silence())]

        # The pause: the silence alone; the resume's writes give the log's state back, then the next tick.
        cut = find_silence(writes)
        before, after = writes[:cut], writes[cut + len(silence()):]
        last = ticks_of(before)[-1][1]
        self.assertEqual(replay(before), log_state(last))
        self.assertEqual(ticks_of(after)[0][1], last + 1)
        resumed = replay(before + silence() + after[:after.index((0x28, 0xF0)) + 1])
        self.assertEqual({r: resumed[r] for r in log_state(last)}, log_state(last))
        # The seek: 10 s on is 100 ticks, keys off first, on the log's state there.
        seen = ticks_of(writes)
        jump = seek_jump(seen)
        at, before = seen[jump][0], seen[jump - 1][1]
        start = max(k for k in range(at) if writes[k] == (0x28, 0x00))
        end = writes.index((0x28, 0xF0), at) + 1
        chip = replay(writes[:end])
        landed = chip[0x31] * 128 + chip[0x30]
        self.assertIn(landed - before, range(99, 102))
        self.assertEqual({r: chip[r] for r in log_state(landed)}, log_state(landed))
        self.assertNotIn((0x28, 0xF0), writes[start:end - 1])
        # The mute: the carriers at 127 between two ticks, and no other level of theirs after it.
        muted = writes.index((0x40, 127))
        self.assertEqual(writes[muted - 1:muted + 4], [(0x28, 0xF0)] + [(r, 127) for r in CH1_TOTALS])
        self.assertEqual([w for w in writes[muted + 4:] if w[0] in CH1_TOTALS], [])
        self.assertGreaterEqual(len(ticks_of(writes[muted:])), 3)


if __name__ == "__main__":
    unittest.main()
