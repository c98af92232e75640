"""Every failure row of the loader, through scripted and cut-short replies and
an unplugged board."""

import unittest

from expected import IDENTIFY, WELCOME, load, pattern, play, prompts
from harness import E2ETest


def fail_nth(kind, n, verdict):
    return lambda k, ordinal, index: verdict if (k == kind and ordinal == n) else None


class LoaderFailures(E2ETest):
    def test_missing_and_empty_files(self):
        self.file("empty.bin", b"")
        (self.dir / "folder.bin").mkdir()
        board, *got = self.session("c\nl missing.bin\nl empty.bin\nl folder.bin\nq\n")
        self.assertRun(got, prompts(WELCOME, "", "", "", "exit!\n"),
                       "file read error.\nread error.\n" + "%s" % got[1][len("file read error.\nread error.\n"):])
        self.assertIn(got[1][len("file read error.\nread error.\n"):], ["file read error.\n", "read error.\n"])
        self.assertEqual(board.frames(), IDENTIFY, "nothing is sent for a file that cannot be read")

    def test_scripted_failures(self):
        """Each row: an emulator option, the file, which frame of the load it
        refuses, and the units the slot records: what confirmed commits hold."""
        rows = [
            (["--fail", "OP_CACHE_WRITE:3"], 1000, fail_nth("write", 3, ("byte", 0x00)), 0),
            (["--fail", "OP_CACHE_WRITE:1:0x02"], 1000, fail_nth("write", 1, ("byte", 0x02)), 0),
            (["--fail", "OP_CACHE_WRITE:17:0xff"], 1000, fail_nth("write", 17, ("byte", 0xFF)), 0),
            (["--fail", "OP_CACHE_COMMIT:1"], 1000, fail_nth("commit", 1, ("byte", 0x00)), 0),
            (["--fail", "OP_CACHE_COMMIT:2"], 8292, fail_nth("commit", 2, ("byte", 0x00)), 256),
            (["--fail", "OP_CACHE_COMMIT:2"], 20000, fail_nth("commit", 2, ("byte", 0x00)), 256),
            (["--short", "OP_CACHE_WRITE:2"], 1000, fail_nth("write", 2, ("short",)), 0),
            (["--short", "OP_CACHE_COMMIT:1"], 8192, fail_nth("commit", 1, ("short",)), 0),
        ]
        for args, size, verdict, units in rows:
            with self.subTest(args=args):
                data = pattern(size, size)
                self.file("s.bin", data)
                board, *got = self.session("c\nl s.bin\np 1\nq\n", *args)
                l_out, l_err, l_frames, recorded = load("s.bin", data, 1, 0, verdict)
                self.assertEqual(recorded, units)
                gone = l_frames[-1][0] == "hangup"
                self.assertRun(got, prompts(WELCOME, l_out, "no connect.\n" if gone else "", "exit!\n"), l_err)
                after = [] if gone else play(0, units)
                self.assertEqual(board.frames(), IDENTIFY + l_frames + after)

    def test_unplugged_in_the_middle_of_a_load(self):
        data = pattern(1000, 9)
        self.file("s.bin", data)
        # Frame 1 is the identification; the board answers 4 cache writes and is gone.
        board, *got = self.session("c\nl s.bin\nl s.bin\nb\np 1\nq\n", "--hangup-after", "5")
        l_out, l_err, l_frames, units = load("s.bin", data, 1, 0,
                                             lambda k, n, i: ("last",) if i == 4 else None)
        # Four chunks reached the cache, none a commit: the slot holds nothing,
        # the fifth frame finds the board gone, and the link is closed.
        self.assertEqual(units, 0)
        self.assertTrue(l_out.endswith("idx:1:[0,0]\nconnection lost.\n"))
        self.assertRun(got, prompts(WELCOME, l_out, "no connect.\n", "no connect.\n", "no connect.\n", "exit!\n"),
                       l_err)
        self.assertEqual(board.frames(), IDENTIFY + l_frames)


if __name__ == "__main__":
    unittest.main()
