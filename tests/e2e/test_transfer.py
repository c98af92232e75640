"""Every failure row of the data file transfer, its size limits, and an
unplugged board in the middle of it."""

import os
import signal
import unittest

from expected import IDENTIFY, WELCOME, load, pattern, prompts, transfer, transfer_total
from harness import STEP_TIMEOUT, UNDER_WINE, E2ETest, wait_blocked_in_open


def at(kind, n, verdict):
    return lambda k, ordinal, index: verdict if (k == kind and ordinal == n) else None


class TransferFailures(E2ETest):
    def test_files_that_cannot_be_sent(self):
        self.file("small.bin", pattern(200, 1))
        self.file("just-short.bin", pattern(255, 2))
        board, *got = self.session("c\nt missing.bin\nt small.bin\nt just-short.bin\nt\nq\n")
        self.assertRun(got, prompts(WELCOME, "file open error.\n", "file read error.\n", "file read error.\n",
                                    "??\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY)

    def test_scripted_failures(self):
        rows = [
            (["--fail", "OP_STOP:1"], at("stop", 1, ("byte", 0x00))),
            (["--fail", "OP_WP_RESET:1:0x02"], at("wp", 1, ("byte", 0x02))),
            (["--fail", "OP_STREAM_DATA:3"], at("data", 3, ("byte", 0x00))),
            (["--fail", "OP_STREAM_DATA:16:0xff"], at("data", 16, ("byte", 0xFF))),
            (["--fail", "OP_START:1"], at("start", 1, ("byte", 0x00))),
            (["--short", "OP_STOP:1"], at("stop", 1, ("short",))),
            (["--short", "OP_WP_RESET:1"], at("wp", 1, ("short",))),
            (["--short", "OP_STREAM_DATA:2"], at("data", 2, ("short",))),
            (["--short", "OP_START:1"], at("start", 1, ("short",))),
        ]
        data = pattern(1000, 3)
        self.file("d.bin", data)
        for args, verdict in rows:
            with self.subTest(args=args):
                board, *got = self.session("c\nt d.bin\nq\n", *args)
                t_out, t_frames, streamed = transfer(data, verdict)
                self.assertRun(got, prompts(WELCOME, t_out, "exit!\n"))
                self.assertEqual(board.frames(), IDENTIFY + t_frames)

    def test_unplugged_in_the_middle_of_a_transfer(self):
        data = pattern(5000, 4)
        self.file("d.bin", data)
        # Identification, stop, wp reset, then 40 data frames answered: the board is gone.
        board, *got = self.session("c\nt d.bin\nt d.bin\nb\nq\n", "--hangup-after", "43")
        t_out, t_frames, streamed = transfer(data, lambda k, n, i: ("last",) if i == 42 else None)
        self.assertEqual(len(streamed), 2400)
        self.assertTrue(t_out.endswith("write error.\n\nconnection lost.\n"))
        self.assertRun(got, prompts(WELCOME, t_out, "no connect.\n", "no connect.\n", "exit!\n"))
        self.assertEqual(board.frames(), IDENTIFY + t_frames)
        self.assertEqual(board.stream(), streamed)


class TransferLimits(E2ETest):
    def test_sizes_around_the_limits(self):
        """Around 256 bytes read, 64 bytes held back and 32704 bytes sent."""
        sizes = [256, 257, 319, 320, 321, 32703, 32767, 32768, 32769, 40000]
        names = []
        for size in sizes:
            names.append(self.file("d%d.bin" % size, pattern(size, size)))
        script = "c\n" + "".join("t %s\n" % n for n in names) + "q\n"
        board, out, err, status = self.session(script)

        outs, frames, streams = [], list(IDENTIFY), []
        for size in sizes:
            t_out, t_frames, streamed = transfer(pattern(size, size))
            self.assertEqual(len(streamed), transfer_total(size))
            outs.append(t_out)
            frames += t_frames
            streams.append(streamed)
        self.assertRun((out, err, status), prompts(WELCOME, *outs, "exit!\n"))
        self.assertEqual(board.frames(), frames)

        # What each transfer left in the stream buffer, from the log: the data
        # frames between a wp reset and the start.
        got, current = [], None
        for frame in board.received():
            if frame == b"\x01":
                current = b""
            elif frame[0] == 0x02:
                current += frame[1:]
            elif frame == b"\x03\x02":
                got.append(current)
        self.assertEqual([len(g) for g in got], [192, 193, 255, 256, 257, 32639, 32703, 32704, 32704, 32704])
        self.assertEqual(got, streams)
        self.assertEqual(board.stream(), pattern(40000, 40000)[:32704])

    def test_a_large_transfer_draws_its_progress_every_32_frames(self):
        data = pattern(40000, 5)
        self.file("d.bin", data)
        board, out, err, status = self.session("c\nt d.bin\nq\n")
        t_out, t_frames, _ = transfer(data)
        self.assertRun((out, err, status), prompts(WELCOME, t_out, "exit!\n"))
        self.assertEqual(t_out.count("\r"), 18)
        self.assertTrue(t_out.endswith("\r( 32704/ 32704) 100% [oooooooooo]\n"))
        self.assertEqual(len([f for f in board.received() if f[0] == 0x02]), 546)


@unittest.skipIf(UNDER_WINE, "FIFOs are the POSIX console's")
class Fifos(E2ETest):
    def test_a_fifo_is_read_once_its_writer_comes_and_ctrl_c_ends_the_wait(self):
        data = pattern(1000, 6)
        os.mkfifo(self.dir / "fifo")
        board = self.board()
        console = self.spawn_console(board.path)
        console.stdin.write(b"c\nt fifo\nl fifo\nt fifo\nb\nq\n")
        console.stdin.close()
        # The writer comes only once the console waits for it, each time.
        for _ in range(2):
            wait_blocked_in_open(console.pid)
            with open(self.dir / "fifo", "wb") as writer:
                writer.write(data)
        os.kill(wait_blocked_in_open(console.pid), signal.SIGINT)
        out, err = console.stdout.read().decode(), console.stderr.read().decode()
        self.assertEqual(console.wait(timeout=STEP_TIMEOUT), 0)
        self.assertBoardStops(board)
        t_out, t_frames, streamed = transfer(data)
        l_out, l_err, l_frames, _ = load("fifo", data, 1, 0)
        self.assertEqual(out, prompts(WELCOME, t_out, l_out, "file read error.\n", "backlight on\n", "exit!\n"))
        self.assertEqual(err, l_err)
        self.assertEqual(board.frames(), IDENTIFY + t_frames + l_frames + [("rx", b"\x15\x00"), ("tx", b"\x01")])


if __name__ == "__main__":
    unittest.main()
