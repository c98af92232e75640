"""What the console prints and sends, command by command, worked out from the
rules of the loader, the player and the transfer, so that a test states a whole
session's exact output and frame log.

A verdict function decides how the board treats each frame that needs a
reply: verdict(kind, ordinal, index) with kind "write"/"commit" (loader) or
"stop"/"wp"/"data"/"start" (transfer), ordinal counted per kind within the
command, index over all its frames, both from 1. It returns None (confirm),
("byte", b) (answer b), ("short",) (no reply, then hang up), or ("last",)
(confirm, then hang up: the last frame before an unplugged board).

The console sees a board that hung up when it next sends or waits: the
command then ends with "connection lost.", and the link is closed.
"""

import random

OK = b"\x01"
LOST = "connection lost.\n"
WELCOME = "connect..ok\nWelcome to YM2608!\nReady\n"
IDENTIFY = [("rx", b"\x10"), ("tx", b"2608")]

PAGE = 8192
CHUNK = 60
GRANULE = 512
UNIT = 32
TRANSFER_LIMIT = 32704


def progress(done, total):
    percent = done * 100 // total
    marks = "".join("o" if percent >= t else "." for t in range(10, 101, 10))
    return "\r(%6d/%6d) %03d%% [%s]" % (done, total, percent, marks)


def confirm_all(kind, ordinal, index):
    return None


class Exchange:
    """The frames of one command as the emulator logs them."""

    def __init__(self, verdict):
        self.verdict = verdict
        self.frames = []
        self.counts = {}
        self.index = 0
        self.dead = False
        self.lost = False  # the console saw the board gone

    def send(self, kind, frame):
        """True when the board confirms `frame`."""
        self.counts[kind] = self.counts.get(kind, 0) + 1
        self.index += 1
        if self.dead:
            self.lost = True
            return False
        verdict = self.verdict(kind, self.counts[kind], self.index)
        self.frames.append(("rx", frame))
        if verdict is None:
            self.frames.append(("tx", OK))
            return True
        if verdict[0] == "byte":
            self.frames.append(("tx", bytes([verdict[1]])))
            return verdict[1] == OK[0]
        self.dead = True
        if verdict[0] == "last":
            self.frames.append(("tx", OK))
            self.frames.append(("hangup", b""))
            return True
        self.frames.append(("hangup", b""))
        self.lost = True
        return False

    def ending(self):
        """What the console prints after the command's own output."""
        return LOST if self.lost else ""


def granules(size):
    """`size` bytes rounded up to whole commit granules."""
    return -(-size // GRANULE) * GRANULE


def load_frames(data, start):
    """The frames of loading `data` from unit `start`, chunk by chunk, as
    (cache write, the commit that follows it or None, bytes done).

    The data is cut into cache pages of PAGE bytes; each page goes in cache
    writes of CHUNK bytes from its start, and the last chunk of a page is
    followed by one commit of the page, rounded up to whole granules, to the
    units where the page belongs."""
    for page_start in range(0, len(data), PAGE):
        page = data[page_start:page_start + PAGE]
        for offset in range(0, len(page), CHUNK):
            chunk = page[offset:offset + CHUNK]
            write = bytes([0x09, len(chunk), offset & 0xFF, offset >> 8]) + chunk
            commit = None
            if offset + CHUNK >= len(page):
                size, dest = granules(len(page)), start + page_start // UNIT
                commit = bytes([0x0A, size & 0xFF, size >> 8, dest & 0xFF, dest >> 8])
            yield write, commit, page_start + offset + len(chunk)


def load(path, data, slot, start, verdict=confirm_all):
    """An `l` of `data` when the next sample address is `start`: the frames of
    load_frames until the first one the board does not confirm, and the
    progress line after every other chunk and after the last. The slot
    records what confirmed commits hold.

    Returns (stdout, stderr, frames, units recorded)."""
    out = "[%s] -> [%d,%d]\n" % (path, start, len(data))
    err = ""
    x = Exchange(verdict)
    committed = 0
    for number, (write, commit, done) in enumerate(load_frames(data, start), 1):
        if not x.send("write", write):
            err += "cache write error.\n"
            break
        if commit is not None and not x.send("commit", commit):
            err += "ym2608 write error.\n"
            break
        if commit is not None:
            committed = done
        if number % 2 == 1 or done == len(data):
            out += progress(done, len(data))
    units = -(-committed // UNIT)
    out += "\nidx:%d:[%d,%d]\n" % (slot, start, units) + x.ending()
    return out, err, x.frames, units


SETUP = [(0x00, 0x20), (0x00, 0x21), (0x09, 0xCD), (0x0A, 0x49), (0x0B, 0xFF), (0x01, 0xC2)]


def play(start=None, length=0):
    """The frames of a `p` for a slot at `start` with `length` units (None: not loaded)."""
    writes = list(SETUP)
    if start is not None and length > 0:
        end = start + length - 1
        writes += [(0x00, 0x21), (0x02, start & 0xFF), (0x03, (start >> 8) & 0xFF),
                   (0x04, end & 0xFF), (0x05, (end >> 8) & 0xFF), (0x00, 0xA0)]
    return [("rx", bytes([0x14, r, v])) for r, v in writes]


RHYTHM_LEVELS = [(0x11, 0x3F)] + [(r, 0xDF) for r in range(0x18, 0x1E)]


def rhythm(n):
    return [("rx", bytes([0x13, r, v])) for r, v in RHYTHM_LEVELS + [(0x10, n & 0x3F)]]


def transfer_total(size):
    return min((size - 64) % 2**32, TRANSFER_LIMIT)


def transfer(data, verdict=confirm_all):
    """A `t` of `data`. Returns (stdout, frames, the bytes streamed)."""
    if min(len(data), TRANSFER_LIMIT) < 256:
        return "file read error.\n", [], b""
    total = transfer_total(len(data))
    x = Exchange(verdict)
    if not x.send("stop", b"\x00"):
        return "stop error.\n" + x.ending(), x.frames, b""
    if not x.send("wp", b"\x01"):
        return "wp reset error.\n" + x.ending(), x.frames, b""
    out = ""
    offset, remaining, counter, failed = 0, total, 0, False
    while True:
        length = min(remaining, CHUNK)
        if not x.send("data", b"\x02" + data[offset:offset + length]):
            out += "write error.\n"
            failed = True
            break
        offset += length
        remaining -= length
        counter = (counter + 1) % 32
        if counter == 0 or remaining == 0:
            out += progress(total - remaining, total)
        if remaining == 0:
            break
    out += "\n"
    if not failed and not x.send("start", b"\x03\x02"):
        out += "start error.\n"
    return out + x.ending(), x.frames, data[:offset]


def pattern(size, seed):
    """Bytes that differ from place to place and from file to file."""
    return random.Random(seed).randbytes(size)


def prompts(*outputs):
    """The stdout of a session whose lines print these outputs, one per line."""
    return "".join(">" + o for o in outputs)
