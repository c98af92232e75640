"""Music logs made for the player's end-to-end tests: VGM and S98 put together
command by command, so that every test plays exactly the log it needs and no
test depends on files from outside the project."""

import gzip
import struct

SILENCE = [(0, 0x28, 0x00), (0, 0x28, 0x01), (0, 0x28, 0x02), (0, 0x28, 0x04), (0, 0x28, 0x05),
           (0, 0x28, 0x06), (0, 0x08, 0x00), (0, 0x09, 0x00), (0, 0x0A, 0x00), (0, 0x10, 0xBF),
           (1, 0x00, 0x01)]


class Vgm:
    """VGM 1.71 commands; `file()` wraps them with the header and a GD3 tag."""

    def __init__(self):
        self.data = bytearray()
        self.loop = None

    def write(self, reg, value):
        self.data += bytes([0x57 if reg >= 0x100 else 0x56, reg & 0xFF, value])
        return self

    def wait(self, samples):
        while samples > 0:
            n = min(samples, 65535)
            self.data += b"\x61" + struct.pack("<H", n)
            samples -= n
        return self

    def wait_ms(self, ms):
        return self.wait(ms * 441 // 10)

    def block(self, start, payload, type_=0x81):
        body = struct.pack("<II", 256 * 1024, start) + payload if type_ == 0x81 else payload
        self.data += b"\x67\x66" + bytes([type_]) + struct.pack("<I", len(body)) + body
        return self

    def raw(self, data):
        self.data += data
        return self

    def mark_loop(self):
        self.loop = len(self.data)
        return self

    def file(self, clock=7987200, gd3=None, end=True):
        header = bytearray(0x100)
        header[0:4] = b"Vgm "
        struct.pack_into("<I", header, 0x08, 0x171)
        struct.pack_into("<I", header, 0x34, 0x100 - 0x34)
        struct.pack_into("<I", header, 0x48, clock)
        if self.loop is not None:
            struct.pack_into("<I", header, 0x1C, 0x100 + self.loop - 0x1C)
        out = header + self.data + (b"\x66" if end else b"")
        if gd3:
            struct.pack_into("<I", out, 0x14, len(out) - 0x14)
            fields = (list(gd3) + [""] * 11)[:11]
            strings = b"".join(f.encode("utf-16-le") + b"\0\0" for f in fields)
            out += b"Gd3 " + struct.pack("<II", 0x100, len(strings)) + strings
        struct.pack_into("<I", out, 0x04, len(out) - 4)
        return bytes(out)


class S98:
    """S98 version 3 commands, ticks of 1 ms; `file()` adds header, devices and tag."""

    def __init__(self):
        self.data = bytearray()
        self.loop = None

    def write(self, reg, value, device=0):
        self.data += bytes([device * 2 + (1 if reg >= 0x100 else 0), reg & 0xFF, value])
        return self

    def wait(self, ticks):
        if ticks == 1:
            self.data += b"\xff"
        elif ticks > 1:
            n = ticks - 2
            self.data += b"\xfe"
            while n >= 0x80:
                self.data.append(0x80 | (n & 0x7F))
                n >>= 7
            self.data.append(n)
        return self

    def memory_write(self, start_unit, stop_unit, payload):
        """The chip's own memory load: control 1 to memory write, then one 0x108 write per byte."""
        for reg, value in ((0x100, 0x61), (0x100, 0x60), (0x101, 0x02), (0x102, start_unit & 0xFF),
                           (0x103, start_unit >> 8), (0x104, stop_unit & 0xFF), (0x105, stop_unit >> 8)):
            self.write(reg, value)
        for b in payload:
            self.write(0x108, b)
        return self.write(0x100, 0x00)

    def mark_loop(self):
        self.loop = len(self.data)
        return self

    def file(self, devices=((4, 7987200),), tag=None, cp932=False):
        """`tag`: the tag's lines, in UTF-8 behind a byte-order mark; with
        `cp932` in the PC-98's code page without one; bytes as they are."""
        header = bytearray(0x20)
        header[0:4] = b"S983"
        struct.pack_into("<II", header, 4, 1, 1000)
        struct.pack_into("<I", header, 0x1C, len(devices))
        for type_, clock in devices:
            header += struct.pack("<IIII", type_, clock, 0, 0)
        dump = len(header)
        struct.pack_into("<I", header, 0x14, dump)
        if self.loop is not None:
            struct.pack_into("<I", header, 0x18, dump + self.loop)
        out = header + self.data + b"\xfd"
        if tag is not None:
            struct.pack_into("<I", out, 0x10, len(out))
            if isinstance(tag, str):
                tag = tag.encode("cp932") if cp932 else b"\xef\xbb\xbf" + tag.encode()
            out += b"[S98]" + tag + b"\0"
        return bytes(out)


def long_song():
    """A minute: a key write and a level write every 100 ms."""
    vgm = Vgm()
    for i in range(600):
        vgm.write(0x28, 0xF0 | (i % 3)).write(0x40, i & 0x7F).wait_ms(100)
    return vgm.file()


def burst(count, rest_ms):
    """`count` level writes due at once, then a rest."""
    vgm = Vgm()
    for i in range(count):
        vgm.write(0x40 + i % 3, i & 0x7F)
    return vgm.wait_ms(rest_ms).file()


def gz(data):
    return gzip.compress(data)
