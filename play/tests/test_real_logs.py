"""The three real logs in ../shared/vgm (a YM2608 tracker's demo songs, each
as VGM and as S98), when that folder is there: the two formats must leave the
chip's memory identical and give it the same writes, the S98's memory-load
registers apart. Skipped in a fresh clone."""

import struct
import unittest

from play_harness import ROOT, PlayerTest

SHARED = ROOT.parent / "shared" / "vgm"
SPEED = 40


def vgm_blocks(data):
    """The type 0x81 blocks of a VGM as (address, bytes), found by walking its commands."""
    blocks = []
    p = 0x34 + struct.unpack_from("<I", data, 0x34)[0]
    lengths = {0x61: 3, 0x62: 1, 0x63: 1, 0x56: 3, 0x57: 3}
    while data[p] != 0x66:
        if data[p] == 0x67:
            size = struct.unpack_from("<I", data, p + 3)[0] & 0x7FFFFFFF
            if data[p + 2] == 0x81 and size > 8:
                blocks.append((struct.unpack_from("<I", data, p + 11)[0], data[p + 15:p + 7 + size]))
            p += 7 + size
        else:
            p += lengths.get(data[p], 1 if 0x70 <= data[p] <= 0x7F else 3)
    return blocks


@unittest.skipUnless(SHARED.is_dir(), "no ../shared/vgm here")
class RealLogs(PlayerTest):
    def run_song(self, path, name):
        board = self.board(name=name)
        _, err, status = self.play("--speed", str(SPEED), "--loops", "1", str(path), board=board, timeout=120)
        self.assertBoardStops(board)
        self.assertEqual(status, 0, err)
        return board

    def test_vgm_and_s98_give_the_chip_the_same(self):
        for song in ("Temple_Theme", "Lotus"):
            with self.subTest(song=song):
                vgm = self.run_song(SHARED / (song + ".vgm"), song + "-vgm")
                s98 = self.run_song(SHARED / (song + ".s98"), song + "-s98")
                self.assertEqual(vgm.memory(), s98.memory())
                for address, payload in vgm_blocks((SHARED / (song + ".vgm")).read_bytes()):
                    self.assertEqual(vgm.memory()[address:address + len(payload)], payload)
                a = [(r, v) for _, r, v in self.writes(vgm)]
                b = [(r, v) for _, r, v in self.writes(s98)]
                # The S98 carries its memory load's register writes in one
                # run at the start; everything else is the same.
                head = next((i for i in range(len(a)) if a[i] != b[i]), len(a))
                extra = len(b) - len(a)
                self.assertEqual(a[head:], b[head + extra:])
                self.assertTrue(all(0x100 <= r <= 0x110 for r, _ in b[head:head + extra]), b[head:head + extra])
                # The song's length at the speed: from the first write to the silence.
                times = [us for us, _, _ in self.writes(vgm)]
                length_us = {"Temple_Theme": 107_200_000, "Lotus": 96_000_000}[song] / SPEED
                self.assertAlmostEqual(times[-11] - times[0], length_us, delta=length_us * 0.03)


if __name__ == "__main__":
    unittest.main()
