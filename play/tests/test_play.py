"""The player end to end: what reaches the chip, in what order, when, and
what the user sees."""

import os
import re
import subprocess
import unittest

from logmaker import S98, Vgm, burst, gz
from play_harness import PLAY, STEP_TIMEOUT, PlayerTest, read_terminal_until, silence

# Writes at the song's start and what the filter does with each: every
# register the chip acts on when written is sent again, plain settings that
# keep their value are not.
START = [
    (0x29, 0x80, True), (0x40, 0x10, True), (0x40, 0x10, False),  # total level kept
    (0x28, 0xF0, True), (0x28, 0xF0, True),                       # key on twice
    (0xA4, 0x22, True), (0xA0, 0x11, True), (0xA4, 0x22, True), (0xA0, 0x11, True),  # F-number pairs
    (0x10B, 0x80, True), (0x10B, 0x80, False),                    # ADPCM level kept
    (0x0D, 0x08, True), (0x0D, 0x08, True),                       # envelope shape restarts
    (0x10, 0x01, True), (0x10, 0x01, True),                       # rhythm key-on
    (0x100, 0xA0, True), (0x100, 0xA0, True),                     # ADPCM start
    (0x27, 0x30, True), (0x27, 0x30, True),                       # timer reset bits
    (0x1A4, 0x12, True), (0x1A0, 0x34, True), (0x1A4, 0x12, True), (0x1A0, 0x34, True),
    (0x07, 0x38, True), (0x07, 0x38, False),                      # SSG mixer kept
    (0x140, 0x7F, True), (0x140, 0x7F, False),
]
LATER = [(0x40, 0x10, False), (0x40, 0x11, True), (0x28, 0x00, True)]


def start_logs():
    vgm, s98 = Vgm(), S98()
    for reg, value, _ in START:
        vgm.write(reg, value)
        s98.write(reg, value)
    vgm.wait_ms(10)
    s98.wait(10)
    for reg, value, _ in LATER:
        vgm.write(reg, value)
        s98.write(reg, value)
    vgm.wait_ms(10)
    s98.wait(10)
    return {"song.vgm": vgm.file(), "song.vgz": gz(vgm.file()), "song.s98": s98.file()}


class Writes(PlayerTest):
    def test_exact_writes_with_and_without_dropping_in_every_format(self):
        sent = [(reg, value) for reg, value, keep in START + LATER if keep]
        every = [(reg, value) for reg, value, _ in START + LATER]
        for name, data in start_logs().items():
            self.file(name, data)
            for options, expected in (((), sent), (("--no-drop",), every)):
                with self.subTest(file=name, options=options):
                    board = self.board(name=name + "".join(options))
                    out, err, status = self.play(*options, name, board=board)
                    self.assertBoardStops(board)
                    self.assertEqual((err, status), ("", 0))
                    self.assertEqual(out, name + "\n")
                    self.assertEqual([(r, v) for _, r, v in self.writes(board)], expected + silence())
                    # The identification, then the writes: no frame but these.
                    received = board.received()
                    self.assertEqual(received[0], b"\x10")
                    self.assertEqual(len(received), 1 + len(expected) + len(silence()))

    def test_loops_play_the_looped_part_again(self):
        vgm = Vgm().write(0x40, 1).wait_ms(5).mark_loop().write(0x41, 2).wait_ms(5).write(0x41, 3).wait_ms(5)
        self.file("loop.vgm", vgm.file())
        for loops, passes in (("1", 1), ("3", 3)):
            with self.subTest(loops=loops):
                board = self.board(name="loops" + loops)
                _, err, status = self.play("--loops", loops, "loop.vgm", board=board)
                self.assertBoardStops(board)
                self.assertEqual((err, status), ("", 0))
                expected = [(0x40, 1)] + [(0x41, 2), (0x41, 3)] * passes
                self.assertEqual([(r, v) for _, r, v in self.writes(board)], expected + silence())

    def test_files_play_one_after_another_each_silenced(self):
        self.file("a.vgm", Vgm().write(0x40, 1).wait_ms(5).file())
        self.file("b.s98", S98().write(0x41, 2).wait(5).file())
        board = self.board()
        out, err, status = self.play("a.vgm", "b.s98", board=board)
        self.assertBoardStops(board)
        self.assertEqual((out, err, status), ("a.vgm\nb.s98\n", "", 0))
        self.assertEqual([(r, v) for _, r, v in self.writes(board)],
                         [(0x40, 1)] + silence() + [(0x41, 2)] + silence())


