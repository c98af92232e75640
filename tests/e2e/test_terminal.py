"""The console at a person's terminal and under signals: Ctrl-C in a slow
load, SIGTERM and SIGHUP mid-load, the reply time limit against a board that
never answers, closed standard streams, and line editing with history on a
pseudo-terminal as standard input."""

import fcntl
import os
import pty
import select
import signal
import struct
import subprocess
import termios
import threading
import time
import tty
import unittest

from expected import IDENTIFY, WELCOME, load, pattern, play, prompts
from harness import CONSOLE, MISSING_PORT, STEP_TIMEOUT, UNDER_WINE, E2ETest, read_until


def stty(path):
    """The terminal's settings as `stty -g` prints them; opening it also
    proves that no program holds it exclusively."""
    with open(path, "rb", buffering=0) as tty:
        return subprocess.run(["stty", "-g"], stdin=tty, capture_output=True, check=True).stdout


def settle(path):
    """Takes the board's port as another program would: the open fails while
    a program holds it exclusively, and the lock while one holds that. Then
    identifies the board until "2608" comes, so that a reply to a frame sent
    before is out of the way, and puts the settings back."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        saved = termios.tcgetattr(fd)
        tty.setraw(fd)
        os.write(fd, b"\x10")
        got = b""
        deadline = time.monotonic() + STEP_TIMEOUT
        while not got.endswith(b"2608"):
            ready, _, _ = select.select([fd], [], [], max(0, deadline - time.monotonic()))
            if not ready:
                raise AssertionError("no identification from the board, got %r" % got)
            got += os.read(fd, 64)
        termios.tcsetattr(fd, termios.TCSANOW, saved)
        fcntl.flock(fd, fcntl.LOCK_UN)
    finally:
        os.close(fd)


class Terminal:
    """A pseudo-terminal as the console's standard input, like a person's.
    What the line editor shows on it is read and kept in the background."""

    def __init__(self):
        self.master, self.slave = pty.openpty()
        self.shown = b""
        self.mark = None  # where the terminal stood when the last line was typed
        self.changed = threading.Condition()
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        while True:
            try:
                chunk = os.read(self.master, 65536)
            except OSError:
                return
            if not chunk:
                return
            with self.changed:
                self.shown += chunk
                self.changed.notify_all()

    def wait_for(self, text, start=0):
        """Waits until the terminal has shown `text` (past `start`)."""
        with self.changed:
            if not self.changed.wait_for(lambda: self.shown.find(text, start) >= 0, STEP_TIMEOUT):
                raise AssertionError("the terminal never showed %r; it showed %r" % (text, self.shown[-300:]))

    def resize(self, columns, rows=24):
        fcntl.ioctl(self.master, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))

    def line(self, text):
        """Types a line at the next prompt. Keys typed while a command runs
        are discarded, so each line waits for the prompt the editor shows
        once the command before it has ended."""
        self.wait_prompt()
        self.type(text + "\n")

    def wait_prompt(self):
        """Waits for the prompt after the line typed last: the first ">", then
        each one the editor shows at the start of a new line. (A line redrawn
        in place, as when the history is walked, shows its ">" again.)"""
        def shown():
            if self.mark is None:
                return b">" in self.shown
            return self.shown.find(b"\n>", self.mark) >= 0
        with self.changed:
            if not self.changed.wait_for(shown, STEP_TIMEOUT):
                raise AssertionError("no prompt; the terminal showed %r" % self.shown[-300:])
            self.mark = len(self.shown)

    def type(self, text):
        data = text.encode("latin-1")
        while data:
            written = os.write(self.master, data[:1024])
            data = data[written:]

    def close(self):
        for fd in (self.slave, self.master):
            try:
                os.close(fd)
            except OSError:
                pass


@unittest.skipIf(UNDER_WINE, "signals and pseudo-terminals are the POSIX console's")
class AtATerminal(E2ETest):
    def terminal(self):
        term = Terminal()
        self.addCleanup(term.close)
        return term

    def interactive(self, com3, term=None, extra_env=None, shown=False, **popen):
        """A console whose standard input is `term` (else a pipe), output piped,
        or shown on `term` too."""
        env = self.env(com3)
        env["TERM"] = "xterm"
        env["XDG_STATE_HOME"] = str(self.dir / "state")
        env.update(extra_env or {})
        stdin = term.slave if term else subprocess.PIPE
        output = term.slave if shown else subprocess.PIPE
        proc = subprocess.Popen([CONSOLE], stdin=stdin, stdout=output, stderr=output, cwd=self.dir, env=env,
                                **popen)

        def reap():
            if proc.poll() is None:
                proc.kill()
            proc.wait()
            for stream in (proc.stdin, proc.stdout, proc.stderr):
                if stream:
                    stream.close()
        self.addCleanup(reap)
        return proc

    def test_ctrl_c_in_a_slow_load_fails_it_closes_the_link_and_keeps_the_slots(self):
        kick = pattern(1000, 31)
        self.file("kick.bin", kick)
        self.file("long.bin", pattern(20000, 32))
        board = self.board("--baud", "9600")
        before = stty(board.path)
        term = self.terminal()
        console = self.interactive(board.path, term)
        out = console.stdout.fileno()
        kick_out, _, kick_frames, units = load("kick.bin", kick, 1, 0)
        term.line("c")
        got = read_until(out, b"Ready\n")
        term.line("l kick.bin")
        got += read_until(out, b"idx:1:[0,32]\n")
        term.line("l long.bin")
        got += read_until(out, b"(   180/ 20000)")
        console.send_signal(signal.SIGINT)
        got += read_until(out, b"interrupted.\n")
        text = got.decode("latin-1")
        self.assertTrue(text.startswith(WELCOME + kick_out + "[long.bin] -> [32,20000]\n"), text)
        self.assertTrue(text.endswith("\nidx:2:[32,0]\ninterrupted.\n"), text)

        # The port is back as it was and free: another console connects.
        self.assertEqual(stty(board.path), before)
        settle(board.path)
        self.assertRun(self.console("c\nq\n", board.path), prompts(WELCOME, "exit!\n"))

        # The first console reconnects; slot 1 still plays where it was loaded.
        term.line("c")
        read_until(out, b"Ready\n")
        term.line("p 1")
        term.line("q")
        rest, err = console.communicate(timeout=STEP_TIMEOUT)
        self.assertEqual(rest.decode(), "exit!\n")
        self.assertEqual(console.returncode, 0)
        self.assertEqual(err.decode(), "COM3: %s: connected\ncache write error.\nCOM3: %s: connected\n"
                         % (board.path, board.path))
        self.assertBoardStops(board)
        self.assertEqual(board.received()[-12:], [frame for _, frame in play(0, units)])
        self.assertEqual(board.memory()[:1000], kick)

    def test_ending_signals_mid_load_restore_the_port_and_release_it(self):
        # SIGQUIT may leave a core file in the test's folder; it goes with the folder.
        self.file("long.bin", pattern(20000, 33))
        for sig in (signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT):
            with self.subTest(signal=sig.name):
                board = self.board("--baud", "9600", name="board-" + sig.name)
                before = stty(board.path)
                console = self.interactive(board.path)
                console.stdin.write(b"c\nl long.bin\n")
                console.stdin.flush()
                read_until(console.stdout.fileno(), b"(   180/ 20000)")
                console.send_signal(sig)
                self.assertEqual(console.wait(timeout=STEP_TIMEOUT), -sig)
                self.assertEqual(stty(board.path), before)
                settle(board.path)
                self.assertRun(self.console("c\nq\n", board.path), prompts(WELCOME, "exit!\n"))
                self.assertBoardStops(board)

    def test_the_reply_time_limit_against_a_board_that_never_answers(self):
        # A terminal with nobody answering on its other end.
        master, slave = pty.openpty()
        self.addCleanup(os.close, master)
        path = os.ttyname(slave)
        os.close(slave)
        started = time.monotonic()
        result = subprocess.run([CONSOLE], input=b"c\nb\nq\n", capture_output=True, cwd=self.dir,
                                env=dict(self.env(path), YM2608_REPLY_TIMEOUT_MS="300"), timeout=STEP_TIMEOUT)
        elapsed = time.monotonic() - started
        self.assertEqual(result.stdout.decode(), prompts("connect..err.\nno reply.\n", "no connect.\n", "exit!\n"))
        self.assertEqual(result.stderr.decode(), "COM3: %s: not identified: the board answered nothing\n" % path)
        self.assertEqual(result.returncode, 0)
        self.assertGreaterEqual(elapsed, 0.3)
        self.assertEqual(os.read(master, 64), b"\x10", "the identification went out")

        for bad in ("0", "-5", "12x", "99999999999"):
            result = subprocess.run([CONSOLE], input=b"q\n", capture_output=True,
                                    env=dict(self.env(path), YM2608_REPLY_TIMEOUT_MS=bad), timeout=STEP_TIMEOUT)
            self.assertEqual((result.stdout, result.returncode), (b"", 2), bad)
            self.assertEqual(result.stderr, b"ym2608-console: YM2608_REPLY_TIMEOUT_MS must be a positive number "
                                            b"of milliseconds\n")

    def test_closed_standard_streams_let_nothing_but_frames_reach_the_board(self):
        self.file("empty.bin", b"")
        for redirect, script in (("2>&-", "c\nl missing.bin\nl empty.bin\nt missing.bin\nb\nq\n"),
                                 (">&-", "c\nb\nr\nx\nq\n")):
            with self.subTest(redirect=redirect):
                board = self.board(name="board" + str(len(redirect)))
                result = subprocess.run(["bash", "-c", 'exec "$0" ' + redirect, CONSOLE], input=script.encode(),
                                        capture_output=True, cwd=self.dir, env=self.env(board.path),
                                        timeout=STEP_TIMEOUT)
                self.assertBoardStops(board)
                self.assertEqual(result.returncode, 0)
                expected = [b"\x10", b"\x15\x00"] if redirect == "2>&-" else [b"\x10", b"\x15\x00", b"\x00"]
                self.assertEqual(board.received(), expected)

    def test_arrow_keys_history_and_a_long_pasted_line(self):
        board = self.board()
        term = self.terminal()
        console = self.interactive(board.path, term)
        out = console.stdout.fileno()
        term.line("c")
        read_until(out, b"Ready\n")
        # Tab completes the file name after l, with no blank after it.
        self.file("kick.bin", pattern(100, 35))
        term.line("l ki\t")
        self.assertTrue(read_until(out, b"idx:1:[0,4]\n").startswith(b"[kick.bin] -> [0,100]\n"))
        # A pasted line far past the terminal driver's 4095 bytes: whole, and too long.
        term.line("o " + "1" * 39998)
        self.assertEqual(read_until(out, b"\n"), b"??\n")
        # "o 1 01", three steps left, a 0 typed in: "o 10 01".
        term.line("o 1 01\x1b[D\x1b[D\x1b[D0")
        self.assertEqual(read_until(out, b"\n"), b"r:10 o:01\n")
        # Up recalls it.
        term.line("\x1b[A")
        self.assertEqual(read_until(out, b"\n"), b"r:10 o:01\n")
        # Ctrl-D at an empty line ends the input: the console quits.
        term.wait_prompt()
        term.type("\x04")
        rest, _ = console.communicate(timeout=STEP_TIMEOUT)
        self.assertEqual(rest, b"exit!\n")
        history = (self.dir / "state" / "ym2608-console" / "history").read_text()
        self.assertIn("o\\04010\\04001", history)  # kept with its blanks escaped
        self.assertNotIn("1" * 39998, history)

        # The next session finds the history: up twice passes its own "c".
        term2 = self.terminal()
        console = self.interactive(board.path, term2)
        term2.line("c")
        read_until(console.stdout.fileno(), b"Ready\n")
        term2.line("\x1b[A\x1b[A")
        self.assertEqual(read_until(console.stdout.fileno(), b"\n"), b"r:10 o:01\n")
        term2.line("q")
        console.communicate(timeout=STEP_TIMEOUT)
        self.assertBoardStops(board)
        writes = [frame for frame in board.received() if frame[0] == 0x13]
        self.assertEqual(writes, [b"\x13\x10\x01"] * 3)

    def test_the_progress_line_fits_the_terminal_and_ends_before_a_failure_line(self):
        self.file("long.bin", pattern(20000, 36))
        board = self.board("--baud", "9600")
        term = self.terminal()
        term.resize(20)
        console = self.interactive(board.path, term, shown=True)
        term.line("c")
        term.wait_for(b"Ready")
        term.line("l long.bin")
        term.wait_for(b"[..........]")
        narrow = len(term.shown)
        # Wider: the whole line. Narrower again: blanks clear what it left.
        term.resize(40)
        term.wait_for(b"/ 20000) 0", narrow)
        term.resize(20)
        term.wait_for(b"]" + b" " * 16, narrow)
        console.send_signal(signal.SIGINT)
        term.wait_for(b"interrupted.")
        term.line("q")
        self.assertEqual(console.wait(timeout=STEP_TIMEOUT), 0)
        self.assertBoardStops(board)

        shown = term.shown.decode("latin-1")
        load = shown[shown.index("[long.bin] -> [0,20000]\r\n") + 25:shown.index("\nidx:1:")]
        draws = load[:narrow - term.shown.index(b"[long.bin]") - 25].split("\r")[1:]
        self.assertTrue(draws and all(len(d) <= 19 for d in draws), draws)
        self.assertRegex(load, r"\r\d{3}% \[[o.]{10}\] {16}\r")
        self.assertRegex(load, r"\] *\r\ncache write error\.\r\n\r$")

    def test_tab_puts_names_in_as_they_are_since_the_operand_is_the_rest_of_the_line(self):
        (self.dir / "sub").mkdir()
        typed_and_named = [("a", "a b.bin"), ("q", "q'u\"o.bin"), ("ba", "back\\slash.bin"), ("br", "br[1].bin"),
                           ("ta", "tail.bin "), ("su\tde", "sub/deep.bin"), ("n", "nlok.bin")]
        for _, name in typed_and_named:
            self.file(name, pattern(100, 37))
        self.file("nl\nx.bin", pattern(100, 38))  # no line can name it: never offered
        board = self.board()
        term = self.terminal()
        console = self.interactive(board.path, term)
        out = console.stdout.fileno()
        term.line("c")
        read_until(out, b"Ready\n")
        for slot, (typed, name) in enumerate(typed_and_named, 1):
            term.line("l " + typed + "\t")
            got = read_until(out, b"idx:%d:" % slot)
            self.assertTrue(got.startswith(b"[%s] -> [" % name.encode()), got)
        term.line("q")
        console.communicate(timeout=STEP_TIMEOUT)
        self.assertBoardStops(board)

    def history_session(self, *lines):
        """A session at a terminal with no board that types `lines`, then q;
        returns what it said on standard error."""
        term = self.terminal()
        console = self.interactive(MISSING_PORT, term)
        for line in lines:
            term.line(line)
            read_until(console.stdout.fileno(), b"\n")
        term.line("q")
        out, err = console.communicate(timeout=STEP_TIMEOUT)
        self.assertEqual((out, console.returncode), (b"exit!\n", 0))
        return err.decode()

    def test_the_history_is_never_followed_through_a_link_nor_kept_where_others_write(self):
        folder = self.dir / "state" / "ym2608-console"
        folder.mkdir(parents=True, mode=0o700)
        history = folder / "history"
        target = self.dir / "precious.txt"
        target.write_text("precious\n")
        target.chmod(0o644)
        history.symlink_to(target)
        self.assertEqual(self.history_session("?"), "")
        self.assertEqual((target.read_text(), target.stat().st_mode & 0o777), ("precious\n", 0o644))
        self.assertTrue(history.is_symlink())

        history.unlink()
        folder.chmod(0o777)
        self.assertEqual(self.history_session("?", "?"),
                         "ym2608-console: history not kept: others can write in %s\n" % folder)
        self.assertFalse(history.exists())
        if os.geteuid() == 0:
            folder.chmod(0o700)
            os.chown(folder, 65534, 65534)
            self.assertEqual(self.history_session("?"),
                             "ym2608-console: history not kept: %s belongs to another user\n" % folder)
            self.assertFalse(history.exists())

    def test_a_huge_history_loads_in_little_memory_and_its_overlong_lines_leave_it(self):
        folder = self.dir / "state" / "ym2608-console"
        folder.mkdir(parents=True, mode=0o700)
        history = folder / "history"
        with open(history, "w") as f:
            f.write("_HiStOrY_V2_\n")
            for n in range(1000):
                f.write("o%04d%s\n" % (n, "y" * 30000))
            f.write("o\\04010\\04001\n")
        term = self.terminal()
        console = self.interactive(MISSING_PORT, term)
        term.wait_prompt()
        with open("/proc/%d/status" % console.pid) as status:
            peak = [int(line.split()[1]) for line in status if line.startswith("VmHWM:")][0]
        self.assertLess(peak, 16 * 1024, "kB at the first prompt, for a history of 30 MB")
        term.type("\x1b[A\n")  # the last line kept, recalled
        self.assertEqual(read_until(console.stdout.fileno(), b"\n"), b"no connect.\n")
        term.line("q")
        console.communicate(timeout=STEP_TIMEOUT)
        self.assertEqual(history.read_text(), "_HiStOrY_V2_\no\\04010\\04001\nq\n")

    def test_ctrl_z_at_the_prompt_then_fg_edits_the_line_again(self):
        term = self.terminal()
        before = termios.tcgetattr(term.slave)
        # A process group of its own, as a shell's job: stopped, not ended.
        console = self.interactive(MISSING_PORT, term, process_group=0)
        term.type("x?")
        term.wait_for(b">x?")
        console.send_signal(signal.SIGTSTP)
        _, status = os.waitpid(console.pid, os.WUNTRACED)
        self.assertTrue(os.WIFSTOPPED(status))
        # The shell gets the terminal as it was, and keeps it so until fg.
        self.assertEqual(termios.tcgetattr(term.slave), before)
        mark = len(term.shown)
        console.send_signal(signal.SIGCONT)
        term.wait_for(b">x?", mark)
        lflag = termios.tcgetattr(term.slave)[3]
        self.assertEqual(lflag & (termios.ECHO | termios.ICANON), 0, "the editor's own settings again")
        # Editing keys work: to the start of the line, delete the x.
        term.type("\x01\x04\n")
        self.assertTrue(read_until(console.stdout.fileno(), b"list the commands\n").startswith(b"b "))
        term.line("q")
        rest, _ = console.communicate(timeout=STEP_TIMEOUT)
        self.assertEqual((rest, console.returncode), (b"exit!\n", 0))

    def test_ctrl_c_at_the_prompt_drops_the_line_and_never_quits(self):
        term = self.terminal()
        console = self.interactive(MISSING_PORT, term)
        term.type("half a li")
        term.wait_for(b">half a li")  # the editor's, not the terminal driver's echo
        term.mark = len(term.shown)
        console.send_signal(signal.SIGINT)
        term.line("?")
        self.assertTrue(read_until(console.stdout.fileno(), b"list the commands\n").startswith(b"b "))
        term.line("q")
        rest, _ = console.communicate(timeout=STEP_TIMEOUT)
        self.assertEqual((rest, console.returncode), (b"exit!\n", 0))


class Arguments(E2ETest):
    def test_help_version_and_unknown_arguments(self):
        result = subprocess.run([CONSOLE, "--version"], capture_output=True, timeout=STEP_TIMEOUT)
        self.assertEqual((result.stdout, result.returncode), (b"ym2608-console 0.2.0\n", 0))
        for flag in ("--help", "-h"):
            result = subprocess.run([CONSOLE, flag], capture_output=True, timeout=STEP_TIMEOUT)
            text = result.stdout.decode()
            self.assertEqual(result.returncode, 0)
            for part in ("usage: ym2608-console", "YM2608_COM3", "YM2608_REPLY_TIMEOUT_MS", "ry N ",
                         "man ym2608-console"):
                self.assertIn(part, text)
        result = subprocess.run([CONSOLE, "/dev/ttyUSB0"], capture_output=True, timeout=STEP_TIMEOUT)
        self.assertEqual((result.stdout, result.returncode), (b"", 2))
        self.assertIn(b"YM2608_COM3=/dev/ttyUSB0", result.stderr)
        self.assertEqual(result.stderr.count(b"\n"), 1)
        result = subprocess.run([CONSOLE, "--baud"], capture_output=True, timeout=STEP_TIMEOUT)
        self.assertEqual((result.stdout, result.returncode), (b"", 2))


if __name__ == "__main__":
    unittest.main()
