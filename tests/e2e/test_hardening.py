"""An unplugged board at every frame of a sample load and of a data file
transfer, and the console's memory bound on a huge file.

For each frame K of the exchange the emulator answers K frames and is then
gone. Every run must end by itself, print the command's failure line, record
the slot with what the board had confirmed, keep every confirmed page in the
board's memory, and still quit with status 0 on `q`.
"""

import os
import re
import shutil
import subprocess
import unittest
from concurrent.futures import ThreadPoolExecutor

from expected import IDENTIFY, WELCOME, load, pattern, prompts, transfer
from harness import STEP_TIMEOUT, UNDER_WINE, Board, E2ETest

WORKERS = 4
PAGE = 8192


def unplugged_after(k):
    """The verdict of a command whose frames come after the identification,
    with the board answering k frames in all."""
    if k == 1:
        return lambda kind, ordinal, index: ("short",) if index == 1 else None
    return lambda kind, ordinal, index: ("last",) if index == k - 1 else None


def without_final_hangup(frames):
    """A board unplugged after the command's last frame is seen gone only when
    something more arrives; after `q` nothing does."""
    return frames[:-1] if frames and frames[-1][0] == "hangup" else frames


class UnpluggedSweep(E2ETest):
    def sweep(self, name, frames_in_all, run_one):
        with ThreadPoolExecutor(WORKERS) as pool:
            failures = [f for f in pool.map(run_one, range(1, frames_in_all + 2)) if f]
        self.assertEqual(failures, [], "%s: %d of %d runs went wrong" % (name, len(failures), frames_in_all + 1))

    def run_session(self, k, script):
        board = Board(self.dir, "--hangup-after", str(k), name="k%d" % k)
        try:
            result = subprocess.run([self.console_path()], input=script.encode(), capture_output=True,
                                    cwd=self.dir, env=self.env(board.path), timeout=STEP_TIMEOUT)
            status = board.stop()
            return board, result, status
        except BaseException:
            board.kill()
            raise

    def console_path(self):
        from harness import CONSOLE
        return CONSOLE

    def test_sample_load_unplugged_at_every_frame(self):
        data = pattern(20000, 20)
        self.file("s.bin", data)
        # 3 pages: 137 + 137 + 61 cache writes, each page with its commit.
        commits = {138: PAGE, 276: 2 * PAGE, 338: len(data)}

        def run_one(k):
            board, result, status = self.run_session(k, "c\nl s.bin\nq\n")
            l_out, l_err, l_frames, units = load("s.bin", data, 1, 0, unplugged_after(k))
            frames = IDENTIFY + ([("hangup", b"")] if k == 1 else l_frames)
            committed = max([0] + [n for index, n in commits.items() if index <= k - 1])
            checks = [
                (result.stdout.decode("latin-1"), prompts(WELCOME, l_out, "exit!\n")),
                (result.stderr.decode("latin-1"), l_err),
                (result.returncode, 0),
                (status, 0),
                (without_final_hangup(board.frames()), without_final_hangup(frames)),
                (board.memory()[:committed], data[:committed]),
            ]
            wrong = [i for i, (got, want) in enumerate(checks) if got != want]
            return "K=%d: checks %s failed" % (k, wrong) if wrong else None

        self.sweep("l", 338 + 1, run_one)

    def test_data_transfer_unplugged_at_every_frame(self):
        data = pattern(5000, 21)
        self.file("d.bin", data)

        def run_one(k):
            board, result, status = self.run_session(k, "c\nt d.bin\nq\n")
            t_out, t_frames, streamed = transfer(data, unplugged_after(k))
            frames = IDENTIFY + ([("hangup", b"")] if k == 1 else t_frames)
            checks = [
                (result.stdout.decode("latin-1"), prompts(WELCOME, t_out, "exit!\n")),
                (result.stderr.decode("latin-1"), ""),
                (result.returncode, 0),
                (status, 0),
                (without_final_hangup(board.frames()), without_final_hangup(frames)),
                (board.stream(), streamed),
            ]
            wrong = [i for i, (got, want) in enumerate(checks) if got != want]
            return "K=%d: checks %s failed" % (k, wrong) if wrong else None

        # Stop, wp reset, 83 data frames (82 of 60 bytes and one of 16), start.
        self.sweep("t", 86 + 1, run_one)


@unittest.skipIf(UNDER_WINE, "peak memory is measured on the native build")
@unittest.skipIf(os.environ.get("YM2608_SANITIZED") == "1", "the sanitizers' shadow memory dwarfs the tool's own")
@unittest.skipUnless(shutil.which("/usr/bin/time"), "needs GNU time (Debian package time)")
class MemoryBound(E2ETest):
    def test_a_1_gib_sparse_file_is_read_only_as_far_as_the_limits(self):
        big = self.dir / "big.bin"
        head = pattern(300000, 22)
        with open(big, "wb") as f:
            f.write(head)
            f.truncate(1 << 30)
        board = self.board()
        from harness import CONSOLE
        result = subprocess.run(["/usr/bin/time", "-v", CONSOLE], input=b"c\nl big.bin\nt big.bin\nq\n",
                                capture_output=True, cwd=self.dir, env=self.env(board.path), timeout=STEP_TIMEOUT)
        self.assertBoardStops(board)
        out = result.stdout.decode("latin-1")
        self.assertIn("[big.bin] -> [0,262144]\n", out)
        self.assertIn("idx:1:[0,8192]\n", out)
        self.assertEqual(board.memory(), head[:262144])
        self.assertEqual(board.stream(), head[:32704])
        peak = int(re.search(rb"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))
        self.assertLess(peak, 8 * 1024, "peak memory %d KiB" % peak)


if __name__ == "__main__":
    unittest.main()