class Memory(PlayerTest):
    def test_vgm_blocks_reach_the_memory_before_the_music(self):
        first = bytes((i * 7 + 3) & 0xFF for i in range(1000))
        second = bytes((i * 13 + 1) & 0xFF for i in range(300))
        tail = bytes(range(40))  # the memory's last bytes: the load must stay inside it
        vgm = (Vgm().block(0, first).block(0x8010, second).block(0, b"").block(256 * 1024 - 40, tail)
               .block(0, b"\x55" * 10, type_=0x82)  # another chip's memory: skipped
               .write(0x100, 0x01).write(0x28, 0xF0).wait_ms(5))
        self.file("mem.vgm", vgm.file())
        board = self.board()
        out, err, status = self.play("mem.vgm", board=board)
        self.assertBoardStops(board)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, "mem.vgm\n  ADPCM memory: 1856 bytes loaded\n")
        self.assertIn("note: skipped 1 commands for other chips or other data (0x67)", err)
        memory = board.memory()
        self.assertEqual(memory[:1000], first)
        self.assertEqual(memory[0x8010:0x8010 + 300], second)
        self.assertEqual(memory[-40:], tail)
        # Every memory frame came before the first register write.
        received = board.received()
        first_write = next(i for i, f in enumerate(received) if f[0] in (0x13, 0x14))
        self.assertFalse(any(f[0] in (0x09, 0x0A) for f in received[first_write:]))
        self.assertEqual([(r, v) for _, r, v in self.writes(board)], [(0x100, 0x01), (0x28, 0xF0)] + silence())

    def test_a_block_that_overwrites_an_earlier_one_is_loaded_at_its_time(self):
        first = bytes((i * 7 + 3) & 0xFF for i in range(1024))
        second = bytes((i * 11 + 5) & 0xFF for i in range(1024))
        setup = [(0x101, 0xC0), (0x102, 0), (0x103, 0), (0x104, 0x1F), (0x105, 0), (0x109, 0xCD), (0x10A, 0x49),
                 (0x10B, 0x80)]
        vgm = Vgm()
        for reg, value in setup:
            vgm.write(reg, value)
        vgm.wait_ms(1000).block(0, first).write(0x100, 0xA0)  # the first sample at 1 s
        for i in range(10):
            vgm.wait_ms(100).write(0x40, i)
        vgm.block(0, second).write(0x100, 0x01).write(0x100, 0xA0)  # the second, at the same address, at 2 s
        for i in range(10):
            vgm.wait_ms(100).write(0x41, i)
        self.file("two.vgm", vgm.file())
        board = self.board("--baud", "115200")
        out, err, status = self.play("two.vgm", board=board)
        self.assertBoardStops(board)
        self.assertEqual((out, err, status), ("two.vgm\n  ADPCM memory: 1024 bytes loaded\n", "", 0))
        self.assertEqual(board.memory()[:1024], second)
        # The first block before the music, the second between the two sections.
        received = board.received()
        kinds = "".join("m" if f[0] in (0x09, 0x0A) else "w" if f[0] in (0x13, 0x14) else "-" for f in received)
        self.assertRegex(kinds, r"^-m+w{%d}m+w+$" % (len(setup) + 11))
        loads = [f for f in received if f[0] == 0x09]
        self.assertEqual(b"".join(f[4:] for f in loads[:len(loads) // 2]), first)
        self.assertEqual(b"".join(f[4:] for f in loads[len(loads) // 2:]), second)
        # After the load the ADPCM unit's settings are the log's again; then the second section.
        timed = self.writes(board)
        writes = [(r, v) for _, r, v in timed]
        head = setup + [(0x100, 0xA0)] + [(0x40, i) for i in range(10)]
        self.assertEqual(writes[:len(head)], head)
        restore = writes[len(head):len(head) + len(setup)]
        self.assertEqual(sorted(restore), sorted(setup))
        rest = [(0x100, 0x01), (0x100, 0xA0)] + [(0x41, i) for i in range(10)]
        self.assertEqual(writes[len(head) + len(setup):], rest + silence())
        # The load's time is added to the schedule: the second section keeps its own pace.
        # (Counted as nothing, the first write after it would come at once: 100 ms early.)
        start = timed[len(head) + len(setup) + 1][0]
        offsets = [timed[len(head) + len(setup) + 2 + k][0] - start - 100_000 * (k + 1) for k in range(10)]
        # Early is never the machine's load; late can be, so the pace is its median
        # (counted twice, the load would put every write some 90 ms late).
        self.assertGreater(min(offsets), -40_000, offsets)
        self.assertLess(sorted(offsets)[len(offsets) // 2], 40_000, offsets)

    def test_blocks_of_the_looped_part_that_overwrite_each_other_are_loaded_on_every_pass(self):
        x, y = bytes([0x11]) * 100, bytes([0x22]) * 100
        vgm = Vgm().mark_loop().block(0, x).write(0x40, 1).wait_ms(50).block(0, y).write(0x40, 2).wait_ms(50)
        self.file("loop.vgm", vgm.file())
        board = self.board()
        out, err, status = self.play("--loops", "2", "loop.vgm", board=board)
        self.assertBoardStops(board)
        self.assertEqual((out, err, status), ("loop.vgm\n", "", 0))
        received = board.received()
        kinds = "".join("m" if f[0] in (0x09, 0x0A) else "w" if f[0] in (0x13, 0x14) else "-" for f in received)
        self.assertRegex(kinds, r"^-(m+w+){4}$")
        firsts = [f[4] for i, f in enumerate(received) if f[0] == 0x09 and received[i - 1][0] != 0x09]
        self.assertEqual(firsts, [0x11, 0x22, 0x11, 0x22])
        self.assertEqual(board.memory()[:100], y)

    def test_s98_memory_writes_go_as_blocks_with_the_registers_kept(self):
        data = bytes((i * 5 + 11) & 0xFF for i in range(3000))
        s98 = (S98().write(0x29, 0x80).memory_write(0x10, 0x10 + 3000 // 32, data)
               .write(0x10, 0x80).memory_write(0x200, 0x200, b"\x99").wait(3).write(0x28, 0xF0).wait(3))
        self.file("mem.s98", s98.file())
        board = self.board()
        out, err, status = self.play("mem.s98", board=board)
        self.assertBoardStops(board)
        self.assertEqual((err, status), ("", 0))
        memory = board.memory()
        self.assertEqual(memory[0x200:0x200 + 3000], data)
        self.assertEqual(memory[0x4000], 0x99)
        # The same register writes as the log, less its 3001 data writes.
        controls = [(0x100, 0x61), (0x100, 0x60), (0x101, 0x02)]
        expected = ([(0x29, 0x80)] + controls + [(0x102, 0x10), (0x103, 0), (0x104, 0x10 + 3000 // 32), (0x105, 0),
                    (0x100, 0x00), (0x10, 0x80)] + controls + [(0x102, 0), (0x103, 2), (0x104, 0), (0x105, 2),
                    (0x100, 0x00), (0x28, 0xF0)])
        self.assertEqual([(r, v) for _, r, v in self.writes(board)], expected + silence())


class Timing(PlayerTest):
    def test_writes_arrive_on_time_at_speed(self):
        vgm = Vgm()
        for i in range(6):
            vgm.write(0x40, i).wait_ms(400)
        self.file("tick.vgm", vgm.file())
        board = self.board()
        _, err, status = self.play("--speed", "4", "tick.vgm", board=board)
        self.assertBoardStops(board)
        self.assertEqual((err, status), ("", 0))
        writes = self.writes(board)
        music = writes[:6]
        self.assertEqual([v for _, _, v in music], list(range(6)))
        first = music[0][0]
        # Each write's offset from its due time (its place in the schedule,
        # 100 ms apart) differs from the others' only by what a loaded
        # machine's wake-ups cost: no drift, no unscaled wait (that would put
        # them 300 ms further apart each). One wake-up may be late on a loaded
        # machine; the others keep the pace.
        offsets = [us - first - i * 100_000 for i, (us, _, _) in enumerate(music)]
        middle = sorted(offsets)[len(offsets) // 2]
        paced = [o for o in offsets if abs(o - middle) < 40_000]
        self.assertGreaterEqual(len(paced), len(offsets) - 1, offsets)
        # The song lasts 2.4 s, at 4 times 600 ms: the silence comes after its end.
        self.assertGreaterEqual(writes[6][0] - first, 580_000)
        self.assertLess(writes[6][0] - first, 1_000_000)

    def test_the_lateness_shown_counts_what_the_line_still_carries(self):
        # 900 bytes due at once on a line of 9600 baud: the last reaches the
        # board 937.5 ms late, though a pseudo-terminal says nothing is queued.
        self.file("burst.vgm", burst(300, 1500))
        board = self.board("--baud", "9600")
        proc, terminal = self.spawn_at_terminal("burst.vgm", board=board)
        shown = read_terminal_until(terminal, b" ms ")
        shown += read_terminal_until(terminal, b" ms ")
        self.assertEqual(proc.wait(timeout=STEP_TIMEOUT), 0)
        self.assertBoardStops(board)
        late = [float(ms) for ms in re.findall(rb"late +(\d+\.\d) ms", shown)]
        self.assertGreaterEqual(len(late), 2)
        for ms in late:
            self.assertGreaterEqual(ms, 937.5)
            self.assertLess(ms, 2000)


class Text(PlayerTest):
    def test_tags_notes_and_the_clock_warning(self):
        vgm = Vgm().raw(b"\x50\x9f\xa0\x01\x02").write(0x28, 0).wait_ms(5)
        self.file("tags.vgm", vgm.file(clock=8000000, gd3=["Temple", "", "Quest", "", "PC-98", "", "Me\x1b[31m"]))
        board = self.board()
        out, err, status = self.play("tags.vgm", board=board)
        self.assertBoardStops(board)
        self.assertEqual(status, 0)
        self.assertEqual(out, "tags.vgm\n  title: Temple\n  game: Quest\n  system: PC-98\n  author: Me[31m\n")
        self.assertEqual(err.splitlines(), [
            "ym2608-play: tags.vgm: note: skipped 2 commands for other chips or other data (0x50, 0xa0)",
            "ym2608-play: tags.vgm: warning: the log's YM2608 runs at 8000000 Hz, the board's at 7987200 Hz: "
            "the music plays 2.8 cents flat"])

    def test_stats_plays_nothing(self):
        vgm = Vgm()
        for reg, value, _ in START:
            vgm.write(reg, value)
        vgm.wait_ms(1000)
        self.file("s.vgm", vgm.file())
        board = self.board()
        out, err, status = self.play("--stats", "--baud", "115200", "--list", "s.vgm", board=board)
        self.assertBoardStops(board)
        self.assertEqual((err, status), ("", 0))
        self.assertEqual(board.received(), [])
        lines = out.splitlines()
        self.assertEqual(lines[:4], [
            "s.vgm: VGM, YM2608 at 7987200 Hz",
            "  length        0:01.0, no loop",
            "  writes        27, 23 after dropping those that change nothing (14.8% dropped)",
            "  ADPCM memory  0 bytes in 0 blocks, before the music"])
        self.assertEqual(lines[4], "  peak burst    23 writes due at 0:00.0")
        self.assertEqual(lines[5], "  line          115200 baud: 0.6% busy on average, 0.6% in the busiest second")
        self.assertEqual(lines[6], "  lateness      median 3.12 ms, 99% within 5.99 ms, at most 5.99 ms (at 0:00.0)")
        listed = lines[8:]
        self.assertEqual(len(listed), len(START) + 1)
        self.assertEqual(listed[-1], "1000000 end")
        self.assertEqual(listed[:3], ["0 029 80 send", "0 040 10 send", "0 040 10 drop"])

    @unittest.skipIf(os.environ.get("YM2608_SANITIZED") == "1", "the sanitizers' shadow memory dwarfs the player's")
    def test_stats_of_a_thousand_loops_counts_without_keeping_every_write(self):
        vgm = Vgm().write(0x29, 0x80).mark_loop()
        for i in range(5000):  # 5000 writes a pass, five million in all
            vgm.write(0x40 + i % 3, i & 0x7F).wait(2)
        self.file("long.vgm", vgm.file())
        with open(self.dir / "stats.out", "wb") as out, open(self.dir / "stats.err", "wb") as err:
            proc = subprocess.Popen([PLAY, "--stats", "--baud", "115200", "--loops", "1000", "long.vgm"],
                                    cwd=self.dir, stdout=out, stderr=err, env=self.env())
        # Reaped here, for the figures of this one process.
        _, status, usage = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        self.assertEqual(((self.dir / "stats.err").read_bytes(), proc.returncode), (b"", 0))
        # Five million writes kept would take 80 MB each way; counting takes a few.
        self.assertLess(usage.ru_maxrss, 40 * 1024, "peak resident kilobytes")
        lines = (self.dir / "stats.out").read_text().splitlines()
        self.assertEqual(lines[1], "  length        3:46.7, the looped part (from 0:00.0) played 1000 times in all")
        self.assertEqual(lines[2], "  writes        5000001, 5000001 after dropping those that change nothing "
                                   "(0.0% dropped)")
        # A line far too slow for the tune: every lateness a different one.
        self.assertEqual(lines[6], "  lateness      median 537661.62 ms, 99% within 1064569.71 ms, "
                                   "at most 1075322.94 ms (at 3:46.7)")

    def test_help_and_version(self):
        out, err, status = self.play("--version")
        self.assertEqual((out, err, status), ("ym2608-play 0.2.0\n", "", 0))
        out, err, status = self.play("--help")
        self.assertEqual(status, 0)
        for option in ("--port PATH", "--baud N", "--loops N", "--speed X", "--board-clock HZ", "--stats",
                       "--list", "--no-drop"):
            self.assertRegex(out, r"\n  " + re.escape(option))


if __name__ == "__main__":
    unittest.main()
