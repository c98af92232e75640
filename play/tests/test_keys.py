"""The keys at a terminal, judged by what reaches the chip (the emulator's
--log-writes): pause silences and resume gives the log's state back, mute
holds the carriers at 127, seek lands on the log's state, n and p move
through the list. The writes log is polled with a deadline; the player's
state is waited for on its status line."""

import time
import unittest

from logmaker import Vgm
from play_harness import STEP_TIMEOUT, PlayerTest, silence

CH1_TOTALS = (0x40, 0x44, 0x48, 0x4C)
SETUP = [(0xB0, 0x07), (0xB4, 0xC0), (0x07, 0x38)]  # channel 1: algorithm 7, all four operators carriers
RIGHT, LEFT = b"\x1b[C", b"\x1b[D"


def level(i):
    return (i * 5 + 3) & 0x7F


def tick_writes(i):
    """Tick i: a key-off, the tick's number in 0x31/0x30, the carriers' levels, every tenth tick SSG A's
    level, the key-on."""
    ssg = [(0x08, i // 10 & 0x0F)] if i % 10 == 0 else []
    return [(0x28, 0x00), (0x31, i >> 7), (0x30, i & 0x7F)] + [(r, level(i)) for r in CH1_TOTALS] + ssg + [
        (0x28, 0xF0)]


def key_song(ticks=600, ms=100):
    vgm = Vgm()
    for reg, value in SETUP:
        vgm.write(reg, value)
    for i in range(ticks):
        for reg, value in tick_writes(i):
            vgm.write(reg, value)
        vgm.wait_ms(ms)
    return vgm.file()


def log_state(i):
    """The log's register file after tick i."""
    state = dict(SETUP)
    for reg, value in tick_writes(i - i % 10) + tick_writes(i):
        state[reg] = value
    return state


def replay(writes, state=None):
    state = dict(state or {})
    for reg, value in writes:
        state[reg] = value
    return state


def ticks_of(writes):
    """(index in `writes`, tick number) of each 0x30 write, with 0x31 as replayed."""
    out, high = [], 0
    for n, (reg, value) in enumerate(writes):
        if reg == 0x31:
            high = value
        elif reg == 0x30:
            out.append((n, high * 128 + value))
    return out


def find_silence(writes, start=0):
    quiet = silence()
    for n in range(start, len(writes) - len(quiet) + 1):
        if writes[n:n + len(quiet)] == quiet:
            return n
    return -1


FIRST = bytes((i * 7 + 3) & 0xFF for i in range(8192))
SECOND = bytes((i * 11 + 5) & 0xFF for i in range(8192))
ADPCM_SETUP = [(0x101, 0xC0), (0x102, 0), (0x103, 0), (0x104, 0xFF), (0x105, 0), (0x109, 0xCD), (0x10A, 0x49)]


def memory_song(ticks=300, block_at=120):
    """key_song's ticks with the ADPCM unit set up, a block loaded before the music and another over it at
    tick `block_at` (12 s)."""
    vgm = Vgm().block(0, FIRST)
    for reg, value in SETUP + ADPCM_SETUP:
        vgm.write(reg, value)
    for i in range(ticks):
        if i == block_at:
            vgm.block(0, SECOND)
        for reg, value in tick_writes(i):
            vgm.write(reg, value)
        vgm.wait_ms(100)
    return vgm.file()


def frame_kinds(received):
    """m for a memory frame, w for a register write, - for the rest."""
    return "".join("m" if f[0] in (0x09, 0x0A) else "w" if f[0] in (0x13, 0x14) else "-" for f in received)


class Keys(PlayerTest):
    def setUp(self):
        super().setUp()
        self.file("keys.vgm", key_song())

    def more_ticks(self, board, count):
        have = len(ticks_of(self.regs(board)))
        return self.wait_writes(board, lambda w: len(ticks_of(w)) >= have + count, "the music stopped")

    def start(self, *args, files=("keys.vgm",), board_args=()):
        board = self.board(*board_args)
        proc, screen = self.spawn_with_terminal(*args, *files, board=board)
        screen.wait_for(b"writes/s")
        self.more_ticks(board, 5)
        return board, proc, screen

    def quit(self, board, proc, screen):
        screen.type(b"q")
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 0)
        self.assertEqual(proc.stderr.read(), b"")
        self.assertTrue(screen.restored())
        self.assertBoardStops(board)
        writes = self.regs(board)
        self.assertEqual(writes[-len(silence()):], silence())
        return writes[:-len(silence())]

    def test_pause_sends_only_the_silence_and_resume_gives_the_logs_state_back_on_time(self):
        board, proc, screen = self.start()
        screen.type(b" ")
        paused = screen.wait_for(b"paused")
        writes = self.wait_writes(board, lambda w: find_silence(w) >= 0, "the pause never silenced the chip")
        # Half a second of the pause: five ticks of the music would come in it.
        deadline = time.monotonic() + 0.5
        while time.monotonic() < deadline:
            self.assertEqual(self.regs(board), writes, "a write while paused")
            time.sleep(0.05)
        screen.type(b" ")
        screen.wait_for(b"writes/s", paused)
        self.more_ticks(board, 3)
        writes = self.quit(board, proc, screen)

        cut = find_silence(writes)
        before, after = writes[:cut], writes[cut + len(silence()):]
        held = replay(before)
        last = ticks_of(before)[-1][1]
        self.assertEqual(held, log_state(last))
        # The resume's writes first: once they are in, the chip holds the log's state at the pause.
        for k in range(len(after) + 1):
            if {r: v for r, v in replay(before + silence() + after[:k]).items() if r in held} == held:
                break
        else:
            self.fail("the chip never came back to the log's state")
        self.assertNotIn((0x30, (last + 1) & 0x7F), after[:k], "the music went on before the restore")
        self.assertEqual(after[k - 1], (0x28, 0xF0), "the held note keyed last")
        # Then the music from where it stopped: the next tick, none skipped.
        self.assertEqual([t for _, t in ticks_of(after[k:])][:3], [last + 1, last + 2, last + 3])

    def test_mute_holds_the_carriers_at_127_and_unmute_gives_the_logs_levels_back(self):
        board, proc, screen = self.start()
        screen.type(b"1")
        screen.wait_for(b"muted fm1")
        self.wait_writes(board, lambda w: all((r, 127) in w for r in CH1_TOTALS), "the carriers were not muted")
        self.more_ticks(board, 5)
        screen.type(b"1")
        self.wait_writes(board, lambda w: w[-1][0] not in CH1_TOTALS and any(
            r in CH1_TOTALS and v != 127 for r, v in w[w.index((0x4C, 127)):]), "the carriers never came back")
        self.more_ticks(board, 2)
        writes = self.quit(board, proc, screen)

        muted = writes.index((0x40, 127))
        # At the key, between two ticks; and back at the key, not with the log's next levels.
        self.assertEqual(writes[muted - 1:muted + 4], [(0x28, 0xF0)] + [(r, 127) for r in CH1_TOTALS])
        unmuted = next(n for n in range(muted + 4, len(writes))
                       if writes[n][0] in CH1_TOTALS and writes[n][1] != 127)
        between = writes[muted + 4:unmuted]
        self.assertGreaterEqual(len(ticks_of(between)), 5, "the log went on writing levels while muted")
        self.assertEqual([w for w in between if w[0] in CH1_TOTALS], [], "a level reached the chip while muted")
        # The levels the log wrote while muted: those of its last tick.
        tick = ticks_of(writes[:unmuted])[-1][1]
        self.assertEqual(writes[unmuted - 1:unmuted + 4], [(0x28, 0xF0)] + [(r, level(tick)) for r in CH1_TOTALS])
        self.assertEqual(ticks_of(writes[unmuted:])[0][1], tick + 1)

    def seek_landing(self, writes, back):
        """Where the seek key moved the ticks: (tick before, tick landed on, the chip's file after the seek's
        writes, the seek's writes)."""
        ticks = ticks_of(writes)
        for (_, before), (n, landed) in zip(ticks, ticks[1:]):
            if (landed < before - 50) if back else (landed > before + 50):
                break
        else:
            self.fail("no seek %s in the writes" % ("back" if back else "on"))
        start = max(k for k in range(n) if writes[k] == (0x28, 0x00))
        end = next(k for k in range(n, len(writes)) if writes[k] == (0x28, 0xF0)) + 1
        return before, landed, replay(writes[:end]), writes[start:end]

    def test_seek_on_and_back_lands_on_the_logs_state_keys_off_first(self):
        board, proc, screen = self.start()
        screen.type(RIGHT)
        self.wait_writes(board, lambda w: max(t for _, t in ticks_of(w)) > 100, "the seek on never came")
        self.more_ticks(board, 3)
        screen.type(LEFT)
        self.wait_writes(board, lambda w: ticks_of(w)[-1][1] < 90, "the seek back never came")
        self.more_ticks(board, 3)
        writes = self.quit(board, proc, screen)

        for back in (False, True):
            with self.subTest(back=back):
                before, landed, chip, seek = self.seek_landing(writes, back)
                # 10 s of song is 100 ticks; the key came between two of them.
                self.assertIn(landed - before, range(-101, -98) if back else range(99, 102))
                self.assertEqual({r: chip[r] for r in log_state(landed)}, log_state(landed))
                self.assertEqual(seek[0], (0x28, 0x00), "the held note keyed off first")
                self.assertEqual(seek[-1], (0x28, 0xF0), "the note held at the target keyed last")
                self.assertNotIn((0x28, 0xF0), seek[:-1])

    def test_a_seek_on_sends_the_block_it_jumps_over_and_a_seek_back_sends_none_again(self):
        self.file("mem.vgm", memory_song())
        board, proc, screen = self.start(files=("mem.vgm",), board_args=("--baud", "115200"))
        screen.type(RIGHT + RIGHT)  # from about 0:00.5 to 0:20.5, past the block at 0:12
        self.wait_writes(board, lambda w: max(t for _, t in ticks_of(w)) > 200, "the seek on never came")
        self.more_ticks(board, 6)
        screen.type(LEFT)  # back before the block: its place is played again
        self.wait_writes(board, lambda w: ticks_of(w)[-1][1] < 150, "the seek back never came")
        self.wait_writes(board, lambda w: ticks_of(w)[-1][1] >= 125, "the music never passed the block again")
        writes = self.quit(board, proc, screen)

        self.assertEqual(board.memory()[:len(SECOND)], SECOND)
        # Before the music, and at the seek on; not when the music passes the block after the seek back.
        kinds = frame_kinds(board.received())
        self.assertRegex(kinds, r"^-m+w+m+w+$")
        cut = kinds[:kinds.rindex("m")].count("w")  # register writes before the seek's load
        self.assertLess(max(t for _, t in ticks_of(writes[:cut])), 120, "music of the block's time came first")
        # The seek's writes follow the load, to the key-on of the note held at the target.
        end = writes.index((0x28, 0xF0), cut) + 1
        seek, chip = writes[cut:end], replay(writes[:end])
        landed = chip[0x31] * 128 + chip[0x30]
        self.assertIn(landed, range(200, 212))
        # The load went through the ADPCM unit: the seek gave it the log's settings again.
        for pair in ADPCM_SETUP:
            self.assertIn(pair, seek)
        self.assertEqual({r: chip[r] for r in log_state(landed)}, log_state(landed))
        # The load's time is the schedule's: the ticks after the landing keep their pace (not
        # bunched to catch up); the median gap, which one late wake-up does not move.
        timed = [(us, r, v) for us, r, v in self.writes(board)][:len(writes)]
        start = next(n for n, (_, r, v) in enumerate(timed) if n >= cut and r == 0x30 and v == (landed + 1) & 0x7F)
        times = [us for us, r, _ in timed[start:] if r == 0x30][:8]
        gaps = sorted(b - a for a, b in zip(times, times[1:]))
        self.assertAlmostEqual(gaps[len(gaps) // 2] / 1000, 100, delta=40)

    def test_speed_keys_step_the_pace_and_say_so(self):
        board, proc, screen = self.start()
        screen.type(b"+++")
        screen.wait_for(b"x1.5")
        start = len(ticks_of(self.regs(board)))
        self.more_ticks(board, 12)
        times = [us for us, r, _ in self.writes(board) if r == 0x30][start + 1:]
        gaps = sorted(b - a for a, b in zip(times, times[1:]))
        # 100 ms of song at 1.5 times: the median gap, which one late wake-up does not move.
        self.assertAlmostEqual(gaps[len(gaps) // 2] / 1000, 66.7, delta=8)
        screen.type(b"-")
        screen.wait_for(b"x1.25")
        self.quit(board, proc, screen)


class NextAndPrevious(PlayerTest):
    def test_n_and_p_move_through_the_list_and_p_later_restarts(self):
        for name in ("a.vgm", "b.vgm", "c.vgm"):
            self.file(name, key_song(ticks=300))
        self.file("list.m3u", b"a.vgm\nb.vgm\nc.vgm\n")
        board = self.board()
        proc, screen = self.spawn_with_terminal("list.m3u", board=board)
        at = screen.wait_for(b"1/3  a.vgm")
        screen.type(b"n")
        at = screen.wait_for(b"2/3  b.vgm", at)
        screen.type(b"p")  # within the first 3 s: the file before
        at = screen.wait_for(b"1/3  a.vgm", at)
        at = screen.wait_for(b" 0:03.", at)
        screen.type(b"p")  # later: this file again, from its start
        at = screen.wait_for(b" 0:00.", at)
        screen.type(b"q")
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 0)
        self.assertTrue(screen.restored())
        self.assertBoardStops(board)
        starts = [line for line in screen.shown.decode().split("\r\n") if line.endswith(".vgm")]
        self.assertEqual(starts, ["a.vgm", "b.vgm", "a.vgm", "a.vgm"])
        # Each file starts on a silenced chip: the silence before every start but the first.
        writes = [(r, v) for _, r, v in self.writes(board)]
        cuts, n = [], find_silence(writes)
        while n >= 0:
            cuts.append(n)
            n = find_silence(writes, n + 1)
        self.assertEqual(len(cuts), 4)
        for cut in cuts[:3]:
            self.assertEqual(ticks_of(writes[cut:])[0][1], 0, "the next file from its start")


if __name__ == "__main__":
    unittest.main()
