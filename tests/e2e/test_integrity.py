"""Samples land byte for byte where their idx: line says, up to a full memory."""

import unittest

from expected import IDENTIFY, WELCOME, load, pattern, play, prompts
from harness import E2ETest

MEMORY = 262144


class SampleMemory(E2ETest):
    def test_files_of_every_awkward_size_land_where_recorded(self):
        sizes = [1, 59, 60, 61, 511, 512, 8191, 8192, 8193, 65536, 70000]
        files = [(self.file("s%d.bin" % size, pattern(size, size)), pattern(size, size)) for size in sizes]
        script = "c\n" + "".join("l %s\n" % name for name, _ in files) + "q\n"
        board, out, err, status = self.session(script)

        outs, frames, starts, start = [], list(IDENTIFY), [], 0
        for slot, (name, data) in enumerate(files, start=1):
            l_out, l_err, l_frames, units = load(name, data, slot, start)
            self.assertEqual(l_err, "")
            outs.append(l_out)
            frames += l_frames
            starts.append(start)
            start += units
        self.assertRun((out, err, status), prompts(WELCOME, *outs, "exit!\n"))
        self.assertEqual(board.frames(), frames)

        recorded = [line for line in out.split("\n") if "idx:" in line]
        self.assertEqual([line[line.index("idx:"):] for line in recorded], [
            "idx:1:[0,1]", "idx:2:[1,2]", "idx:3:[3,2]", "idx:4:[5,2]", "idx:5:[7,16]", "idx:6:[23,16]",
            "idx:7:[39,256]", "idx:8:[295,256]", "idx:9:[551,257]", "idx:10:[808,2048]",
            "idx:11:[2856,2188]"])
        memory = board.memory()
        for (name, data), unit in zip(files, starts):
            with self.subTest(file=name):
                self.assertEqual(memory[unit * 32:unit * 32 + len(data)], data)

    def test_a_full_memory_refuses_the_next_load(self):
        full = pattern(MEMORY, 1)
        self.file("full.bin", full)
        self.file("one.bin", b"\x42")
        board, out, err, status = self.session("c\nl full.bin\nl one.bin\np 1\np 2\nq\n")
        l_out, _, l_frames, units = load("full.bin", full, 1, 0)
        self.assertEqual(units, 8192)
        self.assertTrue(l_out.endswith("\nidx:1:[0,8192]\n"))
        self.assertRun((out, err, status),
                       prompts(WELCOME, l_out, "[one.bin] -> [8192,1]\n", "", "", "exit!\n"),
                       "sample memory full.\n")
        self.assertEqual(board.frames(), IDENTIFY + l_frames + play(0, 8192) + play())
        self.assertEqual(board.memory(), full)

    def test_a_load_that_would_pass_the_end_is_refused_whole(self):
        # With 8000 units in use, a page-sized file (256 units) would pass the
        # end and is refused before any frame; a 200-byte one (one granule of
        # 16 units) still fits, into the slot number after the refused one.
        first = pattern(8000 * 32, 2)
        self.file("big.bin", first)
        self.file("small.bin", pattern(200, 3))
        self.file("page.bin", pattern(8192, 4))
        board, out, err, status = self.session("c\nl big.bin\nl page.bin\nl small.bin\nq\n")
        big_out, _, big_frames, _ = load("big.bin", first, 1, 0)
        small_out, _, small_frames, _ = load("small.bin", pattern(200, 3), 3, 8000)
        self.assertRun((out, err, status),
                       prompts(WELCOME, big_out, "[page.bin] -> [8000,8192]\n", small_out, "exit!\n"),
                       "sample memory full.\n")
        self.assertEqual(board.frames(), IDENTIFY + big_frames + small_frames)
        memory = board.memory()
        self.assertEqual(memory[:len(first)], first)
        self.assertEqual(memory[8000 * 32:8000 * 32 + 200], pattern(200, 3))


if __name__ == "__main__":
    unittest.main()
