"""A collection played without a terminal: playlists and folders as FILE
arguments (a bad entry said in one line and skipped, status 2 at the end, a
loop of lists refused), the fade-out as the chip sees it, --stats and
--list counting the transforms' writes, and --info."""

import unittest

from logmaker import Vgm, gz
from play_harness import PlayerTest, silence

GD3 = ["Title %d", "", "Game", "", "", "", "Author"]


def looped_song(n):
    """Channel 1 on algorithm 7 at level 0x10, SSG A at 15, then a looped second of key-ons."""
    vgm = Vgm().write(0xB0, 0x07).write(0x40, 0x10).write(0x08, 0x0F).mark_loop()
    for _ in range(10):
        vgm.write(0x28, 0xF0).wait_ms(100)
    return vgm.file(gd3=[field.replace("%d", str(n)) for field in GD3])


class Collection(PlayerTest):
    def setUp(self):
        super().setUp()
        self.file("music/a.vgm", looped_song(1))
        self.file("music/b.vgz", gz(looped_song(2)))
        self.file("music/notes.txt", b"not a log")
        self.file("lists/all.m3u", b"#EXTM3U\n../music/a.vgm\n#EXTINF:3,Missing\n../music/missing.vgm\n"
                                   b"../music/b.vgz\nloop.m3u\n")
        self.file("lists/loop.m3u", b"all.m3u\n")

    def file(self, name, data):
        (self.dir / name).parent.mkdir(parents=True, exist_ok=True)
        return super().file(name, data)

    def one_song(self):
        """The writes of one play of looped_song with the loop twice."""
        return [(0xB0, 0x07), (0x40, 0x10), (0x08, 0x0F)] + [(0x28, 0xF0)] * 20

    def test_a_list_with_relative_paths_a_bad_entry_and_a_loop_of_lists(self):
        board = self.board()
        out, err, status = self.play("lists/all.m3u", board=board)
        self.assertBoardStops(board)
        self.assertEqual(out, "lists/../music/a.vgm\n  title: Title 1\n  game: Game\n  author: Author\n"
                              "lists/../music/b.vgz\n  title: Title 2\n  game: Game\n  author: Author\n")
        self.assertEqual(err, "ym2608-play: lists/all.m3u:4: lists/../music/missing.vgm: No such file or directory\n"
                              "ym2608-play: lists/loop.m3u:1: lists/all.m3u: a playlist already being read (a loop "
                              "of playlists): not followed\n")
        self.assertEqual(status, 2, "an entry was left out")
        self.assertEqual([(r, v) for _, r, v in self.writes(board)], (self.one_song() + silence()) * 2)

    def test_a_folder_plays_its_logs_in_name_order_and_a_bad_one_is_skipped(self):
        self.file("music/0-broken.vgm", b"Vgm nonsense")
        board = self.board()
        out, err, status = self.play("music", board=board)
        self.assertBoardStops(board)
        self.assertEqual(err, "ym2608-play: music/0-broken.vgm: truncated VGM header (12 bytes)\n")
        self.assertEqual(status, 2)
        self.assertEqual([line for line in out.splitlines() if not line.startswith(" ")],
                         ["music/a.vgm", "music/b.vgz"])
        self.assertEqual([(r, v) for _, r, v in self.writes(board)], (self.one_song() + silence()) * 2)

    def test_the_fade_only_rises_ends_in_silence_and_is_what_list_says(self):
        board = self.board()
        out, err, status = self.play("--fade", "1", "--mute", "fm2", "music/a.vgm", board=board)
        self.assertBoardStops(board)
        self.assertEqual((err, status), ("", 0))
        writes = self.writes(board)
        music = writes[:-len(silence())]
        self.assertEqual([(r, v) for _, r, v in writes[-len(silence()):]], silence())
        for reg, start, silent, rising in ((0x40, 0x10, 127, True), (0x08, 0x0F, 0, False)):
            with self.subTest(register=hex(reg)):
                levels = [v for _, r, v in music if r == reg]
                self.assertEqual((levels[0], levels[-1]), (start, silent))
                self.assertEqual(levels, sorted(levels, reverse=not rising), "the attenuation only rises")
                self.assertGreater(len(levels), 10, "in steps, not at once")
        # Two loops of a second, then a second of fade: the silence at its end.
        first, last = music[0][0], writes[-1][0]
        self.assertGreater((last - first) / 1e6, 2.9)
        # What reached the chip is what --list says is sent, and --stats counts the fade's writes.
        listed, _, _ = self.play("--stats", "--list", "--baud", "115200", "--fade", "1", "--mute", "fm2",
                                 "music/a.vgm")
        sent = [(int(f[1], 16), int(f[2], 16)) for f in (line.split() for line in listed.splitlines())
                if len(f) == 4 and f[3] == "send"]
        self.assertEqual([(r, v) for _, r, v in music], sent)
        self.assertIn("  fade-out      from 0:02.0 to 0:03.0, where the play ends\n  muted         fm2\n"
                      "  writes        33, 0 of them not sent (changing nothing, or muted), %d added by the mute "
                      "and the fade: %d sent\n" % (len(sent) - 33, len(sent)), listed)

    def test_info_describes_each_log_without_a_board(self):
        out, err, status = self.play("--info", "lists/all.m3u")
        one = ("lists/../music/%s: VGM, YM2608 at 7987200 Hz\n  title: Title %d\n  game: Game\n  author: Author\n"
               "  length        0:01.0 a pass\n  loop          from 0:00.0, 0:01.0 long\n"
               "  chips         YM2608 at 7987200 Hz\n  ADPCM memory  none\n"
               "  writes        13 a pass, 13.0 a second on average, 13 in the busiest second (from 0:00.0)\n")
        self.assertEqual(out, one % ("a.vgm", 1) + one % ("b.vgz", 2))
        self.assertEqual(len(err.splitlines()), 2)
        self.assertEqual(status, 2)
        self.assertEqual(self.play("--info", "music/a.vgm"), (one.replace("lists/../", "") % ("a.vgm", 1), "", 0))


if __name__ == "__main__":
    unittest.main()
